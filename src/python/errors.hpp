#pragma once

#include <string>
#include <type_traits>

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

// Runs core work (returning a Result) without the interpreter lock; with the lock back, raises
// its failure or builds the Python result from its value (from nothing for a Result<void>).
template <class Core, class Build>
PyObject* run_then_build(Core&& core, Build&& build) {
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
  if (!*outcome) return raise(outcome->error());
  if constexpr (std::is_void_v<Value>) {
    return build();
  } else {
    return build(**outcome);
  }
}

}  // namespace kelpa::python
