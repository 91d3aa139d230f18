// kelpa.carve: the scan and placement of carve.hpp over a buffer (a read-only mapping of the
// source), and CarvedHive, one hive to write, as a named tuple (a struct sequence).

#include <array>

#include "args.hpp"
#include "carve.hpp"
#include "classes.hpp"
#include "errors.hpp"

namespace kelpa::python {

namespace {

// The scan runs without the lock a stretch at a time, so that the progress callback (and an
// interrupt) is seen every so often on sources of tens of GB.
constexpr std::uint64_t SCAN_STRETCH = 256u << 20;

PyStructSequence_Field carved_hive_fields[] = {
    {"kind", "\"hive\", \"reassembled\" or \"fragment\""},
    {"offset", "Where the base block (or the fragment's first bin) lies in the source"},
    {"size", "The length of the image to write"},
    {"pieces", "(image position, source position, length) of each stretch copied from the source, in image order"},
    {"made", "(image position, bytes) of each block made for the image: a fragment's base block and root bin"},
    {"bins_found", "Bins placed in the image"},
    {"bins_expected", "Bins found plus the missing stretches counted as 4096-byte bins"},
    {"bytes_found", "Bytes of bins placed"},
    {"bytes_missing", "Bytes of the bins data not found (a fragment: before its first bin)"},
    {nullptr, nullptr},
};
constexpr Py_ssize_t CARVED_HIVE_SIZE = 9;

PyStructSequence_Desc carved_hive_desc = {"kelpa.CarvedHive", "One hive found in a source, to write",
                                          carved_hive_fields, CARVED_HIVE_SIZE};

const char* kind_name(carve::Kind kind) {
  switch (kind) {
    case carve::Kind::Hive: return "hive";
    case carve::Kind::Reassembled: return "reassembled";
    case carve::Kind::Fragment: return "fragment";
  }
  return "";
}

PyObject* new_carved_hive(const carve::CarvedHive& hive) {
  PyRef entry = PyRef::steal(PyStructSequence_New(types.carved_hive));
  if (!entry) return nullptr;
  PyObject* items[CARVED_HIVE_SIZE] = {
      PyUnicode_FromString(kind_name(hive.kind)),
      PyLong_FromUnsignedLongLong(hive.source_position),
      PyLong_FromUnsignedLongLong(hive.image_size),
      list_of(hive.pieces, [](const carve::Piece& p) {
        return Py_BuildValue("(KKK)", static_cast<unsigned long long>(p.image_position),
                             static_cast<unsigned long long>(p.source_position), static_cast<unsigned long long>(p.length));
      }),
      list_of(hive.made, [](const carve::MadeBlock& m) {
        return Py_BuildValue("(Ky#)", static_cast<unsigned long long>(m.image_position),
                             reinterpret_cast<const char*>(m.bytes.data()), static_cast<Py_ssize_t>(m.bytes.size()));
      }),
      PyLong_FromUnsignedLong(hive.bins_found),
      PyLong_FromUnsignedLongLong(hive.bins_expected),
      PyLong_FromUnsignedLongLong(hive.bytes_found),
      PyLong_FromUnsignedLongLong(hive.bytes_missing),
  };
  bool ok = true;
  for (Py_ssize_t i = 0; i < CARVED_HIVE_SIZE; ++i) {
    ok = ok && items[i] != nullptr;
    PyStructSequence_SetItem(entry.get(), i, items[i]);  // steals; a NULL slot is cleared by the dealloc
  }
  return ok ? entry.release() : nullptr;
}

// carve(data, *, progress=None): `progress(bytes_scanned)` is called after each stretch; an
// exception it raises ends the call.
PyObject* carve_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names = {"data", "progress"};
  std::array<PyObject*, 2> argv{};
  if (!parse_arguments({"carve()", names, 1, 1}, args, nargs, kwnames, argv)) return nullptr;
  const auto data = buffer_argument(argv[0], "data");
  if (!data) return nullptr;
  PyObject* progress = argv[1] == Py_None ? nullptr : argv[1];
  const Bytes source = data->bytes;
  carve::Scan scan;
  for (std::uint64_t at = 0; at < source.size();) {
    const std::uint64_t end = std::min<std::uint64_t>(source.size(), at + SCAN_STRETCH);
    if (auto done = without_gil([&] { scan.scan(source, at, end); return true; }); !done) return raise(done.error());
    at = end;
    if (progress != nullptr) {
      PyRef n = PyRef::steal(PyLong_FromUnsignedLongLong(at));
      if (!n || !PyRef::steal(PyObject_CallOneArg(progress, n.get()))) return nullptr;
    } else if (PyErr_CheckSignals() < 0) {
      return nullptr;
    }
  }
  auto placed = without_gil([&] { return carve::place(source, scan); });
  if (!placed) return raise(placed.error());
  return list_of(*placed, new_carved_hive);
}

}  // namespace

PyTypeObject* new_carved_hive_type() { return PyStructSequence_NewType(&carved_hive_desc); }

PyMethodDef module_functions[] = {
    {"carve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<carve_function>)),
     METH_FASTCALL | METH_KEYWORDS,
     "carve(data, *, progress=None)\n--\n\nFind hives and hive fragments in a source (a read-only buffer: a writable one "
     "is copied first) and place their bins"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelpa::python
