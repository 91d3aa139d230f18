// RegistryKey: one key of an opened hive. The object holds the shared hive, the key's cell offset
// and copies of its name and counts; everything else is re-read through the key cache.

#include <array>
#include <cstring>
#include <type_traits>
#include <utility>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "key_path.hpp"
#include "timestamps.hpp"

namespace kelpa::python {

namespace {

constexpr std::uint64_t FILETIME_TICKS_PER_SECOND = 10'000'000;
constexpr std::int64_t SECONDS_FROM_1601_TO_1970 = 11'644'473'600;

const PyRegistryKey& key_of(PyObject* self) { return *reinterpret_cast<const PyRegistryKey*>(self); }

// Re-reads this object's key and runs `work` on it with the interpreter lock released, then
// `build` on the result with the lock held (see run_then_build).
template <class Work, class Build>
PyObject* run_on_key(PyObject* self, Work&& work, Build&& build) {
  const std::shared_ptr<Hive>& hive = key_of(self).hive;
  const std::uint32_t offset = key_of(self).offset;
  return run_then_build(
      [&]() -> std::invoke_result_t<Work, const RegistryKey&> {
        auto key = hive->get_key(offset);
        if (!key) return std::unexpected(std::move(key.error()));
        return work(*key);
      },
      std::forward<Build>(build));
}

// Re-reads this object's key with the lock held (one cache lookup) and returns `read(key)`: for
// the accessors that read at most one further cell.
template <class Read>
PyObject* read_key(PyObject* self, Read&& read) {
  auto key = key_of(self).hive->get_key(key_of(self).offset);
  if (!key) return raise(key.error());
  return read(*key);
}

// ASCII case-insensitive equality of two UTF-8 texts: only A-Z fold; every other byte, those of
// non-ASCII characters included, must match as it is.
bool same_name_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

PyObject* registry_key_name(PyObject* self, PyObject*) {
  return str_from_utf8(key_of(self).name_text());
}
PyObject* registry_key_subkey_count(PyObject* self, PyObject*) { return PyLong_FromUnsignedLong(key_of(self).subkey_count); }
PyObject* registry_key_value_count(PyObject* self, PyObject*) { return PyLong_FromUnsignedLong(key_of(self).value_count); }
PyObject* registry_key_cell_offset(PyObject* self, PyObject*) { return PyLong_FromUnsignedLong(key_of(self).offset); }

// Each thread's subkey buffer, reused as the value listing below is.
thread_local std::vector<RegistryKey> spare_subkeys;
constexpr std::size_t SPARE_SUBKEYS = 1 << 14;

// A key's counts never change (the image is immutable and its node stays in the key cache), so a
// key without subkeys or values answers with an empty list at once: there is no core work to
// release the interpreter lock for. Most keys of a hive are leaves.
PyObject* registry_key_subkeys(PyObject* self, PyObject*) {
  if (key_of(self).subkey_count == 0) return PyList_New(0);
  const std::shared_ptr<Hive>& hive = key_of(self).hive;
  std::vector<RegistryKey>& spare = spare_subkeys;  // one look-up of this thread's storage
  std::vector<RegistryKey> subkeys = std::exchange(spare, {});
  PyObject* list = run_on_key(
      self, [&](const RegistryKey& key) { return key.subkeys(subkeys); },
      [&]() { return list_of(subkeys, [&](const RegistryKey& subkey) { return new_registry_key(hive, subkey); }); });
  subkeys.clear();
  if (subkeys.capacity() <= SPARE_SUBKEYS) spare = std::move(subkeys);
  return list;
}

PyObject* registry_key_last_written_timestamp(PyObject* self, PyObject*) {
  return read_key(self, [](const RegistryKey& key) -> PyObject* {
    const std::uint64_t filetime = key.node().last_written;
    if (filetime == 0) Py_RETURN_NONE;
    const auto seconds = static_cast<std::int64_t>(filetime / FILETIME_TICKS_PER_SECOND);
    return PyLong_FromLongLong(seconds - SECONDS_FROM_1601_TO_1970);
  });
}

// Each thread's value listing buffers, kept from one values() call to the next so that a walk
// does not allocate them key after key. A call takes them out while it runs (a call that began
// meanwhile on the same thread would start with empty ones), and a listing whose buffers grew past
// SPARE_LISTING_BYTES in all is not kept.
thread_local ValueListing spare_listing;
constexpr std::size_t SPARE_LISTING_BYTES = 1 << 20;

PyObject* registry_key_values(PyObject* self, PyObject*) {
  if (key_of(self).value_count == 0) return PyList_New(0);
  ValueListing& spare = spare_listing;  // one look-up of this thread's storage
  ValueListing listing = std::exchange(spare, ValueListing{});
  PyObject* list = run_on_key(
      self, [&](const RegistryKey& key) { return key.values_with_data(listing); },
      [&]() {
        return list_of(listing.entries,
                       [&](const ValueListing::Entry& entry) { return new_registry_value(listing, entry); });
      });
  const std::size_t kept = listing.entries.capacity() * sizeof(ValueListing::Entry) + listing.names.capacity() +
                           listing.data.capacity();
  if (kept <= SPARE_LISTING_BYTES) spare = std::move(listing);
  return list;
}

// The first value whose name matches, with its data; a data error is the result, not dropped.
struct FoundValue {
  RegistryValue value;
  std::vector<std::uint8_t> data;
};

PyObject* registry_key_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"name"};
  std::array<PyObject*, 1> argv{};
  if (!parse_arguments({"RegistryKey.value()", names, 1}, args, nargs, kwnames, argv)) return nullptr;
  auto wanted = text_argument(argv[0], "name");
  if (!wanted) return nullptr;
  return run_on_key(
      self,
      [&](const RegistryKey& key) -> Result<FoundValue> {
        auto listed = key.values();
        if (!listed) return std::unexpected(std::move(listed.error()));
        for (RegistryValue& value : *listed) {
          if (!same_name_ignoring_ascii_case(value.name, *wanted)) continue;
          auto data = value.raw_data();
          if (data) return FoundValue{std::move(value), std::move(*data)};
          // A tolerant hive lists the value with empty data, as values() does, and notes why.
          if (auto met = key.hive->problems().meet(value.data_offset, std::move(data.error())); !met)
            return std::unexpected(std::move(met.error()));
          return FoundValue{std::move(value), {}};
        }
        return std::unexpected(RegistryError::not_found("Value '" + *wanted + "'"));
      },
      [&](const FoundValue& found) {
        return new_registry_value(found.value.value_type, found.value.name, found.data, found.value.name_length == 0,
                                  found.value.offset, key_of(self).offset);
      });
}

// The record fields read for forensic work: each re-reads the key with the lock held, as
// last_written_timestamp does; none of them reads more than one further cell.
PyObject* registry_key_last_written(PyObject* self, PyObject*) {
  return read_key(self, [&](const RegistryKey& key) {
    return datetime_from_filetime(key.node().last_written, "key at offset " + hex_form(key.offset));
  });
}

PyObject* registry_key_last_written_filetime(PyObject* self, PyObject*) {
  return read_key(self, [](const RegistryKey& key) { return PyLong_FromUnsignedLongLong(key.node().last_written); });
}

PyObject* registry_key_class_name(PyObject* self, PyObject*) {
  return read_key(self, [](const RegistryKey& key) -> PyObject* {
    auto name = key.class_name();
    if (!name) return raise(name.error());
    if (!*name) Py_RETURN_NONE;
    return str_from_utf8(**name);
  });
}

PyObject* registry_key_security_descriptor(PyObject* self, PyObject*) {
  return read_key(self, [](const RegistryKey& key) -> PyObject* {
    auto descriptor = key.security_descriptor();
    if (!descriptor) return raise(descriptor.error());
    if (!*descriptor) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>((*descriptor)->data()),
                                     static_cast<Py_ssize_t>((*descriptor)->size()));
  });
}

PyObject* registry_key_flags(PyObject* self, PyObject*) {
  return read_key(self, [](const RegistryKey& key) { return PyLong_FromUnsignedLong(key.node().flags); });
}

PyObject* registry_key_is_deleted(PyObject* self, PyObject*) {
  return read_key(self, [](const RegistryKey& key) { return PyBool_FromLong(key.is_deleted()); });
}

PyObject* registry_key_open_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"sub_key"};
  std::array<PyObject*, 1> argv{};
  if (!parse_arguments({"RegistryKey.open_key()", names, 1}, args, nargs, kwnames, argv)) return nullptr;
  auto sub_key = text_argument(argv[0], "sub_key");
  if (!sub_key) return nullptr;
  const std::shared_ptr<Hive>& hive = key_of(self).hive;
  return run_on_key(
      self, [&](const RegistryKey& key) { return open_key(key, *sub_key); },
      [&](const RegistryKey& found) { return new_registry_key(hive, found); });
}

PyObject* registry_key_parent(PyObject* self, PyObject*) {
  const std::shared_ptr<Hive>& hive = key_of(self).hive;
  return run_on_key(
      self, [](const RegistryKey& key) { return parent_key(key); },
      [&](const std::optional<RegistryKey>& parent) -> PyObject* {
        if (!parent) Py_RETURN_NONE;
        return new_registry_key(hive, *parent);
      });
}

PyObject* registry_key_path(PyObject* self, PyObject*) {
  return run_on_key(
      self, [](const RegistryKey& key) { return key_path(key); }, [](const std::string& path) { return str_from_utf8(path); });
}

PyObject* registry_key_walk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"onerror"};
  std::array<PyObject*, 1> argv{};
  if (!parse_arguments({"RegistryKey.walk()", names, 0}, args, nargs, kwnames, argv)) return nullptr;
  return new_tree_walk(key_of(self).hive, key_of(self).offset, argv[0] == nullptr ? Py_None : argv[0]);
}

// Two objects are equal when they stand for the same key (cell offset) of the same opened hive.
PyObject* registry_key_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != types.registry_key) Py_RETURN_NOTIMPLEMENTED;
  const bool same = key_of(self).hive == key_of(other).hive && key_of(self).offset == key_of(other).offset;
  return PyBool_FromLong(same == (op == Py_EQ));
}

Py_hash_t registry_key_hash(PyObject* self) {
  const auto hive = reinterpret_cast<std::uintptr_t>(key_of(self).hive.get());
  const std::size_t hash = std::hash<std::uintptr_t>{}(hive) * 31 + key_of(self).offset;
  const auto result = static_cast<Py_hash_t>(hash);
  return result == -1 ? -2 : result;  // -1 means failure to the interpreter
}

PyObject* registry_key_repr(PyObject* self) {
  const PyRegistryKey& key = key_of(self);
  std::string text = "RegistryKey(name='";
  text.append(key.name_text()).append("', subkeys=").append(decimal(key.subkey_count));
  text.append(", values=").append(decimal(key.value_count)).push_back(')');
  return str_from_utf8(text);
}

void registry_key_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<PyRegistryKey*>(self)->hive);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef registry_key_methods[] = {
    {"name", guard<registry_key_name>, METH_NOARGS, "name($self)\n--\n\nGet the key name"},
    {"subkey_count", guard<registry_key_subkey_count>, METH_NOARGS, "subkey_count($self)\n--\n\nGet the number of subkeys"},
    {"value_count", guard<registry_key_value_count>, METH_NOARGS, "value_count($self)\n--\n\nGet the number of values"},
    {"subkeys", guard<registry_key_subkeys>, METH_NOARGS, "subkeys($self)\n--\n\nGet all subkeys"},
    {"last_written_timestamp", guard<registry_key_last_written_timestamp>, METH_NOARGS,
     "last_written_timestamp($self)\n--\n\nGet the last write timestamp as Unix timestamp (seconds since epoch)"},
    {"value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<registry_key_value>)),
     METH_FASTCALL | METH_KEYWORDS, "value($self, name)\n--\n\nGet a specific value by name"},
    {"values", guard<registry_key_values>, METH_NOARGS, "values($self)\n--\n\nGet all values"},
    {"last_written", guard<registry_key_last_written>, METH_NOARGS,
     "last_written($self)\n--\n\nGet the last write time as a timezone-aware datetime in UTC (None when not set)"},
    {"last_written_filetime", guard<registry_key_last_written_filetime>, METH_NOARGS,
     "last_written_filetime($self)\n--\n\nGet the last written time as a FILETIME: 100 ns intervals since 1601-01-01 UTC"},
    {"class_name", guard<registry_key_class_name>, METH_NOARGS,
     "class_name($self)\n--\n\nGet the class name (None when the key has none)"},
    {"security_descriptor", guard<registry_key_security_descriptor>, METH_NOARGS,
     "security_descriptor($self)\n--\n\nGet the security descriptor as stored, as bytes (None when the key has none)"},
    {"flags", guard<registry_key_flags>, METH_NOARGS, "flags($self)\n--\n\nGet the key node flags"},
    {"cell_offset", guard<registry_key_cell_offset>, METH_NOARGS, "cell_offset($self)\n--\n\nGet the cell offset of the key node"},
    {"is_deleted", guard<registry_key_is_deleted>, METH_NOARGS,
     "is_deleted($self)\n--\n\nCheck whether the key node's cell is free (the key was deleted)"},
    {"open_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<registry_key_open_key>)),
     METH_FASTCALL | METH_KEYWORDS, "open_key($self, sub_key)\n--\n\nOpen a subkey by its path relative to this key"},
    {"parent", guard<registry_key_parent>, METH_NOARGS, "parent($self)\n--\n\nGet the parent key, or None for the root key"},
    {"path", guard<registry_key_path>, METH_NOARGS, "path($self)\n--\n\nGet the path of the key from the root key"},
    {"walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<registry_key_walk>)),
     METH_FASTCALL | METH_KEYWORDS,
     "walk($self, onerror=None)\n--\n\nIterate over this key and all keys below it, depth first"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot registry_key_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for RegistryKey\n\nStores Arc<Hive> and offset to avoid lifetime issues with PyO3.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(registry_key_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<registry_key_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guard<registry_key_richcompare>)},
    {Py_tp_hash, reinterpret_cast<void*>(registry_key_hash)},
    {Py_tp_methods, registry_key_methods},
    {0, nullptr},
};

}  // namespace

PyObject* new_registry_key(const std::shared_ptr<Hive>& hive, std::uint32_t offset, std::uint32_t subkey_count,
                           std::uint32_t value_count, std::string_view name) {
  PyObject* self = new_var_object(types.registry_key, name.size());
  if (self == nullptr) return nullptr;
  auto* record = reinterpret_cast<PyRegistryKey*>(self);
  std::construct_at(&record->hive, hive);
  record->offset = offset;
  record->subkey_count = subkey_count;
  record->value_count = value_count;
  if (!name.empty()) std::memcpy(record->name, name.data(), name.size());
  return self;
}

PyObject* new_registry_key(const std::shared_ptr<Hive>& hive, const RegistryKey& key) {
  return new_registry_key(hive, key.offset, key.node().subkey_count, key.node().value_count, key.node().name());
}

PyType_Spec registry_key_spec = {"builtins.RegistryKey", static_cast<int>(offsetof(PyRegistryKey, name)), 1,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, registry_key_slots};

}  // namespace kelpa::python
