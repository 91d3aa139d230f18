// FILETIME to datetime, shared by RegistryKey.last_written and BaseBlock.last_written.

#include "timestamps.hpp"

#include <string>

#include "errors.hpp"
#include "filetime.hpp"

#include <datetime.h>

namespace kelpa::python {

PyObject* datetime_from_filetime(std::uint64_t filetime, std::string_view what) {
  if (filetime == 0) Py_RETURN_NONE;
  const auto t = civil_time(filetime);
  if (!t)
    return raise(RegistryError::invalid_format("Last written time of " + std::string(what) + " is past 9999-12-31"));
  // The capsule import is cached by the interpreter; this translation unit keeps its own pointer.
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) return nullptr;
  }
  return PyDateTimeAPI->DateTime_FromDateAndTime(t->year, static_cast<int>(t->month), static_cast<int>(t->day),
                                                 static_cast<int>(t->hour), static_cast<int>(t->minute),
                                                 static_cast<int>(t->second), static_cast<int>(t->microsecond),
                                                 PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType);
}

}  // namespace kelpa::python
