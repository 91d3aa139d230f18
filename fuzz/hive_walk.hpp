#pragma once

// What the hive targets and fuzz_log run over every hive they manage to open: the walk of the
// bins, then of every key reachable from the root with its subkeys, its values and each value's
// data, parsed; the resumable walk with paths; the tables; the deleted-record scan. Each target
// runs the parts that belong to its reader, and each input is read one way. Errors are expected
// (the input is hostile) and only have their message formatted; what must never happen is a
// crash, a hang, a leak or an unbounded allocation.
//
// Besides the sanitizers, the walk checks the bounds the library promises, so that a change
// that loosens one fails here and not in a user's process:
// - a subkey walk appends at most image length / 4 offsets;
// - a value list yields at most image length / 4 values;
// - one call reads at most READ_LIMIT_FACTOR x image length of names and data;
// - raw data never exceeds the value's data size;
// - a second get_key of the same offset (served by the key cache) gives an equal node;
// - the deleted-record scan lists records in image order, at most one per 80 (keys) or 24
//   (values) bytes of the image, within the read limit, and get_key reads each deleted key as
//   the scan found it, and a deleted value is matched only with a key the scan found;
// - the tables (keys and values, deleted records included) hand out batches of at most
//   HiveTable::MAX_ROWS rows whose columns all hold that many rows, and end (or fail, on a strict
//   hive) without leaking a buffer;
// - on a tolerant hive no listing fails (subkeys, values, the tree walk, the tables): what cannot be read is
//   in the problem log, each problem once, at most ProblemLog::MAX_PROBLEMS of them and one more
//   that says the rest were left out; a strict hive's log stays empty.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "arrow_table.hpp"
#include "filetime.hpp"
#include "hive.hpp"
#include "key_path.hpp"
#include "promise.hpp"
#include "tree_walk.hpp"
#include "value_data.hpp"

namespace kelpa::fuzz {

// Keys visited per input: enough for every seed hive, small enough to keep one input well under
// the one-second timeout.
inline constexpr std::size_t MAX_KEYS = 2048;

// An error from a listing: expected of a strict hive, a broken promise of a tolerant one.
inline void consume_listing_error(const Hive& hive, const RegistryError& error) {
  if (hive.problems().mode() == ReadMode::Tolerant) broken("a listing of a tolerant hive failed");
  consume(error);
}

inline void check_problems(const Hive& hive) {
  const std::vector<Problem> problems = hive.problems().problems();
  if (hive.problems().mode() == ReadMode::Strict && !problems.empty()) broken("a strict hive noted a problem");
  if (problems.size() > ProblemLog::MAX_PROBLEMS + 1) broken("the problem log grew past its bound");
  std::set<std::pair<std::optional<std::uint32_t>, std::string>> seen;
  for (const Problem& problem : problems) {
    if (problem.message.empty()) broken("a problem without a message");
    if (!seen.emplace(problem.offset, problem.message).second) broken("a problem noted twice");
  }
}

inline void walk_values(const RegistryKey& key, std::uint64_t image_length) {
  auto listing = key.values_with_data();
  if (!listing) return consume_listing_error(*key.hive, listing.error());
  if (listing->entries.size() > image_length / 4) broken("more values than the image can list");
  // Names are bounded by their stored bytes, which decode to at most 3 UTF-8 bytes each.
  if (listing->names.size() > 3 * READ_LIMIT_FACTOR * image_length || listing->data.size() > READ_LIMIT_FACTOR * image_length)
    broken("a value listing read past its limit");
  for (const ValueListing::Entry& entry : listing->entries) {
    (void)entry.value_type.name();
    // The data as its type reads it. Its display strings are fuzz_names' work, which displays
    // data of every type from any bytes: here they would only repeat that for the bytes read.
    if (auto parsed = parse_value_data(entry.value_type, listing->data_of(entry)); !parsed) consume(parsed.error());
  }
  // The single-value route reads data one value at a time, without the listing's budget.
  auto values = key.values();
  if (!values) return consume_listing_error(*key.hive, values.error());
  for (const RegistryValue& value : *values) {
    auto raw = value.raw_data();
    if (!raw) {
      consume(raw.error());
      continue;
    }
    if (raw->size() > value.data_size) broken("raw data longer than the data size");
    if (raw->size() > READ_LIMIT_FACTOR * image_length) broken("raw data longer than its read limit");
  }
}

// The fields read for forensic work, on a key of the tree or one found by the scan.
inline void read_key_fields(const RegistryKey& key) {
  (void)civil_time(key.node().last_written);
  (void)key.is_deleted();
  if (auto name = key.class_name(); !name) consume(name.error());
  if (auto descriptor = key.security_descriptor(); !descriptor) consume(descriptor.error());
}

inline void walk_deleted(const Hive& hive, std::uint64_t image_length) {
  const std::vector<RegistryKey> keys = hive.deleted_keys();
  if (keys.size() > image_length / 80) broken("more deleted keys than the image can hold");
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i > 0 && keys[i].offset <= keys[i - 1].offset) broken("deleted keys out of image order");
    auto again = hive.get_key(keys[i].offset);
    if (!again || again->node() != keys[i].node()) broken("get_key reads a deleted key differently");
    if (i < 64) {
      read_key_fields(keys[i]);
      walk_values(keys[i], image_length);
      if (auto subkeys = keys[i].subkeys(); !subkeys) consume_listing_error(hive, subkeys.error());
    }
  }
  const ValueListing values = hive.deleted_values();
  if (values.entries.size() > image_length / 24) broken("more deleted values than the image can hold");
  for (const ValueListing::Entry& entry : values.entries)
    if (entry.key_offset && !std::ranges::binary_search(keys, *entry.key_offset, {}, &RegistryKey::offset))
      broken("a deleted value matched with a key the scan did not find");
  if (values.data.size() > READ_LIMIT_FACTOR * image_length) broken("deleted value data read past its limit");
}

inline void walk(const Hive& hive) {
  if (auto bins = hive.hbins(); !bins) consume(bins.error());

  const std::uint64_t image_length = hive.bytes().size();
  std::unordered_set<std::uint32_t> seen;
  std::vector<std::uint32_t> pending{hive.base_block().root_cell_offset};
  seen.insert(pending.front());
  std::vector<std::uint32_t> offsets, listed;
  while (!pending.empty()) {
    const std::uint32_t offset = pending.back();
    pending.pop_back();
    auto key = hive.get_key(offset);
    if (!key) {
      consume(key.error());
      continue;
    }
    auto cached = hive.get_key(offset);
    if (!cached || cached->node() != key->node()) broken("the key cache changed a node");

    walk_values(*key, image_length);
    read_key_fields(*key);

    // One listing of the subkeys (subkeys() without its vector), with the offsets its list walk
    // appended kept for the bound; a failed listing's subkeys are discarded, as subkeys() does.
    offsets.clear();
    listed.clear();
    auto visited = key->visit_subkeys([&](RegistryKey&& subkey) { listed.push_back(subkey.offset); }, offsets);
    if (offsets.size() > image_length / 4) broken("a subkey walk read more elements than the image holds");
    if (!visited) {
      consume_listing_error(hive, visited.error());
      continue;
    }
    for (const std::uint32_t subkey : listed) {
      if (seen.size() >= MAX_KEYS) break;
      if (seen.insert(subkey).second) pending.push_back(subkey);
    }
  }
}

// The input as an image, opened in `mode`; with `fix_checksum` the correct checksum is put
// in first, so that mutations of the base block reach the checks after the checksum instead of
// stopping at it. An error only has its message formatted; its kind goes to `failed`.
inline std::shared_ptr<Hive> open_image(const std::uint8_t* data, std::size_t size, ReadMode mode,
                                        bool fix_checksum, ErrorKind* failed = nullptr) {
  // The input itself, borrowed, unless the checksum is to be put right in a copy: no copy of up
  // to -max_len bytes per input, and a read past the input's end is still caught.
  auto borrowed = [&] { return HiveData(HiveData::Borrowed{Bytes(data, size), nullptr}); };
  auto copied = [&] {
    auto image = std::make_shared<std::vector<std::uint8_t>>(data, data + size);
    store_base_block_checksum(*image);
    return HiveData(std::shared_ptr<const std::vector<std::uint8_t>>(std::move(image)));
  };
  auto hive = Hive::from_data(fix_checksum ? copied() : borrowed(), mode);
  if (!hive) {
    consume(hive.error());
    if (failed) *failed = hive.error().kind();
    return nullptr;
  }
  return *hive;
}

// The resumable tree walk from the root, in small batches, and for its first keys the path
// through the parents and the lookup of that path from the root. Promises: a batch holds at most
// the keys asked for and at most one error, which ends it; a call that adds nothing leaves the
// walk finished (a tolerant walk whose start cannot be read adds nothing at all); a walked key
// reads back with the name the walk gave.
inline constexpr std::size_t WALK_BATCH = 16;
// Each look-up lists the subkeys of every key on the path, so a few of them reach what many would.
inline constexpr std::size_t KEYS_WITH_PATHS = 16;

inline void walk_paths(const Hive& hive) {
  const std::uint32_t root_offset = hive.base_block().root_cell_offset;
  auto root = hive.get_key(root_offset);
  TreeWalk tree(hive, root_offset);
  WalkBatch batch;
  std::size_t keys = 0;
  while (!tree.finished() && keys < MAX_KEYS) {
    batch.clear();
    tree.next_batch(WALK_BATCH, batch);
    if (batch.entries.empty() && !tree.finished()) broken("a walk added nothing and is not finished");
    if (batch.errors.size() > 1 || batch.entries.size() - batch.errors.size() > WALK_BATCH)
      broken("a walk batch holds more than it was asked for");
    if (!batch.errors.empty() && batch.entries.back().error < 0) broken("a walk batch goes on past an error");
    for (const WalkBatch::Entry& entry : batch.entries) {
      if (entry.error >= 0) {
        consume_listing_error(hive, batch.errors[static_cast<std::size_t>(entry.error)]);
        continue;
      }
      if (keys++ >= KEYS_WITH_PATHS || !root) continue;
      auto key = hive.get_key(entry.offset);
      if (!key) broken("a walked key cannot be read again");
      if (key->node().name() != batch.name(entry)) broken("a walked key's name differs from the key's");
      if (auto parent = parent_key(*key); !parent) consume(parent.error());
      auto path = key_path(*key);
      if (!path) {
        consume(path.error());
        continue;
      }
      if (auto found = open_key(*root, *path); !found) consume(found.error());
    }
  }
}

// Both tables of the whole hive, deleted records included, batch by batch up to MAX_KEYS rows each:
// with every column, and with every other column in reverse order (leaving out the keys' path and
// class name, the values' key path and text).
inline void walk_table(const std::shared_ptr<Hive>& hive, TableKind kind, const std::vector<std::uint8_t>& chosen) {
  HiveTable table(hive, kind, hive->base_block().root_cell_offset, "", true, chosen);
  ArrowSchema schema;
  table.export_schema(&schema);
  const std::int64_t columns = schema.n_children;
  schema.release(&schema);
  if (!chosen.empty() && static_cast<std::size_t>(columns) != chosen.size())
    broken("a table's schema differs from the columns asked for");
  std::size_t rows = 0;
  while (rows < MAX_KEYS) {
    ArrowArray batch;
    auto next = table.next_batch(&batch);
    if (!next) {
      if (hive->problems().mode() == ReadMode::Tolerant) broken("a table of a tolerant hive failed");
      consume(next.error());
      break;
    }
    if (batch.release == nullptr) break;  // the end
    if (batch.length <= 0 || static_cast<std::size_t>(batch.length) > HiveTable::MAX_ROWS || batch.n_children != columns)
      broken("a table batch holds no rows, too many, or the wrong columns");
    for (std::int64_t i = 0; i < batch.n_children; ++i)
      if (batch.children[i]->length != batch.length) broken("a table column's length differs from its batch's");
    rows += static_cast<std::size_t>(batch.length);
    batch.release(&batch);
  }
}

inline void walk_tables(const std::shared_ptr<Hive>& hive) {
  for (const TableKind kind : {TableKind::Keys, TableKind::Values}) {
    walk_table(hive, kind, {});
    std::vector<std::uint8_t> every_other;
    const std::size_t left_out = kind == TableKind::Keys ? 0 : 1;
    for (std::size_t i = HiveTable::column_names(kind).size(); i-- > 0;)
      if (i % 2 != left_out) every_other.push_back(static_cast<std::uint8_t>(i));
    walk_table(hive, kind, every_other);
  }
}

}  // namespace kelpa::fuzz
