#include "posix_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace kelpa {

namespace {

// Identities of the files mapped by live Mappings, with how many Mappings hold each.
std::mutex mapped_files_mutex;
std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> mapped_files;

void note_mapped(std::uint64_t device, std::uint64_t inode) {
  std::lock_guard lock(mapped_files_mutex);
  ++mapped_files[{device, inode}];
}

void note_unmapped(std::uint64_t device, std::uint64_t inode) noexcept {
  std::lock_guard lock(mapped_files_mutex);
  auto it = mapped_files.find({device, inode});
  if (it != mapped_files.end() && --it->second == 0) mapped_files.erase(it);
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() { reset(); }

void UniqueFd::reset() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Mapping::Mapping(Mapping&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      device_(other.device_),
      inode_(other.inode_) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    release();
    address_ = std::exchange(other.address_, nullptr);
    length_ = std::exchange(other.length_, 0);
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

Mapping::~Mapping() { release(); }

void Mapping::release() noexcept {
  if (address_ == nullptr) return;
  ::munmap(address_, length_);
  note_unmapped(device_, inode_);
  address_ = nullptr;
  length_ = 0;
}

Result<Mapping> Mapping::map(int fd, std::size_t length, std::uint64_t device, std::uint64_t inode) {
  void* address = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return std::unexpected(RegistryError::io_errno(errno));
  Mapping m;
  m.address_ = address;
  m.length_ = length;
  m.device_ = device;
  m.inode_ = inode;
  note_mapped(device, inode);
  return m;
}

bool is_file_mapped(std::uint64_t device, std::uint64_t inode) {
  std::lock_guard lock(mapped_files_mutex);
  return mapped_files.contains({device, inode});
}

Result<std::string> system_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos)
    return std::unexpected(RegistryError::io_message("file name contained an unexpected NUL byte"));
  return std::string(path);
}

int open_retrying(const char* path, int flags, unsigned mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

Result<UniqueFd> open_for_reading(std::string_view path) {
  auto text = system_path(path);
  if (!text) return std::unexpected(std::move(text.error()));
  auto failed = [&](int error_number) { return std::unexpected(RegistryError::io_errno(error_number).with_path(path)); };
  const int fd = open_retrying(text->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return failed(errno);
  UniqueFd file(fd);
  // A directory opens read-only, and then fails later with an error that does not say why
  // (ENODEV from mmap, or a size too small for a hive): refused here in the words of read().
  struct stat st {};
  if (::fstat(fd, &st) != 0) return failed(errno);
  if (S_ISDIR(st.st_mode)) return failed(EISDIR);
  // O_NONBLOCK only keeps open() from waiting for a writer on a named pipe; reads block as usual,
  // so a pipe with a writer is read to its end and one without a writer reads as empty.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return failed(errno);
  return file;
}

Result<std::vector<std::uint8_t>> read_whole_file(std::string_view path) {
  auto fd = open_for_reading(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  auto failed = [&](int error_number) { return std::unexpected(RegistryError::io_errno(error_number).with_path(path)); };
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return failed(errno);
  std::vector<std::uint8_t> data;
  if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd->get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return failed(errno);
    }
    if (n == 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  return data;
}

Result<void> write_all(int fd, Bytes data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(RegistryError::io_errno(errno));
    }
    if (n == 0) return std::unexpected(RegistryError::io_message("failed to write whole buffer"));
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace kelpa
