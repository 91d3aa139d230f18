// RegistryValue: a detached copy of one value (name, type, raw bytes).

#include <cstddef>
#include <cstring>

#include "classes.hpp"
#include "errors.hpp"

namespace kelpa::python {

namespace {

const PyRegistryValue& value_of(PyObject* self) { return *reinterpret_cast<const PyRegistryValue*>(self); }

PyObject* registry_value_name(PyObject* self, PyObject*) {
  return str_from_utf8(value_of(self).name_text());
}

PyObject* registry_value_value_type(PyObject* self, PyObject*) {
  return wrap<PyValueType>(types.value_type, value_of(self).value_type);
}

PyObject* registry_value_data(PyObject* self, PyObject*) {
  const PyRegistryValue& value = value_of(self);
  auto parsed = parse_value_data(value.value_type, value.raw_data());
  if (!parsed) return raise(parsed.error());
  return wrap<PyValueData>(types.value_data, std::move(*parsed));
}

PyObject* registry_value_raw_data(PyObject* self, PyObject*) {
  const Bytes raw = value_of(self).raw_data();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(raw.data()), static_cast<Py_ssize_t>(raw.size()));
}

PyObject* registry_value_data_size(PyObject* self, PyObject*) { return PyLong_FromSize_t(value_of(self).raw_data().size()); }

PyObject* registry_value_is_unnamed(PyObject* self, PyObject*) { return PyBool_FromLong(value_of(self).unnamed); }

PyObject* registry_value_cell_offset(PyObject* self, PyObject*) { return PyLong_FromUnsignedLong(value_of(self).cell_offset); }

PyObject* registry_value_key_offset(PyObject* self, PyObject*) {
  const PyRegistryValue& value = value_of(self);
  if (!value.has_key) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(value.key_offset);
}

PyObject* registry_value_repr(PyObject* self) {
  std::string text = "RegistryValue(name='";
  text.append(value_of(self).name_text()).append("')");
  return str_from_utf8(text);
}

// The payload is trivially destructible: nothing to destroy before the memory goes.
void registry_value_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef registry_value_methods[] = {
    {"name", guard<registry_value_name>, METH_NOARGS, "name($self)\n--\n\nGet the value name"},
    {"value_type", guard<registry_value_value_type>, METH_NOARGS, "value_type($self)\n--\n\nGet the value type"},
    {"data", guard<registry_value_data>, METH_NOARGS, "data($self)\n--\n\nGet the parsed value data"},
    {"raw_data", guard<registry_value_raw_data>, METH_NOARGS, "raw_data($self)\n--\n\nGet the raw value data as bytes"},
    {"data_size", guard<registry_value_data_size>, METH_NOARGS, "data_size($self)\n--\n\nGet the data size in bytes"},
    {"is_unnamed", guard<registry_value_is_unnamed>, METH_NOARGS,
     "is_unnamed($self)\n--\n\nCheck whether this is the key's unnamed value (the one name() calls \"(default)\")"},
    {"cell_offset", guard<registry_value_cell_offset>, METH_NOARGS,
     "cell_offset($self)\n--\n\nGet the cell offset of the value key"},
    {"key_offset", guard<registry_value_key_offset>, METH_NOARGS,
     "key_offset($self)\n--\n\nGet the cell offset of the key node whose value list lists this value (None when "
     "no key is known)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot registry_value_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for RegistryValue\n\nStores owned data to avoid lifetime issues with PyO3.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(registry_value_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<registry_value_repr>)},
    {Py_tp_methods, registry_value_methods},
    {0, nullptr},
};

}  // namespace

PyObject* new_registry_value(ValueType value_type, std::string_view name, Bytes raw_data, bool unnamed,
                             std::uint32_t cell_offset, std::optional<std::uint32_t> key_offset) {
  const std::size_t size = name.size() + raw_data.size();
  PyObject* self = new_var_object(types.registry_value, size);
  if (self == nullptr) return nullptr;
  auto* value = reinterpret_cast<PyRegistryValue*>(self);
  value->value_type = value_type;
  value->name_size = static_cast<std::uint32_t>(name.size());
  value->cell_offset = cell_offset;
  value->key_offset = key_offset.value_or(0);
  value->has_key = key_offset.has_value();
  value->unnamed = unnamed;
  if (!name.empty()) std::memcpy(value->bytes, name.data(), name.size());
  if (!raw_data.empty()) std::memcpy(value->bytes + name.size(), raw_data.data(), raw_data.size());
  return self;
}

PyObject* new_registry_value(const ValueListing& listing, const ValueListing::Entry& entry) {
  return new_registry_value(entry.value_type, listing.name(entry), listing.data_of(entry), entry.unnamed,
                            entry.cell_offset, entry.key_offset);
}

PyType_Spec registry_value_spec = {"builtins.RegistryValue", static_cast<int>(offsetof(PyRegistryValue, bytes)), 1,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, registry_value_slots};

}  // namespace kelpa::python
