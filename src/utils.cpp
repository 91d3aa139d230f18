#include "utils.hpp"

#include <bit>
#include <cstring>

namespace kelpa {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

void append_code_point(std::string& out, char32_t cp) {
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

// The WHATWG UTF-8 decoder, appending to `out`. In strict mode the first ill-formed sequence
// ends decoding with false; otherwise each maximal ill-formed subpart becomes one U+FFFD.
bool append_utf8(Bytes bytes, bool strict, std::string& out) {
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
        if (strict) return false;
        append_code_point(out, REPLACEMENT);
      }
      continue;
    }
    if (byte < lower || byte > upper) {
      // The sequence so far is a maximal ill-formed subpart; this byte starts afresh.
      if (strict) return false;
      needed = seen = 0;
      cp = 0;
      lower = 0x80;
      upper = 0xBF;
      append_code_point(out, REPLACEMENT);
      continue;
    }
    ++i;
    lower = 0x80;
    upper = 0xBF;
    cp = (cp << 6) | (byte & 0x3Fu);
    if (++seen == needed) {
      append_code_point(out, cp);
      needed = seen = 0;
      cp = 0;
    }
  }
  if (needed != 0) {
    if (strict) return false;
    append_code_point(out, REPLACEMENT);
  }
  return true;
}

// UTF-16, appending to `out`. In strict mode an unpaired surrogate ends decoding with false;
// otherwise it becomes U+FFFD, as does a last odd byte.
bool append_utf16(Bytes bytes, bool big_endian, bool strict, std::string& out) {
  const std::size_t units = bytes.size() / 2;
  auto unit = [&](std::size_t k) -> char32_t {
    const std::uint8_t lo = bytes[2 * k + (big_endian ? 1 : 0)];
    const std::uint8_t hi = bytes[2 * k + (big_endian ? 0 : 1)];
    return static_cast<char32_t>(lo | (hi << 8));
  };
  out.reserve(out.size() + units);  // most names and strings are ASCII: a byte a unit
  for (std::size_t k = 0; k < units; ++k) {
    // Four little-endian ASCII units at once: each high byte 0 and each low byte below 0x80.
    if (!big_endian) {
      while (k + 4 <= units) {
        std::uint64_t four;
        std::memcpy(&four, bytes.data() + 2 * k, sizeof four);
        if constexpr (std::endian::native == std::endian::big) four = std::byteswap(four);
        if ((four & 0xFF80FF80FF80FF80u) != 0) break;
        const char ascii[4] = {static_cast<char>(four), static_cast<char>(four >> 16), static_cast<char>(four >> 32),
                               static_cast<char>(four >> 48)};
        out.append(ascii, 4);
        k += 4;
      }
      if (k == units) break;
    }
    const char32_t u = unit(k);
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0xD800 || u > 0xDFFF) {
      append_code_point(out, u);
    } else if (const char32_t low = u <= 0xDBFF && k + 1 < units ? unit(k + 1) : 0; low >= 0xDC00 && low <= 0xDFFF) {
      append_code_point(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
      ++k;
    } else {
      if (strict) return false;
      append_code_point(out, REPLACEMENT);
    }
  }
  if (bytes.size() % 2 != 0) append_code_point(out, REPLACEMENT);
  return true;
}

// Removes the U+0000 characters that end `out`, but none of what it held before `start`.
void strip_trailing_nuls(std::string& out, std::size_t start) {
  std::size_t end = out.size();
  while (end > start && out[end - 1] == '\0') --end;
  out.resize(end);
}

}  // namespace

bool is_ascii(Bytes bytes) noexcept {
  // Whole words, the last one overlapping the one before it, so that a short name (most are a
  // dozen bytes) costs two or three loads and no byte loop.
  const std::size_t n = bytes.size();
  const std::uint8_t* p = bytes.data();
  auto word = [p]<class T>(T, std::size_t at) {
    T w;
    std::memcpy(&w, p + at, sizeof w);
    return std::uint64_t{w};
  };
  std::uint64_t any = 0;
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 <= n; i += 8) any |= word(std::uint64_t{}, i);
    any |= word(std::uint64_t{}, n - 8);
  } else if (n >= 4) {
    any = word(std::uint32_t{}, 0) | word(std::uint32_t{}, n - 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) any |= p[i];
  }
  return (any & 0x8080808080808080u) == 0;
}

std::string decode_utf8_lossy(Bytes bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_utf8(bytes, false, out);
  return out;
}

void append_ascii_string(Bytes bytes, std::string& out) {
  // Each byte is one character: the trailing NULs are the trailing zero bytes.
  std::size_t n = bytes.size();
  while (n > 0 && bytes[n - 1] == 0) --n;
  if (is_ascii(bytes)) {
    out.append(reinterpret_cast<const char*>(bytes.data()), n);
    return;
  }
  for (const std::uint8_t byte : bytes.first(n)) append_code_point(out, byte);
}

std::string read_ascii_string(Bytes bytes) {
  std::string out;
  append_ascii_string(bytes, out);
  return out;
}

namespace {

// The byte-order mark sniffing of both UTF-16 decoders (WHATWG: UTF-8, UTF-16LE and UTF-16BE marks,
// UTF-16LE without one); false when `strict` and the text does not decode.
bool append_utf16_text(Bytes bytes, bool strict, std::string& out) {
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
    return append_utf8(bytes.subspan(3), strict, out);
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) return append_utf16(bytes.subspan(2), false, strict, out);
  if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) return append_utf16(bytes.subspan(2), true, strict, out);
  return append_utf16(bytes, false, strict, out);
}

}  // namespace

Result<void> append_utf16_string(Bytes bytes, std::uint32_t offset, std::string& out) {
  if (bytes.size() % 2 != 0) return std::unexpected(RegistryError::invalid_utf16(offset));
  const std::size_t start = out.size();
  if (!append_utf16_text(bytes, true, out)) {
    out.resize(start);
    return std::unexpected(RegistryError::invalid_utf16(offset));
  }
  strip_trailing_nuls(out, start);
  return {};
}

void append_utf16_lossy(Bytes bytes, std::string& out) {
  const std::size_t start = out.size();
  (void)append_utf16_text(bytes, false, out);
  strip_trailing_nuls(out, start);
}

Result<std::string> read_utf16_string(Bytes bytes, std::uint32_t offset) {
  std::string out;
  if (auto appended = append_utf16_string(bytes, offset, out); !appended) return std::unexpected(std::move(appended.error()));
  return out;
}

Result<void> append_record_name(Bytes payload, std::size_t fixed_size, std::uint16_t length, bool compressed,
                                std::uint32_t offset, std::string& out, const ProblemLog& problems) {
  auto stored = slice(payload, fixed_size, length);
  if (!stored) return std::unexpected(RegistryError::truncated_data(offset, fixed_size + length, payload.size()));
  if (compressed) {
    append_ascii_string(*stored, out);
    return {};
  }
  auto decoded = append_utf16_string(*stored, offset, out);
  if (decoded) return {};
  if (auto tolerated = problems.meet(offset, std::move(decoded.error())); !tolerated) return tolerated;
  append_utf16_lossy(*stored, out);
  return {};
}

std::string read_fixed_ascii(Bytes bytes) {
  // Each byte is one character, so white space can be trimmed on the bytes themselves: 0 (shown
  // as a space), U+0009..U+000D, U+0020, U+0085 and U+00A0.
  auto is_space = [](std::uint8_t b) { return b == 0 || (b >= 0x09 && b <= 0x0D) || b == 0x20 || b == 0x85 || b == 0xA0; };
  std::size_t first = 0, last = bytes.size();
  while (first < last && is_space(bytes[first])) ++first;
  while (last > first && is_space(bytes[last - 1])) --last;
  std::string out;
  for (std::size_t i = first; i < last; ++i) append_code_point(out, bytes[i] == 0 ? char32_t{0x20} : char32_t{bytes[i]});
  return out;
}

}  // namespace kelpa
