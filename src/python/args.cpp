#include "args.hpp"

#include <vector>

namespace kelpa::python {

bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out) {
  const auto max = static_cast<Py_ssize_t>(signature.names.size()) - signature.keyword_only;
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

namespace {

// Re-raises the pending TypeError of a conversion with the argument's name before its text.
void name_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, raised.get());
}

}  // namespace

std::optional<std::string> path_argument(PyObject* value, const char* name) {
  PyRef path = PyRef::steal(PyOS_FSPath(value));
  if (!path) {
    name_type_error(name);
    return std::nullopt;
  }
  PyRef encoded = PyUnicode_Check(path.get()) ? PyRef::steal(PyUnicode_EncodeFSDefault(path.get())) : std::move(path);
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (!encoded || PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) < 0) return std::nullopt;
  return std::string(bytes, static_cast<std::size_t>(size));
}

std::optional<BufferBytes> buffer_argument(PyObject* value, const char* name) {
  auto view = std::make_unique<Py_buffer>();
  if (PyObject_GetBuffer(value, view.get(), PyBUF_SIMPLE) < 0) {
    name_type_error(name);
    return std::nullopt;
  }
  const Bytes bytes(static_cast<const std::uint8_t*>(view->buf), static_cast<std::size_t>(view->len));
  if (!view->readonly) {
    std::shared_ptr<const std::vector<std::uint8_t>> copy;
    try {
      copy = std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
    } catch (...) {
      PyBuffer_Release(view.get());
      throw;
    }
    PyBuffer_Release(view.get());
    return BufferBytes{Bytes(*copy), std::move(copy)};
  }
  // Should making the owner fail, the deleter runs at once and releases the export.
  std::shared_ptr<const void> owner(view.release(), [](Py_buffer* exported) {
    const PyGILState_STATE state = PyGILState_Ensure();
    PyBuffer_Release(exported);
    PyGILState_Release(state);
    delete exported;
  });
  return BufferBytes{bytes, std::move(owner)};
}

std::optional<bool> flag_argument(PyObject* value, bool omitted) {
  if (value == nullptr) return omitted;
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return std::nullopt;
  return truth != 0;
}

}  // namespace kelpa::python
