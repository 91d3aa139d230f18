#include "key_cache.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>

namespace kelpa {

namespace {

constexpr std::size_t ENTRY_BLOCK_SIZE = 1024;      // entries per block
constexpr std::size_t NAME_BLOCK_SIZE = 64 * 1024;  // bytes per name block; longer names get their own
constexpr std::size_t MIN_KEY_NODE_CELL = 4 + nk::FIXED_SIZE;  // size field and the fixed part
constexpr std::uint64_t MAX_NAME_EXPANSION = 3;     // UTF-8 bytes per stored name byte, at most
constexpr std::size_t MAX_ENTRIES = 0xFFFFFFFE;      // slots hold entry index + 1 in 32 bits

// Fibonacci hashing: cell offsets are mostly multiples of 8, and the multiplication spreads them
// over the top bits, which pick the slot.
std::size_t slot_index(std::uint32_t offset, std::size_t capacity) noexcept {
  const int bits = std::countr_zero(capacity);
  return static_cast<std::size_t>((offset * 0x9E3779B1u) >> (32 - bits));
}

}  // namespace

KeyCache::KeyCache(std::size_t image_length) noexcept
    : max_entries_(std::min<std::size_t>(image_length / MIN_KEY_NODE_CELL, MAX_ENTRIES)),
      max_name_bytes_(MAX_NAME_EXPANSION * image_length) {}

const KeyCache::Entry* KeyCache::find(std::uint32_t offset) const noexcept {
  if (entry_count_ == 0) return nullptr;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = slot_index(offset, slots_.size());; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.entry == 0) return nullptr;
    if (slot.offset == offset) {
      const std::size_t index = slot.entry - 1;
      return &entry_blocks_[index / ENTRY_BLOCK_SIZE][index % ENTRY_BLOCK_SIZE];
    }
  }
}

const KeyNodeView* KeyCache::lookup(std::uint32_t offset) const {
  std::shared_lock lock(mutex_);
  return find(offset);
}

const char* KeyCache::store_name(const std::string& name) {
  if (name.empty()) return nullptr;
  if (name.size() > name_free_size_) {
    if (name.size() >= NAME_BLOCK_SIZE / 2) {
      char* own = name_blocks_.emplace_back(std::make_unique_for_overwrite<char[]>(name.size())).get();
      std::memcpy(own, name.data(), name.size());
      return own;
    }
    name_free_ = name_blocks_.emplace_back(std::make_unique_for_overwrite<char[]>(NAME_BLOCK_SIZE)).get();
    name_free_size_ = NAME_BLOCK_SIZE;
  }
  char* stored = name_free_;
  std::memcpy(stored, name.data(), name.size());
  name_free_ += name.size();
  name_free_size_ -= name.size();
  return stored;
}

std::size_t KeyCache::free_slot(const std::vector<Slot>& slots, std::uint32_t offset) noexcept {
  const std::size_t mask = slots.size() - 1;
  std::size_t i = slot_index(offset, slots.size());
  while (slots[i].entry != 0) i = (i + 1) & mask;
  return i;
}

void KeyCache::grow_table() {
  std::vector<Slot> grown(slots_.empty() ? 64 : slots_.size() * 2, Slot{0, 0});
  for (const Slot& slot : slots_) {
    if (slot.entry != 0) grown[free_slot(grown, slot.offset)] = slot;
  }
  slots_ = std::move(grown);
}

const KeyNodeView* KeyCache::insert(std::uint32_t offset, const KeyNode& node) {
  std::unique_lock lock(mutex_);
  // Another thread may have parsed the same node meanwhile. The image never changes, so both
  // parses give equal nodes, name included, and the cached one already is the replacement.
  if (const Entry* cached = find(offset); cached != nullptr) return cached;
  if (entry_count_ >= max_entries_ || name_bytes_ + node.name.size() > max_name_bytes_) return nullptr;
  if ((entry_count_ + 1) * 4 > slots_.size() * 3) grow_table();
  if (entry_count_ == entry_blocks_.size() * ENTRY_BLOCK_SIZE)
    entry_blocks_.push_back(std::make_unique_for_overwrite<Entry[]>(ENTRY_BLOCK_SIZE));
  // The entry is counted (and reachable) only once it is whole: an allocation failure on the way
  // leaves the cache as it was.
  Entry& entry = entry_blocks_[entry_count_ / ENTRY_BLOCK_SIZE][entry_count_ % ENTRY_BLOCK_SIZE];
  static_cast<KeyNodeFields&>(entry) = node;
  entry.name = std::string_view(store_name(node.name), node.name.size());
  name_bytes_ += node.name.size();
  slots_[free_slot(slots_, offset)] = Slot{offset, static_cast<std::uint32_t>(++entry_count_)};
  return &entry;
}

}  // namespace kelpa
