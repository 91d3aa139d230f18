#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "hive.hpp"

namespace kelpa {

// How many levels a parent chain may climb to the root, and a tree walk may descend below its
// start. Real hives stay far below it; a damaged one can chain keys without end.
inline constexpr std::size_t MAX_KEY_DEPTH = 512;

// The key at `sub_key` below `start`. Components are separated by backslashes and empty ones are
// skipped, so "" (or "\\") is `start` itself. Each component is looked up among the keys that
// start.subkeys() would list, in list order, the first match winning, with key_names_equal (so
// case-insensitively over Unicode, not only ASCII). Fails with whatever subkeys() fails with on
// the way, and with NotFound "Key '<sub_key>'" (the argument as given) for a component that
// matches no subkey.
[[nodiscard]] Result<RegistryKey> open_key(const RegistryKey& start, std::string_view sub_key);

// The key's parent: none for the key at the base block's root cell offset and for a key flagged
// as the hive's entry key (flag 0x0004); otherwise the key at the node's parent offset, read with
// get_key (whose errors are returned). Nothing checks that the parent lists the key.
[[nodiscard]] Result<std::optional<RegistryKey>> parent_key(const RegistryKey& key);

// The names from just below the root down to the key, joined by backslashes, found by following
// parent_key; "" for the root. InvalidFormat for a chain that comes back to a key it passed, or
// that climbs more than MAX_KEY_DEPTH levels without reaching a root; parent_key's errors too.
[[nodiscard]] Result<std::string> key_path(const RegistryKey& key);

}  // namespace kelpa
