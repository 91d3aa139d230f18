#pragma once

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "le.hpp"
#include "posix_file.hpp"

namespace kelpa {

// The image of a hive file, from file offset 0, in one of three forms: a read-only mapping of the
// file, a shared owned buffer, or bytes that live elsewhere (a caller's memory) and stay valid as
// long as their owner handle does. The core only holds and releases that handle; what it stands
// for (a buffer of the caller's language, say) is the caller's business. Whatever the form, the
// bytes never change while the image lives.
class HiveData {
 public:
  using Buffer = std::shared_ptr<const std::vector<std::uint8_t>>;
  struct Borrowed {
    Bytes bytes;
    std::shared_ptr<const void> owner;  // keeps `bytes` valid; released with the last holder
  };

  explicit HiveData(Mapping mapping) noexcept : storage_(std::move(mapping)) {}
  explicit HiveData(Buffer buffer) noexcept : storage_(std::move(buffer)) {}
  explicit HiveData(Borrowed borrowed) noexcept : storage_(std::move(borrowed)) {}

  [[nodiscard]] Bytes bytes() const noexcept;

 private:
  std::variant<Mapping, Buffer, Borrowed> storage_;
};

}  // namespace kelpa
