#include "subkey_list.hpp"

namespace kelpa {

Result<SubkeyList> parse_subkey_list(Bytes payload, std::uint32_t offset) {
  if (payload.size() < subkey_list::HEADER_SIZE)
    return std::unexpected(RegistryError::truncated_data(offset, subkey_list::HEADER_SIZE, payload.size()));
  const std::uint8_t a = payload[0], b = payload[1];
  std::uint64_t width;
  if ((a == 'r' || a == 'l') && b == 'i') {
    width = 4;
  } else if (a == 'l' && (b == 'f' || b == 'h')) {
    width = 8;
  } else {
    return std::unexpected(RegistryError::invalid_subkey_list_type({a, b}));
  }
  const std::uint16_t count = load_u16(payload, subkey_list::COUNT);
  const std::uint64_t needed = subkey_list::ELEMENTS + count * width;
  if (needed > payload.size()) return std::unexpected(RegistryError::truncated_data(offset, needed, payload.size()));
  auto at = [&](std::size_t i) { return load_u32(payload, subkey_list::ELEMENTS + i * width); };
  if (width == 8) {
    HashLeaf leaf;
    leaf.entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) leaf.entries.emplace_back(at(i), load_u32(payload, subkey_list::ELEMENTS + i * 8 + 4));
    return leaf;
  }
  std::vector<std::uint32_t> offsets(count);
  for (std::size_t i = 0; i < count; ++i) offsets[i] = at(i);
  if (a == 'r') return IndexRoot{std::move(offsets)};
  return IndexLeaf{std::move(offsets)};
}

}  // namespace kelpa
