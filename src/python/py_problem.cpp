// Problem: one problem met while reading a tolerant hive, as a named tuple (a struct sequence).

#include "classes.hpp"

namespace kelpa::python {

namespace {

PyStructSequence_Field problem_fields[] = {
    {"offset", "The cell offset the problem is at, or None for the base block"},
    {"message", "The message strict reading would raise"},
    {nullptr, nullptr},
};

PyStructSequence_Desc problem_desc = {"kelpa.Problem", "A problem met while reading a hive", problem_fields, 2};

}  // namespace

PyTypeObject* new_problem_type() { return PyStructSequence_NewType(&problem_desc); }

PyObject* new_problem(const Problem& problem) {
  PyRef entry = PyRef::steal(PyStructSequence_New(types.problem));
  if (!entry) return nullptr;
  PyObject* offset = problem.offset ? PyLong_FromUnsignedLong(*problem.offset) : Py_NewRef(Py_None);
  PyObject* message = str_from_utf8(problem.message);
  PyStructSequence_SetItem(entry.get(), 0, offset);  // steals; a NULL slot is cleared by the dealloc
  PyStructSequence_SetItem(entry.get(), 1, message);
  return offset != nullptr && message != nullptr ? entry.release() : nullptr;
}

}  // namespace kelpa::python
