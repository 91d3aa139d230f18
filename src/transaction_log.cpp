#include "transaction_log.hpp"

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

// A page found by the scan, as a position in the log file rather than a copy.
struct PageRef {
  std::uint32_t offset;  // target in the hive image
  std::size_t at;        // first data byte in the log file
  std::uint32_t size;
};

struct ScannedLog {
  std::uint32_t sequence = 0;
  std::vector<PageRef> pages;
};

// The one reader of the log layout; TransactionLog::parse and the replay share it. It checks the
// length and the "HvLE" signature and passes over every damaged block or record. The result holds
// at most 11000 small entries whatever the file claims, and refers into `file`.
Result<ScannedLog> scan(Bytes file) {
  if (file.size() < log_file::MIN_SIZE) return std::unexpected(RegistryError::invalid_format("Transaction log too small"));
  if (!has_four_byte_signature(file, log_file::SIGNATURE, "HvLE"))
    return std::unexpected(RegistryError::invalid_signature("HvLE", four_bytes_text(file)));

  ScannedLog log;
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
    if (log.pages.size() > log_file::PAGE_LIMIT) break;
  }
  return log;
}

// A log that was scanned, with the file bytes its pages point into.
struct LoadedLog {
  Bytes file;
  ScannedLog scanned;
};

// The image length after the pages of `logs`, in order, or the error of the first page that
// breaks a limit. Run before the image is touched, so that a replay bound to fail allocates
// nothing and a successful one grows the image once.
Result<std::uint64_t> replayed_length(std::uint64_t length, std::span<const LoadedLog> logs) {
  for (const LoadedLog& log : logs) {
    std::uint64_t index = 0;  // restarts for each log
    for (const PageRef& page : log.scanned.pages) {
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
  auto scanned = scan(file);
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
Result<std::shared_ptr<Hive>> replay_logs(std::vector<std::uint8_t> image, std::span<const Bytes> log_files) {
  // A log that cannot be parsed is left out without a word.
  std::vector<LoadedLog> loaded;
  loaded.reserve(log_files.size());
  for (const Bytes file : log_files) {
    if (auto scanned = scan(file)) loaded.push_back({file, std::move(*scanned)});
  }
  // Ascending sequence; a stable sort keeps LOG1 first when both are equal.
  std::ranges::stable_sort(loaded, {}, [](const LoadedLog& log) { return log.scanned.sequence; });

  if (std::ranges::any_of(loaded, [](const LoadedLog& log) { return !log.scanned.pages.empty(); })) {
    auto length = replayed_length(image.size(), loaded);
    if (!length) return std::unexpected(std::move(length.error()));
    image.resize(static_cast<std::size_t>(*length));  // zero-filled; at most 512 MiB
    for (const LoadedLog& log : loaded) {
      for (const PageRef& page : log.scanned.pages) {
        const auto data = log.file.subspan(page.at, page.size);
        std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(page.offset));
      }
    }
    if (image.size() < HIVE_MIN_SIZE) return std::unexpected(RegistryError::hive_too_small(image.size(), HIVE_MIN_SIZE));
    store_base_block_checksum(image);
  }
  return Hive::from_data(HiveData(std::make_shared<const std::vector<std::uint8_t>>(std::move(image))));
}

Result<std::shared_ptr<Hive>> open_with_logs(std::string_view hive_path, std::optional<std::string_view> log1_path,
                                             std::optional<std::string_view> log2_path) {
  auto image = read_whole_file(hive_path);
  if (!image) return std::unexpected(std::move(image.error()));
  // A log that cannot be read is left out without a word, like one that cannot be parsed.
  std::vector<std::vector<std::uint8_t>> files;
  for (const auto& path : {log1_path, log2_path}) {
    if (!path) continue;
    if (auto file = read_whole_file(*path)) files.push_back(std::move(*file));
  }
  const std::vector<Bytes> views(files.begin(), files.end());
  return replay_logs(std::move(*image), views);
}

}  // namespace kelpa
