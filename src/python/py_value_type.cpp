// ValueType: a value's type, its name and its number.

#include "classes.hpp"

namespace kelpa::python {

namespace {

const ValueType& type_of(PyObject* self) { return payload<PyValueType>(self); }

PyObject* value_type_type_name(PyObject* self, PyObject*) { return str_from_utf8(type_of(self).name()); }
PyObject* value_type_type_id(PyObject* self, PyObject*) { return PyLong_FromUnsignedLong(type_of(self).type_id()); }
PyObject* value_type_str(PyObject* self) { return str_from_utf8(type_of(self).name()); }
PyObject* value_type_repr(PyObject* self) { return str_from_utf8("ValueType(" + type_of(self).name() + ")"); }

// Equal, and hashed, by type id; int(value_type) is the type id.
PyObject* value_type_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != types.value_type) Py_RETURN_NOTIMPLEMENTED;
  const bool same = type_of(self).type_id() == type_of(other).type_id();
  return PyBool_FromLong(same == (op == Py_EQ));
}

PyObject* value_type_int(PyObject* self) { return PyLong_FromUnsignedLong(type_of(self).type_id()); }

Py_hash_t value_type_hash(PyObject* self) {
  // The hash of the int it equals by id: a type id is below 2**32, never -1.
  return static_cast<Py_hash_t>(type_of(self).type_id());
}

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
    {Py_tp_richcompare, reinterpret_cast<void*>(guard<value_type_richcompare>)},
    {Py_tp_hash, reinterpret_cast<void*>(value_type_hash)},
    {Py_nb_int, reinterpret_cast<void*>(guard<value_type_int>)},
    {Py_tp_methods, value_type_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec value_type_spec = {"builtins.ValueType", sizeof(Wrapper<PyValueType>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, value_type_slots};

}  // namespace kelpa::python
