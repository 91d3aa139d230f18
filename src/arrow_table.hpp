#pragma once

// A hive's keys or values as Arrow record batches (the C data interface of arrow_c.hpp), built
// straight from the tree walk: no per-row objects of any language, and at most one batch in
// memory at a time.

#include <cstddef>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <span>
#include <unordered_map>
#include <vector>

#include "arrow_c.hpp"
#include "hive.hpp"
#include "tree_walk.hpp"

namespace kelpa {

enum class TableKind : std::uint8_t { Keys, Values };

// The rows of one table, batch after batch. Columns:
//   keys:   key_id u32 (the key node's cell offset), parent_id u32 (null for the first key and
//           for deleted keys whose parent is unknown), path large utf8, name large utf8,
//           last_written timestamp[us, UTC] (null for 0), last_written_filetime u64, class_name
//           large utf8 (null for none), flags u16, subkey_count u32, value_count u32, deleted bool;
//   values: key_id u32 (for a deleted value the deleted key whose value list lists it, null when
//           the scan found none), key_path large utf8 (that key's path as far as its parents
//           still hold, else its name; null likewise), name large
//           utf8 (null for the unnamed value), type_id u32, data large binary (as raw_data gives
//           it), text large utf8 (REG_SZ, REG_EXPAND_SZ; REG_MULTI_SZ's strings joined by U+0000;
//           null otherwise or when the data does not decode), number u64 (REG_DWORD,
//           REG_DWORD_BIG_ENDIAN, REG_QWORD; null otherwise or when too short), deleted bool.
// The string and binary columns come in either of two layouts, chosen column by column: large
// utf8 / large binary (64-bit offsets, each value's bytes copied into the batch), or string view /
// binary view (16-byte views holding up to 12 bytes themselves, else pointing into a buffer). In
// the view layout a value row's key_path points at its key's path, copied once per batch, and a
// value's data points into the hive's image where the image holds it as one run (a data cell),
// each exported column keeping the hive alive; only inline data and big data in segments are
// copied. Data longer than a view can address (2 GiB) ends the table with an error.
// A table may hold only some of these columns, in the order asked for: the others are neither
// built nor read from the hive (the keys table reads class names only for class_name).
// Keys come in walk order (the order of walk()), values key by key in that order; with
// `deleted`, the deleted keys or values of the scan follow, marked so.
//
// Errors follow the walk's: what cannot be read goes to the hive's problem log, which fails a
// strict hive's table (the rows before the error are handed out first, then the error ends the
// table) and leaves the record out of a tolerant one.
class HiveTable {
 public:
  static constexpr std::size_t MAX_ROWS = 65536;

  // `start_path` is the path of the key at `start_offset` (the first key's path). `columns` are
  // the indexes (into column_names) of the columns to build, in their order; empty for all.
  // `views` is the set of columns (bit i: column i) laid out as views; other columns than the
  // string and binary ones (view_columns) are left out of it.
  HiveTable(std::shared_ptr<const Hive> hive, TableKind kind, std::uint32_t start_offset, std::string start_path,
            bool deleted, std::vector<std::uint8_t> columns = {}, std::uint32_t views = 0);
  ~HiveTable();
  HiveTable(const HiveTable&) = delete;
  HiveTable& operator=(const HiveTable&) = delete;

  // The names of a table's columns, in table order.
  [[nodiscard]] static std::span<const std::string_view> column_names(TableKind kind) noexcept;

  // The schema: a struct of the columns above (those of `columns`, as for the constructor); the
  // caller owns (and releases) it.
  void export_schema(ArrowSchema* out) const { export_table_schema(kind_, order_, views_, out); }
  static void export_table_schema(TableKind kind, std::span<const std::uint8_t> columns, std::uint32_t views,
                                  ArrowSchema* out);
  // The columns that have a view layout (the string and binary ones), as a set of bits.
  [[nodiscard]] static std::uint32_t view_columns(TableKind kind) noexcept;
  // A column's Arrow format string in either layout (the same in both for the other columns).
  [[nodiscard]] static const char* column_format(TableKind kind, std::size_t column, bool view) noexcept;
  // The next batch of at most MAX_ROWS rows into `out` (the caller owns it); at the end of the
  // table `out` is released-marked (release null), as the stream interface ends a stream.
  [[nodiscard]] Result<void> next_batch(ArrowArray* out);

 private:
  struct Builder;
  struct ColumnSizes {
    std::size_t validity, values, offsets, data;
  };
  void fill(Builder& builder);
  // Writes the walked key's row (keys) or reads its values for the rows to come (values); false
  // when it met a problem that ends the table.
  bool add_key(Builder& builder, const WalkBatch::Entry& entry, std::string_view name);
  void add_values(Builder& builder);
  void add_deleted(Builder& builder);
  // The path of the deleted key at `offset` as far as its parents still hold, else its name
  // (null when it cannot be read); kept for the key's other values.
  const std::string* deleted_key_path(std::uint32_t offset);
  // Meets a problem in the hive's log: a strict hive's ends the table (false).
  bool meet(std::uint32_t offset, RegistryError error);

  [[nodiscard]] bool wants(std::size_t column) const noexcept { return (wanted_ >> column & 1) != 0; }

  std::shared_ptr<const Hive> hive_;
  TableKind kind_;
  bool deleted_;
  std::vector<std::uint8_t> order_;         // the columns built, in their order
  std::uint32_t views_;                     // the columns laid out as views, a set of bits
  std::uint32_t wanted_ = 0;                // the columns built, as a set of bits
  bool data_in_image_;                      // the data column is views: list data without copying it
  bool paths_wanted_;                       // a path column is among them
  TreeWalk walk_;
  WalkBatch batch_;
  std::size_t next_entry_ = 0;
  std::vector<std::string> paths_;          // the path of the key at each depth of the walk
  std::vector<std::uint32_t> offsets_;      // the key node offset at each depth
  ValueListing listing_;                    // the values of the key being written, or the deleted values
  std::size_t next_value_ = 0;              // the next of them to write
  std::string listing_path_;                // their key's path
  std::array<std::uint8_t, 16> path_view_{};  // its view in the batch being built (a view key_path)
  bool path_view_made_ = false;
  std::unordered_map<std::uint32_t, std::string> deleted_paths_;  // of the deleted keys the values name
  std::vector<RegistryKey> deleted_keys_;   // found by the scan once the walk is done
  std::size_t next_deleted_ = 0;
  bool walk_done_ = false, scanned_ = false, done_ = false;
  std::optional<RegistryError> error_;      // ends the table after the rows before it
  std::vector<ColumnSizes> sizes_;          // what the last batch's columns held, to reserve for the next
};

// `table` as an Arrow C stream: get_schema, get_next (which runs the table's next batch) and
// get_last_error; the stream owns the table and frees it on release.
void export_table_stream(std::unique_ptr<HiveTable> table, ArrowArrayStream* out);
// The get_next of such a stream, for a caller that wraps it (to run it without a lock of its own).
int table_stream_get_next(ArrowArrayStream* stream, ArrowArray* out);

}  // namespace kelpa
