#pragma once

// What every fuzz target does with the library's answers: an error only has its message formatted
// (as the binding layer does for every error it raises), and a broken promise aborts, so that the
// fuzzer keeps the input.

#include <cstdio>
#include <cstdlib>

#include "error.hpp"

namespace kelpa::fuzz {

[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

inline void consume(const RegistryError& error) {
  if (error.message().empty()) broken("an error message is empty");
}

}  // namespace kelpa::fuzz
