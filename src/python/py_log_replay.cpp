// LogReplay: what replaying one transaction log did, as a named tuple (a struct sequence).

#include "classes.hpp"

namespace kelpa::python {

namespace {

PyStructSequence_Field log_replay_fields[] = {
    {"path", "The log path, as given"},
    {"layout", "\"blocks\", \"new\", \"old\", or \"\" when the file could not be read or has none of them"},
    {"applied", "Whether the log changed the hive"},
    {"entries", "Entries applied (1 for an applied old-format log, dirty blocks for \"blocks\")"},
    {"pages", "Pages or sectors written"},
    {"sequence", "The last sequence number applied, or None"},
    {"reason", "Why the log was not applied or stopped early, or \"\""},
    {nullptr, nullptr},
};

PyStructSequence_Desc log_replay_desc = {"kelpa.LogReplay", "What replaying one transaction log did",
                                         log_replay_fields, 7};

}  // namespace

PyTypeObject* new_log_replay_type() { return PyStructSequence_NewType(&log_replay_desc); }

PyObject* new_log_replay(const LogReplay& report) {
  PyRef entry = PyRef::steal(PyStructSequence_New(types.log_replay));
  if (!entry) return nullptr;
  PyObject* items[] = {
      // As the caller gave it: a path in the file system encoding, or "<log1>" for a log in memory.
      PyUnicode_DecodeFSDefaultAndSize(report.path.data(), static_cast<Py_ssize_t>(report.path.size())),
      str_from_utf8(report.layout),
      PyBool_FromLong(report.applied),
      PyLong_FromUnsignedLongLong(report.entries),
      PyLong_FromUnsignedLongLong(report.pages),
      report.sequence ? PyLong_FromUnsignedLong(*report.sequence) : Py_NewRef(Py_None),
      str_from_utf8(report.reason),
  };
  bool ok = true;
  for (Py_ssize_t i = 0; i < 7; ++i) {
    ok = ok && items[i] != nullptr;
    PyStructSequence_SetItem(entry.get(), i, items[i]);  // steals; a NULL slot is cleared by the dealloc
  }
  return ok ? entry.release() : nullptr;
}

}  // namespace kelpa::python
