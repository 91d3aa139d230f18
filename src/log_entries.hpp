#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "le.hpp"

namespace kelpa {

namespace log_entry {  // one entry of a new-format log (Windows 8.1 and later), offsets in the entry
inline constexpr std::size_t SIGNATURE = 0, SIZE = 4, FLAGS = 8, SEQUENCE = 12, HIVE_BINS_DATA_SIZE = 16,
                             PAGE_COUNT = 20, DATA_HASH = 24, HEADER_HASH = 32, PAGE_REFERENCES = 40;
inline constexpr std::size_t FIRST_ENTRY = 512;  // file offset, right after the log base block
inline constexpr std::uint32_t SIZE_ALIGNMENT = 512, MIN_SIZE = 512;
inline constexpr std::size_t PAGE_REFERENCE_SIZE = 8;  // u32 offset relative to the bins, u32 size
}  // namespace log_entry

// What applying the entries of one new-format log did.
struct EntryRun {
  std::uint64_t entries = 0, pages = 0;
  std::uint32_t last_sequence = 0;          // of the last applied entry (when entries > 0)
  std::uint32_t hive_bins_data_size = 0;    // as the last applied entry left it
  std::uint32_t flags = 0;                  // of the last applied entry
  std::string stop;      // why the entry after the last applied one was refused ("" at the end)
  bool damaged = false;  // that entry was damaged, rather than absent or of another sequence
};

// Applies the entries of a new-format log, in file order from offset 512, to `image` while each
// is valid: "HvLE", a size of at least 512 and a multiple of 512 inside the file, a hive bins data
// size that is a non-zero multiple of 4096 with the bins ending within `max_image`, at least one
// page, every page inside the entry and ending within `max_image`, both Marvin32 hashes right,
// and the sequence number `first_sequence` for the first entry, then one more each time
// (wrapping). Each page overwrites the image at 4096 + its offset; the image grows zero-filled
// and never shrinks. The first entry that fails ends the log, without an error.
[[nodiscard]] EntryRun apply_log_entries(Bytes file, std::uint32_t first_sequence, std::vector<std::uint8_t>& image,
                                         std::uint64_t max_image);

}  // namespace kelpa
