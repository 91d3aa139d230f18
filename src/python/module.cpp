// The module entry: single-phase initialisation, one module per process.

#include <atomic>
#include <cstring>
#include <cstdint>

#include "classes.hpp"
#include "utils.hpp"

namespace kelpa::python {

Types types;

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyObject* str_from_utf8(std::string_view text) {
  // Most names are ASCII: then the text is copied as it is, without the general decoder.
  if (is_ascii({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()})) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str != nullptr && !text.empty()) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
  }
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

namespace {

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* cached_module = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kelpa",
    "Python module definition",
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to __all__ (made at the first addition), then sets the attribute. Steals `value`.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned) return false;
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
  if (all == nullptr) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list || PyModule_AddObjectRef(module, "__all__", list.get()) < 0) return false;
    all = list.get();
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

// The class object for `spec`, created on first use.
PyObject* class_object(PyTypeObject*& slot, PyType_Spec& spec) {
  if (slot == nullptr) {
    slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (slot == nullptr) return nullptr;
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(slot));
}

// A struct sequence class, created on first use.
PyObject* struct_sequence_class(PyTypeObject*& slot, PyTypeObject* (*make)()) {
  if (slot == nullptr && (slot = make()) == nullptr) return nullptr;
  return Py_NewRef(reinterpret_cast<PyObject*>(slot));
}

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
  if (!module) return nullptr;
  const bool ok = add_attribute(module.get(), "Hive", class_object(types.hive, hive_spec)) &&
                  add_attribute(module.get(), "RegistryKey", class_object(types.registry_key, registry_key_spec)) &&
                  add_attribute(module.get(), "RegistryValue", class_object(types.registry_value, registry_value_spec)) &&
                  add_attribute(module.get(), "ValueData", class_object(types.value_data, value_data_spec)) &&
                  add_attribute(module.get(), "ValueType", class_object(types.value_type, value_type_spec)) &&
                  add_attribute(module.get(), "BaseBlock", class_object(types.base_block, base_block_spec)) &&
                  add_attribute(module.get(), "HbinHeader", class_object(types.hbin_header, hbin_header_spec)) &&
                  add_attribute(module.get(), "LogReplay", struct_sequence_class(types.log_replay, new_log_replay_type)) &&
                  add_attribute(module.get(), "Problem", struct_sequence_class(types.problem, new_problem_type)) &&
                  add_attribute(module.get(), "CarvedHive", struct_sequence_class(types.carved_hive, new_carved_hive_type)) &&
                  add_attribute(module.get(), "carve", PyObject_GetAttrString(module.get(), "carve")) &&
                  add_attribute(module.get(), "__version__", PyUnicode_FromString(KELPA_VERSION));
  // The walk iterator's and the table's classes are made here too, under the lock, but are no
  // attributes of the module.
  const bool walk_ok = ok && PyRef::steal(class_object(types.tree_walk, tree_walk_spec)) &&
                       PyRef::steal(class_object(types.hive_table, hive_table_spec));
  return walk_ok ? module.release() : nullptr;
}

}  // namespace

}  // namespace kelpa::python

PyMODINIT_FUNC PyInit_kelpa() {
  using namespace kelpa::python;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, "PyO3 modules do not yet support subinterpreters");
    return nullptr;
  }
  if (cached_module != nullptr) return Py_NewRef(cached_module);
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  cached_module = Py_NewRef(module);
  return module;
}
