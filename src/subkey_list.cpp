#include "subkey_list.hpp"

namespace kelpa {

Result<SubkeyList> parse_subkey_list(Bytes payload, std::uint32_t offset) {
  if (payload.size() < subkey_list::HEADER_SIZE)
    return std::unexpected(RegistryError::truncated_data(offset, subkey_list::HEADER_SIZE, payload.size()));
  const std::uint8_t a = payload[0], b = payload[1];
  SubkeyList::Variant variant;
  if (a == 'l' && b == 'i') {
    variant = SubkeyList::Variant::IndexLeaf;
  } else if (a == 'r' && b == 'i') {
    variant = SubkeyList::Variant::IndexRoot;
  } else if (a == 'l' && (b == 'f' || b == 'h')) {
    variant = SubkeyList::Variant::HashLeaf;
  } else {
    return std::unexpected(RegistryError::invalid_subkey_list_type({a, b}));
  }
  SubkeyList list{variant, load_u16(payload, subkey_list::COUNT), {}};
  const std::uint64_t needed = subkey_list::ELEMENTS + std::uint64_t{list.count} * list.width();
  if (needed > payload.size()) return std::unexpected(RegistryError::truncated_data(offset, needed, payload.size()));
  list.elements = payload.subspan(subkey_list::ELEMENTS, list.count * list.width());
  return list;
}

}  // namespace kelpa
