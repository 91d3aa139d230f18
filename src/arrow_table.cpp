#include "arrow_table.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "key_path.hpp"
#include "utils.hpp"
#include "value_data.hpp"

namespace kelpa {

namespace {

constexpr std::size_t WALK_BATCH = 1024;
constexpr std::int64_t FILETIME_TICKS_PER_MICROSECOND = 10;
constexpr std::int64_t MICROSECONDS_FROM_1601_TO_1970 = 11'644'473'600'000'000;

enum class Layout : std::uint8_t { Fixed, Bits, Bytes };

struct ColumnSpec {
  const char* name;
  const char* format;  // Arrow's format string
  bool nullable;
  Layout layout;
  std::size_t width;  // bytes per value, for Fixed
};

constexpr std::array<ColumnSpec, 11> KEY_COLUMNS = {{
    {"key_id", "I", false, Layout::Fixed, 4},
    {"parent_id", "I", true, Layout::Fixed, 4},
    {"path", "U", false, Layout::Bytes, 0},
    {"name", "U", false, Layout::Bytes, 0},
    {"last_written", "tsu:UTC", true, Layout::Fixed, 8},
    {"last_written_filetime", "L", false, Layout::Fixed, 8},
    {"class_name", "U", true, Layout::Bytes, 0},
    {"flags", "S", false, Layout::Fixed, 2},
    {"subkey_count", "I", false, Layout::Fixed, 4},
    {"value_count", "I", false, Layout::Fixed, 4},
    {"deleted", "b", false, Layout::Bits, 0},
}};

constexpr std::array<ColumnSpec, 8> VALUE_COLUMNS = {{
    {"key_id", "I", true, Layout::Fixed, 4},
    {"key_path", "U", true, Layout::Bytes, 0},
    {"name", "U", true, Layout::Bytes, 0},
    {"type_id", "I", false, Layout::Fixed, 4},
    {"data", "Z", false, Layout::Bytes, 0},
    {"text", "U", true, Layout::Bytes, 0},
    {"number", "L", true, Layout::Fixed, 8},
    {"deleted", "b", false, Layout::Bits, 0},
}};

template <std::size_t N>
constexpr std::array<std::string_view, N> names_of(const std::array<ColumnSpec, N>& specs) {
  std::array<std::string_view, N> names{};
  for (std::size_t i = 0; i < N; ++i) names[i] = specs[i].name;
  return names;
}
constexpr auto KEY_COLUMN_NAMES = names_of(KEY_COLUMNS);
constexpr auto VALUE_COLUMN_NAMES = names_of(VALUE_COLUMNS);
static_assert(KEY_COLUMNS.size() <= 32 && VALUE_COLUMNS.size() <= 32, "a table's columns are a 32-bit set");

std::span<const ColumnSpec> columns_of(TableKind kind) {
  if (kind == TableKind::Keys) return KEY_COLUMNS;
  return VALUE_COLUMNS;
}

// The key path columns: keys' path, values' key_path.
constexpr std::size_t KEYS_PATH = 2, KEYS_PARENT_ID = 1, KEYS_CLASS_NAME = 6, VALUES_KEY_PATH = 1, VALUES_DATA = 4;

// The formats of the view layouts, which take the place of large utf8 ("U") and large binary ("Z").
constexpr const char* STRING_VIEW = "vu";
constexpr const char* BINARY_VIEW = "vz";
constexpr std::size_t VIEW_SIZE = 16, VIEW_INLINE = 12;

// One view as Arrow lays it out: the length, then either the bytes themselves (up to 12, zero
// padded) or their first 4 bytes, the buffer's index and the offset in it.
struct View {
  std::int32_t size;
  std::array<std::uint8_t, VIEW_INLINE> rest;
};
static_assert(sizeof(View) == VIEW_SIZE && std::is_trivially_copyable_v<View>);
constexpr std::size_t VIEW_BUFFER_MAX = 0x7FFFFFFF;  // a view's offset and length are int32

// One column of a batch, its buffers laid out as Arrow reads them: a validity bitmap (nullable
// columns), then the values (fixed width, or bits), or 64-bit offsets and the bytes; or, in the
// view layout, 16-byte views and the variadic buffers they point into. A column left out of the
// table (`on` false) takes nothing.
//
// A view holds a value of up to 12 bytes itself; a longer one points into a buffer: the batch's
// copies (`data`, then `more` once `data` reaches the 2 GiB a view can address), or, for a column
// given the hive's `image`, the image itself, which the exported column keeps alive. Its buffer
// is the image from its start up to the end of the last byte a view of the batch points at.
struct Column {
  Column(const ColumnSpec* column_spec, bool wanted, bool as_views, Bytes hive_image)
      : spec(column_spec), on(wanted), view(as_views), image(hive_image) {}

  const ColumnSpec* spec;
  bool on;
  bool view;   // the view layout (string or binary view) instead of large offsets
  Bytes image; // what views may point into without a copy (empty: copy everything)
  std::vector<std::uint8_t> validity;
  std::vector<std::uint8_t> values;
  std::vector<std::int64_t> offsets{0};
  std::string data;
  std::vector<View> views;        // views only: one a row
  std::vector<std::string> more;  // further copy buffers (views only)
  std::size_t image_end = 0;      // views only: the end of what they point at in `image`
  std::int64_t length = 0, nulls = 0;

  void mark(bool valid) {
    if (spec->nullable) {
      if (length % 8 == 0) validity.push_back(0);
      if (valid) validity.back() = static_cast<std::uint8_t>(validity.back() | (1u << (length % 8)));
    }
    if (!valid) ++nulls;
  }
  template <class T>
  void fixed(T value) {
    static_assert(std::endian::native == std::endian::little, "Arrow buffers are written in the host's order");
    if (!on) return;
    mark(true);
    const auto at = values.size();
    values.resize(at + sizeof value);
    std::memcpy(values.data() + at, &value, sizeof value);
    ++length;
  }
  void bit(bool value) {
    if (!on) return;
    mark(true);
    if (length % 8 == 0) values.push_back(0);
    if (value) values.back() = static_cast<std::uint8_t>(values.back() | (1u << (length % 8)));
    ++length;
  }
  void bytes(std::string_view text) {
    if (!on) return;
    mark(true);
    if (view) {
      copy_view(text);
    } else {
      data.append(text);
      offsets.push_back(static_cast<std::int64_t>(data.size()));
    }
    ++length;
  }
  void bytes(Bytes raw) {
    const std::string_view text(reinterpret_cast<const char*>(raw.data()), raw.size());
    if (!on || !view || raw.size() <= VIEW_INLINE || !in_image(raw)) return bytes(text);
    mark(true);
    const auto at = static_cast<std::size_t>(raw.data() - image.data());
    if (at + raw.size() <= VIEW_BUFFER_MAX) {
      image_end = std::max(image_end, at + raw.size());
      put_view(text, 0, at);
    } else {
      copy_view(text);
    }
    ++length;
  }
  // A row whose view is `made` (by view_of) for the same batch.
  void repeat(const View& made) {
    if (!on) return;
    mark(true);
    views.push_back(made);
    ++length;
  }
  // The view `text` would get, its bytes copied into the batch's buffers once (views only).
  View view_of(std::string_view text) {
    copy_view(text);
    const View made = views.back();
    views.pop_back();
    return made;
  }
  // A value's text (append_text below), or null.
  void text(ValueType type, Bytes raw);
  void null() {
    if (!on) return;
    mark(false);
    switch (spec->layout) {
      case Layout::Fixed: values.resize(values.size() + spec->width); break;
      case Layout::Bits: if (length % 8 == 0) values.push_back(0); break;
      case Layout::Bytes:
        if (view) views.push_back(View{});
        else offsets.push_back(static_cast<std::int64_t>(data.size()));
        break;
    }
    ++length;
  }
  template <class T>
  void fixed_or_null(const std::optional<T>& value) {
    if (value) fixed(*value); else null();
  }

  // Views only: the index of the first copy buffer (the image, when given, is buffer 0).
  [[nodiscard]] std::size_t first_copy() const noexcept { return image.empty() ? 0 : 1; }
  // The copy buffer with room for `size` more bytes that a view can address.
  std::string& copy_buffer(std::size_t size) {
    std::string& last = more.empty() ? data : more.back();
    if (last.size() + size <= VIEW_BUFFER_MAX) return last;
    return more.emplace_back();
  }
  [[nodiscard]] std::size_t copy_index() const noexcept { return first_copy() + more.size(); }

 private:
  [[nodiscard]] bool in_image(Bytes raw) const noexcept {
    const auto p = reinterpret_cast<std::uintptr_t>(raw.data()), base = reinterpret_cast<std::uintptr_t>(image.data());
    return !image.empty() && p >= base && p - base <= image.size() && image.size() - (p - base) >= raw.size();
  }
  void put_view(std::string_view text, std::size_t buffer, std::size_t offset) {
    View& v = views.emplace_back(View{static_cast<std::int32_t>(text.size()), {}});
    if (text.size() <= VIEW_INLINE) {
      if (!text.empty()) std::memcpy(v.rest.data(), text.data(), text.size());
    } else {
      const auto index = static_cast<std::int32_t>(buffer), at = static_cast<std::int32_t>(offset);
      std::memcpy(v.rest.data(), text.data(), 4);
      std::memcpy(v.rest.data() + 4, &index, 4);
      std::memcpy(v.rest.data() + 8, &at, 4);
    }
  }
  void copy_view(std::string_view text) {
    if (text.size() <= VIEW_INLINE) return put_view(text, 0, 0);
    std::string& buffer = copy_buffer(text.size());
    const std::size_t at = buffer.size();
    buffer.append(text);
    put_view(text, copy_index(), at);
  }
};

bool append_text(ValueType type, Bytes data, std::string& out);

void Column::text(ValueType type, Bytes raw) {
  if (!on) return;
  if (!view) {
    if (!append_text(type, raw, data)) return null();
    mark(true);
    offsets.push_back(static_cast<std::int64_t>(data.size()));
    ++length;
    return;
  }
  // Decoded straight into the copy buffer (UTF-8 takes at most 3 bytes per UTF-16 unit), then
  // moved into the view itself when it is short enough.
  std::string& buffer = copy_buffer(raw.size() / 2 * 3 + 4);
  const std::size_t at = buffer.size();
  if (!append_text(type, raw, buffer)) return null();
  mark(true);
  const std::string_view text(buffer.data() + at, buffer.size() - at);
  if (text.size() <= VIEW_INLINE) {
    put_view(text, 0, 0);
    buffer.resize(at);
  } else {
    put_view(text, copy_index(), at);
  }
  ++length;
}

// --- export: each column an array of its own, the batch a struct array of them -------------

struct ExportedColumn {
  Column column;
  std::shared_ptr<const Hive> hive;  // keeps the image alive for views that point into it
  std::vector<const void*> buffers;
  std::vector<std::int64_t> variadic_sizes;
};

void release_column(ArrowArray* array) {
  delete static_cast<ExportedColumn*>(array->private_data);
  array->release = nullptr;
}

void export_column(Column&& column, std::shared_ptr<const Hive> hive, ArrowArray* out) {
  auto* exported = new ExportedColumn{std::move(column), nullptr, {}, {}};
  Column& c = exported->column;
  // Data buffers must be valid pointers even when empty.
  if (c.values.empty()) c.values.reserve(8);
  exported->buffers.push_back(c.nulls > 0 ? c.validity.data() : nullptr);
  if (c.spec->layout == Layout::Bytes && c.view) {
    // Views, then the variadic buffers they point into, then those buffers' sizes.
    if (c.views.empty()) c.views.reserve(1);
    exported->buffers.push_back(c.views.data());
    if (!c.image.empty()) {
      exported->buffers.push_back(c.image.data());
      exported->variadic_sizes.push_back(static_cast<std::int64_t>(c.image_end));
      exported->hive = std::move(hive);
    }
    exported->buffers.push_back(c.data.data());
    exported->variadic_sizes.push_back(static_cast<std::int64_t>(c.data.size()));
    for (const std::string& buffer : c.more) {
      exported->buffers.push_back(buffer.data());
      exported->variadic_sizes.push_back(static_cast<std::int64_t>(buffer.size()));
    }
    exported->buffers.push_back(exported->variadic_sizes.data());
  } else if (c.spec->layout == Layout::Bytes) {
    exported->buffers.push_back(c.offsets.data());
    exported->buffers.push_back(c.data.data());
  } else {
    exported->buffers.push_back(c.values.data());
  }
  *out = ArrowArray{c.length, c.nulls, 0, static_cast<std::int64_t>(exported->buffers.size()), 0,
                    exported->buffers.data(), nullptr, nullptr, release_column, exported};
}

struct ExportedBatch {
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> pointers;
  std::array<const void*, 1> buffers{};  // a struct array has no validity bitmap here
};

void release_batch(ArrowArray* array) {
  auto* batch = static_cast<ExportedBatch*>(array->private_data);
  for (ArrowArray& child : batch->children)
    if (child.release != nullptr) child.release(&child);  // a consumer may have moved some out
  delete batch;
  array->release = nullptr;
}

struct ExportedSchema {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> pointers;
};

void release_child_schema(ArrowSchema* schema) { schema->release = nullptr; }  // static strings only

void release_schema(ArrowSchema* schema) {
  auto* exported = static_cast<ExportedSchema*>(schema->private_data);
  for (ArrowSchema& child : exported->children)
    if (child.release != nullptr) child.release(&child);
  delete exported;
  schema->release = nullptr;
}

std::optional<std::int64_t> microseconds(std::uint64_t filetime) {
  if (filetime == 0) return std::nullopt;
  return static_cast<std::int64_t>(filetime / FILETIME_TICKS_PER_MICROSECOND) - MICROSECONDS_FROM_1601_TO_1970;
}

// The data of a string up to its terminator: the bytes before the first NUL code unit (two zero
// bytes at an even position), or all of them when there is none.
Bytes up_to_terminator(Bytes data) {
  for (std::size_t at = 0; at + 1 < data.size(); at += 2)
    if (data[at] == 0 && data[at + 1] == 0) return data.first(at);
  return data;
}

// Appends the text of string data to `out`: REG_SZ and REG_EXPAND_SZ as the system shows them,
// what comes before the first NUL (data after the terminator, a known place to hide bytes, stays
// in the data column only), REG_MULTI_SZ's strings joined by U+0000 (which none of them holds, so
// that they split back exactly), as parse_value_data reads them; false, with `out` as it was, for
// other types and for data that does not decode. Decoded straight into the column's buffer: no
// string of its own per value.
bool append_text(ValueType type, Bytes data, std::string& out) {
  const auto member = type.member();
  if (member != ValueType::REG_SZ && member != ValueType::REG_EXPAND_SZ && member != ValueType::REG_MULTI_SZ)
    return false;
  const std::size_t start = out.size();
  if (member != ValueType::REG_MULTI_SZ) {
    // A byte-order mark can make the rest decode as UTF-8, where a NUL is one zero byte: the text
    // is cut at the first U+0000 it holds as well.
    if (!append_utf16_string(up_to_terminator(data), 0, out)) return false;
    out.resize(std::min(out.size(), out.find('\0', start)));
    return true;
  }
  if (data.empty()) return true;  // no data: the empty text
  if (!append_utf16_string(data, 0, out)) return false;
  // The strings between U+0000s, empty ones dropped, joined by one U+0000.
  std::size_t kept = start;
  for (std::size_t i = start; i < out.size(); ++i) {
    if (out[i] == '\0' && (kept == start || out[kept - 1] == '\0')) continue;
    out[kept++] = out[i];
  }
  if (kept > start && out[kept - 1] == '\0') --kept;
  out.resize(kept);
  return true;
}

std::optional<std::uint64_t> number_of(ValueType type, Bytes data) {
  switch (type.member()) {
    case ValueType::REG_DWORD: if (data.size() >= 4) return load_u32(data, 0); break;
    case ValueType::REG_DWORD_BIG_ENDIAN: if (data.size() >= 4) return std::byteswap(load_u32(data, 0)); break;
    case ValueType::REG_QWORD: if (data.size() >= 8) return load_u64(data, 0); break;
    default: break;
  }
  return std::nullopt;
}

}  // namespace

// A batch being built. Its buffers are reserved at the sizes the table's last batch reached (for
// the first, at what the image suggests), so that a batch grows without copying itself over.
struct HiveTable::Builder {
  std::vector<Column> columns;
  std::size_t rows = 0;
  Builder(TableKind kind, std::uint32_t wanted, std::uint32_t views, Bytes image, const std::vector<ColumnSizes>& sizes) {
    for (const ColumnSpec& spec : columns_of(kind)) {
      const std::size_t i = columns.size();
      const bool view = (views >> i & 1) != 0 && spec.layout == Layout::Bytes;
      // Only the values' data can lie in the image as it is; names and paths are decoded.
      columns.emplace_back(&spec, (wanted >> i & 1) != 0, view,
                           view && kind == TableKind::Values && i == VALUES_DATA ? image : Bytes());
    }
    for (std::size_t i = 0; i < sizes.size() && i < columns.size(); ++i) {
      if (!columns[i].on) continue;
      columns[i].validity.reserve(sizes[i].validity);
      if (columns[i].view)
        columns[i].views.reserve(sizes[i].values / VIEW_SIZE);
      else
        columns[i].values.reserve(sizes[i].values);
      columns[i].offsets.reserve(sizes[i].offsets);
      columns[i].data.reserve(std::min(sizes[i].data, VIEW_BUFFER_MAX));
    }
  }
};

HiveTable::HiveTable(std::shared_ptr<const Hive> hive, TableKind kind, std::uint32_t start_offset,
                     std::string start_path, bool deleted, std::vector<std::uint8_t> columns, std::uint32_t views)
    : hive_(std::move(hive)),
      kind_(kind),
      deleted_(deleted),
      order_(std::move(columns)),
      views_(views & view_columns(kind)),
      walk_(*hive_, start_offset),
      paths_{std::move(start_path)} {
  const std::size_t count = columns_of(kind_).size();
  if (order_.empty())
    for (std::size_t i = 0; i < count; ++i) order_.push_back(static_cast<std::uint8_t>(i));
  std::erase_if(order_, [&](std::uint8_t i) { return i >= count; });
  for (const std::uint8_t i : order_) wanted_ |= 1u << i;
  paths_wanted_ = wants(kind_ == TableKind::Keys ? KEYS_PATH : VALUES_KEY_PATH);
  data_in_image_ = kind_ == TableKind::Values && wants(VALUES_DATA) && (views_ >> VALUES_DATA & 1) != 0;
}

HiveTable::~HiveTable() = default;

std::span<const std::string_view> HiveTable::column_names(TableKind kind) noexcept {
  if (kind == TableKind::Keys) return KEY_COLUMN_NAMES;
  return VALUE_COLUMN_NAMES;
}

std::uint32_t HiveTable::view_columns(TableKind kind) noexcept {
  std::uint32_t set = 0;
  const auto specs = columns_of(kind);
  for (std::size_t i = 0; i < specs.size(); ++i)
    if (specs[i].layout == Layout::Bytes) set |= 1u << i;
  return set;
}

const char* HiveTable::column_format(TableKind kind, std::size_t column, bool view) noexcept {
  const ColumnSpec& spec = columns_of(kind)[column];
  if (!view || spec.layout != Layout::Bytes) return spec.format;
  return spec.format[0] == 'Z' ? BINARY_VIEW : STRING_VIEW;
}

void HiveTable::export_table_schema(TableKind kind, std::span<const std::uint8_t> columns, std::uint32_t views,
                                    ArrowSchema* out) {
  auto* exported = new ExportedSchema;
  const auto specs = columns_of(kind);
  std::vector<std::uint8_t> all;
  if (columns.empty()) {
    for (std::size_t i = 0; i < specs.size(); ++i) all.push_back(static_cast<std::uint8_t>(i));
    columns = all;
  }
  for (const std::uint8_t i : columns) {
    if (i >= specs.size()) continue;
    const ColumnSpec& spec = specs[i];
    exported->children.push_back(ArrowSchema{column_format(kind, i, (views >> i & 1) != 0), spec.name, nullptr,
                                             spec.nullable ? ARROW_FLAG_NULLABLE : 0, 0, nullptr, nullptr,
                                             release_child_schema, nullptr});
  }
  for (ArrowSchema& child : exported->children) exported->pointers.push_back(&child);
  *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<std::int64_t>(exported->children.size()),
                     exported->pointers.data(), nullptr, release_schema, exported};
}

bool HiveTable::meet(std::uint32_t offset, RegistryError error) {
  auto met = hive_->problems().meet(offset, std::move(error));
  if (!met) error_ = std::move(met.error());
  return static_cast<bool>(met);
}

bool HiveTable::add_key(Builder& builder, const WalkBatch::Entry& entry, std::string_view name) {
  const std::size_t depth = entry.depth;
  paths_.resize(depth + 1);
  offsets_.resize(depth + 1);
  if (depth > 0 && paths_wanted_) {
    const std::string& parent = paths_[depth - 1];
    paths_[depth].assign(parent).append(parent.empty() ? "" : "\\").append(name);
  }
  offsets_[depth] = entry.offset;
  // What the walk read of the key node: enough to list its values and read its class name.
  const WalkedNode& node = entry.node;
  const KeyRecord record = node.record();
  const RegistryKey key{hive_.get(), entry.offset, &record, nullptr};
  if (kind_ == TableKind::Values) {
    if (paths_wanted_) listing_path_ = paths_[depth];
    path_view_made_ = false;
    next_value_ = 0;
    if (auto listed = key.values_with_data(listing_, data_in_image_); !listed) {
      listing_.entries.clear();
      error_ = std::move(listed.error());  // met already: only a strict hive's listing fails
      return false;
    }
    return true;
  }
  std::optional<std::string> class_name;
  if (wants(KEYS_CLASS_NAME)) {
    if (auto read = key.class_name(); read)
      class_name = std::move(*read);
    else if (!meet(node.class_name_offset, std::move(read.error())))
      return false;
  }
  auto& c = builder.columns;
  c[0].fixed(entry.offset);
  c[1].fixed_or_null(depth > 0 ? std::optional(offsets_[depth - 1]) : std::nullopt);
  c[2].bytes(paths_[depth]);
  c[3].bytes(name);
  c[4].fixed_or_null(microseconds(node.last_written));
  c[5].fixed(node.last_written);
  if (class_name) c[6].bytes(*class_name); else c[6].null();
  c[7].fixed(node.flags);
  c[8].fixed(node.subkey_count);
  c[9].fixed(node.value_count);
  c[10].bit(false);
  ++builder.rows;
  return true;
}

void HiveTable::add_values(Builder& builder) {
  auto& c = builder.columns;
  const bool deleted = walk_done_;
  for (; next_value_ < listing_.entries.size() && builder.rows < MAX_ROWS; ++next_value_, ++builder.rows) {
    const ValueListing::Entry& entry = listing_.entries[next_value_];
    const Bytes data = listing_.data_of(entry);
    if (data.size() > VIEW_BUFFER_MAX / 2 && (c[4].view || c[5].view)) [[unlikely]] {
      error_ = RegistryError::invalid_format("Value data at offset " + hex_form(entry.cell_offset) +
                                            " is longer than a view can hold");
      return;
    }
    c[0].fixed_or_null(entry.key_offset);
    if (!deleted && c[1].view) {
      if (!path_view_made_)  // the key's path once a batch
        path_view_ = std::bit_cast<std::array<std::uint8_t, VIEW_SIZE>>(c[1].view_of(listing_path_));
      path_view_made_ = true;
      c[1].repeat(std::bit_cast<View>(path_view_));
    } else if (!deleted) {
      c[1].bytes(listing_path_);
    } else if (const std::string* path = entry.key_offset && paths_wanted_ ? deleted_key_path(*entry.key_offset) : nullptr) {
      c[1].bytes(*path);
    } else {
      c[1].null();
    }
    if (entry.unnamed) c[2].null(); else c[2].bytes(listing_.name(entry));
    c[3].fixed(entry.value_type.type_id());
    c[4].bytes(data);
    c[5].text(entry.value_type, data);
    c[6].fixed_or_null(number_of(entry.value_type, data));
    c[7].bit(deleted);
  }
}

const std::string* HiveTable::deleted_key_path(std::uint32_t offset) {
  if (const auto known = deleted_paths_.find(offset); known != deleted_paths_.end()) return &known->second;
  // The scan has read this key already: get_key reads it alike and does not fail.
  auto key = hive_->get_key(offset);
  if (!key) return nullptr;
  auto path = key_path(*key);  // as far as its parents still hold; else its name alone
  return &deleted_paths_.emplace(offset, path ? std::move(*path) : std::string(key->node().name())).first->second;
}

void HiveTable::add_deleted(Builder& builder) {
  if (!scanned_) {
    scanned_ = true;
    if (kind_ == TableKind::Keys) {
      deleted_keys_ = hive_->deleted_keys();
    } else {
      listing_ = hive_->deleted_values();
      next_value_ = 0;
    }
  }
  if (kind_ == TableKind::Values) {
    add_values(builder);
    done_ = next_value_ == listing_.entries.size();
    return;
  }
  auto& c = builder.columns;
  for (; next_deleted_ < deleted_keys_.size() && builder.rows < MAX_ROWS; ++next_deleted_, ++builder.rows) {
    const RegistryKey& key = deleted_keys_[next_deleted_];
    const KeyRecord& node = key.node();
    // The path as far as its parents still hold; else its name alone.
    auto path = wants(KEYS_PATH) ? key_path(key) : Result<std::string>(std::string());
    auto class_name = wants(KEYS_CLASS_NAME) ? key.class_name() : Result<std::optional<std::string>>(std::nullopt);
    const bool parent = wants(KEYS_PARENT_ID) && hive_->get_key(node.parent_offset).has_value();
    c[0].fixed(key.offset);
    c[1].fixed_or_null(parent ? std::optional(node.parent_offset) : std::nullopt);
    c[2].bytes(path ? std::string_view(*path) : node.name());
    c[3].bytes(node.name());
    c[4].fixed_or_null(microseconds(node.last_written));
    c[5].fixed(node.last_written);
    if (class_name && *class_name) c[6].bytes(**class_name); else c[6].null();
    c[7].fixed(node.flags);
    c[8].fixed(node.subkey_count);
    c[9].fixed(node.value_count);
    c[10].bit(true);
  }
  done_ = next_deleted_ == deleted_keys_.size();
}

void HiveTable::fill(Builder& builder) {
  while (builder.rows < MAX_ROWS && !done_ && !error_) {
    if (kind_ == TableKind::Values && !walk_done_ && next_value_ < listing_.entries.size()) {
      add_values(builder);
      continue;
    }
    if (walk_done_) {
      if (deleted_) add_deleted(builder); else done_ = true;
      continue;
    }
    if (next_entry_ == batch_.entries.size()) {
      if (walk_.finished()) {
        walk_done_ = true;
        listing_.entries.clear();
        continue;
      }
      batch_.clear();
      next_entry_ = 0;
      walk_.next_batch(WALK_BATCH, batch_);
      continue;
    }
    const WalkBatch::Entry& entry = batch_.entries[next_entry_++];
    if (entry.error >= 0) {
      error_ = batch_.errors[static_cast<std::size_t>(entry.error)];  // met already by the walk
      continue;
    }
    add_key(builder, entry, batch_.name(entry));
  }
}

Result<void> HiveTable::next_batch(ArrowArray* out) {
  out->release = nullptr;
  if (sizes_.empty()) {
    // The first batch: as many rows as the image could make a batch of, its bytes at most the image.
    const std::size_t image = hive_->bytes().size();
    const std::size_t rows = std::min(MAX_ROWS, image / 64);
    for (const ColumnSpec& spec : columns_of(kind_))
      sizes_.push_back({spec.nullable ? rows / 8 + 1 : 0, spec.layout == Layout::Fixed ? rows * spec.width : rows / 8 + 1,
                        spec.layout == Layout::Bytes ? rows + 1 : 0, spec.layout == Layout::Bytes ? std::min<std::size_t>(image / 4, 16 << 20) : 0});
  }
  Builder builder(kind_, wanted_, views_, hive_->bytes(), sizes_);
  path_view_made_ = false;
  if (!error_) fill(builder);
  for (std::size_t i = 0; i < builder.columns.size(); ++i) {
    const Column& c = builder.columns[i];
    sizes_[i] = {c.validity.size(), c.view ? c.views.size() * VIEW_SIZE : c.values.size(), c.offsets.size(), c.data.size()};
  }
  if (builder.rows == 0) {
    if (error_) return std::unexpected(*error_);
    return {};  // the end of the table
  }
  auto* batch = new ExportedBatch;
  batch->children.resize(order_.size());
  for (std::size_t i = 0; i < order_.size(); ++i) {
    export_column(std::move(builder.columns[order_[i]]), hive_, &batch->children[i]);
    batch->pointers.push_back(&batch->children[i]);
  }
  *out = ArrowArray{static_cast<std::int64_t>(builder.rows), 0, 0, 1, static_cast<std::int64_t>(batch->children.size()),
                    batch->buffers.data(), batch->pointers.data(), nullptr, release_batch, batch};
  return {};
}

// --- the stream -------------------------------------------------------------------------------

namespace {

struct StreamState {
  std::unique_ptr<HiveTable> table;
  std::string last_error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  try {
    static_cast<StreamState*>(stream->private_data)->table->export_schema(out);
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

}  // namespace

int table_stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  try {
    auto next = state->table->next_batch(out);
    if (next) return 0;
    state->last_error = next.error().message();
    return EIO;
  } catch (const std::bad_alloc&) {
    state->last_error = "out of memory";
    return ENOMEM;
  }
}

namespace {

const char* stream_get_last_error(ArrowArrayStream* stream) {
  const auto* state = static_cast<StreamState*>(stream->private_data);
  return state->last_error.empty() ? nullptr : state->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  delete static_cast<StreamState*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void export_table_stream(std::unique_ptr<HiveTable> table, ArrowArrayStream* out) {
  *out = ArrowArrayStream{stream_get_schema, table_stream_get_next, stream_get_last_error, stream_release,
                          new StreamState{std::move(table), {}}};
}

}  // namespace kelpa
