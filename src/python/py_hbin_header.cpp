// HbinHeader: a detached copy of one bin header.

#include "classes.hpp"
#include "utils.hpp"

namespace kelpa::python {

namespace {

const HbinHeader& header(PyObject* self) { return payload<PyHbinHeader>(self); }

PyObject* hbin_header_signature(PyObject* self, void*) { return str_from_utf8(decode_utf8_lossy(header(self).signature)); }
PyObject* hbin_header_offset(PyObject* self, void*) { return PyLong_FromUnsignedLong(header(self).offset); }
PyObject* hbin_header_size(PyObject* self, void*) { return PyLong_FromUnsignedLong(header(self).size); }

PyObject* hbin_header_repr(PyObject* self) {
  return str_from_utf8("HbinHeader(offset=" + hex_form(header(self).offset) + ", size=" + hex_form(header(self).size) + ")");
}

PyGetSetDef hbin_header_getset[] = {
    {"signature", guard<hbin_header_signature>, nullptr, "Get the signature (should be \"hbin\")", nullptr},
    {"offset", guard<hbin_header_offset>, nullptr, "Get the offset from the start of the hive bins data", nullptr},
    {"size", guard<hbin_header_size>, nullptr, "Get the size of this hbin", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot hbin_header_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for HbinHeader")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyHbinHeader>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<hbin_header_repr>)},
    {Py_tp_getset, hbin_header_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec hbin_header_spec = {"builtins.HbinHeader", sizeof(Wrapper<PyHbinHeader>), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, hbin_header_slots};

}  // namespace kelpa::python
