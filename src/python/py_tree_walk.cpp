// The iterator of RegistryKey.walk: keys read ahead in batches, the interpreter lock released once
// per batch rather than once per key.

#include <mutex>
#include <vector>

#include "classes.hpp"
#include "errors.hpp"
#include "tree_walk.hpp"

namespace kelpa::python {

namespace {

// Keys per batch: enough to make the lock's release and re-take rare, few enough that the first
// key of a walk comes back at once and a batch stays small.
constexpr std::size_t FIRST_BATCH = 64;
constexpr std::size_t MAX_BATCH = 1024;

struct PyTreeWalk {
  PyObject_HEAD
  // Built with construct_at after tp_alloc, destroyed by the dealloc slot.
  struct State {
    std::shared_ptr<Hive> hive;  // keeps the hive alive as long as the iterator
    TreeWalk walk;
    WalkBatch batch;
    std::vector<PendingError> errors;  // the batch's errors, formatted without the lock
    std::size_t next = 0;              // the batch entry to hand out next
    std::size_t batch_size = FIRST_BATCH;
    bool filling = false;  // a thread is reading the next batch (without the lock)
    bool done = false;
    std::mutex fill_mutex;  // held while a batch is read; a second thread waits on it
  } state;
  PyObject* onerror;  // a callable, or nullptr for none
};

PyTreeWalk& walk_of(PyObject* self) { return *reinterpret_cast<PyTreeWalk*>(self); }

// Reads the next batch without the interpreter lock. Another thread that calls next() meanwhile
// waits for it (without the lock) and then takes what it read.
bool fill(PyTreeWalk::State& state) {
  state.filling = true;
  state.batch.clear();
  state.errors.clear();
  state.next = 0;
  const std::size_t size = state.batch_size;
  auto outcome = without_gil([&] {
    std::lock_guard lock(state.fill_mutex);
    state.walk.next_batch(size, state.batch);
    for (const RegistryError& error : state.batch.errors) state.errors.push_back(PendingError::from(error));
    return true;
  });
  state.filling = false;
  state.batch_size = std::min(state.batch_size * 4, MAX_BATCH);
  if (!outcome) {
    state.done = true;
    state.batch.clear();
    raise(outcome.error());
    return false;
  }
  return true;
}

// A ValueError (or OSError) object for `error`, not raised.
PyObject* exception_object(const PendingError& error) {
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(error.message.data(), static_cast<Py_ssize_t>(error.message.size())));
  if (!text) return nullptr;
  return PyObject_CallOneArg(error.is_os_error ? PyExc_OSError : PyExc_ValueError, text.get());
}

PyObject* tree_walk_next(PyObject* self) {
  PyTreeWalk& walk = walk_of(self);
  PyTreeWalk::State& state = walk.state;
  for (;;) {
    if (state.filling) {
      GilRelease released;
      std::lock_guard wait(state.fill_mutex);
      continue;
    }
    if (state.next < state.batch.entries.size()) {
      const WalkBatch::Entry& entry = state.batch.entries[state.next++];
      if (entry.error < 0)
        return new_registry_key(state.hive, entry.offset, entry.node.subkey_count, entry.node.value_count,
                                state.batch.name(entry));
      const PendingError& error = state.errors[static_cast<std::size_t>(entry.error)];
      if (walk.onerror == nullptr) {
        state.done = true;
        state.batch.clear();
        return raise(error);
      }
      PyRef exception = PyRef::steal(exception_object(error));
      PyRef callback = PyRef::borrow(walk.onerror);
      if (!exception || !PyRef::steal(PyObject_CallOneArg(callback.get(), exception.get()))) {
        state.done = true;
        state.batch.clear();
        return nullptr;
      }
      continue;
    }
    if (state.done || state.walk.finished()) {
      state.done = true;
      return nullptr;  // no exception set: the iteration is over
    }
    if (!fill(state)) return nullptr;
  }
}

int tree_walk_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(walk_of(self).onerror);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int tree_walk_clear(PyObject* self) {
  Py_CLEAR(walk_of(self).onerror);
  return 0;
}

void tree_walk_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(walk_of(self).onerror);
  std::destroy_at(&walk_of(self).state);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot tree_walk_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over a key and all keys below it, depth first")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tree_walk_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(tree_walk_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tree_walk_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(guard<tree_walk_next>)},
    {0, nullptr},
};

}  // namespace

PyObject* new_tree_walk(const std::shared_ptr<Hive>& hive, std::uint32_t offset, PyObject* onerror) {
  PyObject* self = types.tree_walk->tp_alloc(types.tree_walk, 0);
  if (self == nullptr) return nullptr;
  PyTreeWalk& walk = walk_of(self);
  try {
    std::construct_at(&walk.state, hive, TreeWalk(*hive, offset));
  } catch (const std::bad_alloc&) {
    // The state was never built: free the shell without the dealloc slot.
    PyObject_GC_UnTrack(self);
    types.tree_walk->tp_free(self);
    Py_DECREF(types.tree_walk);
    return PyErr_NoMemory();
  }
  walk.onerror = onerror == Py_None ? nullptr : Py_NewRef(onerror);
  return self;
}

PyType_Spec tree_walk_spec = {"builtins.TreeWalk", sizeof(PyTreeWalk), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, tree_walk_slots};

}  // namespace kelpa::python
