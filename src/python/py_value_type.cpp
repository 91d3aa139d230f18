// ValueType: a value's type, its name and its number.

#include "classes.hpp"

namespace kelpa::python {

namespace {

const ValueType& type_of(PyObject* self) { return payload<PyValueType>(self); }

PyObject* value_type_type_name(PyObject* self, PyObject*) { return str_from_utf8(type_of(self).name()); }
PyObject* value_type_type_id(PyObject* self, PyObject*) { return PyLong_FromUnsignedLong(type_of(self).type_id()); }
PyObject* value_type_str(PyObject* self) { return str_from_utf8(type_of(self).name()); }
PyObject* value_type_repr(PyObject* self) { return str_from_utf8("ValueType(" + type_of(self).name() + ")"); }

PyMethodDef value_type_methods[] = {
    {"type_name", guard<value_type_type_name>, METH_NOARGS,
     "type_name($self)\n--\n\nGet the type name as string (e.g., \"REG_SZ\", \"REG_DWORD\")"},
    {"type_id", guard<value_type_type_id>, METH_NOARGS, "type_id($self)\n--\n\nGet the numeric type ID"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot value_type_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for ValueType")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyValueType>)},
    {Py_tp_str, reinterpret_cast<void*>(guard<value_type_str>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<value_type_repr>)},
    {Py_tp_methods, value_type_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec value_type_spec = {"builtins.ValueType", sizeof(Wrapper<PyValueType>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, value_type_slots};

}  // namespace kelpa::python
