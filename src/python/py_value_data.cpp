// ValueData: a value's data parsed by type, with tests, accessors and a printable form.

#include "classes.hpp"

namespace kelpa::python {

namespace {

const ValueData& data_of(PyObject* self) { return payload<PyValueData>(self); }

template <class... Variants>
PyObject* holds_any(PyObject* self) {
  return PyBool_FromLong((std::holds_alternative<Variants>(data_of(self)) || ...));
}

PyObject* not_this_kind(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return nullptr;
}

PyObject* bytes_object(const std::vector<std::uint8_t>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* value_data_is_none(PyObject* self, PyObject*) { return holds_any<NoData>(self); }
PyObject* value_data_is_string(PyObject* self, PyObject*) { return holds_any<StringData, ExpandStringData>(self); }
PyObject* value_data_is_binary(PyObject* self, PyObject*) { return holds_any<BinaryData>(self); }
PyObject* value_data_is_dword(PyObject* self, PyObject*) { return holds_any<DwordData, DwordBigEndianData>(self); }
PyObject* value_data_is_qword(PyObject* self, PyObject*) { return holds_any<QwordData>(self); }
PyObject* value_data_is_multi_string(PyObject* self, PyObject*) { return holds_any<MultiStringData>(self); }

PyObject* value_data_as_string(PyObject* self, PyObject*) {
  if (auto* s = std::get_if<StringData>(&data_of(self))) return str_from_utf8(s->text);
  if (auto* s = std::get_if<ExpandStringData>(&data_of(self))) return str_from_utf8(s->text);
  return not_this_kind("Not a string value");
}

PyObject* value_data_as_binary(PyObject* self, PyObject*) {
  if (auto* b = std::get_if<BinaryData>(&data_of(self))) return bytes_object(b->bytes);
  return not_this_kind("Not a binary value");
}

PyObject* value_data_as_dword(PyObject* self, PyObject*) {
  if (auto* d = std::get_if<DwordData>(&data_of(self))) return PyLong_FromUnsignedLong(d->value);
  if (auto* d = std::get_if<DwordBigEndianData>(&data_of(self))) return PyLong_FromUnsignedLong(d->value);
  return not_this_kind("Not a DWORD value");
}

PyObject* value_data_as_qword(PyObject* self, PyObject*) {
  if (auto* q = std::get_if<QwordData>(&data_of(self))) return PyLong_FromUnsignedLongLong(q->value);
  return not_this_kind("Not a QWORD value");
}

PyObject* value_data_as_multi_string(PyObject* self, PyObject*) {
  auto* multi = std::get_if<MultiStringData>(&data_of(self));
  if (multi == nullptr) return not_this_kind("Not a multi-string value");
  return list_of(multi->items, [](const std::string& item) { return str_from_utf8(item); });
}

PyObject* value_data_str(PyObject* self) { return str_from_utf8(to_display_string(data_of(self))); }

PyMethodDef value_data_methods[] = {
    {"is_none", guard<value_data_is_none>, METH_NOARGS, "is_none($self)\n--\n\nCheck if this is a None value"},
    {"is_string", guard<value_data_is_string>, METH_NOARGS, "is_string($self)\n--\n\nCheck if this is a String value"},
    {"is_binary", guard<value_data_is_binary>, METH_NOARGS, "is_binary($self)\n--\n\nCheck if this is a Binary value"},
    {"is_dword", guard<value_data_is_dword>, METH_NOARGS, "is_dword($self)\n--\n\nCheck if this is a DWORD value"},
    {"is_qword", guard<value_data_is_qword>, METH_NOARGS, "is_qword($self)\n--\n\nCheck if this is a QWORD value"},
    {"is_multi_string", guard<value_data_is_multi_string>, METH_NOARGS,
     "is_multi_string($self)\n--\n\nCheck if this is a MultiString value"},
    {"as_string", guard<value_data_as_string>, METH_NOARGS, "as_string($self)\n--\n\nGet as string (if applicable)"},
    {"as_binary", guard<value_data_as_binary>, METH_NOARGS, "as_binary($self)\n--\n\nGet as binary data (if applicable)"},
    {"as_dword", guard<value_data_as_dword>, METH_NOARGS, "as_dword($self)\n--\n\nGet as DWORD (if applicable)"},
    {"as_qword", guard<value_data_as_qword>, METH_NOARGS, "as_qword($self)\n--\n\nGet as QWORD (if applicable)"},
    {"as_multi_string", guard<value_data_as_multi_string>, METH_NOARGS,
     "as_multi_string($self)\n--\n\nGet as multi-string (if applicable)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot value_data_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for ValueData")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyValueData>)},
    {Py_tp_str, reinterpret_cast<void*>(guard<value_data_str>)},
    {Py_tp_methods, value_data_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec value_data_spec = {"builtins.ValueData", sizeof(Wrapper<PyValueData>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, value_data_slots};

}  // namespace kelpa::python
