#pragma once

#include <cstdint>
#include <string_view>

#include "py_ref.hpp"

namespace kelpa::python {

// A FILETIME as a timezone-aware datetime in UTC, to the microsecond; None for 0. A time past
// 9999-12-31 raises ValueError "Invalid format: Last written time of {what} is past 9999-12-31".
PyObject* datetime_from_filetime(std::uint64_t filetime, std::string_view what);

}  // namespace kelpa::python
