// What a key node names besides its lists: its class name and its security key; and whether its
// own cell is free.

#include "hive.hpp"
#include "security_key.hpp"
#include "utils.hpp"

namespace kelpa {

Result<std::optional<std::string>> RegistryKey::class_name() const {
  if (is_null_offset(node().class_name_offset) || node().class_name_length == 0) return std::nullopt;
  auto payload = hive->read_cell(node().class_name_offset);
  if (!payload) return std::unexpected(std::move(payload.error()));
  if (payload->size() < node().class_name_length)
    return std::unexpected(RegistryError::truncated_data(node().class_name_offset, node().class_name_length, payload->size()));
  auto text = read_utf16_string(payload->first(node().class_name_length), node().class_name_offset);
  if (!text) return std::unexpected(std::move(text.error()));
  return std::optional<std::string>(std::move(*text));
}

Result<std::optional<Bytes>> RegistryKey::security_descriptor() const {
  if (is_null_offset(node().security_offset)) return std::nullopt;
  auto payload = hive->read_cell(node().security_offset);
  if (!payload) return std::unexpected(std::move(payload.error()));
  auto descriptor = parse_security_key(*payload, node().security_offset);
  if (!descriptor) return std::unexpected(std::move(descriptor.error()));
  return std::optional<Bytes>(*descriptor);
}

bool RegistryKey::is_deleted() const noexcept {
  // get_key read this cell, so its size field lies inside the image.
  const auto size = read_le<std::uint32_t>(hive->bytes(), std::size_t{offset} + HIVE_MIN_SIZE);
  return size && static_cast<std::int32_t>(*size) > 0;
}

}  // namespace kelpa
