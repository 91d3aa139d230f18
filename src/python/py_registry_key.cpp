// RegistryKey: one key of an opened hive. The object holds the shared hive, the key's cell offset
// and copies of its name and counts; everything else is re-read through the key cache.

#include <array>
#include <cstring>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"

namespace kelpa::python {

namespace {

constexpr std::uint64_t FILETIME_TICKS_PER_SECOND = 10'000'000;
constexpr std::int64_t SECONDS_FROM_1601_TO_1970 = 11'644'473'600;

const PyRegistryKey& key_of(PyObject* self) { return payload<PyRegistryKey>(self); }

// ASCII case-insensitive equality of two UTF-8 texts: only A-Z fold; every other byte, those of
// non-ASCII characters included, must match as it is.
bool same_name_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

// Builds a list of new objects from records made without the lock.
template <class Record>
PyObject* list_of(PyTypeObject* type, std::vector<Record>& records) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* item = wrap<Record>(type, std::move(records[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

template <class T>
using Work = std::expected<T, PendingError>;

// Raises the failure of core work done without the lock, or wraps its records.
template <class T, class Build>
PyObject* finish(std::expected<Work<T>, Panic>& outcome, Build&& build) {
  if (!outcome) return raise(outcome.error());
  if (!*outcome) return raise(outcome->error());
  return build(**outcome);
}

PyObject* registry_key_name(PyObject* self, PyObject*) { return str_from_utf8(key_of(self).name); }
PyObject* registry_key_subkey_count(PyObject* self, PyObject*) { return PyLong_FromUnsignedLong(key_of(self).subkey_count); }
PyObject* registry_key_value_count(PyObject* self, PyObject*) { return PyLong_FromUnsignedLong(key_of(self).value_count); }

PyObject* registry_key_subkeys(PyObject* self, PyObject*) {
  const std::shared_ptr<Hive> hive = key_of(self).hive;
  const std::uint32_t offset = key_of(self).offset;
  auto outcome = without_gil([&]() -> Work<std::vector<PyRegistryKey>> {
    std::vector<PyRegistryKey> subkeys;
    auto key = hive->get_key(offset);
    if (!key) return std::unexpected(PendingError::from(key.error()));
    if (key->node.subkey_count == 0) return subkeys;
    std::vector<std::uint32_t> offsets;
    if (auto walked = key->collect_subkey_offsets(key->node.subkey_list_offset, offsets); !walked)
      return std::unexpected(PendingError::from(walked.error()));
    subkeys.reserve(offsets.size());
    for (std::uint32_t subkey_offset : offsets) {
      auto subkey = hive->get_key(subkey_offset);
      if (!subkey) return std::unexpected(PendingError::from(subkey.error()));
      subkeys.push_back(key_record(hive, *subkey));
    }
    return subkeys;
  });
  return finish(outcome, [](auto& subkeys) { return list_of(types.registry_key, subkeys); });
}

PyObject* registry_key_last_written_timestamp(PyObject* self, PyObject*) {
  const PyRegistryKey& record = key_of(self);
  auto key = record.hive->get_key(record.offset);
  if (!key) return raise(key.error());
  const std::uint64_t filetime = key->node.last_written;
  if (filetime == 0) Py_RETURN_NONE;
  const auto seconds = static_cast<std::int64_t>(filetime / FILETIME_TICKS_PER_SECOND);
  return PyLong_FromLongLong(seconds - SECONDS_FROM_1601_TO_1970);
}

PyObject* registry_key_values(PyObject* self, PyObject*) {
  const std::shared_ptr<Hive> hive = key_of(self).hive;
  const std::uint32_t offset = key_of(self).offset;
  auto outcome = without_gil([&]() -> Work<std::vector<PyRegistryValue>> {
    auto key = hive->get_key(offset);
    if (!key) return std::unexpected(PendingError::from(key.error()));
    auto listed = key->values();
    if (!listed) return std::unexpected(PendingError::from(listed.error()));
    std::vector<PyRegistryValue> values;
    values.reserve(listed->size());
    for (RegistryValue& value : *listed) {
      // A value whose data cannot be read is still listed, with empty data.
      auto data = value.raw_data();
      values.push_back({std::move(value.name), data ? std::move(*data) : std::vector<std::uint8_t>(), value.value_type});
    }
    return values;
  });
  return finish(outcome, [](auto& values) { return list_of(types.registry_value, values); });
}

PyObject* registry_key_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"name"};
  std::array<PyObject*, 1> argv{};
  if (!parse_arguments({"RegistryKey.value()", names, 1}, args, nargs, kwnames, argv)) return nullptr;
  auto wanted = text_argument(argv[0], "name");
  if (!wanted) return nullptr;
  const std::shared_ptr<Hive> hive = key_of(self).hive;
  const std::uint32_t offset = key_of(self).offset;
  auto outcome = without_gil([&]() -> Work<PyRegistryValue> {
    auto key = hive->get_key(offset);
    if (!key) return std::unexpected(PendingError::from(key.error()));
    auto listed = key->values();
    if (!listed) return std::unexpected(PendingError::from(listed.error()));
    for (RegistryValue& value : *listed) {
      if (!same_name_ignoring_ascii_case(value.name, *wanted)) continue;
      auto data = value.raw_data();
      if (!data) return std::unexpected(PendingError::from(data.error()));
      return PyRegistryValue{std::move(value.name), std::move(*data), value.value_type};
    }
    return std::unexpected(PendingError::from(RegistryError::not_found("Value '" + *wanted + "'")));
  });
  return finish(outcome, [](auto& value) { return wrap<PyRegistryValue>(types.registry_value, std::move(value)); });
}

PyObject* registry_key_repr(PyObject* self) {
  const PyRegistryKey& key = key_of(self);
  return str_from_utf8("RegistryKey(name='" + key.name + "', subkeys=" + decimal(key.subkey_count) +
                       ", values=" + decimal(key.value_count) + ")");
}

PyMethodDef registry_key_methods[] = {
    {"name", registry_key_name, METH_NOARGS, "name($self)\n--\n\nGet the key name"},
    {"subkey_count", registry_key_subkey_count, METH_NOARGS, "subkey_count($self)\n--\n\nGet the number of subkeys"},
    {"value_count", registry_key_value_count, METH_NOARGS, "value_count($self)\n--\n\nGet the number of values"},
    {"subkeys", registry_key_subkeys, METH_NOARGS, "subkeys($self)\n--\n\nGet all subkeys"},
    {"last_written_timestamp", registry_key_last_written_timestamp, METH_NOARGS,
     "last_written_timestamp($self)\n--\n\nGet the last write timestamp as Unix timestamp (seconds since epoch)"},
    {"value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(registry_key_value)),
     METH_FASTCALL | METH_KEYWORDS, "value($self, name)\n--\n\nGet a specific value by name"},
    {"values", registry_key_values, METH_NOARGS, "values($self)\n--\n\nGet all values"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot registry_key_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for RegistryKey\n\nStores Arc<Hive> and offset to avoid lifetime issues with PyO3.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyRegistryKey>)},
    {Py_tp_repr, reinterpret_cast<void*>(registry_key_repr)},
    {Py_tp_methods, registry_key_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec registry_key_spec = {"builtins.RegistryKey", sizeof(Wrapper<PyRegistryKey>), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, registry_key_slots};

}  // namespace kelpa::python
