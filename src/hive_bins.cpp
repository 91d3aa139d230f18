#include "hive.hpp"

#include <algorithm>

namespace kelpa {

namespace hbin {  // bin header, offsets from the start of the bin
inline constexpr std::size_t SIGNATURE = 0, OFFSET = 4, SIZE = 8, RESERVED = 12, TIMESTAMP = 20, SPARE = 28,
                             HEADER_SIZE = 32;
}

// Walks the chain of bin headers from image position 4096 to the end of the image (the base
// block's bins data size is not consulted). The walk ends cleanly at the end of the image or at
// the first position without "hbin". It fails with TruncatedData when fewer than 32 bytes are left
// at a walk position, and with InvalidFormat when a header's offset field disagrees with its
// position or its size is 0. A size is otherwise not checked: it is only the step to the next
// header. Each step moves forward by at least one byte, so the walk ends within the image.
Result<std::vector<HbinHeader>> Hive::hbins() const {
  const Bytes image = bytes();
  const Bytes region = image.subspan(HIVE_MIN_SIZE);
  std::vector<HbinHeader> headers;
  std::uint64_t position = 0;
  while (position < region.size()) {
    const auto header = slice(region, position, hbin::HEADER_SIZE);
    if (!header) {
      return std::unexpected(RegistryError::truncated_data(static_cast<std::uint32_t>(position), hbin::HEADER_SIZE,
                                                           region.size() - position));
    }
    if (!has_four_byte_signature(*header, hbin::SIGNATURE, "hbin")) break;
    const std::uint32_t stored_offset = load_u32(*header, hbin::OFFSET);
    if (stored_offset != static_cast<std::uint32_t>(position)) {
      return std::unexpected(RegistryError::invalid_format("Hbin offset mismatch: expected " + hex_form(position) +
                                                           ", found " + hex_form(stored_offset)));
    }
    HbinHeader h;
    std::copy_n(header->begin(), h.signature.size(), h.signature.begin());
    h.offset = stored_offset;
    h.size = load_u32(*header, hbin::SIZE);
    h.reserved = load_u64(*header, hbin::RESERVED);
    h.timestamp = load_u64(*header, hbin::TIMESTAMP);
    h.spare = load_u32(*header, hbin::SPARE);
    // A bin of size 0 would name itself as its own successor. That contradicts the chain rather
    // than ending it, and ending quietly would hide every bin after it, so it is an error.
    if (h.size == 0)
      return std::unexpected(RegistryError::invalid_format("Hbin at offset " + hex_form(position) + " has size 0"));
    headers.push_back(h);
    position += h.size;
  }
  return headers;
}

}  // namespace kelpa
