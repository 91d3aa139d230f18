#pragma once

#include <string>

#include "error.hpp"
#include "py_ref.hpp"

namespace kelpa::python {

// A core error made ready for raising without the interpreter lock: the message is formatted and
// the exception class chosen, but no Python object exists yet.
struct PendingError {
  bool is_os_error;
  std::string message;

  static PendingError from(const RegistryError& error) {
    return {error.kind() == ErrorKind::Io, error.message()};
  }
};

// Raises OSError (Io) or ValueError (every other kind) with the message as the only argument.
// Returns nullptr for the caller to return.
PyObject* raise(const PendingError& error);
PyObject* raise(const RegistryError& error);

// Raises RuntimeError "Core panic: ..." for an unexpected failure in core work done without the
// lock.
PyObject* raise(const Panic& panic);

}  // namespace kelpa::python
