#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "hive.hpp"
#include "le.hpp"

namespace kelpa {

namespace replay {  // limits on the image that replaying logs makes
inline constexpr std::uint64_t MAX_IMAGE_SIZE = 0x20000000;  // no page may end beyond 512 MiB
inline constexpr std::uint64_t MAX_GROWTH = 0x1000000;       // nor lengthen the image by more than 16 MiB
}  // namespace replay

// One page of a transaction log: bytes to write at an absolute image offset (offset 0 is the
// first byte of the base block).
struct DirtyPage {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;  // always data.size(), 1 to 65536
  std::vector<std::uint8_t> data;
};

// One parsed log file: its sequence number and every accepted page, in file order.
struct TransactionLog {
  std::vector<DirtyPage> dirty_pages;
  std::uint32_t sequence = 0;

  // Reads the whole file (Io on failure; closed on every path) and parses it.
  [[nodiscard]] static Result<TransactionLog> open(std::string_view path);
  // Parses a log file's bytes: InvalidFormat "Transaction log too small" below 4096 bytes,
  // InvalidSignature without "HvLE"; damaged blocks and records are passed over, not reported.
  [[nodiscard]] static Result<TransactionLog> parse(Bytes file);
};

// Applies the dirty pages of the given log files (each the bytes of one whole file, LOG1 first)
// to `image`: a file that TransactionLog::parse would refuse is left out; the others are applied
// in ascending sequence (equal ones in the order given), all page limits checked
// before the image grows. When pages were applied, an image shorter than 4096 bytes is
// HiveTooSmall and the base block checksum is rewritten. The image then goes to Hive::from_data.
// A failure discards the image.
[[nodiscard]] Result<std::shared_ptr<Hive>> replay_logs(std::vector<std::uint8_t> image, std::span<const Bytes> log_files);

// Reads the hive file into an owned image, applies the pages of the logs that could be read
// (ascending sequence; a log that fails to open or parse is left out), rewrites the base block
// checksum when pages were applied, and builds the hive with Hive::from_data (through replay_logs).
[[nodiscard]] Result<std::shared_ptr<Hive>> open_with_logs(std::string_view hive_path,
                                                           std::optional<std::string_view> log1_path,
                                                           std::optional<std::string_view> log2_path);

}  // namespace kelpa
