// Fuzz target: the input is a whole hive file whose two tables (keys and values, deleted records
// included) are built batch by batch, in the large layout and, beside it, with every string and
// binary column as views. A hive whose stored checksum is right is opened strictly, so that a
// table ends at its first error; any other tolerantly, so that it goes on past them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "hive_mutator.hpp"
#include "hive_walk.hpp"

namespace {

using kelpa::fuzz::broken;

bool valid(const ArrowArray& column, std::int64_t row) {
  const auto* bits = static_cast<const std::uint8_t*>(column.buffers[0]);
  return bits == nullptr || (bits[row / 8] >> (row % 8) & 1) != 0;
}

// Row `row` of a large string or binary column.
std::string_view large_value(const ArrowArray& column, std::int64_t row) {
  const auto* offsets = static_cast<const std::int64_t*>(column.buffers[1]);
  if (offsets[row] < 0 || offsets[row + 1] < offsets[row]) broken("a large column's offsets go backwards");
  return {static_cast<const char*>(column.buffers[2]) + offsets[row], static_cast<std::size_t>(offsets[row + 1] - offsets[row])};
}

// Row `row` of a view column, after checking that its view stays inside the buffer it names.
std::string_view view_value(const ArrowArray& column, std::int64_t row) {
  const auto* view = static_cast<const std::uint8_t*>(column.buffers[1]) + 16 * row;
  std::int32_t size, index, offset;
  std::memcpy(&size, view, 4);
  if (size < 0) broken("a view's length is negative");
  if (size <= 12) return {reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(size)};
  std::memcpy(&index, view + 8, 4);
  std::memcpy(&offset, view + 12, 4);
  const std::int64_t variadic = column.n_buffers - 3;
  const auto* sizes = static_cast<const std::int64_t*>(column.buffers[column.n_buffers - 1]);
  if (index < 0 || index >= variadic || offset < 0 || sizes[index] - offset < size)
    broken("a view points outside its buffers");
  const char* bytes = static_cast<const char*>(column.buffers[2 + index]) + offset;
  if (std::memcmp(bytes, view + 4, 4) != 0) broken("a view's prefix differs from its bytes");
  return {bytes, static_cast<std::size_t>(size)};
}

// The table of `kind` in both layouts, batch by batch up to MAX_KEYS rows: the same batches, the same
// nulls, the same bytes in every string and binary column.
void compare_layouts(const std::shared_ptr<kelpa::Hive>& hive, kelpa::TableKind kind) {
  const std::uint32_t root = hive->base_block().root_cell_offset;
  const std::uint32_t views = kelpa::HiveTable::view_columns(kind);
  kelpa::HiveTable large(hive, kind, root, "", true), viewed(hive, kind, root, "", true, {}, views);
  for (std::size_t rows = 0; rows < kelpa::fuzz::MAX_KEYS;) {
    ArrowArray a, b;
    const auto next_a = large.next_batch(&a);
    const auto next_b = viewed.next_batch(&b);
    if (next_a.has_value() != next_b.has_value()) broken("the layouts end differently");
    if (!next_a) break;
    if ((a.release == nullptr) != (b.release == nullptr)) broken("the layouts end differently");
    if (a.release == nullptr) break;
    if (a.length != b.length || a.n_children != b.n_children) broken("the layouts' batches differ");
    for (std::int64_t i = 0; i < a.n_children; ++i) {
      const ArrowArray& x = *a.children[i];
      const ArrowArray& y = *b.children[i];
      if (x.null_count != y.null_count) broken("the layouts' nulls differ");
      if ((views >> i & 1) == 0) continue;
      if (y.n_buffers < 4) broken("a view column without its variadic sizes");
      for (std::int64_t row = 0; row < x.length; ++row) {
        if (valid(x, row) != valid(y, row)) broken("the layouts' nulls differ");
        if (valid(x, row) && large_value(x, row) != view_value(y, row)) broken("the layouts' bytes differ");
      }
    }
    rows += static_cast<std::size_t>(a.length);
    a.release(&a);
    b.release(&b);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool sound_checksum = false;
  if (size >= kelpa::HIVE_MIN_SIZE) {
    std::vector<std::uint8_t> block(data, data + kelpa::HIVE_MIN_SIZE);
    kelpa::store_base_block_checksum(block);
    sound_checksum = std::equal(block.begin(), block.end(), data);
  }
  auto hive = kelpa::fuzz::open_image(data, size, sound_checksum ? kelpa::ReadMode::Strict : kelpa::ReadMode::Tolerant, false);
  if (!hive) return 0;
  kelpa::fuzz::walk_tables(hive);
  for (const kelpa::TableKind kind : {kelpa::TableKind::Keys, kelpa::TableKind::Values}) compare_layouts(hive, kind);
  kelpa::fuzz::check_problems(*hive);
  return 0;
}
