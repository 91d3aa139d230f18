#include "errors.hpp"

namespace kelpa::python {

PyObject* raise(const PendingError& error) {
  PyObject* type = error.is_os_error ? PyExc_OSError : PyExc_ValueError;
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(error.message.data(), static_cast<Py_ssize_t>(error.message.size())));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise(const RegistryError& error) { return raise(PendingError::from(error)); }

PyObject* raise(const Panic& panic) {
  const std::string description = panic.description.empty() ? "unknown error" : panic.description;
  PyErr_Format(PyExc_RuntimeError, "Core panic: %s", description.c_str());
  return nullptr;
}

}  // namespace kelpa::python
