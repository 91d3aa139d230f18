#include "subkey_list.hpp"

#include <algorithm>

namespace kelpa {

namespace {

std::optional<SubkeyList::Variant> variant_of(std::uint8_t a, std::uint8_t b) {
  if (a == 'l' && b == 'i') return SubkeyList::Variant::IndexLeaf;
  if (a == 'r' && b == 'i') return SubkeyList::Variant::IndexRoot;
  if (a == 'l' && (b == 'f' || b == 'h')) return SubkeyList::Variant::HashLeaf;
  return std::nullopt;
}

}  // namespace

Result<SubkeyList> parse_subkey_list(Bytes payload, std::uint32_t offset) {
  if (payload.size() < subkey_list::HEADER_SIZE)
    return std::unexpected(RegistryError::truncated_data(offset, subkey_list::HEADER_SIZE, payload.size()));
  const auto variant = variant_of(payload[0], payload[1]);
  if (!variant) return std::unexpected(RegistryError::invalid_subkey_list_type({payload[0], payload[1]}));
  SubkeyList list{*variant, load_u16(payload, subkey_list::COUNT), {}};
  const std::uint64_t needed = subkey_list::ELEMENTS + std::uint64_t{list.count} * list.width();
  if (needed > payload.size()) return std::unexpected(RegistryError::truncated_data(offset, needed, payload.size()));
  list.elements = payload.subspan(subkey_list::ELEMENTS, list.count * list.width());
  return list;
}

std::optional<SubkeyList> readable_subkey_list(Bytes payload) {
  if (payload.size() < subkey_list::HEADER_SIZE) return std::nullopt;
  const auto variant = variant_of(payload[0], payload[1]);
  if (!variant) return std::nullopt;
  SubkeyList list{*variant, load_u16(payload, subkey_list::COUNT), {}};
  list.count = std::min(list.count, (payload.size() - subkey_list::ELEMENTS) / list.width());
  list.elements = payload.subspan(subkey_list::ELEMENTS, list.count * list.width());
  return list;
}

}  // namespace kelpa
