#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "le.hpp"

namespace kelpa {

// Owner of one file descriptor; closes it on every path.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  [[nodiscard]] int get() const noexcept { return fd_; }
  void reset() noexcept;  // closes now; an error on closing is ignored

 private:
  int fd_ = -1;
};

// A read-only, shared mapping of a whole file; unmapped by its destructor. While it lives, the
// file's identity (device, inode) is listed as mapped by this process, so that saving onto the
// same file does not pull the image from under it.
class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  // Maps `length` bytes of `fd` from offset 0. Io on failure.
  [[nodiscard]] static Result<Mapping> map(int fd, std::size_t length, std::uint64_t device, std::uint64_t inode);

  [[nodiscard]] Bytes bytes() const noexcept { return {static_cast<const std::uint8_t*>(address_), length_}; }

 private:
  void release() noexcept;

  void* address_ = nullptr;
  std::size_t length_ = 0;
  std::uint64_t device_ = 0, inode_ = 0;
};

// True while a live Mapping of this process maps the file with this identity.
[[nodiscard]] bool is_file_mapped(std::uint64_t device, std::uint64_t inode);

// ::open, repeated while it is interrupted by a signal (EINTR); -1 with errno on failure.
[[nodiscard]] int open_retrying(const char* path, int flags, unsigned mode = 0);

// Opens `path` read-only with close-on-exec. The open does not wait for a writer on a named pipe;
// reads from the descriptor block as usual. A path holding a NUL character is refused before any
// system call with the Io text of that name; a directory is refused with EISDIR. The system's
// errors are Io errors with their number and the path (RegistryError::with_path).
[[nodiscard]] Result<UniqueFd> open_for_reading(std::string_view path);

// The whole contents of a file, read through `open_for_reading`. Io on failure, naming the path;
// the file is closed on every path.
[[nodiscard]] Result<std::vector<std::uint8_t>> read_whole_file(std::string_view path);

// Writes all of `data`, continuing after short writes and repeating writes interrupted by a
// signal. A write that reports 0 bytes fails with "failed to write whole buffer".
[[nodiscard]] Result<void> write_all(int fd, Bytes data);

// The text of a path for a system call; Io "file name contained an unexpected NUL byte" when it
// holds a NUL character.
[[nodiscard]] Result<std::string> system_path(std::string_view path);

}  // namespace kelpa
