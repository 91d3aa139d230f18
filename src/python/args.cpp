#include "args.hpp"

namespace kelpa::python {

bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out) {
  const auto max = static_cast<Py_ssize_t>(signature.names.size());
  for (auto& slot : out) slot = nullptr;
  if (nargs > max) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (signature.required == max) {
      PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", signature.function, max,
                   nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                   signature.function, signature.required, max, nargs, verb);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = 0;
    while (index < signature.names.size() && PyUnicode_CompareWithASCIIString(keyword, signature.names[index]) != 0)
      ++index;
    if (index == signature.names.size()) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.function, keyword);
      return false;
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.function,
                   signature.names[index]);
      return false;
    }
    out[index] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < signature.required; ++i) {
    if (out[static_cast<std::size_t>(i)] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", signature.function,
                   signature.names[static_cast<std::size_t>(i)]);
      return false;
    }
  }
  return true;
}

std::optional<std::string> text_argument(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!type_name) return std::nullopt;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'", name,
                 type_name.get());
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace kelpa::python
