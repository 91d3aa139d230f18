#pragma once

#include <cstdint>
#include <string_view>

namespace kelpa {

// The simple (one character to one character) uppercase mapping of Unicode 15.1; a character
// without one maps to itself. Full mappings that expand one character into several (U+00DF to
// "SS") are not applied.
[[nodiscard]] char32_t simple_uppercase(char32_t c) noexcept;

// Key names compared the way Windows compares them: equal when both hold the same number of
// characters and each pair is equal after simple_uppercase. Both texts are UTF-8; a byte that
// does not start a well-formed sequence counts as one character of its own, equal only to the
// same byte.
[[nodiscard]] bool key_names_equal(std::string_view a, std::string_view b) noexcept;

}  // namespace kelpa
