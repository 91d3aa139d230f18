#include "key_cache.hpp"

#include <algorithm>
#include <bit>
#include <mutex>

namespace kelpa {

namespace {

// Blocks grow from 4 KiB, so a small hive's cache stays small, to 256 KiB, which holds the
// largest record (a name of 65 535 stored bytes decodes to at most 196 605 UTF-8 bytes).
constexpr std::size_t FIRST_BLOCK_SIZE = 4 * 1024;
constexpr std::size_t BLOCK_SIZE = 256 * 1024;
constexpr int POSITION_BITS = 15;  // positions in a block, in units of 8 bytes
constexpr std::size_t MAX_BLOCKS = (std::size_t{1} << (32 - POSITION_BITS)) - 1;
constexpr std::size_t MIN_KEY_NODE_CELL = 4 + nk::FIXED_SIZE;  // size field and the fixed part
constexpr std::uint64_t MAX_NAME_EXPANSION = 3;                // UTF-8 bytes per stored name byte, at most
static_assert(KeyRecord::storage_size(MAX_NAME_EXPANSION * 0xFFFF) <= BLOCK_SIZE);
static_assert(BLOCK_SIZE >> 3 == std::size_t{1} << POSITION_BITS && alignof(KeyRecord) == 8);

// Fibonacci hashing: cell offsets are mostly multiples of 8, and the multiplication spreads them
// over the top bits, which pick the slot.
std::size_t slot_index(std::uint32_t offset, std::size_t capacity) noexcept {
  const int bits = std::countr_zero(capacity);
  return static_cast<std::size_t>((offset * 0x9E3779B1u) >> (32 - bits));
}

}  // namespace

KeyCache::KeyCache(std::size_t image_length) noexcept
    : max_entries_(image_length / MIN_KEY_NODE_CELL), max_name_bytes_(MAX_NAME_EXPANSION * image_length) {}

const KeyRecord* KeyCache::entry_at(std::uint32_t entry) const noexcept {
  const std::uint32_t at = entry - 1;
  return reinterpret_cast<const KeyRecord*>(blocks_[at >> POSITION_BITS].get() +
                                            (std::size_t{at & ((1u << POSITION_BITS) - 1)} << 3));
}

std::size_t KeyCache::probe(std::uint32_t offset) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = slot_index(offset, slots_.size());
  while (slots_[i].entry != 0 && slots_[i].offset != offset) i = (i + 1) & mask;
  return i;
}

const KeyRecord* KeyCache::find(std::uint32_t offset) const noexcept {
  if (entry_count_ == 0) return nullptr;
  const Slot& slot = slots_[probe(offset)];
  return slot.entry == 0 ? nullptr : entry_at(slot.entry);
}

const KeyRecord* KeyCache::lookup(std::uint32_t offset) const {
  std::shared_lock lock(mutex_);
  return find(offset);
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

bool KeyCache::reserve_room(std::size_t size) {
  if (!blocks_.empty() && block_size_ - block_used_ >= size) return true;
  if (blocks_.size() == MAX_BLOCKS) return false;
  const std::size_t grown = blocks_.empty() ? FIRST_BLOCK_SIZE : std::min(2 * block_size_, BLOCK_SIZE);
  const std::size_t block_size = std::max(grown, size);  // size is at most BLOCK_SIZE
  blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(block_size));
  block_size_ = block_size;
  block_used_ = 0;
  return true;
}

const KeyRecord* KeyCache::insert(std::uint32_t offset, const KeyNode& node) {
  std::unique_lock lock(mutex_);
  // Another thread may have parsed the same node meanwhile. The image never changes, so both
  // parses give equal nodes, name included, and the cached one already is the replacement.
  std::size_t at = slots_.empty() ? 0 : probe(offset);
  if (!slots_.empty() && slots_[at].entry != 0) return entry_at(slots_[at].entry);
  if (entry_count_ >= max_entries_ || name_bytes_ + node.name.size() > max_name_bytes_) return nullptr;
  const std::size_t size = KeyRecord::storage_size(node.name.size());
  if ((entry_count_ + 1) * 4 > slots_.size() * 3) {
    grow_table();
    at = free_slot(slots_, offset);
  }
  if (!reserve_room(size)) return nullptr;
  // The entry is reachable only once it is whole: an allocation failure on the way leaves the
  // cache as it was.
  const std::size_t block = blocks_.size() - 1;
  const KeyRecord* entry = KeyRecord::write(blocks_[block].get() + block_used_, node);
  const auto ref = static_cast<std::uint32_t>(1 + ((block << POSITION_BITS) | (block_used_ >> 3)));
  block_used_ += size;
  name_bytes_ += node.name.size();
  ++entry_count_;
  slots_[at] = Slot{offset, ref};  // the empty slot that ended the probe: nothing was inserted since
  return entry;
}

}  // namespace kelpa
