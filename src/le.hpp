#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

namespace kelpa {

using Bytes = std::span<const std::uint8_t>;

// The one bounds-checked reader: a little-endian unsigned integer at `at`, or nullopt when the
// field does not lie wholly inside `bytes`. The check is written as a subtraction so that no
// position can overflow.
template <std::unsigned_integral T>
[[nodiscard]] constexpr std::optional<T> read_le(Bytes bytes, std::size_t at) noexcept {
  if (at > bytes.size() || bytes.size() - at < sizeof(T)) return std::nullopt;
  T v;
  std::memcpy(&v, bytes.data() + at, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}

// A field at a named offset of a record whose length was checked beforehand. Still bounds-checked:
// a field outside `bytes` reads as 0 instead of touching memory it does not own.
template <std::unsigned_integral T>
[[nodiscard]] constexpr T load_le(Bytes bytes, std::size_t at) noexcept {
  return read_le<T>(bytes, at).value_or(T{0});
}

inline std::uint16_t load_u16(Bytes b, std::size_t at) noexcept { return load_le<std::uint16_t>(b, at); }
inline std::uint32_t load_u32(Bytes b, std::size_t at) noexcept { return load_le<std::uint32_t>(b, at); }
inline std::uint64_t load_u64(Bytes b, std::size_t at) noexcept { return load_le<std::uint64_t>(b, at); }

// True when `bytes` starts with the two signature characters.
[[nodiscard]] inline bool has_signature(Bytes bytes, char a, char b) noexcept {
  return bytes.size() >= 2 && bytes[0] == static_cast<std::uint8_t>(a) && bytes[1] == static_cast<std::uint8_t>(b);
}

// The subrange [at, at + length) of `bytes`, or nullopt when it does not lie inside. Positions are
// compared in 64 bits by subtraction so that no sum can wrap.
[[nodiscard]] inline std::optional<Bytes> slice(Bytes bytes, std::uint64_t at, std::uint64_t length) noexcept {
  if (at > bytes.size() || bytes.size() - at < length) return std::nullopt;
  return bytes.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(length));
}

// True when the four bytes at `at` are the four letters of `signature`; false when they do not lie
// inside `bytes`.
[[nodiscard]] inline bool has_four_byte_signature(Bytes bytes, std::uint64_t at, const char (&signature)[5]) noexcept {
  const auto field = slice(bytes, at, 4);
  return field && std::equal(field->begin(), field->end(), signature,
                             [](std::uint8_t b, char c) { return b == static_cast<std::uint8_t>(c); });
}

// The four bytes at the start of `bytes` (at least four long) as text, for a signature message.
[[nodiscard]] inline std::string four_bytes_text(Bytes bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), 4);
}

}  // namespace kelpa
