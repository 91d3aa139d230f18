#pragma once

// The walk that fuzz_hive and fuzz_log run over every hive they manage to open: the bins, then
// every key reachable from the root with its subkey list, its values and each value's data,
// parsed and printed. Errors are expected (the input is hostile) and only have their message
// formatted; what must never happen is a crash, a hang, a leak or an unbounded allocation.
//
// Besides the sanitizers, the walk checks the bounds the library promises, so that a change
// that loosens one fails here and not in a user's process:
// - a subkey walk appends at most image length / 4 offsets;
// - a value list yields at most image length / 4 values;
// - raw data never exceeds the value's data size;
// - a second get_key of the same offset (served by the key cache) gives an equal node.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>
#include <vector>

#include "hive.hpp"
#include "value_data.hpp"

namespace kelpa::fuzz {

// Keys visited per input, and the queue of keys still to visit: enough for every seed hive,
// small enough to keep one input well under the one-second timeout.
inline constexpr std::size_t MAX_KEYS = 2048;

// Reading a key's values is left out, or stopped, when it would read more out of the image than
// the image holds. A key whose value keys, data cells and segments are all distinct cells never
// gets there; one that does lists some value key or segment again and again, which the library
// honours (README, Limits) and which would only make the fuzzer spend its time copying:
// - the stored name lengths of the listed value keys must add up to at most the image length;
// - data is read while the values read before it added up to less than the image length, and
//   only for data sizes up to MAX_DATA_SIZE (which still reaches the big-data reservation with
//   sizes above the image length).
inline constexpr std::uint32_t MAX_DATA_SIZE = 1u << 20;

[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

// Formats an error message, as the binding layer does for every error it raises.
inline void consume(const RegistryError& error) {
  if (error.message().empty()) broken("an error message is empty");
}

// The stored name lengths of the value keys a key lists, added up until they pass `limit`.
inline std::uint64_t listed_name_bytes(const RegistryKey& key, std::uint64_t limit) {
  const KeyNode& node = key.node;
  if (node.value_count == 0 || node.value_list_offset == 0 || node.value_list_offset == 0xFFFFFFFF) return 0;
  auto list = key.hive->read_cell(node.value_list_offset);
  if (!list) return 0;
  const std::uint64_t count = std::min<std::uint64_t>(node.value_count, list->size() / 4);
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < count && total <= limit; ++i) {
    if (auto value_key = key.hive->read_cell(load_u32(*list, 4 * i))) total += load_u16(*value_key, 2);
  }
  return total;
}

inline void walk_values(const RegistryKey& key, std::uint64_t image_length) {
  if (listed_name_bytes(key, image_length) > image_length) return;
  auto values = key.values();
  if (!values) return consume(values.error());
  if (values->size() > image_length / 4) broken("more values than the image can list");
  std::uint64_t data_left = image_length;
  for (const RegistryValue& value : *values) {
    (void)value.value_type.name();
    if (value.data_size > MAX_DATA_SIZE || data_left == 0) continue;
    auto raw = value.raw_data();
    if (!raw) {
      consume(raw.error());
      continue;
    }
    if (raw->size() > value.data_size) broken("raw data longer than the data size");
    data_left -= std::min<std::uint64_t>(raw->size(), data_left);
    auto parsed = parse_value_data(value.value_type, *raw);
    if (!parsed) {
      consume(parsed.error());
      continue;
    }
    (void)to_display_string(*parsed);
  }
}

inline void walk(const Hive& hive) {
  if (auto bins = hive.hbins(); !bins) consume(bins.error());

  const std::uint64_t image_length = hive.bytes().size();
  std::unordered_set<std::uint32_t> seen;
  std::vector<std::uint32_t> pending{hive.base_block().root_cell_offset};
  seen.insert(pending.front());
  std::vector<std::uint32_t> offsets;
  while (!pending.empty()) {
    const std::uint32_t offset = pending.back();
    pending.pop_back();
    auto key = hive.get_key(offset);
    if (!key) {
      consume(key.error());
      continue;
    }
    auto cached = hive.get_key(offset);
    if (!cached || cached->node != key->node) broken("the key cache changed a node");

    walk_values(*key, image_length);

    offsets.clear();
    auto walked = key->collect_subkey_offsets(key->node.subkey_list_offset, offsets);
    if (offsets.size() > image_length / 4) broken("a subkey walk read more elements than the image holds");
    if (!walked) {
      consume(walked.error());
      continue;
    }
    for (std::uint32_t next : offsets) {
      if (seen.size() >= MAX_KEYS) break;
      if (seen.insert(next).second) pending.push_back(next);
    }
  }
}

}  // namespace kelpa::fuzz
