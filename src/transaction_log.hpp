#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "hive.hpp"
#include "le.hpp"

namespace kelpa {

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

// Reads the hive file into an owned image, applies the pages of the logs that could be read
// (ascending sequence; a log that fails to open or parse is left out), rewrites the base block
// checksum when pages were applied, and builds the hive with Hive::from_data.
[[nodiscard]] Result<std::shared_ptr<Hive>> open_with_logs(std::string_view hive_path,
                                                           std::optional<std::string_view> log1_path,
                                                           std::optional<std::string_view> log2_path);

}  // namespace kelpa
