#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace kelpa {

// The fifteen kinds of failure, in their fixed order.
enum class ErrorKind : std::uint8_t {
  Io,
  InvalidSignature,
  InvalidFormat,
  InvalidOffset,
  InvalidCellSize,
  UnknownCellType,
  NotFound,
  InvalidUtf16,
  InvalidValueType,
  HiveTooSmall,
  ChecksumMismatch,
  UnsupportedVersion,
  TruncatedData,
  InvalidSubkeyListType,
  BigDataNotSupported,
};

// The one error value of the core. It owns its payload (texts and byte strings are copies), so it
// outlives the hive or buffer that caused it. The message is formatted on demand.
class RegistryError {
 public:
  static RegistryError io_errno(int error_number);
  static RegistryError io_message(std::string text);
  static RegistryError invalid_signature(std::string expected, std::string found);
  static RegistryError invalid_format(std::string text);
  static RegistryError invalid_offset(std::uint32_t offset, std::uint64_t hive_size);
  static RegistryError invalid_cell_size(std::int32_t size, std::uint32_t offset);
  static RegistryError unknown_cell_type(std::array<std::uint8_t, 2> cell_type, std::uint32_t offset);
  static RegistryError not_found(std::string text);
  static RegistryError invalid_utf16(std::uint32_t offset);
  static RegistryError invalid_value_type(std::uint32_t type_id);
  static RegistryError hive_too_small(std::uint64_t size, std::uint64_t minimum);
  static RegistryError checksum_mismatch(std::uint32_t expected, std::uint32_t calculated);
  static RegistryError unsupported_version(std::uint32_t major, std::uint32_t minor);
  static RegistryError truncated_data(std::uint32_t offset, std::uint64_t expected, std::uint64_t got);
  static RegistryError invalid_subkey_list_type(std::array<std::uint8_t, 2> list_type);
  static RegistryError big_data_not_supported(std::uint32_t size, std::uint32_t max_supported);

  [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }
  // The message text of the kind, UTF-8.
  [[nodiscard]] std::string message() const;
  // Equal errors have equal messages; comparing and hashing them formats nothing.
  bool operator==(const RegistryError&) const = default;
  [[nodiscard]] std::size_t hash() const noexcept;

  // Io errors name what they can, for callers that report failures the way their own file
  // functions do: the operating system's error number (0 for an error the program makes itself:
  // its message is its whole text), that number's description without " (os error N)", and the
  // path of the file concerned, as given to the system ("" where none was noted). The message
  // shows neither the number apart nor the path. Other kinds have no number and no path.
  [[nodiscard]] int os_error_number() const noexcept;
  [[nodiscard]] std::string os_error_description() const;
  [[nodiscard]] const std::string& path() const noexcept;
  // This error, noting the path of the file it concerns (Io only; other kinds are returned unchanged).
  [[nodiscard]] RegistryError with_path(std::string_view path) &&;

 private:
  RegistryError(ErrorKind kind, std::uint64_t a = 0, std::uint64_t b = 0, std::uint64_t c = 0)
      : kind_(kind), a_(a), b_(b), c_(c) {}
  static RegistryError with_text(ErrorKind kind, std::string text);

  ErrorKind kind_;
  std::uint64_t a_, b_, c_;  // numeric payload fields, in message order
  std::string text_;         // text payload, or the expected signature bytes
  std::string found_;        // the found signature bytes, or an Io error's path
};

template <class T>
using Result = std::expected<T, RegistryError>;

// Number forms shared by messages and reprs.
std::string hex_form(std::uint64_t value);                  // "0x1f": lowercase, no padding
std::string byte_pair_form(std::array<std::uint8_t, 2> b);  // "[110, 107]"
std::string decimal(std::uint64_t value);
// `digits` hexadecimal digits, zero-padded, no prefix: padded_hex(0x1f, 4) is "001f".
std::string padded_hex(std::uint64_t value, int digits, bool uppercase = false);

}  // namespace kelpa
