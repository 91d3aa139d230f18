// Hive.table: a hive's keys or values as an Arrow stream (the PyCapsule interface). The object
// holds what the table is of; each __arrow_c_stream__ call builds a new core table over the hive,
// so the same object serves any number of readers. The batches are built by the core; get_next
// releases the interpreter lock when its caller holds it.

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "arrow_table.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "key_path.hpp"

namespace kelpa::python {

namespace {

// What a table is of: the arguments of HiveTable's constructor.
struct TableSource {
  std::shared_ptr<const Hive> hive;
  TableKind kind;
  std::uint32_t start_offset;
  std::string start_path;
  bool deleted;
  std::vector<std::uint8_t> columns;  // the columns asked for, in their order; empty for all
  std::uint32_t views;                 // the layout a reader that asks for none gets: the view columns
};

// The table's columns, in their order: those asked for, or all.
std::vector<std::uint8_t> columns_of(TableKind kind, const std::vector<std::uint8_t>& asked) {
  std::vector<std::uint8_t> columns = asked;
  if (columns.empty())
    for (std::size_t i = 0; i < HiveTable::column_names(kind).size(); ++i) columns.push_back(static_cast<std::uint8_t>(i));
  return columns;
}

// The names of those columns, ", "-separated, for messages.
std::string joined_names(TableKind kind, const std::vector<std::uint8_t>& asked) {
  std::string all;
  for (const std::uint8_t i : columns_of(kind, asked)) all.append(all.empty() ? "" : ", ").append(HiveTable::column_names(kind)[i]);
  return all;
}

// The columns a requested schema (an "arrow_schema" capsule, or None for the default) lays out as
// views. It must name the table's columns in the table's order, each in a format the table offers:
// the string and binary columns as large string / large binary or string view / binary view, the
// others as they are. nullopt with the exception set for anything else.
std::optional<std::uint32_t> requested_views(PyObject* requested, const TableSource& source) {
  if (requested == nullptr || requested == Py_None) return source.views;
  if (!PyCapsule_IsValid(requested, "arrow_schema")) {
    PyErr_Format(PyExc_TypeError, "requested_schema: expected an 'arrow_schema' PyCapsule, not '%s'",
                 Py_TYPE(requested)->tp_name);
    return std::nullopt;
  }
  const auto* schema = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(requested, "arrow_schema"));
  const auto columns = columns_of(source.kind, source.columns);
  const auto names = HiveTable::column_names(source.kind);
  bool same = schema->format != nullptr && std::string_view(schema->format) == "+s" &&
              schema->n_children == static_cast<std::int64_t>(columns.size());
  for (std::size_t i = 0; same && i < columns.size(); ++i) {
    const ArrowSchema* child = schema->children[i];
    same = child != nullptr && child->name != nullptr && child->format != nullptr && names[columns[i]] == child->name;
  }
  if (!same) {
    std::string asked;
    if (schema->format != nullptr && std::string_view(schema->format) == "+s")
      for (std::int64_t i = 0; i < schema->n_children; ++i) {
        const ArrowSchema* child = schema->children[i];
        asked.append(i == 0 ? "" : ", ").append(child != nullptr && child->name != nullptr ? child->name : "?");
      }
    PyErr_Format(PyExc_ValueError, "the requested schema's columns (%s) are not the table's (%s)", asked.c_str(),
                 joined_names(source.kind, source.columns).c_str());
    return std::nullopt;
  }
  std::uint32_t views = 0;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const std::string_view format = schema->children[i]->format;
    const char* large = HiveTable::column_format(source.kind, columns[i], false);
    const char* view = HiveTable::column_format(source.kind, columns[i], true);
    if (format == large) continue;
    if (format == view && (HiveTable::view_columns(source.kind) >> columns[i] & 1) != 0) {
      views |= 1u << columns[i];
      continue;
    }
    const std::string name(names[columns[i]]);
    if (std::string_view(large) == view)
      PyErr_Format(PyExc_ValueError, "the table cannot give column '%s' as '%s': it offers '%s'", name.c_str(),
                   schema->children[i]->format, large);
    else
      PyErr_Format(PyExc_ValueError, "the table cannot give column '%s' as '%s': it offers '%s' (%s) or '%s' (%s)",
                   name.c_str(), schema->children[i]->format, large, *large == 'Z' ? "large binary" : "large string",
                   view, *large == 'Z' ? "binary view" : "string view");
    return std::nullopt;
  }
  return views;
}

struct PyHiveTable {
  PyObject_HEAD
  TableSource source;  // built with construct_at, destroyed by the dealloc slot
};

const TableSource& source_of(PyObject* self) { return reinterpret_cast<const PyHiveTable*>(self)->source; }

int get_next_without_lock(ArrowArrayStream* stream, ArrowArray* out) {
  if (!PyGILState_Check()) return table_stream_get_next(stream, out);
  PyThreadState* saved = PyEval_SaveThread();
  const int status = table_stream_get_next(stream, out);
  PyEval_RestoreThread(saved);
  return status;
}

void release_stream_capsule(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) return;
  if (stream->release != nullptr) stream->release(stream);  // not taken by a consumer
  delete stream;
}

void release_schema_capsule(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (schema == nullptr) return;
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

PyObject* hive_table_arrow_c_schema(PyObject* self, PyObject*) {
  auto schema = std::make_unique<ArrowSchema>();
  HiveTable::export_table_schema(source_of(self).kind, source_of(self).columns,
                                 source_of(self).views, schema.get());
  PyObject* capsule = PyCapsule_New(schema.get(), "arrow_schema", release_schema_capsule);
  if (capsule == nullptr) {
    schema->release(schema.get());
    return nullptr;
  }
  schema.release();
  return capsule;
}

PyObject* hive_table_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"requested_schema"};
  std::array<PyObject*, 1> argv{};
  if (!parse_arguments({"HiveTable.__arrow_c_stream__()", names, 0}, args, nargs, kwnames, argv)) return nullptr;
  const TableSource& source = source_of(self);
  const auto views = requested_views(argv[0], source);
  if (!views) return nullptr;
  auto stream = std::make_unique<ArrowArrayStream>();
  export_table_stream(std::make_unique<HiveTable>(source.hive, source.kind, source.start_offset, source.start_path,
                                                  source.deleted, source.columns, *views),
                      stream.get());
  stream->get_next = get_next_without_lock;
  PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", release_stream_capsule);
  if (capsule == nullptr) {
    stream->release(stream.get());
    return nullptr;
  }
  stream.release();
  return capsule;
}

void hive_table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<PyHiveTable*>(self)->source);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef hive_table_methods[] = {
    {"__arrow_c_schema__", guard<hive_table_arrow_c_schema>, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nExport the schema as an Arrow PyCapsule"},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<hive_table_arrow_c_stream>)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\nExport the rows as an Arrow stream PyCapsule, a new "
     "stream over the hive on each call"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hive_table_slots[] = {
    {Py_tp_doc, const_cast<char*>("A hive's keys or values as an Arrow stream; each read starts a new stream over the hive")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hive_table_dealloc)},
    {Py_tp_methods, hive_table_methods},
    {0, nullptr},
};

// The `columns` argument: a sequence of the table's column names, each once, as the indexes of
// those columns. nullopt with the exception set for anything else.
std::optional<std::vector<std::uint8_t>> columns_argument(PyObject* value, TableKind kind) {
  const char* const table = kind == TableKind::Keys ? "keys" : "values";
  if (PyUnicode_Check(value) || PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument 'columns': expected a sequence of column names, not '%s'",
                 Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  PyRef items = PyRef::steal(PySequence_Fast(value, ""));
  if (!items) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument 'columns': expected a sequence of column names, not '%s'",
                 Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  const auto names = HiveTable::column_names(kind);
  std::vector<std::uint8_t> columns;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto name = text_argument(PySequence_Fast_GET_ITEM(items.get(), i), "columns");
    if (!name) return std::nullopt;
    const auto found = std::ranges::find(names, *name);
    if (found == names.end()) {
      PyErr_Format(PyExc_ValueError, "no column '%s' in the %s table; its columns are %s", name->c_str(), table,
                   joined_names(kind, {}).c_str());
      return std::nullopt;
    }
    const auto index = static_cast<std::uint8_t>(found - names.begin());
    if (std::ranges::find(columns, index) != columns.end()) {
      PyErr_Format(PyExc_ValueError, "column '%s' asked for twice", name->c_str());
      return std::nullopt;
    }
    columns.push_back(index);
  }
  if (columns.empty()) {
    PyErr_SetString(PyExc_ValueError, "columns must name at least one column");
    return std::nullopt;
  }
  return columns;
}

}  // namespace

PyType_Spec hive_table_spec = {"builtins.HiveTable", sizeof(PyHiveTable), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, hive_table_slots};

PyObject* hive_table(const std::shared_ptr<Hive>& hive, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 5> names = {"kind", "path", "deleted", "columns", "layout"};
  std::array<PyObject*, 5> argv{};
  if (!parse_arguments({"Hive.table()", names, 1, 4}, args, nargs, kwnames, argv)) return nullptr;
  auto kind_text = text_argument(argv[0], "kind");
  if (!kind_text) return nullptr;
  std::string path;
  if (argv[1] != nullptr) {
    auto given = text_argument(argv[1], "path");
    if (!given) return nullptr;
    path = std::move(*given);
  }
  const auto deleted = flag_argument(argv[2], false);
  if (!deleted) return nullptr;
  TableKind kind;
  if (*kind_text == "keys") {
    kind = TableKind::Keys;
  } else if (*kind_text == "values") {
    kind = TableKind::Values;
  } else {
    return PyErr_Format(PyExc_ValueError, "kind must be 'keys' or 'values', not '%s'", kind_text->c_str());
  }
  std::vector<std::uint8_t> columns;
  if (argv[3] != nullptr && argv[3] != Py_None) {
    auto asked = columns_argument(argv[3], kind);
    if (!asked) return nullptr;
    columns = std::move(*asked);
  }
  // The large layout by default: pyarrow's compute functions (comparisons, string kernels, sorts,
  // joins) and pandas take no views; a reader that does asks for them, by layout or by schema.
  std::uint32_t views = 0;
  if (argv[4] != nullptr) {
    auto layout = text_argument(argv[4], "layout");
    if (!layout) return nullptr;
    if (*layout == "view")
      views = HiveTable::view_columns(kind);
    else if (*layout != "large")
      return PyErr_Format(PyExc_ValueError, "layout must be 'large' or 'view', not '%s'", layout->c_str());
  }
  struct Start {
    std::uint32_t offset;
    std::string path;
  };
  return run_then_build(
      [&]() -> Result<Start> {
        auto root = hive->get_key(hive->base_block().root_cell_offset);
        if (!root) return std::unexpected(std::move(root.error()));
        auto start = open_key(*root, path);
        if (!start) return std::unexpected(std::move(start.error()));
        auto start_path = start->offset == root->offset ? Result<std::string>("") : key_path(*start);
        if (!start_path) return std::unexpected(std::move(start_path.error()));
        return Start{start->offset, std::move(*start_path)};
      },
      [&](Start& start) -> PyObject* {
        PyObject* self = types.hive_table->tp_alloc(types.hive_table, 0);
        if (self == nullptr) return nullptr;
        std::construct_at(&reinterpret_cast<PyHiveTable*>(self)->source,
                          TableSource{hive, kind, start.offset, std::move(start.path), *deleted, std::move(columns), views});
        return self;
      });
}

}  // namespace kelpa::python
