#pragma once

#include <exception>
#include <expected>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kelpa::python {

// Move-only owner of one strong reference.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) Py_XSETREF(p_, std::exchange(other.p_, nullptr));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Releases the interpreter lock for its lifetime; re-taken by the destructor on every path.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// An unexpected failure inside core work done without the lock (memory exhaustion and the like).
struct Panic {
  std::string description;
};

// Runs core work with the interpreter lock released. Nothing in `work` may touch a Python object.
// Any C++ exception is caught before the lock is re-taken and comes back as a Panic.
template <class F>
auto without_gil(F&& work) -> std::expected<std::invoke_result_t<F>, Panic> {
  GilRelease released;
  try {
    return std::forward<F>(work)();
  } catch (const std::exception& e) {
    return std::unexpected(Panic{e.what()});
  } catch (...) {
    return std::unexpected(Panic{});
  }
}

// A Python object that holds one C++ value. Instances are made only by `wrap`; the value is built
// with construct_at after new_object and destroyed before tp_free.
template <class T>
struct Wrapper {
  PyObject_HEAD
  T value;
};

template <class T>
T& payload(PyObject* self) noexcept {
  return reinterpret_cast<Wrapper<T>*>(self)->value;
}

// A new object of `type` (not garbage-collected, freed by PyObject_Free as the default tp_free
// of such a type is). Unlike tp_alloc it does not zero-fill: the caller builds every field.
inline PyObject* new_object(PyTypeObject* type) {
  void* memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize));
  if (memory == nullptr) return PyErr_NoMemory();
  return PyObject_Init(static_cast<PyObject*>(memory), type);
}

template <class T, class... Args>
PyObject* wrap(PyTypeObject* type, Args&&... args) {
  PyObject* self = new_object(type);
  if (self == nullptr) return nullptr;
  try {
    std::construct_at(&reinterpret_cast<Wrapper<T>*>(self)->value, std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
    // The payload was never built, so free the shell directly.
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
    PyErr_NoMemory();
    return nullptr;
  }
  return self;
}

template <class T>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<Wrapper<T>*>(self)->value);
  type->tp_free(self);
  Py_DECREF(type);
}

// A new variable-size object of `type` with `items` bytes after its fixed part. Unlike tp_alloc it
// does not zero-fill: the caller sets every field and fills every byte.
inline PyObject* new_var_object(PyTypeObject* type, std::size_t items) {
  void* memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize) + items);
  if (memory == nullptr) return PyErr_NoMemory();
  return reinterpret_cast<PyObject*>(
      PyObject_InitVar(static_cast<PyVarObject*>(memory), type, static_cast<Py_ssize_t>(items)));
}

// A new list with one new object per record, made by `make`.
template <class Records, class Make>
PyObject* list_of(const Records& records, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& record : records) {
    PyObject* item = make(record);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i++, item);
  }
  return list.release();
}

// Every method, getter and slot body runs inside a guard: a C++ exception (memory exhaustion while
// copying or formatting) becomes a Python exception instead of crossing into the interpreter.
template <auto Method>
struct Guard;

template <class... Args, PyObject* (*Method)(Args...)>
struct Guard<Method> {
  static PyObject* call(Args... args) noexcept {
    try {
      return Method(args...);
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
      return nullptr;
    }
  }
};

template <auto Method>
inline constexpr auto guard = &Guard<Method>::call;

// `tp_new` of every class: objects come only from factories and other objects' methods.
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*);

// A new str from UTF-8 that the core produced (always well-formed).
PyObject* str_from_utf8(std::string_view text);

}  // namespace kelpa::python
