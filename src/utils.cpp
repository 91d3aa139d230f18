#include "utils.hpp"

#include <optional>

namespace kelpa {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The WHATWG UTF-8 decoder. In strict mode the first ill-formed sequence ends decoding with
// nullopt; otherwise each maximal ill-formed subpart becomes one U+FFFD.
std::optional<std::string> decode_utf8(Bytes bytes, bool strict) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t needed = 0, seen = 0;
  char32_t cp = 0;
  std::uint8_t lower = 0x80, upper = 0xBF;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t byte = bytes[i];
    if (needed == 0) {
      ++i;
      if (byte < 0x80) {
        out.push_back(static_cast<char>(byte));
      } else if (byte >= 0xC2 && byte <= 0xDF) {
        needed = 1;
        cp = byte & 0x1Fu;
      } else if (byte >= 0xE0 && byte <= 0xEF) {
        if (byte == 0xE0) lower = 0xA0;
        if (byte == 0xED) upper = 0x9F;
        needed = 2;
        cp = byte & 0x0Fu;
      } else if (byte >= 0xF0 && byte <= 0xF4) {
        if (byte == 0xF0) lower = 0x90;
        if (byte == 0xF4) upper = 0x8F;
        needed = 3;
        cp = byte & 0x07u;
      } else {
        if (strict) return std::nullopt;
        append_utf8(out, REPLACEMENT);
      }
      continue;
    }
    if (byte < lower || byte > upper) {
      // The sequence so far is a maximal ill-formed subpart; this byte starts afresh.
      if (strict) return std::nullopt;
      needed = seen = 0;
      cp = 0;
      lower = 0x80;
      upper = 0xBF;
      append_utf8(out, REPLACEMENT);
      continue;
    }
    ++i;
    lower = 0x80;
    upper = 0xBF;
    cp = (cp << 6) | (byte & 0x3Fu);
    if (++seen == needed) {
      append_utf8(out, cp);
      needed = seen = 0;
      cp = 0;
    }
  }
  if (needed != 0) {
    if (strict) return std::nullopt;
    append_utf8(out, REPLACEMENT);
  }
  return out;
}

// Strict UTF-16; nullopt on an unpaired surrogate. `bytes` has an even length.
std::optional<std::string> decode_utf16(Bytes bytes, bool big_endian) {
  std::string out;
  out.reserve(bytes.size() / 2);
  const std::size_t units = bytes.size() / 2;
  auto unit = [&](std::size_t k) -> char32_t {
    const std::uint8_t lo = bytes[2 * k + (big_endian ? 1 : 0)];
    const std::uint8_t hi = bytes[2 * k + (big_endian ? 0 : 1)];
    return static_cast<char32_t>(lo | (hi << 8));
  };
  for (std::size_t k = 0; k < units; ++k) {
    const char32_t u = unit(k);
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0xD800 || u > 0xDFFF) {
      append_utf8(out, u);
    } else if (u <= 0xDBFF && k + 1 < units) {
      const char32_t low = unit(k + 1);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
      ++k;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

void strip_trailing_nuls(std::string& s) {
  const auto end = s.find_last_not_of('\0');
  s.erase(end == std::string::npos ? 0 : end + 1);
}

bool all_ascii(Bytes bytes) {
  std::uint8_t any = 0;
  for (std::uint8_t b : bytes) any |= b;
  return any < 0x80;
}

}  // namespace

std::string decode_utf8_lossy(Bytes bytes) {
  if (all_ascii(bytes)) return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return *decode_utf8(bytes, false);
}

std::string read_ascii_string(Bytes bytes) {
  std::string out = decode_utf8_lossy(bytes);
  strip_trailing_nuls(out);
  return out;
}

Result<std::string> read_utf16_string(Bytes bytes, std::uint32_t offset) {
  if (bytes.size() % 2 != 0) return std::unexpected(RegistryError::invalid_utf16(offset));
  if (bytes.empty()) return std::string();
  std::optional<std::string> text;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    text = decode_utf8(bytes.subspan(3), true);
  } else if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
    text = decode_utf16(bytes.subspan(2), false);
  } else if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
    text = decode_utf16(bytes.subspan(2), true);
  } else {
    text = decode_utf16(bytes, false);
  }
  if (!text) return std::unexpected(RegistryError::invalid_utf16(offset));
  strip_trailing_nuls(*text);
  return std::move(*text);
}

std::string read_fixed_ascii(Bytes bytes) {
  // Each byte is one character, so white space can be trimmed on the bytes themselves: 0 (shown
  // as a space), U+0009..U+000D, U+0020, U+0085 and U+00A0.
  auto is_space = [](std::uint8_t b) { return b == 0 || (b >= 0x09 && b <= 0x0D) || b == 0x20 || b == 0x85 || b == 0xA0; };
  std::size_t first = 0, last = bytes.size();
  while (first < last && is_space(bytes[first])) ++first;
  while (last > first && is_space(bytes[last - 1])) --last;
  std::string out;
  for (std::size_t i = first; i < last; ++i) append_utf8(out, bytes[i] == 0 ? char32_t{0x20} : char32_t{bytes[i]});
  return out;
}

}  // namespace kelpa
