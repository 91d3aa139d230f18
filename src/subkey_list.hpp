#pragma once

#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "le.hpp"

namespace kelpa {

namespace subkey_list {  // subkey list payload: "lf", "lh", "li" or "ri"
inline constexpr std::size_t SIGNATURE = 0, COUNT = 2, ELEMENTS = 4, HEADER_SIZE = 4;
}

// A parsed subkey list, owning a copy of its elements.
struct IndexLeaf {  // "li": key node offsets
  std::vector<std::uint32_t> offsets;
};
struct HashLeaf {  // "lf", "lh": (key node offset, name hash) pairs; the hash is kept, never used
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
};
struct IndexRoot {  // "ri": offsets of further subkey lists
  std::vector<std::uint32_t> lists;
};
using SubkeyList = std::variant<IndexLeaf, HashLeaf, IndexRoot>;

// Parses the payload of the list cell at `offset` (used for messages only). Checks the 4-byte
// header (TruncatedData), the signature (InvalidSubkeyListType) and that the payload holds `count`
// elements (TruncatedData). Elements are not checked.
[[nodiscard]] Result<SubkeyList> parse_subkey_list(Bytes payload, std::uint32_t offset);

}  // namespace kelpa
