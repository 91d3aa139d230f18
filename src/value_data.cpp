#include "value_data.hpp"

#include "utils.hpp"

namespace kelpa {

namespace {

std::string number_form(std::uint64_t value, int digits) {
  return decimal(value) + " (0x" + padded_hex(value, digits, true) + ")";
}

std::string byte_list(const std::vector<std::uint8_t>& bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) out += ", ";
    out += padded_hex(bytes[i], 2, true);
  }
  out.push_back(']');
  return out;
}

}  // namespace

Result<ValueData> parse_value_data(ValueType type, Bytes raw) {
  if (raw.empty()) return NoData{};
  switch (type.member()) {
    case ValueType::REG_NONE:
      return NoData{};
    case ValueType::REG_SZ:
    case ValueType::REG_EXPAND_SZ: {
      auto text = read_utf16_string(raw, 0);
      if (!text) return std::unexpected(std::move(text.error()));
      if (type.member() == ValueType::REG_SZ) return StringData{std::move(*text)};
      return ExpandStringData{std::move(*text)};
    }
    case ValueType::REG_BINARY:
      return BinaryData{{raw.begin(), raw.end()}};
    case ValueType::REG_DWORD:
    case ValueType::REG_DWORD_BIG_ENDIAN: {
      auto value = read_le<std::uint32_t>(raw, 0);
      if (!value) return std::unexpected(RegistryError::truncated_data(0, 4, raw.size()));
      if (type.member() == ValueType::REG_DWORD) return DwordData{*value};
      return DwordBigEndianData{std::byteswap(*value)};
    }
    case ValueType::REG_MULTI_SZ: {
      auto text = read_utf16_string(raw, 0);
      if (!text) return std::unexpected(std::move(text.error()));
      MultiStringData multi;
      std::size_t start = 0;
      while (start <= text->size()) {
        std::size_t end = text->find('\0', start);
        if (end == std::string::npos) end = text->size();
        if (end > start) multi.items.emplace_back(*text, start, end - start);
        start = end + 1;
      }
      return multi;
    }
    case ValueType::REG_QWORD: {
      auto value = read_le<std::uint64_t>(raw, 0);
      if (!value) return std::unexpected(RegistryError::truncated_data(0, 8, raw.size()));
      return QwordData{*value};
    }
    default:
      return UnparsedData{{raw.begin(), raw.end()}};
  }
}

std::string to_display_string(const ValueData& data) {
  struct Visitor {
    std::string operator()(const NoData&) const { return "(none)"; }
    std::string operator()(const StringData& d) const { return d.text; }
    std::string operator()(const ExpandStringData& d) const { return d.text; }
    std::string operator()(const BinaryData& d) const { return byte_list(d.bytes); }
    std::string operator()(const UnparsedData& d) const { return byte_list(d.bytes); }
    std::string operator()(const DwordData& d) const { return number_form(d.value, 8); }
    std::string operator()(const DwordBigEndianData& d) const { return number_form(d.value, 8); }
    std::string operator()(const QwordData& d) const { return number_form(d.value, 16); }
    std::string operator()(const MultiStringData& d) const {
      std::string out;
      for (std::size_t i = 0; i < d.items.size(); ++i) {
        if (i != 0) out += ", ";
        out += d.items[i];
      }
      return out;
    }
  };
  return std::visit(Visitor{}, data);
}

}  // namespace kelpa
