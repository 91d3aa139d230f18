#include "key_path.hpp"

#include <algorithm>
#include <vector>

#include "name_case.hpp"

namespace kelpa {

namespace {

constexpr std::uint16_t HIVE_ENTRY_FLAG = 0x0004;

// The first subkey of `key` named `name`, after every check subkeys() makes.
Result<std::optional<RegistryKey>> find_subkey(const RegistryKey& key, std::string_view name) {
  std::optional<RegistryKey> found;
  auto visited = key.visit_subkeys([&](RegistryKey&& subkey) {
    if (!found && key_names_equal(subkey.node().name(), name)) found = std::move(subkey);
  });
  if (!visited) return std::unexpected(std::move(visited.error()));
  return found;
}

RegistryError chain_error(std::uint32_t offset, std::string_view what) {
  return RegistryError::invalid_format("Parent chain of the key at offset " + hex_form(offset) + std::string(what));
}

}  // namespace

Result<RegistryKey> open_key(const RegistryKey& start, std::string_view sub_key) {
  RegistryKey key = start;
  std::string_view rest = sub_key;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\\'), rest.size());
    const std::string_view component = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (component.empty()) continue;
    auto found = find_subkey(key, component);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) return std::unexpected(RegistryError::not_found("Key '" + std::string(sub_key) + "'"));
    key = std::move(**found);
  }
  return key;
}

Result<std::optional<RegistryKey>> parent_key(const RegistryKey& key) {
  if (key.offset == key.hive->base_block().root_cell_offset || (key.node().flags & HIVE_ENTRY_FLAG) != 0)
    return std::nullopt;
  auto parent = key.hive->get_key(key.node().parent_offset);
  if (!parent) return std::unexpected(std::move(parent.error()));
  return std::optional<RegistryKey>(std::move(*parent));
}

Result<std::string> key_path(const RegistryKey& key) {
  std::vector<std::uint32_t> passed{key.offset};
  std::vector<std::string> names;
  RegistryKey current = key;
  for (;;) {
    auto parent = parent_key(current);
    if (!parent) return std::unexpected(std::move(parent.error()));
    if (!*parent) break;
    if (names.size() == MAX_KEY_DEPTH) return std::unexpected(chain_error(key.offset, " is deeper than " + decimal(MAX_KEY_DEPTH) + " keys"));
    if (std::ranges::find(passed, (*parent)->offset) != passed.end())
      return std::unexpected(chain_error(key.offset, " loops"));
    passed.push_back((*parent)->offset);
    names.emplace_back(current.node().name());
    current = std::move(**parent);
  }
  std::string path;
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (name != names.rbegin()) path.push_back('\\');
    path.append(*name);
  }
  return path;
}

}  // namespace kelpa
