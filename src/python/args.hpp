#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "le.hpp"
#include "py_ref.hpp"

namespace kelpa::python {

// What a method with parameters accepts: its name as shown in messages ("Hive.open()"), its
// parameter names in order, how many of them are required (the first ones) and how many are
// keyword-only (the last ones).
struct Signature {
  const char* function;
  std::span<const char* const> names;
  Py_ssize_t required;
  Py_ssize_t keyword_only = 0;
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

// A file system path argument (str, bytes or os.PathLike) as the bytes the system gets: a str is
// encoded as os.fsencode encodes it, so names that are not UTF-8 pass unchanged. Anything else
// raises TypeError "argument '<name>': expected str, bytes or os.PathLike object, not <type>".
[[nodiscard]] std::optional<std::string> path_argument(PyObject* value, const char* name);

// The bytes of an argument with the buffer protocol. A read-only buffer is used in place: it
// stays exported until the last holder of `owner` lets go (which may happen on any thread: the
// release takes the interpreter lock itself). A writable one is copied at once, so that changing
// it later changes nothing here. Anything else raises TypeError "argument '<name>': a bytes-like
// object is required, not '<type>'".
struct BufferBytes {
  Bytes bytes;
  std::shared_ptr<const void> owner;
};
[[nodiscard]] std::optional<BufferBytes> buffer_argument(PyObject* value, const char* name);

// A flag argument, by its truth value; nullptr (omitted) gives `omitted`. nullopt with the
// exception set when the truth test raises.
[[nodiscard]] std::optional<bool> flag_argument(PyObject* value, bool omitted);

}  // namespace kelpa::python
