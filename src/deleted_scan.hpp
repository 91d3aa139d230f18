#pragma once

// Where deleted records are looked for. Hive::deleted_keys and Hive::deleted_values (declared in
// hive.hpp, defined in deleted_scan.cpp) visit the stretches listed here and keep the records that
// pass the plausibility limits of deleted_scan.cpp.

#include <algorithm>
#include <cstdint>

#include "hive.hpp"
#include "security_key.hpp"
#include "subkey_list.hpp"

namespace kelpa {

// One stretch of unallocated space, as cell offsets: [start, end).
struct UnallocatedSpace {
  std::uint32_t start;
  std::uint32_t end;
};

namespace scan {
namespace bin_header {  // offsets from the start of a bin
inline constexpr std::size_t SIGNATURE = 0, OFFSET = 4, SIZE = 8, HEADER_SIZE = 32;
}
inline constexpr std::uint32_t MIN_CELL_SIZE = 8;
namespace db {  // big-data record: signature, segment count, segment list offset
inline constexpr std::size_t SIZE = 8;
}

// How many payload bytes the record of an allocated cell uses, for the records that say so
// themselves: key nodes and value keys (fixed part and name), subkey lists (header and
// elements), security keys (fixed part and descriptor) and big-data records. 0 for every other
// cell (value lists and data cells carry no length of their own): their slack is not scanned.
// Windows hands out a free cell whole when what would be left of it is too small to be a cell,
// so an allocated cell can end in the remains of an older record: its slack.
[[nodiscard]] inline std::uint64_t allocated_record_size(Bytes payload) noexcept {
  if (payload.size() < 4) return 0;
  const std::uint16_t word = load_u16(payload, 2);
  if (has_signature(payload, 'n', 'k')) return nk::FIXED_SIZE + std::uint64_t{load_u16(payload, nk::NAME_LENGTH)};
  if (has_signature(payload, 'v', 'k')) return vk::FIXED_SIZE + std::uint64_t{word};
  if (has_signature(payload, 'l', 'f') || has_signature(payload, 'l', 'h'))
    return subkey_list::HEADER_SIZE + 8 * std::uint64_t{word};
  if (has_signature(payload, 'l', 'i') || has_signature(payload, 'r', 'i'))
    return subkey_list::HEADER_SIZE + 4 * std::uint64_t{word};
  if (has_signature(payload, 's', 'k')) return sk::FIXED_SIZE + std::uint64_t{load_u32(payload, sk::DESCRIPTOR_SIZE)};
  if (has_signature(payload, 'd', 'b')) return db::SIZE;
  return 0;
}
}  // namespace scan

// Calls `visit(UnallocatedSpace)` in image order for every free cell (positive size) of the bins
// that the bin walk finds inside the base block's hive bins data size, for the slack of their
// allocated cells (see allocated_record_size), and once for the space from
// the end of the last of those bins to the end of the image (bins that a hive dropped when it
// shrank lie there, with their cells still marked allocated). The bin walk stops where a header
// is missing, names another position or has a size below 32; a bin's cell walk stops at a cell
// whose size is below 8 or runs past the bin, and the rest of that bin is not visited (it cannot
// be told from live records). Reads the image only; allocates nothing.
template <class Visit>
void for_each_unallocated_space(const Hive& hive, Visit&& visit) {
  const Bytes bins = hive.bytes().subspan(HIVE_MIN_SIZE);
  // Cell offsets are 32-bit: an image past 4 GiB is scanned up to the last offset it can name.
  const std::uint64_t limit = std::min<std::uint64_t>(bins.size(), UINT32_MAX - HIVE_MIN_SIZE);
  const std::uint64_t live_end = std::min<std::uint64_t>(hive.base_block().hive_bins_data_size, limit);
  auto emit = [&](std::uint64_t start, std::uint64_t end) {
    visit(UnallocatedSpace{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)});
  };
  std::uint64_t bin = 0;
  while (bin < live_end) {
    const auto header = slice(bins, bin, scan::bin_header::HEADER_SIZE);
    if (!header || !has_four_byte_signature(*header, scan::bin_header::SIGNATURE, "hbin") ||
        load_u32(*header, scan::bin_header::OFFSET) != bin)
      break;
    const std::uint32_t size = load_u32(*header, scan::bin_header::SIZE);
    if (size < scan::bin_header::HEADER_SIZE) break;
    const std::uint64_t bin_end = std::min<std::uint64_t>(bin + size, limit);
    std::uint64_t cell = bin + scan::bin_header::HEADER_SIZE;
    while (cell < bin_end && bin_end - cell >= scan::MIN_CELL_SIZE) {
      const auto raw = static_cast<std::int32_t>(load_u32(bins, static_cast<std::size_t>(cell)));
      const std::uint32_t magnitude = raw < 0 ? 0u - static_cast<std::uint32_t>(raw) : static_cast<std::uint32_t>(raw);
      if (magnitude < scan::MIN_CELL_SIZE || magnitude > bin_end - cell) break;
      if (raw > 0) {
        emit(cell, cell + magnitude);
      } else if (const std::uint64_t used = scan::allocated_record_size(bins.subspan(cell + 4, magnitude - 4))) {
        // Old cells started at multiples of 8, so the slack is searched from the first one after
        // the record.
        const std::uint64_t slack = cell + (4 + used + 7) / 8 * 8;
        if (slack < cell + magnitude) emit(slack, cell + magnitude);
      }
      cell += magnitude;
    }
    bin += size;
  }
  if (bin < limit) emit(bin, limit);
}

}  // namespace kelpa
