#pragma once

#include <cstddef>
#include <cstdint>

#include "error.hpp"
#include "le.hpp"

namespace kelpa {

namespace sk {  // security key payload
inline constexpr std::size_t SIGNATURE = 0, FLINK = 4, BLINK = 8, REFERENCE_COUNT = 12, DESCRIPTOR_SIZE = 16,
                             FIXED_SIZE = 20;
}

// The security descriptor held by the security key ("sk") payload of the cell at `offset` (used
// for messages only): a view of its bytes, self-relative as stored. Checks, in order: the 20-byte
// fixed part (TruncatedData, before the signature), the "sk" signature (InvalidFormat) and the
// descriptor inside the payload (TruncatedData). The descriptor itself is not parsed, and the
// list links and reference count are not followed.
[[nodiscard]] Result<Bytes> parse_security_key(Bytes payload, std::uint32_t offset);

}  // namespace kelpa
