// Hive: opening a hive (with or without its logs), its base block, root key, bins and saving.

#include <array>
#include <optional>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "log_replay.hpp"
#include "key_path.hpp"

namespace kelpa::python {

namespace {

const std::shared_ptr<Hive>& hive_of(PyObject* self) { return payload<PyHive>(self); }

PyObject* new_hive(std::shared_ptr<Hive>& hive) { return wrap<PyHive>(types.hive, std::move(hive)); }

PyObject* hive_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"path"};
  std::array<PyObject*, 1> argv{};
  if (!parse_arguments({"Hive.open()", names, 1}, args, nargs, kwnames, argv)) return nullptr;
  auto path = text_argument(argv[0], "path");
  if (!path) return nullptr;
  return run_then_build([&] { return Hive::open_file(*path); }, new_hive);
}

PyObject* hive_open_with_logs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> names = {"hive_path", "log1_path", "log2_path"};
  std::array<PyObject*, 3> argv{};
  if (!parse_arguments({"Hive.open_with_logs()", names, 1}, args, nargs, kwnames, argv)) return nullptr;
  std::array<std::optional<std::string>, 3> paths;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (argv[i] == nullptr || (i > 0 && argv[i] == Py_None)) continue;
    paths[i] = text_argument(argv[i], names[i]);
    if (!paths[i]) return nullptr;
  }
  auto view = [](const std::optional<std::string>& p) -> std::optional<std::string_view> {
    if (p) return std::string_view(*p);
    return std::nullopt;
  };
  return run_then_build([&] { return open_with_logs(*paths[0], view(paths[1]), view(paths[2])); }, new_hive);
}

ReadMode read_mode(bool strict) { return strict ? ReadMode::Strict : ReadMode::Tolerant; }

PyObject* hive_from_path(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 4> names = {"path", "log1", "log2", "strict"};
  std::array<PyObject*, 4> argv{};
  if (!parse_arguments({"Hive.from_path()", names, 1, 1}, args, nargs, kwnames, argv)) return nullptr;
  std::array<std::optional<std::string>, 3> paths;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (argv[i] == nullptr || (i > 0 && argv[i] == Py_None)) continue;
    paths[i] = path_argument(argv[i], names[i]);
    if (!paths[i]) return nullptr;
  }
  const auto strict = flag_argument(argv[3], true);
  if (!strict) return nullptr;
  const ReadMode mode = read_mode(*strict);
  if (!paths[1] && !paths[2])
    return run_then_build([&] { return Hive::open_file(*paths[0], mode); }, new_hive, IoErrors::Typed);
  auto view = [](const std::optional<std::string>& p) -> std::optional<std::string_view> {
    if (p) return std::string_view(*p);
    return std::nullopt;
  };
  return run_then_build([&] { return open_with_logs(*paths[0], view(paths[1]), view(paths[2]), mode); }, new_hive,
                        IoErrors::Typed);
}

// The buffers stay exported (or copied) until the call returns with the lock held, so that a
// failed open never releases one without it.
PyObject* hive_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 4> names = {"data", "log1", "log2", "strict"};
  static constexpr std::array<const char*, 2> log_paths = {"<log1>", "<log2>"};
  std::array<PyObject*, 4> argv{};
  if (!parse_arguments({"Hive.from_bytes()", names, 1, 1}, args, nargs, kwnames, argv)) return nullptr;
  std::array<std::optional<BufferBytes>, 3> buffers;
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    if (argv[i] == nullptr || (i > 0 && argv[i] == Py_None)) continue;
    buffers[i] = buffer_argument(argv[i], names[i]);
    if (!buffers[i]) return nullptr;
  }
  const auto strict = flag_argument(argv[3], true);
  if (!strict) return nullptr;
  const ReadMode mode = read_mode(*strict);
  const BufferBytes& data = *buffers[0];
  if (!buffers[1] && !buffers[2])
    return run_then_build([&] { return Hive::from_data(HiveData(HiveData::Borrowed{data.bytes, data.owner}), mode); },
                          new_hive, IoErrors::Typed);
  return run_then_build(
      [&] {
        std::vector<LogInput> logs;
        for (std::size_t i = 1; i < buffers.size(); ++i)
          if (buffers[i]) logs.push_back({log_paths[i - 1], buffers[i]->bytes});
        return replay_logs(std::vector<std::uint8_t>(data.bytes.begin(), data.bytes.end()), logs,
                           replay::MAX_IMAGE_SIZE, mode);
      },
      new_hive, IoErrors::Typed);
}

PyObject* hive_table_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return hive_table(hive_of(self), args, nargs, kwnames);
}

PyObject* hive_problems(PyObject* self, PyObject*) { return list_of(hive_of(self)->problems().problems(), new_problem); }

PyObject* hive_base_block(PyObject* self, PyObject*) {
  return wrap<PyBaseBlock>(types.base_block, hive_of(self)->base_block());
}

PyObject* hive_root_key(PyObject* self, PyObject*) {
  const std::shared_ptr<Hive>& hive = hive_of(self);
  return run_then_build([&] { return hive->get_key(hive->base_block().root_cell_offset); },
                        [&](const RegistryKey& key) { return new_registry_key(hive, key); });
}

PyObject* hive_open_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"path"};
  std::array<PyObject*, 1> argv{};
  if (!parse_arguments({"Hive.open_key()", names, 1}, args, nargs, kwnames, argv)) return nullptr;
  auto path = text_argument(argv[0], "path");
  if (!path) return nullptr;
  const std::shared_ptr<Hive>& hive = hive_of(self);
  return run_then_build(
      [&]() -> Result<RegistryKey> {
        auto root = hive->get_key(hive->base_block().root_cell_offset);
        if (!root) return std::unexpected(std::move(root.error()));
        return open_key(*root, *path);
      },
      [&](const RegistryKey& key) { return new_registry_key(hive, key); });
}

PyObject* hive_hbins(PyObject* self, PyObject*) {
  const std::shared_ptr<Hive>& hive = hive_of(self);
  return run_then_build([&] { return hive->hbins(); }, [](const std::vector<HbinHeader>& records) {
    return list_of(records, [](const HbinHeader& record) { return wrap<PyHbinHeader>(types.hbin_header, record); });
  });
}

PyObject* hive_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names = {"path"};
  std::array<PyObject*, 1> argv{};
  if (!parse_arguments({"Hive.save()", names, 1}, args, nargs, kwnames, argv)) return nullptr;
  auto path = text_argument(argv[0], "path");
  if (!path) return nullptr;
  const std::shared_ptr<Hive>& hive = hive_of(self);
  return run_then_build([&] { return hive->save(*path); }, []() -> PyObject* { Py_RETURN_NONE; });
}

PyObject* hive_log_replay(PyObject* self, PyObject*) {
  return list_of(hive_of(self)->log_replay(), new_log_replay);
}

// The scans read every free cell of the image, so they run without the lock; the Python objects
// are made from their results afterwards.
PyObject* hive_deleted_keys(PyObject* self, PyObject*) {
  const std::shared_ptr<Hive>& hive = hive_of(self);
  return run_then_build([&]() -> Result<std::vector<RegistryKey>> { return hive->deleted_keys(); },
                        [&](const std::vector<RegistryKey>& keys) {
                          return list_of(keys, [&](const RegistryKey& key) { return new_registry_key(hive, key); });
                        });
}

PyObject* hive_deleted_values(PyObject* self, PyObject*) {
  const std::shared_ptr<Hive>& hive = hive_of(self);
  return run_then_build([&]() -> Result<ValueListing> { return hive->deleted_values(); }, [](const ValueListing& listing) {
    return list_of(listing.entries, [&](const ValueListing::Entry& entry) { return new_registry_value(listing, entry); });
  });
}

PyObject* hive_repr(PyObject* self) {
  const BaseBlock& bb = hive_of(self)->base_block();
  const std::string text = "Hive(root_offset=" + hex_form(bb.root_cell_offset) + ", hive_length=" + hex_form(bb.hive_bins_data_size) + ")";
  return str_from_utf8(text);
}

PyMethodDef hive_methods[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<hive_open>)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "open(path)\n--\n\nOpen a registry hive file"},
    {"open_with_logs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<hive_open_with_logs>)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "open_with_logs(hive_path, log1_path=None, log2_path=None)\n--\n\nOpen a registry hive with transaction logs applied"},
    {"from_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<hive_from_path>)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_path(path, log1=None, log2=None, *, strict=True)\n--\n\nOpen a hive file, replaying the given transaction logs"},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<hive_from_bytes>)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bytes(data, log1=None, log2=None, *, strict=True)\n--\n\nOpen a hive held in memory, replaying the given transaction logs"},
    {"problems", guard<hive_problems>, METH_NOARGS, "problems($self)\n--\n\nGet the problems met while reading the hive"},
    {"table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<hive_table_method>)),
     METH_FASTCALL | METH_KEYWORDS,
     "table($self, kind, *, path='', deleted=False, columns=None, layout='large')\n--\n\nGet the keys or the values below a key as an Arrow stream; each "
     "read starts a new stream over the hive"},
    {"base_block", guard<hive_base_block>, METH_NOARGS, "base_block($self)\n--\n\nGet the base block (header) information"},
    {"root_key", guard<hive_root_key>, METH_NOARGS, "root_key($self)\n--\n\nGet the root key of the hive"},
    {"hbins", guard<hive_hbins>, METH_NOARGS, "hbins($self)\n--\n\nGet all hbin headers"},
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<hive_save>)), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\nSave the hive to a file"},
    {"log_replay", guard<hive_log_replay>, METH_NOARGS, "log_replay($self)\n--\n\nGet what replaying the transaction logs did"},
    {"deleted_keys", guard<hive_deleted_keys>, METH_NOARGS,
     "deleted_keys($self)\n--\n\nGet the key nodes found in unallocated space, in image order"},
    {"deleted_values", guard<hive_deleted_values>, METH_NOARGS,
     "deleted_values($self)\n--\n\nGet the value keys found in unallocated space, in image order, with whatever data can still be read"},
    {"open_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<hive_open_key>)),
     METH_FASTCALL | METH_KEYWORDS, "open_key($self, path)\n--\n\nOpen a key by its path from the root key"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hive_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Hive")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyHive>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<hive_repr>)},
    {Py_tp_methods, hive_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec hive_spec = {"builtins.Hive", sizeof(Wrapper<PyHive>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, hive_slots};

}  // namespace kelpa::python
