#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelpa {

// What replaying one log file did, for the caller to see.
struct LogReplay {
  std::string path;    // as given
  std::string layout;  // "blocks" ("HvLE" at offset 0), "new", "old", or "" (unread or unknown)
  bool applied = false;
  std::uint64_t entries = 0;  // entries applied; 1 for an old-format log; dirty blocks for "blocks"
  std::uint64_t pages = 0;    // pages or sectors written
  std::optional<std::uint32_t> sequence;  // the last sequence number applied
  std::string reason;  // why not applied or why it stopped early; "" otherwise
};

}  // namespace kelpa
