#include "security_key.hpp"

namespace kelpa {

Result<Bytes> parse_security_key(Bytes payload, std::uint32_t offset) {
  if (payload.size() < sk::FIXED_SIZE)
    return std::unexpected(RegistryError::truncated_data(offset, sk::FIXED_SIZE, payload.size()));
  if (!has_signature(payload, 's', 'k'))
    return std::unexpected(RegistryError::invalid_format("Expected 'sk' signature at offset " + hex_form(offset)));
  const std::uint64_t needed = std::uint64_t{sk::FIXED_SIZE} + load_u32(payload, sk::DESCRIPTOR_SIZE);
  if (payload.size() < needed) return std::unexpected(RegistryError::truncated_data(offset, needed, payload.size()));
  return payload.subspan(sk::FIXED_SIZE, static_cast<std::size_t>(needed) - sk::FIXED_SIZE);
}

}  // namespace kelpa
