#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <vector>

#include "key.hpp"

namespace kelpa {

// The per-hive cache of parsed key nodes, keyed by cell offset: a reader-writer lock over an
// open-addressing hash table. Lookups take the lock shared and hand out the entry itself;
// insertions take it exclusive. Entries are only added, never removed or changed.
//
// Storage is append-only: node fields live in fixed-size blocks of entries and names in blocks of
// bytes, so an insertion allocates only when a block fills up, no entry or name ever moves while
// the cache lives (which is what lets a lookup hand out a pointer that stays valid after the lock
// is released), and the whole cache is freed a block at a time.
//
// A sound hive's key nodes are distinct cells of at least 80 bytes whose names decode to at most
// three bytes per stored byte, so `image_length` bounds what any sound hive can ask the cache to
// hold. Past that bound (only a damaged or hostile image, whose key nodes overlap, gets there) a
// node is returned to its caller without being cached, and the cache stays proportional to the
// file.
class KeyCache {
 public:
  explicit KeyCache(std::size_t image_length) noexcept;
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;

  // The node cached under `offset`, valid as long as the cache; nullptr when there is none.
  [[nodiscard]] const KeyNodeView* lookup(std::uint32_t offset) const;

  // Caches a copy of `node` under `offset` and returns the cached entry. A node already cached
  // there stays (nodes read at one offset of an immutable image are always equal) and is
  // returned. nullptr when the cache is full (see above): the caller keeps its own node.
  [[nodiscard]] const KeyNodeView* insert(std::uint32_t offset, const KeyNode& node);

 private:
  using Entry = KeyNodeView;
  struct Slot {
    std::uint32_t offset;
    std::uint32_t entry;  // index + 1 into the entries; 0: empty slot
  };

  [[nodiscard]] const Entry* find(std::uint32_t offset) const noexcept;
  // The first empty slot of `slots` on the probe sequence of `offset`.
  [[nodiscard]] static std::size_t free_slot(const std::vector<Slot>& slots, std::uint32_t offset) noexcept;
  [[nodiscard]] const char* store_name(const std::string& name);
  void grow_table();

  mutable std::shared_mutex mutex_;
  std::vector<Slot> slots_;  // capacity a power of two, at most 3/4 full
  std::vector<std::unique_ptr<Entry[]>> entry_blocks_;
  std::size_t entry_count_ = 0;
  std::vector<std::unique_ptr<char[]>> name_blocks_;
  char* name_free_ = nullptr;  // unused tail of the last name block
  std::size_t name_free_size_ = 0;
  std::size_t name_bytes_ = 0;
  const std::size_t max_entries_;
  const std::uint64_t max_name_bytes_;
};

}  // namespace kelpa
