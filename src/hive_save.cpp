#include "hive.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace kelpa {

namespace {

constexpr mode_t NEW_FILE_MODE = 0666;  // before the process umask

// Bounds the search for a free temporary name; each attempt uses a fresh counter value, so a
// clash means another process (or a stale file) holds exactly that name.
constexpr int TEMP_NAME_ATTEMPTS = 100;

std::atomic<unsigned long> temp_counter{0};

// Creates or truncates `path` and writes `image` to it. A failed write leaves the file as far as
// it got; an error on closing is ignored.
Result<void> write_in_place(const std::string& path, Bytes image) {
  UniqueFd fd(open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, NEW_FILE_MODE));
  if (fd.get() < 0) return std::unexpected(RegistryError::io_errno(errno));
  return write_all(fd.get(), image);
}

// For a target that this process has mapped: truncating it would pull the pages from under the
// mapping (a read of them raises SIGBUS), so the image goes to a new file in the same directory,
// which then replaces the target by rename(). The mapping keeps the old file alive. The target is
// first opened for writing without truncation, so that a target the caller may not write fails
// as it would in place; the new file takes over the target's permission bits.
Result<void> write_by_rename(const std::string& path, Bytes image) {
  // A symbolic link stays a link: the file it resolves to is the one replaced.
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::unexpected(RegistryError::io_errno(errno));
  const std::string target(resolved);
  std::free(resolved);

  struct stat st {};
  {
    UniqueFd probe(open_retrying(target.c_str(), O_WRONLY | O_CLOEXEC, 0));
    if (probe.get() < 0) return std::unexpected(RegistryError::io_errno(errno));
    if (::fstat(probe.get(), &st) != 0) return std::unexpected(RegistryError::io_errno(errno));
  }

  const std::string directory = target.substr(0, target.rfind('/') + 1);  // realpath is absolute
  const std::string prefix = directory + ".kelpa-save-" + decimal(static_cast<std::uint64_t>(::getpid())) + "-";
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS && fd < 0; ++attempt) {
    temp = prefix + decimal(temp_counter.fetch_add(1, std::memory_order_relaxed));
    fd = open_retrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, NEW_FILE_MODE);
    if (fd < 0 && errno != EEXIST) return std::unexpected(RegistryError::io_errno(errno));
  }
  if (fd < 0) return std::unexpected(RegistryError::io_errno(EEXIST));

  (void)::fchmod(fd, st.st_mode & 07777);  // best effort: some file systems keep fixed modes
  auto written = write_all(fd, image);
  // Unlike the in-place write, a failed close counts here: the file is about to replace the target.
  if (::close(fd) != 0 && written) written = std::unexpected(RegistryError::io_errno(errno));
  if (written && ::rename(temp.c_str(), target.c_str()) != 0) written = std::unexpected(RegistryError::io_errno(errno));
  if (!written) ::unlink(temp.c_str());
  return written;
}

}  // namespace

// Copies the image, stores a freshly computed base block checksum in the copy and writes it to
// `path` (created with 0666 before the umask, or truncated). A target that a live Hive of this
// process maps is replaced through a new file instead (see write_by_rename), which also needs a
// writable directory and leaves other hard links to the old file as they were. Io on every system
// failure, with the operating system's text; "failed to write whole buffer" for a write that
// reports 0 bytes. The hive's image is never changed.
Result<void> Hive::save(std::string_view path) const {
  auto text = system_path(path);
  if (!text) return std::unexpected(std::move(text.error()));

  const Bytes source = bytes();
  std::vector<std::uint8_t> image(source.begin(), source.end());
  store_base_block_checksum(image);  // into the copy only, never into the hive's own image

  struct stat st {};
  if (::stat(text->c_str(), &st) == 0 &&
      is_file_mapped(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)))
    return write_by_rename(*text, image);
  return write_in_place(*text, image);
}

}  // namespace kelpa
