#pragma once

// A structure-aware mutator for the targets whose input is a hive file (libFuzzer's
// LLVMFuzzerCustomMutator, compiled into the fuzzer builds only: the replay drivers have no
// libFuzzer to call back). Random bytes stop at the base block or the first bin; this mutator
// instead finds the bins and cells of the input and changes one field of one record to a value
// that matters to the readers (a count, an offset naming another cell or the record itself, a
// size at a boundary, a name length, a signature), so that most inputs still get past the first
// checks and reach the readers behind them. Afterwards the base block's hive bins data size and
// checksum are put right, except now and then, so that their checks are reached too. Half the
// time (and whenever the input is no hive) libFuzzer's own byte mutations run instead.

#ifdef KELPA_LIBFUZZER

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "hive.hpp"
#include "key.hpp"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace kelpa::fuzz::mutator {

inline std::uint32_t load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void store32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
inline void store16(std::uint8_t* p, std::uint16_t v) { std::memcpy(p, &v, 2); }

struct Cell {
  std::uint32_t offset;  // from the start of the bins, as records name cells
  std::uint32_t size;    // the whole cell, size field included
  bool allocated;
};

// The cells of the bins that chain from the base block, as far as they chain soundly; `bins_end`
// is the image position where that chain ends.
inline std::vector<Cell> cells_of(std::span<const std::uint8_t> image, std::size_t& bins_end) {
  std::vector<Cell> cells;
  std::size_t bin = HIVE_MIN_SIZE;
  while (bin + 32 <= image.size() && std::memcmp(&image[bin], "hbin", 4) == 0 && cells.size() < 4096) {
    const std::uint32_t bin_size = load32(&image[bin + 8]);
    if (bin_size < 32 || bin_size % 4096 != 0 || bin_size > image.size() - bin) break;
    std::size_t cell = bin + 32;
    while (cell + 8 <= bin + bin_size && cells.size() < 4096) {
      const auto raw = static_cast<std::int32_t>(load32(&image[cell]));
      const std::uint32_t size = raw < 0 ? 0u - static_cast<std::uint32_t>(raw) : static_cast<std::uint32_t>(raw);
      if (size < 8 || size % 8 != 0 || size > bin + bin_size - cell) break;
      cells.push_back({static_cast<std::uint32_t>(cell - HIVE_MIN_SIZE), size, raw < 0});
      cell += size;
    }
    bin += bin_size;
  }
  bins_end = bin;
  return cells;
}

// Values that matter to a reader of the field, given the cells of the image.
inline std::uint32_t interesting(std::minstd_rand& rng, const std::vector<Cell>& cells, std::uint32_t own,
                                 std::uint32_t image_size) {
  static constexpr std::array<std::uint32_t, 16> fixed{0,          1,          2,          4,          0x20,       0xFF,
                                                       0x100,      0x3FD8,     0x3FD9,     0x4000,     0x7FFF,     0xFFFF,
                                                       0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
  switch (rng() % 6) {
    case 0:
    case 1:
      return cells.empty() ? 0x20 : cells[rng() % cells.size()].offset;  // another record
    case 2:
      return own;  // the record itself: cycles
    case 3:
      return image_size - HIVE_MIN_SIZE + static_cast<std::uint32_t>(rng() % 9) - 4;  // the end of the bins
    default:
      return fixed[rng() % fixed.size()];
  }
}

// One field of the record in `cell` changed; false when the cell holds nothing to change.
inline bool mutate_record(std::minstd_rand& rng, std::uint8_t* image, std::size_t size, const std::vector<Cell>& cells,
                          const Cell& cell) {
  std::uint8_t* p = image + HIVE_MIN_SIZE + cell.offset + 4;
  const std::size_t room = cell.size - 4;
  const auto image_size = static_cast<std::uint32_t>(size);
  auto u32_at = [&](std::size_t at) {
    if (at + 4 <= room) store32(p + at, interesting(rng, cells, cell.offset, image_size));
  };
  auto u16_at = [&](std::size_t at) {
    if (at + 2 <= room) store16(p + at, static_cast<std::uint16_t>(interesting(rng, cells, cell.offset, image_size)));
  };
  if (room >= nk::FIXED_SIZE && std::memcmp(p, "nk", 2) == 0) {
    static constexpr std::array<std::size_t, 11> fields{nk::PARENT,         nk::SUBKEY_COUNT,       nk::SUBKEY_LIST_OFFSET,
                                                        nk::VALUE_COUNT,    nk::VALUE_LIST_OFFSET,  nk::SECURITY_OFFSET,
                                                        nk::CLASS_NAME_OFFSET, nk::VOLATILE_SUBKEY_COUNT,
                                                        nk::VOLATILE_SUBKEY_LIST_OFFSET, nk::NAME_LENGTH, nk::FLAGS};
    const std::size_t field = fields[rng() % fields.size()];
    if (field == nk::NAME_LENGTH || field == nk::FLAGS) {
      u16_at(field);
    } else {
      u32_at(field);
    }
    return true;
  }
  if (room >= 20 && std::memcmp(p, "vk", 2) == 0) {
    static constexpr std::array<std::size_t, 5> fields{2, 4, 8, 12, 16};  // name length, size, offset, type, flags
    const std::size_t field = fields[rng() % fields.size()];
    if (field == 2 || field == 16) {
      u16_at(field);
    } else {
      u32_at(field);
    }
    return true;
  }
  if (room >= 4 && (std::memcmp(p, "lf", 2) == 0 || std::memcmp(p, "lh", 2) == 0 || std::memcmp(p, "li", 2) == 0 ||
                    std::memcmp(p, "ri", 2) == 0 || std::memcmp(p, "db", 2) == 0)) {
    if (rng() % 3 == 0) {
      u16_at(2);  // the count
    } else {
      const std::size_t width = (p[1] == 'f' || p[1] == 'h') ? 8 : 4;
      const std::size_t elements = (room - 4) / width;
      if (elements > 0) u32_at(4 + width * (rng() % elements));  // an element's offset
    }
    if (rng() % 8 == 0) {  // another list kind over the same elements
      static constexpr std::array<const char*, 5> kinds{"lf", "lh", "li", "ri", "db"};
      std::memcpy(p, kinds[rng() % kinds.size()], 2);
    }
    return true;
  }
  if (room >= 20 && std::memcmp(p, "sk", 2) == 0) {
    u32_at(4 + 4 * (rng() % 4));  // flink, blink, reference count, descriptor size
    return true;
  }
  return false;
}

// The cell's size field: flipped between allocated and free, cut to a boundary, or stretched.
inline void mutate_cell_size(std::minstd_rand& rng, std::uint8_t* image, const Cell& cell) {
  std::uint8_t* p = image + HIVE_MIN_SIZE + cell.offset;
  const auto signed_size = static_cast<std::int32_t>(cell.size);
  static constexpr std::array<std::int32_t, 6> odd{0, 3, 4, -4, INT32_MIN, INT32_MAX};
  switch (rng() % 4) {
    case 0:
      store32(p, static_cast<std::uint32_t>(cell.allocated ? signed_size : -signed_size));  // freed or taken
      break;
    case 1:
      store32(p, static_cast<std::uint32_t>(odd[rng() % odd.size()]));
      break;
    default: {
      const std::int32_t step = 8 * static_cast<std::int32_t>(rng() % 5) - 16;
      const std::int32_t size = std::max(8, signed_size + step);
      store32(p, static_cast<std::uint32_t>(cell.allocated ? -size : size));
    }
  }
}

inline void fix_base_block(std::minstd_rand& rng, std::uint8_t* image, std::size_t size) {
  if (rng() % 16 != 0)
    store32(image + base_block::HIVE_BINS_DATA_SIZE, static_cast<std::uint32_t>((size - HIVE_MIN_SIZE) & ~0xFFFu));
  if (rng() % 16 != 0) store_base_block_checksum(std::span(image, size));
}

inline std::size_t mutate(std::uint8_t* data, std::size_t size, std::size_t max_size, unsigned int seed) {
  std::minstd_rand rng(seed);
  if (size < HIVE_MIN_SIZE + 32 || std::memcmp(data, "regf", 4) != 0 || rng() % 2 == 0)
    return LLVMFuzzerMutate(data, size, max_size);
  std::size_t bins_end = HIVE_MIN_SIZE;
  const std::vector<Cell> cells = cells_of(std::span<const std::uint8_t>(data, size), bins_end);
  const unsigned int choice = rng() % 8;
  if (cells.empty() || choice == 0) {
    // A base block field: the root cell, the versions, the sequence numbers.
    static constexpr std::array<std::size_t, 6> fields{base_block::ROOT_CELL_OFFSET,  base_block::ROOT_CELL_OFFSET,
                                                       base_block::MINOR_VERSION,     base_block::PRIMARY_SEQUENCE,
                                                       base_block::HIVE_BINS_DATA_SIZE, base_block::FILE_TYPE};
    const std::size_t field = fields[rng() % fields.size()];
    store32(data + field, field == base_block::MINOR_VERSION ? static_cast<std::uint32_t>(rng() % 8)
                                                             : interesting(rng, cells, 0x20, static_cast<std::uint32_t>(size)));
    if (field != base_block::HIVE_BINS_DATA_SIZE) fix_base_block(rng, data, size);
    return size;
  }
  const Cell& cell = cells[rng() % cells.size()];
  if (choice == 1) {
    mutate_cell_size(rng, data, cell);
  } else if (choice == 2) {
    // The bytes of one record (a name, data) by libFuzzer's own mutations, its length kept.
    std::uint8_t* payload = data + HIVE_MIN_SIZE + cell.offset + 4;
    const std::size_t length = cell.size - 4;
    std::vector<std::uint8_t> bytes(payload, payload + length);
    bytes.resize(LLVMFuzzerMutate(bytes.data(), length, length));
    std::copy(bytes.begin(), bytes.end(), payload);
  } else if (choice == 3 && size + 4096 <= max_size && cell.size <= 4096 - 32 - 8) {
    // A bin appended after the last one, holding a copy of the cell (a record named twice, or
    // found again by the deleted-record scan) and one free cell for the rest.
    std::memmove(data + bins_end + 4096, data + bins_end, size - bins_end);
    std::uint8_t* bin = data + bins_end;
    std::memset(bin, 0, 4096);
    std::memcpy(bin, "hbin", 4);
    store32(bin + 4, static_cast<std::uint32_t>(bins_end - HIVE_MIN_SIZE));
    store32(bin + 8, 4096);
    std::memcpy(bin + 32, data + HIVE_MIN_SIZE + cell.offset, cell.size);
    store32(bin + 32 + cell.size, 4096 - 32 - cell.size);
    size += 4096;
  } else if (!mutate_record(rng, data, size, cells, cell)) {
    mutate_cell_size(rng, data, cell);
  }
  fix_base_block(rng, data, size);
  return size;
}

}  // namespace kelpa::fuzz::mutator

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
  return kelpa::fuzz::mutator::mutate(data, size, max_size, seed);
}

#endif  // KELPA_LIBFUZZER
