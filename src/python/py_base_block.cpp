// BaseBlock: a detached copy of a hive's file header.

#include "classes.hpp"
#include "timestamps.hpp"
#include "utils.hpp"

namespace kelpa::python {

namespace {

const BaseBlock& block(PyObject* self) { return payload<PyBaseBlock>(self); }

std::string signature_text(const BaseBlock& bb) { return decode_utf8_lossy(bb.signature); }

PyObject* base_block_signature(PyObject* self, void*) { return str_from_utf8(signature_text(block(self))); }
PyObject* base_block_primary_sequence(PyObject* self, void*) { return PyLong_FromUnsignedLong(block(self).primary_sequence); }
PyObject* base_block_secondary_sequence(PyObject* self, void*) { return PyLong_FromUnsignedLong(block(self).secondary_sequence); }
PyObject* base_block_root_cell_offset(PyObject* self, void*) { return PyLong_FromUnsignedLong(block(self).root_cell_offset); }
PyObject* base_block_hive_bins_data_size(PyObject* self, void*) { return PyLong_FromUnsignedLong(block(self).hive_bins_data_size); }
PyObject* base_block_file_name(PyObject* self, void*) { return str_from_utf8(block(self).file_name); }
PyObject* base_block_is_dirty(PyObject* self, void*) { return PyBool_FromLong(block(self).is_dirty()); }

PyObject* base_block_last_written(PyObject* self, void*) { return datetime_from_filetime(block(self).last_written, "the base block"); }
PyObject* base_block_major_version(PyObject* self, void*) { return PyLong_FromUnsignedLong(block(self).major_version); }
PyObject* base_block_minor_version(PyObject* self, void*) { return PyLong_FromUnsignedLong(block(self).minor_version); }
PyObject* base_block_file_type(PyObject* self, void*) { return PyLong_FromUnsignedLong(block(self).file_type); }
PyObject* base_block_file_format(PyObject* self, void*) { return PyLong_FromUnsignedLong(block(self).file_format); }
PyObject* base_block_clustering_factor(PyObject* self, void*) { return PyLong_FromUnsignedLong(block(self).clustering_factor); }
PyObject* base_block_checksum(PyObject* self, void*) { return PyLong_FromUnsignedLong(block(self).checksum); }

PyObject* base_block_repr(PyObject* self) {
  const BaseBlock& bb = block(self);
  return str_from_utf8("BaseBlock(signature=" + signature_text(bb) + ", root_offset=" + hex_form(bb.root_cell_offset) +
                       ", hive_length=" + hex_form(bb.hive_bins_data_size) + ")");
}

PyGetSetDef base_block_getset[] = {
    {"signature", guard<base_block_signature>, nullptr, "Get the signature (should be \"regf\")", nullptr},
    {"primary_sequence", guard<base_block_primary_sequence>, nullptr, "Get the primary sequence number", nullptr},
    {"secondary_sequence", guard<base_block_secondary_sequence>, nullptr, "Get the secondary sequence number", nullptr},
    {"root_cell_offset", guard<base_block_root_cell_offset>, nullptr, "Get the root cell offset", nullptr},
    {"hive_length", guard<base_block_hive_bins_data_size>, nullptr, "Get the hive length (size of hive data in bytes)", nullptr},
    {"file_name", guard<base_block_file_name>, nullptr, "Get the file name", nullptr},
    {"hive_bins_data_size", guard<base_block_hive_bins_data_size>, nullptr, "Get the hive bins data size (same as hive_length)",
     nullptr},
    {"is_dirty", guard<base_block_is_dirty>, nullptr, "Whether the sequence numbers differ (changes not yet written to the hive file)",
     nullptr},
    {"last_written", guard<base_block_last_written>, nullptr,
     "Get the last write time as a timezone-aware datetime in UTC (None when not set)", nullptr},
    {"major_version", guard<base_block_major_version>, nullptr, "Get the major version", nullptr},
    {"minor_version", guard<base_block_minor_version>, nullptr, "Get the minor version", nullptr},
    {"file_type", guard<base_block_file_type>, nullptr, "Get the file type", nullptr},
    {"file_format", guard<base_block_file_format>, nullptr, "Get the file format", nullptr},
    {"clustering_factor", guard<base_block_clustering_factor>, nullptr, "Get the clustering factor", nullptr},
    {"checksum", guard<base_block_checksum>, nullptr, "Get the stored checksum", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot base_block_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for BaseBlock")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyBaseBlock>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<base_block_repr>)},
    {Py_tp_getset, base_block_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec base_block_spec = {"builtins.BaseBlock", sizeof(Wrapper<PyBaseBlock>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, base_block_slots};

}  // namespace kelpa::python
