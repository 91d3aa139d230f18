#pragma once

#include <cstdint>
#include <optional>

namespace kelpa {

// A moment in UTC as calendar fields, to the microsecond.
struct CivilTime {
  int year;
  unsigned month, day, hour, minute, second, microsecond;
};

// A Windows FILETIME (100-nanosecond ticks since 1601-01-01 00:00 UTC) as calendar fields, the
// ticks below one microsecond dropped. nullopt for a time past 9999-12-31 23:59:59.999999, the
// last moment a Python datetime can hold. A FILETIME of 0 converts like any other (to 1601-01-01);
// callers that read 0 as "not set" test for it first.
[[nodiscard]] std::optional<CivilTime> civil_time(std::uint64_t filetime) noexcept;

}  // namespace kelpa
