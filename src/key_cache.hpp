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
// Storage is append-only: each entry is a KeyRecord with its name right behind it, written into
// blocks of bytes, so an insertion allocates only when a block fills up, no entry ever moves
// while the cache lives (which is what lets a lookup hand out a pointer that stays valid after
// the lock is released), and the whole cache is freed a block at a time. A table slot is 8 bytes:
// the offset and where its entry lies in the blocks.
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
  [[nodiscard]] const KeyRecord* lookup(std::uint32_t offset) const;

  // Caches the record of `node` under `offset` and returns the cached entry. A node already
  // cached there stays (nodes read at one offset of an immutable image are always equal) and is
  // returned. nullptr when the cache is full (see above): the caller keeps its own node.
  [[nodiscard]] const KeyRecord* insert(std::uint32_t offset, const KeyNode& node);

 private:
  struct Slot {
    std::uint32_t offset;
    std::uint32_t entry;  // 0: empty slot; else 1 + block index << 15 + position in the block / 8
  };

  [[nodiscard]] const KeyRecord* entry_at(std::uint32_t entry) const noexcept;
  // The slot holding `offset`, or the empty slot where its probe sequence ends; the table is not empty.
  [[nodiscard]] std::size_t probe(std::uint32_t offset) const noexcept;
  [[nodiscard]] const KeyRecord* find(std::uint32_t offset) const noexcept;
  // The first empty slot of `slots` on the probe sequence of `offset`.
  [[nodiscard]] static std::size_t free_slot(const std::vector<Slot>& slots, std::uint32_t offset) noexcept;
  // Room for `size` bytes at the end of the last block, or in a new one; false when the blocks
  // cannot be addressed any further.
  [[nodiscard]] bool reserve_room(std::size_t size);
  void grow_table();

  mutable std::shared_mutex mutex_;
  std::vector<Slot> slots_;  // capacity a power of two, at most 3/4 full
  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::size_t block_used_ = 0;  // bytes taken in the last block
  std::size_t block_size_ = 0;  // size of the last block
  std::size_t entry_count_ = 0;
  std::size_t name_bytes_ = 0;
  const std::size_t max_entries_;
  const std::uint64_t max_name_bytes_;
};

}  // namespace kelpa
