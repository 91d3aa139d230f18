// Fuzz target: log replay. The input is either
// - a transaction log file alone, in any layout: it is parsed, then replayed onto a small valid
//   hive, clean for an "HvLE"-headed log (the image must be the one its parsed pages make) and
//   dirty for any other (where Windows' own logs apply);
// - or a hive file and one or two logs, joined by LOG_SEPARATOR: the logs are replayed onto the
//   hive as open_with_logs would.
// Every hive that comes out is walked.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "hive_walk.hpp"
#include "log_replay.hpp"

namespace {

// A replayed image may legitimately grow to 512 MiB (pages may lengthen it by up to 16 MiB each).
// Inputs with a page ending between this and that are not replayed, to stay under the fuzzer's
// memory limit; pages ending beyond 512 MiB are, since replay refuses them before it allocates.
constexpr std::uint64_t MAX_REPLAYED_IMAGE = 32u << 20;

// Joins the hive and its logs in one input (in the dictionary, so that the fuzzer inserts it).
constexpr std::string_view LOG_SEPARATOR = "=kelpa-log=";

void put_u16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
  for (std::size_t i = 0; i < 2; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Base block, then one 4096-byte bin: the root key "ROOT" (0x20) with one subkey "Sub" (0x88,
// through an "lf" list at 0x78) and one REG_SZ value "Name" (value list at 0xe0, value key at
// 0xe8, data at 0x108). The rest of the bin is one free cell.
std::vector<std::uint8_t> small_image() {
  std::vector<std::uint8_t> image(kelpa::HIVE_MIN_SIZE + 0x1000, 0);
  std::memcpy(image.data(), "regf", 4);
  put_u32(image, kelpa::base_block::PRIMARY_SEQUENCE, 1);
  put_u32(image, kelpa::base_block::SECONDARY_SEQUENCE, 1);
  put_u32(image, kelpa::base_block::MAJOR_VERSION, 1);
  put_u32(image, kelpa::base_block::MINOR_VERSION, 5);
  put_u32(image, kelpa::base_block::FILE_FORMAT, 1);
  put_u32(image, kelpa::base_block::ROOT_CELL_OFFSET, 0x20);
  put_u32(image, kelpa::base_block::HIVE_BINS_DATA_SIZE, 0x1000);
  put_u32(image, kelpa::base_block::CLUSTERING_FACTOR, 1);

  const std::size_t bins = kelpa::HIVE_MIN_SIZE;
  std::memcpy(&image[bins], "hbin", 4);
  put_u32(image, bins + 8, 0x1000);
  auto cell = [&](std::uint32_t offset, std::int32_t size) {
    put_u32(image, bins + offset, static_cast<std::uint32_t>(size));
    return bins + offset + 4;  // payload position
  };
  auto key = [&](std::uint32_t offset, const char* name, std::uint32_t subkeys, std::uint32_t list,
                 std::uint32_t values, std::uint32_t value_list) {
    const std::size_t p = cell(offset, -88);
    std::memcpy(&image[p], "nk", 2);
    put_u16(image, p + kelpa::nk::FLAGS, kelpa::nk::COMPRESSED_NAME);
    put_u32(image, p + kelpa::nk::SUBKEY_COUNT, subkeys);
    put_u32(image, p + kelpa::nk::SUBKEY_LIST_OFFSET, list);
    put_u32(image, p + kelpa::nk::VOLATILE_SUBKEY_LIST_OFFSET, 0xFFFFFFFF);
    put_u32(image, p + kelpa::nk::VALUE_COUNT, values);
    put_u32(image, p + kelpa::nk::VALUE_LIST_OFFSET, value_list);
    put_u16(image, p + kelpa::nk::NAME_LENGTH, static_cast<std::uint16_t>(std::strlen(name)));
    std::memcpy(&image[p + kelpa::nk::FIXED_SIZE], name, std::strlen(name));
  };
  key(0x20, "ROOT", 1, 0x78, 1, 0xe0);
  std::size_t p = cell(0x78, -16);
  std::memcpy(&image[p], "lf", 2);
  put_u16(image, p + 2, 1);
  put_u32(image, p + 4, 0x88);
  std::memcpy(&image[p + 8], "Sub", 3);
  key(0x88, "Sub", 0, 0xFFFFFFFF, 0, 0xFFFFFFFF);
  p = cell(0xe0, -8);
  put_u32(image, p, 0xe8);
  p = cell(0xe8, -32);
  std::memcpy(&image[p], "vk", 2);
  put_u16(image, p + 2, 4);   // name length
  put_u32(image, p + 4, 10);  // data size
  put_u32(image, p + 8, 0x108);
  put_u32(image, p + 12, 1);  // REG_SZ
  put_u16(image, p + 16, 1);  // 8-bit name
  std::memcpy(&image[p + 20], "Name", 4);
  p = cell(0x108, -16);
  const char16_t text[] = u"kelp";
  for (std::size_t i = 0; i < 5; ++i) put_u16(image, p + 2 * i, static_cast<std::uint16_t>(text[i]));
  cell(0x118, 0x1000 - 0x118);

  kelpa::store_base_block_checksum(image);
  return image;
}

// The image replay should make of the parsed pages: written in order over the small image,
// which grows (zero-filled) to the end of each page, then the checksum rewritten.
std::vector<std::uint8_t> expected_image(const std::vector<kelpa::DirtyPage>& pages) {
  std::vector<std::uint8_t> image = small_image();
  for (const kelpa::DirtyPage& page : pages) {
    const std::size_t end = std::size_t{page.offset} + page.data.size();
    if (end > image.size()) image.resize(end);
    std::copy(page.data.begin(), page.data.end(), image.begin() + static_cast<std::ptrdiff_t>(page.offset));
  }
  if (!pages.empty()) kelpa::store_base_block_checksum(image);
  return image;
}

bool same_image(const kelpa::Hive& hive, const std::vector<std::uint8_t>& image) {
  const kelpa::Bytes bytes = hive.bytes();
  return bytes.size() == image.size() && std::equal(bytes.begin(), bytes.end(), image.begin());
}

std::shared_ptr<kelpa::Hive> replay_and_walk(std::span<const kelpa::Bytes> logs) {
  auto hive = kelpa::replay_logs(small_image(), logs);
  if (!hive) {
    kelpa::fuzz::consume(hive.error());
    return nullptr;
  }
  kelpa::fuzz::walk(**hive);
  return *hive;
}

// The small image with sequence numbers 2 and 1: a hive that Windows' logs recover.
std::vector<std::uint8_t> dirty_image() {
  std::vector<std::uint8_t> image = small_image();
  put_u32(image, kelpa::base_block::PRIMARY_SEQUENCE, 2);
  kelpa::store_base_block_checksum(image);
  return image;
}

// The reports of a replay: one per log, and none that contradicts itself.
bool reports_agree(const kelpa::Hive& hive, std::size_t logs) {
  const auto& reports = hive.log_replay();
  if (reports.size() != logs) kelpa::fuzz::broken("not one report per log");
  bool applied = false;
  for (const kelpa::LogReplay& r : reports) {
    if (r.applied != r.sequence.has_value() || (r.applied && r.layout != "blocks" && r.entries == 0) ||
        (!r.applied && r.reason.empty()))
      kelpa::fuzz::broken("a report that contradicts itself");
    applied = applied || r.applied;
  }
  return applied;
}

// A Windows log replayed onto the dirty image. It never fails the replay of a hive whose own base
// block is sound, and its report must agree with the image.
void replay_dirty(kelpa::Bytes file) {
  const std::array<kelpa::LogInput, 1> logs{kelpa::LogInput{"", file}};
  auto hive = kelpa::replay_logs(dirty_image(), logs, MAX_REPLAYED_IMAGE);
  if (!hive) kelpa::fuzz::broken("a Windows log failed the replay of a sound hive");
  const bool applied = reports_agree(**hive, 1);
  if (!applied && !same_image(**hive, dirty_image())) kelpa::fuzz::broken("no log applied, yet the image changed");
  if (applied && (*hive)->log_replay()[0].layout != "blocks" && (*hive)->base_block().is_dirty())
    kelpa::fuzz::broken("a recovered hive is still dirty");
  kelpa::fuzz::walk(**hive);
}

// The parts of an input joined by LOG_SEPARATOR: the hive, then at most two logs.
std::vector<kelpa::Bytes> split_input(kelpa::Bytes input) {
  std::vector<kelpa::Bytes> parts;
  const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
  std::size_t start = 0;
  while (parts.size() < 2) {
    const std::size_t at = text.find(LOG_SEPARATOR, start);
    if (at == std::string_view::npos) break;
    parts.push_back(input.subspan(start, at - start));
    start = at + LOG_SEPARATOR.size();
  }
  parts.push_back(input.subspan(start));
  return parts;
}

void replay_onto_hive(const std::vector<kelpa::Bytes>& parts) {
  std::vector<kelpa::LogInput> logs;
  for (std::size_t i = 1; i < parts.size(); ++i) logs.push_back({"", parts[i]});
  for (const kelpa::Bytes log : std::span(parts).subspan(1)) {
    auto parsed = kelpa::TransactionLog::parse(log);
    if (!parsed) continue;
    for (const kelpa::DirtyPage& page : parsed->dirty_pages) {
      const std::uint64_t end = std::uint64_t{page.offset} + page.size;
      if (end > MAX_REPLAYED_IMAGE && end <= kelpa::replay::MAX_IMAGE_SIZE) return;
    }
  }
  auto hive = kelpa::replay_logs(std::vector<std::uint8_t>(parts[0].begin(), parts[0].end()), logs, MAX_REPLAYED_IMAGE);
  if (!hive) return kelpa::fuzz::consume(hive.error());
  (void)reports_agree(**hive, logs.size());
  kelpa::fuzz::walk(**hive);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kelpa::Bytes file(data, size);
  if (const auto parts = split_input(file); parts.size() > 1) {
    replay_onto_hive(parts);
    return 0;
  }
  if (size < 4 || std::memcmp(data, "HvLE", 4) != 0) {
    replay_dirty(file);
    return 0;
  }
  auto log = kelpa::TransactionLog::parse(file);
  if (!log) {
    kelpa::fuzz::consume(log.error());
  } else {
    if (log->dirty_pages.size() > 11000) kelpa::fuzz::broken("more than 11000 pages in one log");
    for (const kelpa::DirtyPage& page : log->dirty_pages) {
      if (page.size != page.data.size() || page.size == 0 || page.size > 0x10000)
        kelpa::fuzz::broken("a page size outside 1..65536 or unlike its data");
      const std::uint64_t end = std::uint64_t{page.offset} + page.size;
      if (end > MAX_REPLAYED_IMAGE && end <= kelpa::replay::MAX_IMAGE_SIZE) return 0;
    }
  }
  // Replay reads the file with its own scan; its image must be the one the parsed pages make.
  const std::array<kelpa::Bytes, 1> logs{file};
  if (const auto once = replay_and_walk(logs)) {
    const std::vector<kelpa::DirtyPage> no_pages;
    if (!same_image(*once, expected_image(log ? log->dirty_pages : no_pages)))
      kelpa::fuzz::broken("replay made another image than the parsed pages");
  }
  return 0;
}
