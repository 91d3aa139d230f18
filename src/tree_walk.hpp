#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hive.hpp"

namespace kelpa {

// What of a key node the walk hands out beside its name: what a caller needs to list the key's
// values or read its class name without reading the node again.
struct WalkedNode {
  std::uint64_t last_written = 0;
  std::uint32_t subkey_count = 0, value_count = 0, value_list_offset = 0, class_name_offset = 0;
  std::uint16_t flags = 0, class_name_length = 0;

  [[nodiscard]] static WalkedNode of(const KeyRecord& node) noexcept {
    return {node.last_written, node.subkey_count,      node.value_count, node.value_list_offset,
            node.class_name_offset, node.flags, node.class_name_length};
  }
  // A record with these fields (and no name) for the calls of a RegistryKey that read no others:
  // values(), values_with_data(), class_name().
  [[nodiscard]] KeyRecord record() const noexcept {
    KeyRecord r;
    r.last_written = last_written;
    r.subkey_count = subkey_count;
    r.value_count = value_count;
    r.value_list_offset = value_list_offset;
    r.class_name_offset = class_name_offset;
    r.flags = flags;
    r.class_name_length = class_name_length;
    return r;
  }
};

// What one step of a walk hands out: keys (offset, name, counts and the rest of `node`) in walk
// order, and the errors met between them, each in its place.
struct WalkBatch {
  struct Entry {
    std::uint32_t offset;
    std::uint32_t name_at, name_size;  // into `names`
    std::int32_t error;                // index into `errors`, or -1 for a key
    std::uint32_t depth;               // levels below the start (0 for the start itself)
    WalkedNode node;
  };
  std::vector<Entry> entries;
  std::string names;
  std::vector<RegistryError> errors;

  void clear() noexcept {
    entries.clear();
    names.clear();
    errors.clear();
  }
  [[nodiscard]] std::string_view name(const Entry& e) const noexcept {
    return std::string_view(names).substr(e.name_at, e.name_size);
  }
};

// A depth-first, pre-order walk of the keys below (and including) a start key: the order a
// recursive walk through RegistryKey::subkeys gives. It is resumable: each next_batch call goes
// on where the last one stopped, so a caller can hand keys out in batches.
//
// A key is entered by reading its subkeys the way subkeys() does; when that fails the error takes
// the key's subtree's place and the walk goes on with the next key. On a tolerant hive nothing
// fails: the subkeys that can be read are walked, and every error below goes to the hive's
// problem log instead of the batch. A key whose offset is already
// on the path from the start down to it (a loop in the subkey lists) is neither handed out again
// nor entered, and nor are keys more than MAX_KEY_DEPTH levels below the start; each is an
// InvalidFormat error in its place. The keys waiting on the path are bounded by what the image can
// hold (its key node count and name bytes): a damaged hive that lists keys over and over gets an
// error rather than an allocation beyond the file's size. The number of keys handed out is not
// bounded (a key listed twice is walked twice, as subkeys() lists it twice): the caller stops.
//
// Refers to its hive without owning it. Not safe for concurrent use; separate walks of one hive
// may run on several threads at once.
class TreeWalk {
 public:
  TreeWalk(const Hive& hive, std::uint32_t start_offset) noexcept : hive_(&hive), start_(start_offset) {}

  // Appends the next keys of the walk to `batch`: up to `max_keys`, stopping after the first
  // error. Appends nothing once the walk is finished.
  void next_batch(std::size_t max_keys, WalkBatch& batch);
  // True once every key has been handed out: the next call would append nothing.
  [[nodiscard]] bool finished() const noexcept;

 private:
  struct Child {
    std::uint32_t offset, subkey_list_offset;
    std::uint32_t name_at, name_size;  // into the frame's names
    WalkedNode node;
  };
  // One key on the path from the start, with its subkeys still to walk.
  struct Frame {
    std::uint32_t owner = 0;
    std::vector<Child> children;
    std::string names;
    std::size_t next = 0;
  };

  // Reads the subkeys of the key at `offset` into a new frame; false (with the error appended to
  // `batch`) when that fails.
  bool enter(std::uint32_t offset, std::uint32_t subkey_count, std::uint32_t subkey_list_offset, WalkBatch& batch);
  static void add_key(WalkBatch& batch, std::uint32_t offset, const WalkedNode& node, std::string_view name,
                      std::size_t depth);
  static void add_error(WalkBatch& batch, RegistryError error);
  // Meets `error` at `offset` in the hive's problem log: under strict reading it goes to the batch
  // (true: the batch ends here), under tolerant reading the walk goes on (false).
  bool meet(WalkBatch& batch, std::uint32_t offset, RegistryError error) const;

  const Hive* hive_;
  std::uint32_t start_;
  bool started_ = false;
  std::vector<Frame> frames_;  // the first depth_ are the path; the others keep their storage for reuse
  std::size_t depth_ = 0;
  std::uint64_t waiting_keys_ = 0, waiting_name_bytes_ = 0;
};

}  // namespace kelpa
