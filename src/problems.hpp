#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "error.hpp"

namespace kelpa {

// How a hive reads what it cannot read. Strict: the first unreadable record fails the whole
// operation. Tolerant: an unreadable record is left out, the problem is written down and the
// operation goes on with the others.
enum class ReadMode : std::uint8_t { Strict, Tolerant };

// One problem met while reading a tolerant hive: the cell offset it is at (none for the base
// block) and the message strict reading would have failed with.
struct Problem {
  std::optional<std::uint32_t> offset;
  std::string message;

  bool operator==(const Problem&) const = default;
};

// The one place that decides between failing and going on. Every reader hands what it could not
// read to meet(): a strict log gives the error back (the reader returns it, as it always did); a
// tolerant one writes it down and returns success (the reader leaves the record out and goes on).
// So the readers have one path for both modes and no test of their own.
//
// Each problem (offset and message) is kept once, in the order met, up to MAX_PROBLEMS; after
// that one last entry says that more were left out, and the log stops growing. Safe to use from
// several threads at once: one mutex, taken only when a problem is met.
//
// A damaged record is met again on every call that reads past it (each look-up of a path under a
// key lists all of the key's subkeys), so a problem met again must cost little: the errors
// already written down are kept by value in a hash set, and an equal error at the same offset
// is passed over without formatting its message. Only a new error is formatted and compared by
// its text, since two different errors may read alike.
class ProblemLog {
 public:
  static constexpr std::size_t MAX_PROBLEMS = 10'000;

  explicit ProblemLog(ReadMode mode) noexcept : mode_(mode) {}
  ProblemLog(const ProblemLog&) = delete;
  ProblemLog& operator=(const ProblemLog&) = delete;

  // A log that never tolerates anything and keeps nothing: for readers that have no hive (the
  // plausibility checks of the deleted-record scan).
  [[nodiscard]] static const ProblemLog& strict() noexcept;

  [[nodiscard]] ReadMode mode() const noexcept { return mode_; }
  // Strict: `error` back. Tolerant: success, with the problem written down.
  [[nodiscard]] Result<void> meet(std::optional<std::uint32_t> offset, RegistryError error) const;
  // A fault that reading goes past in both modes (what strict reading has always read as it is):
  // a tolerant log writes it down as meet() does, a strict one keeps nothing.
  void note(std::optional<std::uint32_t> offset, RegistryError error) const;
  // The problems written down so far, in the order met.
  [[nodiscard]] std::vector<Problem> problems() const;

 private:
  const ReadMode mode_;
  mutable std::mutex mutex_;
  // -1 stands for the base block, which has no cell offset.
  struct Met {
    std::int64_t offset;
    RegistryError error;
    bool operator==(const Met&) const = default;
  };
  struct MetHash {
    std::size_t operator()(const Met& met) const noexcept {
      return met.error.hash() ^ std::hash<std::int64_t>{}(met.offset) * 0x9e3779b97f4a7c15u;
    }
  };

  mutable std::vector<Problem> problems_;
  mutable std::set<std::pair<std::int64_t, std::string>> seen_;  // the problems written, by text
  mutable std::unordered_set<Met, MetHash> met_;                 // the errors written, by value
  mutable bool overflowed_ = false;
};

}  // namespace kelpa
