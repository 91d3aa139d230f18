#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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
  PyTypeObject* log_replay = nullptr;  // a struct sequence, not one of the seven heap types
  PyTypeObject* problem = nullptr;     // a struct sequence too
  PyTypeObject* tree_walk = nullptr;  // the iterator of RegistryKey.walk; not a module attribute
  PyTypeObject* hive_table = nullptr;  // what Hive.table returns; not a module attribute
};
extern Types types;

extern PyType_Spec hive_spec;
extern PyType_Spec registry_key_spec;
extern PyType_Spec registry_value_spec;
extern PyType_Spec value_data_spec;
extern PyType_Spec value_type_spec;
extern PyType_Spec base_block_spec;
extern PyType_Spec hbin_header_spec;
extern PyType_Spec tree_walk_spec;
extern PyType_Spec hive_table_spec;

// What the Python objects hold.
using PyHive = std::shared_ptr<Hive>;
using PyValueData = ValueData;
using PyValueType = ValueType;
using PyBaseBlock = BaseBlock;
using PyHbinHeader = HbinHeader;

// RegistryKey and RegistryValue objects are made by the hundred thousand in a walk, so they keep
// their name (and a value its data) inline, in the object's own allocation.
struct PyRegistryKey {
  PyObject_VAR_HEAD
  std::shared_ptr<Hive> hive;  // built with construct_at, destroyed by the dealloc slot
  std::uint32_t offset;
  std::uint32_t subkey_count;
  std::uint32_t value_count;
  char name[1];  // ob_size bytes of UTF-8

  [[nodiscard]] std::string_view name_text() const noexcept {
    return {name, static_cast<std::size_t>(Py_SIZE(this))};
  }
};

struct PyRegistryValue {
  PyObject_VAR_HEAD
  ValueType value_type;
  std::uint32_t name_size;
  std::uint32_t cell_offset;  // the value key's
  std::uint32_t key_offset;   // the key node whose value list lists it, when has_key
  bool has_key;
  bool unnamed;            // the key's default value (stored name length 0)
  std::uint8_t bytes[1];  // name_size bytes of UTF-8 name, then the raw data: ob_size bytes in all

  [[nodiscard]] std::string_view name_text() const noexcept {
    return {reinterpret_cast<const char*>(bytes), name_size};
  }
  [[nodiscard]] Bytes raw_data() const noexcept {
    return {bytes + name_size, static_cast<std::size_t>(Py_SIZE(this)) - name_size};
  }
};

// The LogReplay struct sequence type, and one entry of it (from Hive.log_replay()).
PyTypeObject* new_log_replay_type();
PyObject* new_log_replay(const LogReplay& report);
// The Problem struct sequence type, and one entry of it (from Hive.problems()).
PyTypeObject* new_problem_type();
PyObject* new_problem(const Problem& problem);

// New objects of the two classes, from core records.
PyObject* new_registry_key(const std::shared_ptr<Hive>& hive, const RegistryKey& key);
PyObject* new_registry_value(ValueType value_type, std::string_view name, Bytes raw_data, bool unnamed,
                             std::uint32_t cell_offset, std::optional<std::uint32_t> key_offset);
// The same for one entry of a listing.
PyObject* new_registry_value(const ValueListing& listing, const ValueListing::Entry& entry);
PyObject* new_registry_key(const std::shared_ptr<Hive>& hive, std::uint32_t offset, std::uint32_t subkey_count,
                           std::uint32_t value_count, std::string_view name);
// A walk of the keys from the key at `offset` down (RegistryKey.walk); `onerror` is None or a
// callable (borrowed).
PyObject* new_tree_walk(const std::shared_ptr<Hive>& hive, std::uint32_t offset, PyObject* onerror);
// Hive.table(kind, *, path="", deleted=False): the stream object of py_table.cpp.
PyObject* hive_table(const std::shared_ptr<Hive>& hive, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kelpa::python
