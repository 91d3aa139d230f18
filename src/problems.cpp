#include "problems.hpp"

namespace kelpa {

namespace {

const std::string MORE_LEFT_OUT =
    "More problems were met; only the first " + decimal(ProblemLog::MAX_PROBLEMS) + " are listed";

}  // namespace

const ProblemLog& ProblemLog::strict() noexcept {
  static const ProblemLog log(ReadMode::Strict);
  return log;
}

Result<void> ProblemLog::meet(std::optional<std::uint32_t> offset, RegistryError error) const {
  if (mode_ == ReadMode::Strict) return std::unexpected(std::move(error));
  Met met{offset ? std::int64_t{*offset} : -1, std::move(error)};
  std::lock_guard lock(mutex_);
  if (overflowed_ || met_.contains(met)) return {};
  std::string message = met.error.message();
  if (!seen_.emplace(met.offset, message).second) return {};
  if (problems_.size() == MAX_PROBLEMS) {
    problems_.push_back({std::nullopt, MORE_LEFT_OUT});
    overflowed_ = true;
    seen_.clear();
    met_.clear();
    return {};
  }
  met_.insert(std::move(met));
  problems_.push_back({offset, std::move(message)});
  return {};
}

void ProblemLog::note(std::optional<std::uint32_t> offset, RegistryError error) const {
  if (mode_ == ReadMode::Tolerant) (void)meet(offset, std::move(error));
}

std::vector<Problem> ProblemLog::problems() const {
  std::lock_guard lock(mutex_);
  return problems_;
}

}  // namespace kelpa
