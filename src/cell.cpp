#include "cell.hpp"

#include <array>
#include <string_view>

#include "error.hpp"

namespace kelpa {

std::string ValueType::name() const {
  static constexpr std::array<std::string_view, Unknown> names = {
      "REG_NONE",          "REG_SZ",
      "REG_EXPAND_SZ",     "REG_BINARY",
      "REG_DWORD",         "REG_DWORD_BIG_ENDIAN",
      "REG_LINK",          "REG_MULTI_SZ",
      "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
      "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD",
  };
  if (member_ != Unknown) return std::string(names[member_]);
  return "REG_UNKNOWN_0x" + padded_hex(type_id_, 8);
}

}  // namespace kelpa
