#include "key.hpp"

#include <cstring>
#include <memory>

#include "utils.hpp"

namespace kelpa {

Result<KeyNode> parse_key_node(Bytes payload, std::uint32_t offset, const ProblemLog& problems) {
  KeyNode node;
  if (auto parsed = parse_key_node_into(payload, offset, node, problems); !parsed) return std::unexpected(std::move(parsed.error()));
  return node;
}

const KeyRecord* KeyRecord::write(std::byte* storage, const KeyNode& node) noexcept {
  KeyRecord* record = std::construct_at(reinterpret_cast<KeyRecord*>(storage));
  record->last_written = node.last_written;
  record->parent_offset = node.parent_offset;
  record->subkey_count = node.subkey_count;
  record->subkey_list_offset = node.subkey_list_offset;
  record->value_count = node.value_count;
  record->value_list_offset = node.value_list_offset;
  record->security_offset = node.security_offset;
  record->class_name_offset = node.class_name_offset;
  record->name_size = static_cast<std::uint32_t>(node.name.size());
  record->flags = node.flags;
  record->name_length = node.name_length;
  record->class_name_length = node.class_name_length;
  if (!node.name.empty()) std::memcpy(storage + sizeof(KeyRecord), node.name.data(), node.name.size());
  return record;
}

bool KeyRecord::operator==(const KeyRecord& other) const noexcept {
  return last_written == other.last_written && parent_offset == other.parent_offset &&
         subkey_count == other.subkey_count && subkey_list_offset == other.subkey_list_offset &&
         value_count == other.value_count && value_list_offset == other.value_list_offset &&
         security_offset == other.security_offset && class_name_offset == other.class_name_offset &&
         flags == other.flags && name_length == other.name_length && class_name_length == other.class_name_length &&
         name() == other.name();
}

Result<void> parse_key_node_into(Bytes payload, std::uint32_t offset, KeyNode& node, const ProblemLog& problems) {
  if (payload.size() < nk::FIXED_SIZE)
    return std::unexpected(RegistryError::truncated_data(offset, nk::FIXED_SIZE, payload.size()));
  if (!has_signature(payload, 'n', 'k'))
    return std::unexpected(RegistryError::invalid_format("Expected 'nk' signature at offset " + hex_form(offset)));
  node.name.clear();
  node.flags = load_u16(payload, nk::FLAGS);
  node.last_written = load_u64(payload, nk::LAST_WRITTEN);
  node.access_bits = load_u32(payload, nk::ACCESS_BITS);
  node.parent_offset = load_u32(payload, nk::PARENT);
  node.subkey_count = load_u32(payload, nk::SUBKEY_COUNT);
  node.volatile_subkey_count = load_u32(payload, nk::VOLATILE_SUBKEY_COUNT);
  node.subkey_list_offset = load_u32(payload, nk::SUBKEY_LIST_OFFSET);
  node.volatile_subkey_list_offset = load_u32(payload, nk::VOLATILE_SUBKEY_LIST_OFFSET);
  node.value_count = load_u32(payload, nk::VALUE_COUNT);
  node.value_list_offset = load_u32(payload, nk::VALUE_LIST_OFFSET);
  node.security_offset = load_u32(payload, nk::SECURITY_OFFSET);
  node.class_name_offset = load_u32(payload, nk::CLASS_NAME_OFFSET);
  node.max_subkey_name_length = load_u32(payload, nk::MAX_SUBKEY_NAME_LENGTH);
  node.max_subkey_class_length = load_u32(payload, nk::MAX_SUBKEY_CLASS_LENGTH);
  node.max_value_name_length = load_u32(payload, nk::MAX_VALUE_NAME_LENGTH);
  node.max_value_data_size = load_u32(payload, nk::MAX_VALUE_DATA_SIZE);
  node.work_var = load_u32(payload, nk::WORK_VAR);
  node.name_length = load_u16(payload, nk::NAME_LENGTH);
  node.class_name_length = load_u16(payload, nk::CLASS_NAME_LENGTH);
  // A name length of 0 is the empty name: nothing is sliced or decoded.
  if (auto name = append_record_name(payload, nk::FIXED_SIZE, node.name_length, node.flags & nk::COMPRESSED_NAME,
                                     offset, node.name, problems);
      !name)
    return std::unexpected(std::move(name.error()));
  return {};
}

}  // namespace kelpa
