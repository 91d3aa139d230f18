// The scan for deleted keys and values. Free cells coalesce: a freed cell joins the free cells
// beside it, and its old record stays in place after the new, larger free cell's size field. So
// one free cell can hold several old records, each at a position where an older cell started
// (every cell starts at a multiple of 8), each still behind its old size field; so can the slack
// of an allocated cell and the space after the last bin (deleted_scan.hpp says which stretches
// are searched). A candidate is
// read at each such position exactly as Hive::get_key and the value readers read a cell, so a key
// found here works through get_key like any other; it then has to pass the plausibility limits
// below to count.

#include "deleted_scan.hpp"

#include <algorithm>
#include <cstring>

#include "utils.hpp"

namespace kelpa {

namespace {

inline constexpr std::uint32_t CELL_ALIGNMENT = 8;

// Plausibility limits. A candidate that passed the record checks still counts only when:
// - its whole cell lies inside the unallocated stretch it was found in (an older cell cut short by
//   a later allocation, or one running past its bin, has lost its tail);
// - its name is not longer than the system allows: key names have at most 255 characters (510
//   bytes as UTF-16) and are not empty, value names at most 16383 (32766 bytes; a value's stored
//   name length of 0 is the key's default value);
// - a key name holds no control character and no backslash (the path separator);
// - every list count fits in the image (4 bytes per element), and every offset it names (parent,
//   lists, security key, class name, data cell) is 0xFFFFFFFF or a cell position (a multiple of
//   8). The offsets are not held to the image: the space after the last bin often holds records
//   of a larger hive that the file once was, and they are found all the same;
// - a value's inline data (size with the top bit set) is at most 4 bytes, and data stored in
//   cells is not larger than the image.
inline constexpr std::uint16_t MAX_KEY_NAME_BYTES = 510;
inline constexpr std::uint16_t MAX_VALUE_NAME_BYTES = 32766;
inline constexpr std::uint32_t MAX_INLINE_DATA = 4;

bool names_cell(std::uint32_t offset) noexcept { return offset == 0xFFFFFFFF || offset % CELL_ALIGNMENT == 0; }

bool plausible_key_name(std::string_view name) noexcept {
  return std::none_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\\'; });
}

bool plausible_key(const KeyNode& node, std::size_t max_elements) noexcept {
  return node.name_length != 0 && node.name_length <= MAX_KEY_NAME_BYTES && plausible_key_name(node.name) &&
         node.subkey_count <= max_elements && node.volatile_subkey_count <= max_elements &&
         node.value_count <= max_elements && names_cell(node.parent_offset) && names_cell(node.subkey_list_offset) &&
         names_cell(node.value_list_offset) && names_cell(node.security_offset) && names_cell(node.class_name_offset);
}

bool plausible_value(Bytes payload, const RegistryValue& value, std::size_t image_size) noexcept {
  if (value.name_length > MAX_VALUE_NAME_BYTES) return false;
  const std::uint32_t stored_size = load_u32(payload, vk::DATA_SIZE);
  if (stored_size & vk::INLINE_DATA) return value.data_size <= MAX_INLINE_DATA;
  if (value.data_size <= MAX_INLINE_DATA) return true;
  return names_cell(value.data_offset) && value.data_size <= image_size;
}

// The payload of the candidate cell at `offset` when the whole cell lies inside the stretch.
std::optional<Bytes> candidate_cell(const Hive& hive, std::uint32_t offset, std::uint64_t stretch_end) {
  auto payload = hive.read_cell(offset);
  if (!payload || std::uint64_t{offset} + 4 + payload->size() > stretch_end) return std::nullopt;
  return *payload;
}

// Calls `try_at(offset, stretch_end)` at every cell position of every unallocated stretch whose
// payload would start with the two signature bytes; `try_at` returns the first position after
// the record it accepted (or 0), and the search goes on from there.
template <class Try>
void for_each_candidate(const Hive& hive, char a, char b, Try&& try_at) {
  const Bytes bins = hive.bytes().subspan(HIVE_MIN_SIZE);
  const auto first = static_cast<std::uint8_t>(a), second = static_cast<std::uint8_t>(b);
  for_each_unallocated_space(hive, [&](UnallocatedSpace space) {
    // Positions count from the stretch's start; most of a free cell is zeros, so the search
    // jumps from one occurrence of the first signature byte to the next (memchr) instead of
    // stepping through every position.
    auto round_up = [&](std::uint64_t at) {
      return space.start + (at - space.start + CELL_ALIGNMENT - 1) / CELL_ALIGNMENT * CELL_ALIGNMENT;
    };
    std::uint64_t at = space.start;
    while (at + 6 <= space.end) {
      const void* hit = std::memchr(bins.data() + at + 4, first, space.end - 1 - (at + 4));
      if (hit == nullptr) break;
      const auto signature_at = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - bins.data());
      const std::uint64_t candidate = round_up(signature_at - 4);
      if (candidate != signature_at - 4) {
        at = candidate;
        continue;
      }
      at = candidate + CELL_ALIGNMENT;
      if (bins[signature_at + 1] == second) {
        const std::uint64_t after = try_at(static_cast<std::uint32_t>(candidate), space.end);
        if (after > at) at = round_up(after);
      }
    }
  });
}

// Gives each deleted value the deleted key whose value list still lists its cell. A key counts when
// its list cell reads and holds all value_count entries (a shorter cell has been cut or reused
// since); of several such keys the one written last wins, the first in image order on a tie. The
// values are in image order, so each entry is looked up by binary search. The list entries read
// in all are bounded by what the image can hold (max_list_elements): keys past that bound are not
// matched, so a hostile hive whose deleted keys all name one large list costs no more than one
// pass over the image.
void match_keys(const Hive& hive, const std::vector<RegistryKey>& keys, ValueListing& listing) {
  std::vector<std::uint64_t> written(listing.entries.size());  // by the key matched so far
  std::size_t budget = hive.max_list_elements();
  for (const RegistryKey& key : keys) {
    const KeyRecord& node = key.node();
    if (node.value_count == 0 || is_null_offset(node.value_list_offset)) continue;
    const auto list = hive.read_cell(node.value_list_offset);
    if (!list || list->size() / 4 < node.value_count) continue;
    if (node.value_count > budget) break;
    budget -= node.value_count;
    for (std::size_t i = 0; i < node.value_count; ++i) {
      const std::uint32_t cell = load_u32(*list, 4 * i);
      const auto found = std::ranges::lower_bound(listing.entries, cell, {}, &ValueListing::Entry::cell_offset);
      if (found == listing.entries.end() || found->cell_offset != cell) continue;
      const auto at = static_cast<std::size_t>(found - listing.entries.begin());
      if (found->key_offset && written[at] >= node.last_written) continue;
      found->key_offset = key.offset;
      written[at] = node.last_written;
    }
  }
}

}  // namespace

std::vector<RegistryKey> Hive::deleted_keys() const {
  std::vector<RegistryKey> keys;
  for_each_candidate(*this, 'n', 'k', [&](std::uint32_t offset, std::uint64_t stretch_end) -> std::uint64_t {
    const auto payload = candidate_cell(*this, offset, stretch_end);
    if (!payload) return 0;
    auto node = parse_key_node(*payload, offset);
    if (!node || !plausible_key(*node, max_list_elements())) return 0;
    const std::uint64_t after = std::uint64_t{offset} + 4 + nk::FIXED_SIZE + node->name_length;
    keys.push_back(RegistryKey::owning(this, offset, std::move(*node)));
    return after;
  });
  return keys;
}

ValueListing Hive::deleted_values() const {
  ValueListing listing;
  const std::uint64_t data_limit = read_limit();
  for_each_candidate(*this, 'v', 'k', [&](std::uint32_t offset, std::uint64_t stretch_end) -> std::uint64_t {
    const auto payload = candidate_cell(*this, offset, stretch_end);
    if (!payload) return 0;
    RegistryValue value;
    const std::size_t name_at = listing.names.size();
    if (!parse_value_key(*this, *payload, offset, value, listing.names, ProblemLog::strict()) || !plausible_value(*payload, value, bytes().size())) {
      listing.names.resize(name_at);
      return 0;
    }
    // As in a key's listing: data that cannot be read, or that would take the listing past its
    // read limit, is left empty.
    const std::size_t data_at = listing.data.size();
    if (data_at < data_limit && value.append_data(listing.data) && listing.data.size() > data_limit)
      listing.data.resize(data_at);
    listing.entries.push_back({value.value_type, name_at, listing.names.size() - name_at, data_at,
                               listing.data.size() - data_at, value.name_length == 0, offset, std::nullopt});
    return std::uint64_t{offset} + 4 + vk::FIXED_SIZE + value.name_length;
  });
  if (!listing.entries.empty()) match_keys(*this, deleted_keys(), listing);
  return listing;
}

}  // namespace kelpa
