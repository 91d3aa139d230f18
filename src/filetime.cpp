#include "filetime.hpp"

namespace kelpa {

namespace {

constexpr std::uint64_t TICKS_PER_MICROSECOND = 10;
constexpr std::uint64_t MICROSECONDS_PER_DAY = 86'400'000'000;
// Days from 0000-03-01 (the epoch of the calendar arithmetic below) to 1601-01-01.
constexpr std::int64_t DAYS_TO_1601 = 584'694;
constexpr int LAST_YEAR = 9999;

// The proleptic Gregorian date of a day count from 0000-03-01: years start in March, so that the
// leap day falls at the end of a year, and 400-year eras repeat exactly (146097 days each).
CivilTime civil_from_days(std::int64_t days) noexcept {
  const std::int64_t era = days / 146'097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146'097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned month_from_march = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
  const unsigned month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
  const auto year = static_cast<int>(static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0));
  return {year, month, day, 0, 0, 0, 0};
}

}  // namespace

std::optional<CivilTime> civil_time(std::uint64_t filetime) noexcept {
  const std::uint64_t microseconds = filetime / TICKS_PER_MICROSECOND;
  const std::uint64_t days = microseconds / MICROSECONDS_PER_DAY;  // below 2^38: no overflow below
  CivilTime t = civil_from_days(DAYS_TO_1601 + static_cast<std::int64_t>(days));
  if (t.year > LAST_YEAR) return std::nullopt;
  std::uint64_t in_day = microseconds % MICROSECONDS_PER_DAY;
  t.microsecond = static_cast<unsigned>(in_day % 1'000'000);
  in_day /= 1'000'000;
  t.second = static_cast<unsigned>(in_day % 60);
  t.minute = static_cast<unsigned>(in_day / 60 % 60);
  t.hour = static_cast<unsigned>(in_day / 3600);
  return t;
}

}  // namespace kelpa
