#pragma once

#include <cstdint>
#include <string>

namespace kelpa {

// A value's data type: one of the twelve known registry types or Unknown, together with the type
// id exactly as read. A plain value, copied freely.
class ValueType {
 public:
  enum Member : std::uint32_t {
    REG_NONE = 0,
    REG_SZ,
    REG_EXPAND_SZ,
    REG_BINARY,
    REG_DWORD,
    REG_DWORD_BIG_ENDIAN,
    REG_LINK,
    REG_MULTI_SZ,
    REG_RESOURCE_LIST,
    REG_FULL_RESOURCE_DESCRIPTOR,
    REG_RESOURCE_REQUIREMENTS_LIST,
    REG_QWORD,
    Unknown,
  };

  // Every 32-bit id is accepted; ids 12 and above are Unknown.
  [[nodiscard]] static constexpr ValueType from_raw(std::uint32_t type_id) noexcept {
    return ValueType(type_id < Unknown ? static_cast<Member>(type_id) : Unknown, type_id);
  }

  [[nodiscard]] constexpr Member member() const noexcept { return member_; }
  [[nodiscard]] constexpr std::uint32_t type_id() const noexcept { return type_id_; }
  // "REG_SZ", ..., or "REG_UNKNOWN_0x" with the id as exactly eight lowercase hex digits.
  [[nodiscard]] std::string name() const;

 private:
  constexpr ValueType(Member member, std::uint32_t type_id) noexcept : member_(member), type_id_(type_id) {}

  Member member_;
  std::uint32_t type_id_;
};

}  // namespace kelpa
