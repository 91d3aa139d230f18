// The full walk of a hive through the core alone, with no Python object made: the floor that
// bench/compare.py holds the Python walk against. Prints one JSON line.
//
//   core_walk HIVE            the core calls the Python walk makes: for a key with values,
//                             get_key and values_with_data; for a key with subkeys, get_key and
//                             subkeys (which reads each subkey through the key cache), keeping
//                             each subkey's offset, a copy of its name and its two counts, as a
//                             RegistryKey object does
//   core_walk --minimal HIVE  one get_key per key: the subkeys' records are walked directly
//
// Both read each key's name, and each value's name, type and data.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hive.hpp"

namespace {

struct Counts {
  std::uint64_t keys = 0, values = 0, data_bytes = 0, name_bytes = 0, type_id_sum = 0;
};

[[noreturn]] void fail(const kelpa::RegistryError& error) {
  std::fprintf(stderr, "core_walk: %s\n", error.message().c_str());
  std::exit(1);
}

// A key as the binding keeps it: offset, a copy of the name, the two counts.
struct KeyCopy {
  std::uint32_t offset;
  std::string name;
  std::uint32_t subkey_count, value_count;
};

// One listing reused from key to key, as the binding keeps one per thread.
void visit_values(const kelpa::RegistryKey& key, Counts& counts) {
  static kelpa::ValueListing listing;
  if (auto listed = key.values_with_data(listing); !listed) fail(listed.error());
  for (const kelpa::ValueListing::Entry& entry : listing.entries) {
    counts.name_bytes += listing.name(entry).size();
    counts.data_bytes += listing.data_of(entry).size();
    counts.type_id_sum += entry.value_type.type_id();
    ++counts.values;
  }
}

Counts walk_like_binding(const kelpa::Hive& hive) {
  Counts counts;
  auto root = hive.get_key(hive.base_block().root_cell_offset);
  if (!root) fail(root.error());
  std::vector<kelpa::RegistryKey> subkeys;
  std::vector<KeyCopy> stack{{root->offset, std::string(root->node().name()), root->node().subkey_count, root->node().value_count}};
  while (!stack.empty()) {
    const KeyCopy key = std::move(stack.back());
    stack.pop_back();
    counts.name_bytes += key.name.size();
    ++counts.keys;
    if (key.value_count != 0) {  // values()
      auto node = hive.get_key(key.offset);
      if (!node) fail(node.error());
      visit_values(*node, counts);
    }
    if (key.subkey_count != 0) {  // subkeys()
      auto node = hive.get_key(key.offset);
      if (!node) fail(node.error());
      if (auto listed = node->subkeys(subkeys); !listed) fail(listed.error());  // reused, as the binding does
      for (const kelpa::RegistryKey& subkey : subkeys)
        stack.push_back({subkey.offset, std::string(subkey.node().name()), subkey.node().subkey_count, subkey.node().value_count});
    }
  }
  return counts;
}

Counts walk_minimal(const kelpa::Hive& hive) {
  Counts counts;
  auto root = hive.get_key(hive.base_block().root_cell_offset);
  if (!root) fail(root.error());
  std::vector<kelpa::RegistryKey> stack{std::move(*root)};
  while (!stack.empty()) {
    const kelpa::RegistryKey key = std::move(stack.back());
    stack.pop_back();
    counts.name_bytes += key.node().name().size();
    ++counts.keys;
    if (key.node().value_count != 0) visit_values(key, counts);
    if (key.node().subkey_count == 0) continue;
    auto subkeys = key.subkeys();
    if (!subkeys) fail(subkeys.error());
    for (kelpa::RegistryKey& subkey : *subkeys) stack.push_back(std::move(subkey));
  }
  return counts;
}

// This process's peak resident set in KiB (VmHWM), as bench/walkers.py reports it.
unsigned long long peak_rss_kib() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  unsigned long long kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "VmHWM: %llu kB", &kib) == 1) break;
  std::fclose(status);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  const bool minimal = argc == 3 && std::strcmp(argv[1], "--minimal") == 0;
  if (argc != 2 && !minimal) {
    std::fprintf(stderr, "usage: core_walk [--minimal] HIVE\n");
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  auto hive = kelpa::Hive::open_file(argv[argc - 1]);
  if (!hive) fail(hive.error());
  const Counts counts = minimal ? walk_minimal(**hive) : walk_like_binding(**hive);
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
  std::printf(
      "{\"seconds\": %.6f, \"keys\": %llu, \"values\": %llu, \"data_bytes\": %llu, \"name_bytes\": %llu, "
      "\"type_id_sum\": %llu, \"peak_rss_kib\": %llu}\n",
      seconds.count(), static_cast<unsigned long long>(counts.keys), static_cast<unsigned long long>(counts.values),
      static_cast<unsigned long long>(counts.data_bytes), static_cast<unsigned long long>(counts.name_bytes),
      static_cast<unsigned long long>(counts.type_id_sum), peak_rss_kib());
  return 0;
}
