#include "errors.hpp"

namespace kelpa::python {

namespace {

// OSError(errno, strerror, filename): the constructor picks the subclass by the number.
PyObject* raise_typed(const PendingError& error) {
  PyRef filename = error.path.empty()
                       ? PyRef::borrow(Py_None)
                       : PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(error.path.data(), static_cast<Py_ssize_t>(error.path.size())));
  if (!filename) return nullptr;
  PyRef exception = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "is#O", error.os_error_number,
                                                       error.os_error_description.data(),
                                                       static_cast<Py_ssize_t>(error.os_error_description.size()),
                                                       filename.get()));
  if (!exception) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace

PyObject* raise(const PendingError& error, IoErrors io) {
  if (error.is_os_error && io == IoErrors::Typed && error.os_error_number != 0) return raise_typed(error);
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
