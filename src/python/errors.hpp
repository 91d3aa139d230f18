#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "error.hpp"
#include "py_ref.hpp"

namespace kelpa::python {

// How an Io error reaches Python. Plain: OSError itself with the message as its one argument,
// whatever the error number (the form the original factories and save keep). Typed: as Python's
// own file functions raise it, OSError(errno, strerror, filename), which picks the subclass
// (FileNotFoundError, PermissionError, IsADirectoryError, ...) and sets the three attributes; an
// error without a number stays plain.
enum class IoErrors : std::uint8_t { Plain, Typed };

// A core error made ready for raising without the interpreter lock: the message is formatted and
// the exception class chosen, but no Python object exists yet.
struct PendingError {
  bool is_os_error;
  std::string message;
  int os_error_number = 0;  // Io only: what a typed OSError is made of
  std::string os_error_description;
  std::string path;

  static PendingError from(const RegistryError& error) {
    if (error.kind() != ErrorKind::Io) return {false, error.message(), 0, {}, {}};
    return {true, error.message(), error.os_error_number(), error.os_error_description(), error.path()};
  }
};

// Raises OSError (Io, in the form `io` says) or ValueError (every other kind) with the message as
// the only argument. Returns nullptr for the caller to return.
PyObject* raise(const PendingError& error, IoErrors io = IoErrors::Plain);
PyObject* raise(const RegistryError& error);

// Raises RuntimeError "Core panic: ..." for an unexpected failure in core work done without the
// lock.
PyObject* raise(const Panic& panic);

// Runs core work (returning a Result) without the interpreter lock; with the lock back, raises
// its failure (an Io error in the form `io` says) or builds the Python result from its value (from
// nothing for a Result<void>).
template <class Core, class Build>
PyObject* run_then_build(Core&& core, Build&& build, IoErrors io = IoErrors::Plain) {
  using Value = typename std::invoke_result_t<Core>::value_type;
  auto outcome = without_gil([&]() -> std::expected<Value, PendingError> {
    auto result = core();
    if (!result) return std::unexpected(PendingError::from(result.error()));
    if constexpr (std::is_void_v<Value>) {
      return {};
    } else {
      return std::move(*result);
    }
  });
  if (!outcome) return raise(outcome.error());
  if (!*outcome) return raise(outcome->error(), io);
  if constexpr (std::is_void_v<Value>) {
    return build();
  } else {
    return build(**outcome);
  }
}

}  // namespace kelpa::python
