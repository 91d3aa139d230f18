#include "error.hpp"

#include <charconv>
#include <cstring>
#include <functional>
#include <span>

#include "utils.hpp"

namespace kelpa {

namespace {

template <class T>
std::string to_text(T value, int base = 10) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, base);
  (void)ec;  // 24 characters hold every 64-bit number in any base >= 10
  return std::string(buffer, end);
}

std::span<const std::uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The system's description of an error number. strerror_r has two signatures; the overloads pick
// whichever the C library declares.
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* result, const char*) { return result; }

std::string os_error_description(int error_number) {
  char buffer[256] = {};
  return strerror_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
}

std::string os_error_text(int error_number) {
  return os_error_description(error_number) + " (os error " + to_text(error_number) + ")";
}

}  // namespace

std::string hex_form(std::uint64_t value) { return "0x" + to_text(value, 16); }

std::string decimal(std::uint64_t value) { return to_text(value); }

std::string padded_hex(std::uint64_t value, int digits, bool uppercase) {
  const char* alphabet = uppercase ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (int i = digits - 1; i >= 0; --i) out.push_back(alphabet[(value >> (4 * i)) & 0xF]);
  return out;
}

std::string byte_pair_form(std::array<std::uint8_t, 2> b) {
  std::string out = "[";
  out.append(to_text(unsigned{b[0]})).append(", ").append(to_text(unsigned{b[1]})).push_back(']');
  return out;
}

RegistryError RegistryError::with_text(ErrorKind kind, std::string text) {
  RegistryError e(kind);
  e.text_ = std::move(text);
  return e;
}

RegistryError RegistryError::io_errno(int error_number) {
  RegistryError e = io_message(os_error_text(error_number));
  e.a_ = static_cast<std::uint64_t>(static_cast<std::uint32_t>(error_number));
  return e;
}

int RegistryError::os_error_number() const noexcept {
  return kind_ == ErrorKind::Io ? static_cast<int>(static_cast<std::uint32_t>(a_)) : 0;
}

std::string RegistryError::os_error_description() const {
  const int number = os_error_number();
  return number != 0 ? kelpa::os_error_description(number) : (kind_ == ErrorKind::Io ? text_ : std::string());
}

const std::string& RegistryError::path() const noexcept {
  static const std::string none;
  return kind_ == ErrorKind::Io ? found_ : none;
}

RegistryError RegistryError::with_path(std::string_view path) && {
  if (kind_ == ErrorKind::Io) found_.assign(path);
  return std::move(*this);
}

RegistryError RegistryError::io_message(std::string text) { return with_text(ErrorKind::Io, std::move(text)); }

RegistryError RegistryError::invalid_signature(std::string expected, std::string found) {
  RegistryError e(ErrorKind::InvalidSignature);
  e.text_ = std::move(expected);
  e.found_ = std::move(found);
  return e;
}

RegistryError RegistryError::invalid_format(std::string text) {
  return with_text(ErrorKind::InvalidFormat, std::move(text));
}

RegistryError RegistryError::invalid_offset(std::uint32_t offset, std::uint64_t hive_size) {
  return {ErrorKind::InvalidOffset, offset, hive_size};
}

RegistryError RegistryError::invalid_cell_size(std::int32_t size, std::uint32_t offset) {
  return {ErrorKind::InvalidCellSize, static_cast<std::uint64_t>(static_cast<std::int64_t>(size)), offset};
}

RegistryError RegistryError::unknown_cell_type(std::array<std::uint8_t, 2> cell_type, std::uint32_t offset) {
  return {ErrorKind::UnknownCellType, cell_type[0], cell_type[1], offset};
}

RegistryError RegistryError::not_found(std::string text) { return with_text(ErrorKind::NotFound, std::move(text)); }

RegistryError RegistryError::invalid_utf16(std::uint32_t offset) { return {ErrorKind::InvalidUtf16, offset}; }

RegistryError RegistryError::invalid_value_type(std::uint32_t type_id) {
  return {ErrorKind::InvalidValueType, type_id};
}

RegistryError RegistryError::hive_too_small(std::uint64_t size, std::uint64_t minimum) {
  return {ErrorKind::HiveTooSmall, size, minimum};
}

RegistryError RegistryError::checksum_mismatch(std::uint32_t expected, std::uint32_t calculated) {
  return {ErrorKind::ChecksumMismatch, expected, calculated};
}

RegistryError RegistryError::unsupported_version(std::uint32_t major, std::uint32_t minor) {
  return {ErrorKind::UnsupportedVersion, major, minor};
}

RegistryError RegistryError::truncated_data(std::uint32_t offset, std::uint64_t expected, std::uint64_t got) {
  return {ErrorKind::TruncatedData, offset, expected, got};
}

RegistryError RegistryError::invalid_subkey_list_type(std::array<std::uint8_t, 2> list_type) {
  return {ErrorKind::InvalidSubkeyListType, list_type[0], list_type[1]};
}

RegistryError RegistryError::big_data_not_supported(std::uint32_t size, std::uint32_t max_supported) {
  return {ErrorKind::BigDataNotSupported, size, max_supported};
}

std::size_t RegistryError::hash() const noexcept {
  auto mix = [](std::size_t h, std::size_t part) { return h ^ (part + 0x9e3779b97f4a7c15u + (h << 6) + (h >> 2)); };
  std::size_t h = mix(mix(mix(static_cast<std::size_t>(kind_), a_), b_), c_);
  // Most kinds carry numbers only; their texts are empty and left out.
  if (!text_.empty()) h = mix(h, std::hash<std::string>{}(text_));
  if (!found_.empty()) h = mix(h, std::hash<std::string>{}(found_));
  return h;
}

std::string RegistryError::message() const {
  auto pair = [](std::uint64_t x, std::uint64_t y) {
    return byte_pair_form({static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)});
  };
  switch (kind_) {
    case ErrorKind::Io:
      return text_;
    case ErrorKind::InvalidSignature:
      return "Invalid signature: expected " + decode_utf8_lossy(bytes_of(text_)) + ", found " +
             decode_utf8_lossy(bytes_of(found_));
    case ErrorKind::InvalidFormat:
      return "Invalid format: " + text_;
    case ErrorKind::InvalidOffset:
      return "Invalid offset " + hex_form(a_) + " (hive size: " + hex_form(b_) + ")";
    case ErrorKind::InvalidCellSize:
      return "Invalid cell size " + to_text(static_cast<std::int64_t>(a_)) + " at offset " + hex_form(b_);
    case ErrorKind::UnknownCellType:
      return "Unknown cell type " + pair(a_, b_) + " at offset " + hex_form(c_);
    case ErrorKind::NotFound:
      return "Not found: " + text_;
    case ErrorKind::InvalidUtf16:
      return "Invalid UTF-16 string at offset " + hex_form(a_);
    case ErrorKind::InvalidValueType:
      return "Invalid value type: " + decimal(a_);
    case ErrorKind::HiveTooSmall:
      return "Hive too small: " + decimal(a_) + " bytes (minimum: " + decimal(b_) + " bytes)";
    case ErrorKind::ChecksumMismatch:
      return "Checksum mismatch: expected " + hex_form(a_) + ", calculated " + hex_form(b_);
    case ErrorKind::UnsupportedVersion:
      return "Unsupported hive version: " + decimal(a_) + "." + decimal(b_);
    case ErrorKind::TruncatedData:
      return "Truncated data at offset " + hex_form(a_) + ": expected " + decimal(b_) + " bytes, got " +
             decimal(c_) + " bytes";
    case ErrorKind::InvalidSubkeyListType:
      return "Invalid subkey list type: " + pair(a_, b_);
    case ErrorKind::BigDataNotSupported:
      return "Big data blocks not supported: value size is " + decimal(a_) + " bytes (max supported: " +
             decimal(b_) + " bytes)";
  }
  return {};
}

}  // namespace kelpa
