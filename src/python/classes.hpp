#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hive.hpp"
#include "py_ref.hpp"
#include "value_data.hpp"

namespace kelpa::python {

// The module's seven classes, created once at import and kept for the life of the process.
struct Types {
  PyTypeObject* hive = nullptr;
  PyTypeObject* registry_key = nullptr;
  PyTypeObject* registry_value = nullptr;
  PyTypeObject* value_data = nullptr;
  PyTypeObject* value_type = nullptr;
  PyTypeObject* base_block = nullptr;
  PyTypeObject* hbin_header = nullptr;
};
extern Types types;

extern PyType_Spec hive_spec;
extern PyType_Spec registry_key_spec;
extern PyType_Spec registry_value_spec;
extern PyType_Spec value_data_spec;
extern PyType_Spec value_type_spec;
extern PyType_Spec base_block_spec;
extern PyType_Spec hbin_header_spec;

// What the Python objects hold.
using PyHive = std::shared_ptr<Hive>;

struct PyRegistryKey {
  std::shared_ptr<Hive> hive;
  std::uint32_t offset;
  std::string name;
  std::uint32_t subkey_count;
  std::uint32_t value_count;
};

struct PyRegistryValue {
  std::string name;
  std::vector<std::uint8_t> raw_data;
  ValueType value_type;
};

using PyValueData = ValueData;
using PyValueType = ValueType;
using PyBaseBlock = BaseBlock;
using PyHbinHeader = HbinHeader;

// A detached copy of a core key record, made without the interpreter lock.
inline PyRegistryKey key_record(const std::shared_ptr<Hive>& hive, const RegistryKey& key) {
  return {hive, key.offset, key.node.name, key.node.subkey_count, key.node.value_count};
}

}  // namespace kelpa::python
