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

// A "HvLE"-headed log as the scan finds it: its pages as positions in the file, not copies.
struct BlockLog {
  struct PageRef {
    std::uint32_t offset;  // target in the hive image
    std::size_t at;        // first data byte in the log file
    std::uint32_t size;
  };
  std::uint32_t sequence = 0;
  std::vector<PageRef> pages;
  std::uint64_t blocks = 0;  // dirty blocks that gave at least one page
};

// Checks the length (InvalidFormat "Transaction log too small" below 4096 bytes) and the "HvLE"
// signature (InvalidSignature) and passes over every damaged block or record. The result holds
// at most 11000 small entries whatever the file claims, and refers into `file`.
[[nodiscard]] Result<BlockLog> scan_blocks(Bytes file);

struct LoadedBlockLog {
  Bytes file;  // the bytes the pages point into
  BlockLog log;
};

// Writes the pages of `logs`, in the order given, into `image`. Every page limit (512 MiB end,
// 16 MiB growth per page) is checked before the image grows, so a replay bound to fail allocates
// nothing. When pages were written, an image shorter than 4096 bytes is HiveTooSmall and the base
// block checksum is rewritten. True when any page was written.
[[nodiscard]] Result<bool> apply_block_logs(std::vector<std::uint8_t>& image, std::span<const LoadedBlockLog> logs);

}  // namespace kelpa
