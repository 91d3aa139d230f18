#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "hive.hpp"
#include "log_blocks.hpp"

namespace kelpa {

// One log file given to the replay: its path (for the report) and its bytes, or the error that
// reading it gave.
struct LogInput {
  std::string_view path;
  Result<Bytes> file;
};

// Replays the given logs (LOG1 first) onto `image` and builds the hive with Hive::from_data; the
// hive's log_replay() then says, per log, what was done and why not.
//
// Logs are told apart by content. A log that starts with "HvLE" is applied as it always was:
// every page, in ascending sequence, whatever the state of the hive, with the page limits of
// apply_block_logs, whose errors fail the whole call. Logs that start with a "regf" base block
// (Windows' own, in the new entry format or the old dirty-vector format) are used only when the
// hive needs recovery (its sequence numbers differ or its base block is unusable) and only as
// far as they are valid: a Windows log never makes this fail. Their pages must end within
// `max_image` (512 MiB; the fuzz target passes less). After the Windows logs, both sequence
// numbers are the last applied sequence, the hive bins data size is the log's, the file type 0
// and the checksum is rewritten. The "HvLE"-headed logs are applied after that. `mode` is the
// built hive's (Hive::from_data); the replay itself is the same in both.
[[nodiscard]] Result<std::shared_ptr<Hive>> replay_logs(std::vector<std::uint8_t> image, std::span<const LogInput> logs,
                                                        std::uint64_t max_image = replay::MAX_IMAGE_SIZE,
                                                        ReadMode mode = ReadMode::Strict);

// The same for log files all read (no paths in the report).
[[nodiscard]] Result<std::shared_ptr<Hive>> replay_logs(std::vector<std::uint8_t> image, std::span<const Bytes> log_files);

// Reads the hive file (Io on failure, no log looked at) and each given log (a log that cannot be
// read is reported with the operating system's text and left out), then replay_logs.
[[nodiscard]] Result<std::shared_ptr<Hive>> open_with_logs(std::string_view hive_path,
                                                           std::optional<std::string_view> log1_path,
                                                           std::optional<std::string_view> log2_path,
                                                           ReadMode mode = ReadMode::Strict);

}  // namespace kelpa
