#pragma once

#include <cstdint>
#include <string>

#include "error.hpp"
#include "le.hpp"
#include "problems.hpp"

namespace kelpa {

// UTF-8 to UTF-8 with every ill-formed sequence replaced: one U+FFFD per maximal subpart of an
// ill-formed subsequence, exactly as the WHATWG UTF-8 decoder does. Never fails.
[[nodiscard]] std::string decode_utf8_lossy(Bytes bytes);

// True when every byte is below 0x80; checks eight bytes at a time.
[[nodiscard]] bool is_ascii(Bytes bytes) noexcept;

// The 8-bit ("compressed") name form. Windows stores such a name as the low bytes of its UTF-16
// code units, so each byte is one Latin-1 character (0xE4 is U+00E4); trailing U+0000 characters
// are removed. Never fails.
[[nodiscard]] std::string read_ascii_string(Bytes bytes);

// The UTF-16 name and string form. A byte-order mark at the start selects UTF-8, UTF-16LE or
// UTF-16BE (WHATWG BOM sniffing, UTF-16LE without a mark); trailing U+0000 characters are removed.
// An odd byte count or any malformed sequence (unpaired surrogate; ill-formed UTF-8 after an
// UTF-8 mark) fails with InvalidUtf16 carrying `offset`, which is used for the message only.
[[nodiscard]] Result<std::string> read_utf16_string(Bytes bytes, std::uint32_t offset);

// The two decoders above, appending their text to `out` (which keeps what it held before, also
// on failure) instead of returning it: for callers that gather many names in one buffer.
void append_ascii_string(Bytes bytes, std::string& out);
[[nodiscard]] Result<void> append_utf16_string(Bytes bytes, std::uint32_t offset, std::string& out);

// What append_utf16_string fails on, read as far as it goes: the same byte-order marks, each
// unpaired surrogate (and a last odd byte) becomes U+FFFD, and after a UTF-8 mark every maximal
// ill-formed subpart does. Trailing U+0000 characters are removed. Never fails.
void append_utf16_lossy(Bytes bytes, std::string& out);

// The name stored right after a record's fixed part: `length` bytes at `fixed_size` in the payload
// of the cell at `offset`, decoded with append_ascii_string when `compressed` and with
// append_utf16_string otherwise, and appended to `out`. TruncatedData (offset, expected
// fixed_size + length, got the payload size) when the name runs past the payload. A UTF-16 name
// that does not decode is met as an InvalidUtf16 problem at `offset` (problems.hpp): its error
// under strict reading; under tolerant reading it is decoded with append_utf16_lossy.
[[nodiscard]] Result<void> append_record_name(Bytes payload, std::size_t fixed_size, std::uint16_t length,
                                              bool compressed, std::uint32_t offset, std::string& out,
                                              const ProblemLog& problems);

// The base block's 64-byte file name field: every byte is one character (0 becomes a space, other
// bytes their Latin-1 character), then Unicode white space is trimmed from both ends. Never fails.
[[nodiscard]] std::string read_fixed_ascii(Bytes bytes);

}  // namespace kelpa
