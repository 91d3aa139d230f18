#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "cell.hpp"
#include "error.hpp"
#include "le.hpp"

namespace kelpa {

// A value's data parsed by its type. The variant order is fixed: None, String, ExpandString,
// Binary, Dword, DwordBigEndian, MultiString, Qword, Unparsed.
struct NoData {};
struct StringData { std::string text; };
struct ExpandStringData { std::string text; };
struct BinaryData { std::vector<std::uint8_t> bytes; };
struct DwordData { std::uint32_t value; };
struct DwordBigEndianData { std::uint32_t value; };
struct MultiStringData { std::vector<std::string> items; };
struct QwordData { std::uint64_t value; };
struct UnparsedData { std::vector<std::uint8_t> bytes; };

using ValueData = std::variant<NoData, StringData, ExpandStringData, BinaryData, DwordData, DwordBigEndianData,
                               MultiStringData, QwordData, UnparsedData>;

// Parses raw value bytes by type. Empty data is NoData whatever the type. Strings are UTF-16
// (InvalidUtf16 at offset 0 on odd or malformed data); DWORDs need 4 bytes and QWORDs 8
// (TruncatedData at offset 0 otherwise); later bytes are ignored.
[[nodiscard]] Result<ValueData> parse_value_data(ValueType type, Bytes raw);

// The printable form: "(none)", the text, "[0A, FF]", "1 (0x00000001)", items joined by ", ".
[[nodiscard]] std::string to_display_string(const ValueData& data);

}  // namespace kelpa
