#pragma once

#include <optional>
#include <span>
#include <string>

#include "py_ref.hpp"

namespace kelpa::python {

// What a method with parameters accepts: its name as shown in messages ("Hive.open()"), its
// parameter names in order, and how many of them are required (the first ones).
struct Signature {
  const char* function;
  std::span<const char* const> names;
  Py_ssize_t required;
};

// The one argument parser of the module (METH_FASTCALL | METH_KEYWORDS). Fills `out` with borrowed
// references, one per parameter, nullptr for an omitted one. On a bad call it sets the TypeError
// with the interpreter's usual texts and returns false. Checks, in order: too many positional
// arguments, each keyword (unknown, then given twice), missing required arguments.
[[nodiscard]] bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames, std::span<PyObject*> out);

// A str argument as UTF-8. Anything else raises TypeError "argument '<name>': '<type>' object
// cannot be converted to 'PyString'"; a str that cannot be encoded raises UnicodeEncodeError.
[[nodiscard]] std::optional<std::string> text_argument(PyObject* value, const char* name);

}  // namespace kelpa::python
