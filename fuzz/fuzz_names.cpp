// Fuzz target: the name decoders and the value data parser on raw bytes.
//
// Each decoder is checked against an independent encoder: a decoded text must be well-formed
// UTF-8 without trailing U+0000, and where the input was well-formed its text must encode back
// to exactly the input bytes (less the byte-order mark and the trailing U+0000 characters).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cell.hpp"
#include "promise.hpp"
#include "utils.hpp"
#include "value_data.hpp"

namespace {

using kelpa::fuzz::broken;

// The code points of well-formed UTF-8 (shortest form, no surrogates, at most U+10FFFF), or
// nullopt for anything else.
std::optional<std::vector<char32_t>> code_points(const std::string& text) {
  std::vector<char32_t> out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length;
    char32_t cp;
    if (lead < 0x80) {
      length = 1, cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07u;
    } else {
      return std::nullopt;
    }
    if (text.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (next & 0x3Fu);
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    out.push_back(cp);
    i += length;
  }
  return out;
}

std::vector<std::uint8_t> utf16(const std::vector<char32_t>& cps, bool big_endian) {
  std::vector<std::uint8_t> out;
  auto unit = [&](char32_t u) {
    const auto lo = static_cast<std::uint8_t>(u & 0xFF), hi = static_cast<std::uint8_t>(u >> 8);
    out.push_back(big_endian ? hi : lo);
    out.push_back(big_endian ? lo : hi);
  };
  for (char32_t cp : cps) {
    if (cp < 0x10000) {
      unit(cp);
    } else {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
  }
  return out;
}

// The input bytes less trailing zero units of `width` bytes.
kelpa::Bytes without_trailing_zeros(kelpa::Bytes bytes, std::size_t width) {
  std::size_t end = bytes.size();
  while (end >= width) {
    bool zero = true;
    for (std::size_t k = end - width; k < end; ++k) zero = zero && bytes[k] == 0;
    if (!zero) break;
    end -= width;
  }
  return bytes.first(end);
}

bool same(kelpa::Bytes a, const std::vector<std::uint8_t>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

void check_text(const std::string& text, const char* decoder) {
  if (!code_points(text)) {
    std::fprintf(stderr, "%s: ", decoder);
    broken("decoded text is not well-formed UTF-8");
  }
  if (!text.empty() && text.back() == '\0') {
    std::fprintf(stderr, "%s: ", decoder);
    broken("decoded text ends in U+0000");
  }
}

// 8-bit names are Latin-1: one character per byte, each the code point of its byte.
void check_ascii(kelpa::Bytes input) {
  const std::string text = kelpa::read_ascii_string(input);
  check_text(text, "read_ascii_string");
  const kelpa::Bytes kept = without_trailing_zeros(input, 1);
  const auto cps = code_points(text);
  if (!cps || !std::equal(kept.begin(), kept.end(), cps->begin(), cps->end(),
                          [](std::uint8_t byte, char32_t cp) { return cp == char32_t{byte}; }))
    broken("read_ascii_string is not Latin-1");
}

// The lossy decoder never fails, gives what the strict one gives where that succeeds, and
// otherwise text holding at least one U+FFFD (unless only the odd length was wrong, after a
// UTF-8 mark, where no code unit is bad).
void check_utf16_lossy(kelpa::Bytes input, const kelpa::Result<std::string>& strict) {
  std::string lossy;
  kelpa::append_utf16_lossy(input, lossy);
  check_text(lossy, "append_utf16_lossy");
  if (strict && lossy != *strict) broken("append_utf16_lossy differs from read_utf16_string on good input");
  const bool utf8_mark = input.size() >= 3 && input[0] == 0xEF && input[1] == 0xBB && input[2] == 0xBF;
  if (!strict && !(utf8_mark && input.size() % 2 != 0) && lossy.find("\xEF\xBF\xBD") == std::string::npos)
    broken("append_utf16_lossy replaced nothing");
}

void check_utf16(kelpa::Bytes input) {
  auto text = kelpa::read_utf16_string(input, 0x20);
  check_utf16_lossy(input, text);
  if (!text) {
    if (text.error().kind() != kelpa::ErrorKind::InvalidUtf16) broken("read_utf16_string failed with another kind");
    if (text.error().message() != "Invalid UTF-16 string at offset 0x20") broken("read_utf16_string message");
    if (input.size() % 2 == 0 && input.size() >= 3 && input[0] == 0xEF && input[1] == 0xBB && input[2] == 0xBF) {
      const std::string rest(input.begin() + 3, input.end());
      if (code_points(rest)) broken("read_utf16_string refused well-formed UTF-8 after its mark");
    }
    return;
  }
  check_text(*text, "read_utf16_string");
  if (input.size() % 2 != 0) broken("read_utf16_string accepted an odd length");
  const auto cps = *code_points(*text);
  if (input.size() >= 3 && input[0] == 0xEF && input[1] == 0xBB && input[2] == 0xBF) {
    if (!same(without_trailing_zeros(input.subspan(3), 1), bytes_of(*text))) broken("UTF-8 after a mark changed");
  } else if (input.size() >= 2 && input[0] == 0xFF && input[1] == 0xFE) {
    if (!same(without_trailing_zeros(input.subspan(2), 2), utf16(cps, false))) broken("UTF-16LE after a mark changed");
  } else if (input.size() >= 2 && input[0] == 0xFE && input[1] == 0xFF) {
    if (!same(without_trailing_zeros(input.subspan(2), 2), utf16(cps, true))) broken("UTF-16BE after a mark changed");
  } else if (!same(without_trailing_zeros(input, 2), utf16(cps, false))) {
    broken("UTF-16LE changed");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kelpa::Bytes input(data, size);
  check_ascii(input);
  check_utf16(input);
  check_text(kelpa::read_fixed_ascii(input.first(std::min<std::size_t>(size, 64))), "read_fixed_ascii");

  // The first byte picks a type (12 and above: unknown), the rest is the value data.
  if (size > 0) {
    const auto type = kelpa::ValueType::from_raw(data[0] < 13 ? data[0] : 0xFFFF0000u | data[0]);
    auto parsed = kelpa::parse_value_data(type, input.subspan(1));
    if (parsed) {
      (void)kelpa::to_display_string(*parsed);
    } else {
      kelpa::fuzz::consume(parsed.error());
    }
  }
  return 0;
}
