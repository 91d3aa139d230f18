#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"
#include "le.hpp"
#include "problems.hpp"

namespace kelpa {

namespace nk {  // key node payload
inline constexpr std::size_t SIGNATURE = 0, FLAGS = 2, LAST_WRITTEN = 4, ACCESS_BITS = 12, PARENT = 16,
                             SUBKEY_COUNT = 20, VOLATILE_SUBKEY_COUNT = 24, SUBKEY_LIST_OFFSET = 28,
                             VOLATILE_SUBKEY_LIST_OFFSET = 32, VALUE_COUNT = 36, VALUE_LIST_OFFSET = 40,
                             SECURITY_OFFSET = 44, CLASS_NAME_OFFSET = 48, MAX_SUBKEY_NAME_LENGTH = 52,
                             MAX_SUBKEY_CLASS_LENGTH = 56, MAX_VALUE_NAME_LENGTH = 60, MAX_VALUE_DATA_SIZE = 64,
                             WORK_VAR = 68, NAME_LENGTH = 72, CLASS_NAME_LENGTH = 74, FIXED_SIZE = 76;
inline constexpr std::uint16_t COMPRESSED_NAME = 0x0020;
}  // namespace nk

// The fixed fields of a key node, in the widths the record stores them (ordered so that no padding
// falls between them).
struct KeyNodeFields {
  std::uint64_t last_written = 0;  // FILETIME
  std::uint32_t access_bits = 0;
  std::uint32_t parent_offset = 0;
  std::uint32_t subkey_count = 0;
  std::uint32_t volatile_subkey_count = 0;
  std::uint32_t subkey_list_offset = 0;
  std::uint32_t volatile_subkey_list_offset = 0;
  std::uint32_t value_count = 0;
  std::uint32_t value_list_offset = 0;
  std::uint32_t security_offset = 0;
  std::uint32_t class_name_offset = 0;
  std::uint32_t max_subkey_name_length = 0;
  std::uint32_t max_subkey_class_length = 0;
  std::uint32_t max_value_name_length = 0;
  std::uint32_t max_value_data_size = 0;
  std::uint32_t work_var = 0;
  std::uint16_t flags = 0;
  std::uint16_t name_length = 0;
  std::uint16_t class_name_length = 0;

  bool operator==(const KeyNodeFields&) const = default;
};

// A parsed key node ("nk"): a plain record that owns its name.
struct KeyNode : KeyNodeFields {
  std::string name;

  bool operator==(const KeyNode&) const = default;
};

// A key node as a RegistryKey hands it out: the fields that the key's users read, in the widths
// the record stores them, followed directly by its name (UTF-8, `name_size` bytes). The fields
// kept only by KeyNode are left out. Built by write() into storage of storage_size() bytes,
// aligned as for any fundamental type, which the record and its name share; such storage is
// written once and never moved, so the name stays where the record is. A record built in place
// of its own (no storage behind it) has the empty name.
struct KeyRecord {
  std::uint64_t last_written = 0;  // FILETIME
  std::uint32_t parent_offset = 0;
  std::uint32_t subkey_count = 0;
  std::uint32_t subkey_list_offset = 0;
  std::uint32_t value_count = 0;
  std::uint32_t value_list_offset = 0;
  std::uint32_t security_offset = 0;
  std::uint32_t class_name_offset = 0;
  std::uint32_t name_size = 0;  // of the UTF-8 name behind the record
  std::uint16_t flags = 0;
  std::uint16_t name_length = 0;  // as stored
  std::uint16_t class_name_length = 0;

  [[nodiscard]] std::string_view name() const noexcept {
    return {reinterpret_cast<const char*>(this) + sizeof(KeyRecord), name_size};
  }
  // The bytes a record with a name of `name_size` bytes occupies, rounded up so that the next
  // record in the same storage is aligned.
  [[nodiscard]] static constexpr std::size_t storage_size(std::size_t name_size) noexcept {
    return (sizeof(KeyRecord) + name_size + alignof(KeyRecord) - 1) & ~(alignof(KeyRecord) - 1);
  }
  // Builds the record of `node` at `storage`, which holds storage_size(node.name.size()) bytes.
  static const KeyRecord* write(std::byte* storage, const KeyNode& node) noexcept;

  bool operator==(const KeyRecord& other) const noexcept;
};
static_assert(sizeof(KeyRecord) == 48);

// Parses the payload of the key node cell at `offset` (used for messages only). Checks, in order:
// the 76-byte fixed part (TruncatedData, before the signature), the "nk" signature (InvalidFormat),
// the name inside the payload (TruncatedData) and its decoding (InvalidUtf16 for UTF-16 names,
// met as a problem of `problems`: see append_record_name). Does not read volatile subkeys, the
// class name or the security descriptor.
[[nodiscard]] Result<KeyNode> parse_key_node(Bytes payload, std::uint32_t offset,
                                             const ProblemLog& problems = ProblemLog::strict());
// The same into `out`, whose name's storage is reused (its text is replaced); on failure `out`
// holds no usable node.
[[nodiscard]] Result<void> parse_key_node_into(Bytes payload, std::uint32_t offset, KeyNode& out,
                                               const ProblemLog& problems);

}  // namespace kelpa
