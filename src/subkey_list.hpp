#pragma once

#include <cstdint>
#include <optional>

#include "error.hpp"
#include "le.hpp"

namespace kelpa {

namespace subkey_list {  // subkey list payload: "lf", "lh", "li" or "ri"
inline constexpr std::size_t SIGNATURE = 0, COUNT = 2, ELEMENTS = 4, HEADER_SIZE = 4;
}

// A parsed subkey list: its variant and a view of its elements in the image (valid as long as the
// hive). "li" (IndexLeaf) holds key node offsets; "lf" and "lh" (HashLeaf) hold pairs of a key
// node offset and a name hash, which is kept but never used; "ri" (IndexRoot) holds the offsets
// of further subkey lists.
struct SubkeyList {
  enum class Variant { IndexLeaf, HashLeaf, IndexRoot };

  Variant variant;
  std::size_t count;
  Bytes elements;  // count elements of 4 bytes (IndexLeaf, IndexRoot) or 8 (HashLeaf)

  // Element i's offset: a key node's for the leaves, a subkey list's for an index root.
  [[nodiscard]] std::uint32_t offset(std::size_t i) const noexcept { return load_u32(elements, i * width()); }
  [[nodiscard]] std::size_t width() const noexcept { return variant == Variant::HashLeaf ? 8 : 4; }
};

// Parses the payload of the list cell at `offset` (used for messages only). Checks the 4-byte
// header (TruncatedData), the signature (InvalidSubkeyListType) and that the payload holds `count`
// elements (TruncatedData). Elements are not checked.
[[nodiscard]] Result<SubkeyList> parse_subkey_list(Bytes payload, std::uint32_t offset);

// What tolerant reading takes of a list that parse_subkey_list refused: for a known signature, the
// elements that the payload holds (fewer than its count says); nullopt for a payload without a
// header or with an unknown signature.
[[nodiscard]] std::optional<SubkeyList> readable_subkey_list(Bytes payload);

}  // namespace kelpa
