#include "log_blocks.hpp"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "posix_file.hpp"

namespace kelpa {

namespace log_file {  // log file header, file offsets
inline constexpr std::size_t SIGNATURE = 0, SEQUENCE = 4, MIN_SIZE = 4096;
inline constexpr std::size_t BLOCK_ALIGNMENT = 4096;
// A candidate dirty block is examined only when this many bytes of the file start at it.
inline constexpr std::size_t MIN_BLOCK_SPAN = 512;
// Scanning stops after the first block that leaves more than this many pages in the log.
inline constexpr std::size_t PAGE_LIMIT = 10000;
}  // namespace log_file

namespace dirt {  // dirty block header, offsets from the block start
inline constexpr std::size_t SIGNATURE = 0, RECORD_COUNT = 8, FIRST_RECORD = 16;
inline constexpr std::uint32_t MAX_RECORDS = 1000;
}  // namespace dirt

namespace page_record {  // one packed record inside a dirty block
inline constexpr std::size_t TARGET_OFFSET = 0, SIZE = 4, HEAD_SIZE = 8;
inline constexpr std::uint32_t MAX_SIZE = 0x10000;
}  // namespace page_record

namespace {
using PageRef = BlockLog::PageRef;
}  // namespace

// The one reader of the layout; TransactionLog::parse and the replay share it.
Result<BlockLog> scan_blocks(Bytes file) {
  if (file.size() < log_file::MIN_SIZE) return std::unexpected(RegistryError::invalid_format("Transaction log too small"));
  if (!has_four_byte_signature(file, log_file::SIGNATURE, "HvLE"))
    return std::unexpected(RegistryError::invalid_signature("HvLE", four_bytes_text(file)));

  BlockLog log;
  log.sequence = load_u32(file, log_file::SEQUENCE);
  const std::uint64_t length = file.size();
  // A block is examined wherever its header lies, even inside the page data of an earlier block.
  for (std::uint64_t block = log_file::BLOCK_ALIGNMENT; block + log_file::MIN_BLOCK_SPAN <= length;
       block += log_file::BLOCK_ALIGNMENT) {
    if (!has_four_byte_signature(file, block + dirt::SIGNATURE, "DIRT")) continue;
    const std::uint32_t count = load_u32(file, block + dirt::RECORD_COUNT);
    if (count == 0 || count > dirt::MAX_RECORDS) continue;
    // Records are bounded by the end of the file, not by the block: they may run on past it.
    std::uint64_t p = block + dirt::FIRST_RECORD;
    const std::size_t before = log.pages.size();
    for (std::uint32_t i = 0; i < count; ++i) {
      if (p + page_record::HEAD_SIZE > length) break;
      const std::uint32_t target = load_u32(file, p + page_record::TARGET_OFFSET);
      const std::uint32_t size = load_u32(file, p + page_record::SIZE);
      if (size == 0 || size > page_record::MAX_SIZE) {
        p += page_record::HEAD_SIZE;  // only the head is stepped over; the next record follows it
        continue;
      }
      if (p + page_record::HEAD_SIZE + size > length) break;  // the block's earlier pages are kept
      log.pages.push_back({target, static_cast<std::size_t>(p + page_record::HEAD_SIZE), size});
      p += page_record::HEAD_SIZE + size;
    }
    if (log.pages.size() > before) ++log.blocks;
    if (log.pages.size() > log_file::PAGE_LIMIT) break;
  }
  return log;
}

namespace {

// The image length after the pages of `logs`, in order, or the error of the first page that
// breaks a limit. Run before the image is touched, so that a replay bound to fail allocates
// nothing and a successful one grows the image once.
Result<std::uint64_t> replayed_length(std::uint64_t length, std::span<const LoadedBlockLog> logs) {
  for (const LoadedBlockLog& log : logs) {
    std::uint64_t index = 0;  // restarts for each log
    for (const PageRef& page : log.log.pages) {
      const std::uint64_t end = std::uint64_t{page.offset} + page.size;
      if (end > replay::MAX_IMAGE_SIZE) {
        return std::unexpected(RegistryError::invalid_format("Dirty page " + decimal(index) +
                                                             " would extend hive beyond maximum size: " +
                                                             hex_form(end) + " > " + hex_form(replay::MAX_IMAGE_SIZE)));
      }
      if (end > length) {
        const std::uint64_t growth = end - length;
        if (growth > replay::MAX_GROWTH) {
          return std::unexpected(RegistryError::invalid_format("Dirty page " + decimal(index) +
                                                               " would extend hive by too much: " + decimal(growth) +
                                                               " bytes (max: " + decimal(replay::MAX_GROWTH) + ")"));
        }
        length = end;
      }
      ++index;
    }
  }
  return length;
}

}  // namespace

// Reads the whole file into memory and parses it; the file is closed before this returns.
Result<TransactionLog> TransactionLog::open(std::string_view path) {
  auto file = read_whole_file(path);
  if (!file) return std::unexpected(std::move(file.error()));
  return parse(*file);
}

// Checks the length (InvalidFormat "Transaction log too small" below 4096 bytes) and the "HvLE"
// signature (InvalidSignature); blocks without "DIRT", bad record counts, bad page sizes and
// records that run past the end of the file are passed over without an error. Neither the
// sequence nor any target offset is checked. Every accepted page is copied out of `file`.
Result<TransactionLog> TransactionLog::parse(Bytes file) {
  auto scanned = scan_blocks(file);
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  TransactionLog log;
  log.sequence = scanned->sequence;
  log.dirty_pages.reserve(scanned->pages.size());
  for (const PageRef& page : scanned->pages) {
    const Bytes data = file.subspan(page.at, page.size);
    log.dirty_pages.push_back({page.offset, page.size, std::vector<std::uint8_t>(data.begin(), data.end())});
  }
  return log;
}

// The pages are written straight from the log files' bytes rather than from TransactionLog
// copies: pages of different dirty blocks may cover the same file bytes, so copies could take
// many times the size of the logs.
Result<bool> apply_block_logs(std::vector<std::uint8_t>& image, std::span<const LoadedBlockLog> logs) {
  if (std::ranges::none_of(logs, [](const LoadedBlockLog& log) { return !log.log.pages.empty(); })) return false;
  auto length = replayed_length(image.size(), logs);
  if (!length) return std::unexpected(std::move(length.error()));
  image.resize(static_cast<std::size_t>(*length));  // zero-filled; at most 512 MiB
  for (const LoadedBlockLog& log : logs) {
    for (const PageRef& page : log.log.pages) {
      const auto data = log.file.subspan(page.at, page.size);
      std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(page.offset));
    }
  }
  if (image.size() < HIVE_MIN_SIZE) return std::unexpected(RegistryError::hive_too_small(image.size(), HIVE_MIN_SIZE));
  store_base_block_checksum(image);
  return true;
}

}  // namespace kelpa
