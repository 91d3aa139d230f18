#include "log_replay.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "log_entries.hpp"
#include "log_sectors.hpp"
#include "posix_file.hpp"

namespace kelpa {

namespace {

namespace file_type {  // base block field `file_type`
inline constexpr std::uint32_t PRIMARY = 0, OLD_LOG1 = 1, OLD_LOG2 = 2, NEW_LOG = 6;
}
inline constexpr std::uint32_t KTM_LOCKED = 1;  // bit 0 of the base block flags
inline constexpr std::size_t FIRST_BIN_TIMESTAMP = HIVE_MIN_SIZE + 20;

enum class Layout { New, Old };

// The base block fields that recovery looks at.
struct Header {
  std::uint32_t primary = 0, secondary = 0;
  std::uint64_t timestamp = 0;
  std::uint32_t file_type = 0, hive_bins_data_size = 0;
};

Header read_header(Bytes block) {
  return {load_u32(block, base_block::PRIMARY_SEQUENCE), load_u32(block, base_block::SECONDARY_SEQUENCE),
          load_u64(block, base_block::LAST_WRITTEN), load_u32(block, base_block::FILE_TYPE),
          load_u32(block, base_block::HIVE_BINS_DATA_SIZE)};
}

// Why a base block (at least 512 bytes, "regf") cannot be trusted, or "" when it can. Sequence
// numbers and file type are the caller's to check.
std::string base_block_problem(Bytes block, std::uint64_t max_image) {
  if (!checksum_matches(load_u32(block, base_block::CHECKSUM), base_block_checksum(block)))
    return "base block checksum is wrong";
  const std::uint32_t major = load_u32(block, base_block::MAJOR_VERSION);
  const std::uint32_t minor = load_u32(block, base_block::MINOR_VERSION);
  if (major != 1 || minor < 1 || minor > 6) return "unsupported version " + decimal(major) + "." + decimal(minor);
  if (load_u32(block, base_block::FILE_FORMAT) != 1 || load_u32(block, base_block::CLUSTERING_FACTOR) != 1)
    return "unsupported base block format";
  const std::uint32_t bins = load_u32(block, base_block::HIVE_BINS_DATA_SIZE);
  if (bins == 0 || bins % HIVE_MIN_SIZE != 0 || bins > max_image - HIVE_MIN_SIZE) return "bad hive bins data size";
  return "";
}

bool hive_base_block_usable(Bytes image, std::uint64_t max_image) {
  return image.size() >= base_block::SIZE && has_four_byte_signature(image, 0, "regf") &&
         base_block_problem(image, max_image).empty();
}

// Serial-number order: `a` is later than `b` when it is ahead by at most 0x7FFFFFFF.
bool later(std::uint32_t a, std::uint32_t b) { return a != b && static_cast<std::uint32_t>(a - b) <= 0x7FFFFFFF; }

void put_u32(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) image[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A usable Windows log.
struct Candidate {
  std::size_t index;  // in the report
  Layout layout;
  Bytes file;
  Header header;
  SectorLog sectors;  // old format only
};

// The log base block replaces an unusable hive base block: its 512 bytes, the rest of the first
// 4096 zero.
void replace_base_block(std::vector<std::uint8_t>& image, Bytes log) {
  if (image.size() < HIVE_MIN_SIZE) image.resize(HIVE_MIN_SIZE);
  std::copy_n(log.begin(), base_block::SIZE, image.begin());
  std::fill(image.begin() + base_block::SIZE, image.begin() + HIVE_MIN_SIZE, std::uint8_t{0});
}

// The base block after the last applied entry or sector.
void finish_base_block(std::vector<std::uint8_t>& image, std::uint32_t sequence, std::uint32_t bins_size) {
  put_u32(image, base_block::PRIMARY_SEQUENCE, sequence);
  put_u32(image, base_block::SECONDARY_SEQUENCE, sequence);
  put_u32(image, base_block::HIVE_BINS_DATA_SIZE, bins_size);
  put_u32(image, base_block::FILE_TYPE, file_type::PRIMARY);
  store_base_block_checksum(image);
}

// Of the candidates, the later one (by `is_later`, the first given on a tie); the others are told why not.
template <class IsLater>
Candidate pick_later(std::vector<Candidate>& candidates, std::vector<LogReplay>& reports, IsLater is_later) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < candidates.size(); ++i)
    if (is_later(candidates[i].header, candidates[best].header)) best = i;
  for (std::size_t i = 0; i < candidates.size(); ++i)
    if (i != best) reports[candidates[i].index].reason = "the other log is newer";
  return candidates[best];
}

void recover_old(std::vector<std::uint8_t>& image, std::vector<Candidate> candidates, bool usable,
                 std::vector<LogReplay>& reports) {
  const std::uint64_t hive_time = usable ? load_u64(image, base_block::LAST_WRITTEN) : load_u64(image, FIRST_BIN_TIMESTAMP);
  std::erase_if(candidates, [&](const Candidate& c) {
    if (c.header.timestamp >= hive_time) return false;
    reports[c.index].reason = "the log is older than the hive";
    return true;
  });
  if (candidates.empty()) return;
  const Candidate chosen =
      pick_later(candidates, reports, [](const Header& a, const Header& b) { return a.timestamp > b.timestamp; });
  if (!usable) replace_base_block(image, chosen.file);
  LogReplay& report = reports[chosen.index];
  report.pages = apply_sectors(chosen.sectors, chosen.file, image);
  report.applied = true;
  report.entries = 1;
  report.sequence = chosen.header.primary;
  finish_base_block(image, chosen.header.primary, chosen.header.hive_bins_data_size);
}

void recover_new(std::vector<std::uint8_t>& image, std::vector<Candidate> candidates, bool usable,
                 std::vector<LogReplay>& reports, std::uint64_t max_image) {
  std::optional<std::vector<std::uint8_t>> saved;
  if (!usable) {
    const Candidate chosen =
        pick_later(candidates, reports, [](const Header& a, const Header& b) { return later(a.primary, b.primary); });
    candidates = {chosen};
    saved = image;  // put back if no entry applies after all
    replace_base_block(image, chosen.file);
  }
  const std::uint32_t hive_secondary = load_u32(image, base_block::SECONDARY_SEQUENCE);
  std::erase_if(candidates, [&](const Candidate& c) {
    if (!later(hive_secondary, c.header.primary)) return false;
    reports[c.index].reason = "the log is older than the hive";
    return true;
  });
  if (candidates.size() == 2 && later(candidates[0].header.primary, candidates[1].header.primary))
    std::swap(candidates[0], candidates[1]);

  std::optional<std::uint32_t> last;
  std::uint32_t bins_size = 0, flags = 0;
  for (const Candidate& c : candidates) {
    LogReplay& report = reports[c.index];
    if (last && c.header.primary != static_cast<std::uint32_t>(*last + 1)) {
      report.reason = "sequence " + decimal(c.header.primary) + " does not follow " + decimal(*last);
      continue;
    }
    const EntryRun run = apply_log_entries(c.file, c.header.primary, image, max_image);
    report.entries = run.entries;
    report.pages = run.pages;
    if (run.entries == 0) {
      report.reason = run.stop.empty() ? "no log entries" : run.stop;
      continue;
    }
    report.applied = true;
    report.sequence = run.last_sequence;
    if (run.damaged) report.reason = run.stop;
    last = run.last_sequence;
    bins_size = run.hive_bins_data_size;
    flags = run.flags;
  }
  if (!last) {
    if (saved) image = std::move(*saved);
    return;
  }
  const std::uint32_t hive_flags = load_u32(image, base_block::FLAGS);
  put_u32(image, base_block::FLAGS, (hive_flags & ~KTM_LOCKED) | (flags & KTM_LOCKED));
  finish_base_block(image, *last, bins_size);
}

// Classifies one readable log: a usable Windows log becomes a candidate; anything else gets its
// layout and reason in the report.
void classify(Bytes file, std::size_t index, LogReplay& report, std::vector<LoadedBlockLog>& blocks,
              std::vector<std::size_t>& block_index, std::vector<Candidate>& windows, std::uint64_t max_image) {
  if (has_four_byte_signature(file, 0, "HvLE")) {
    report.layout = "blocks";
    auto scanned = scan_blocks(file);
    if (!scanned) {
      report.reason = scanned.error().message();
    } else if (scanned->pages.empty()) {
      report.reason = "no dirty pages";
    } else {
      blocks.push_back({file, std::move(*scanned)});
      block_index.push_back(index);
    }
    return;
  }
  if (file.size() < base_block::SIZE || !has_four_byte_signature(file, 0, "regf")) {
    report.reason = file.empty() ? "the file is empty" : "not a transaction log";
    return;
  }
  const Header header = read_header(file);
  Layout layout;
  if (header.file_type == file_type::NEW_LOG) {
    layout = Layout::New;
    report.layout = "new";
  } else if (header.file_type == file_type::OLD_LOG1 || header.file_type == file_type::OLD_LOG2) {
    layout = Layout::Old;
    report.layout = "old";
  } else {
    report.reason = "unknown log file type " + decimal(header.file_type);
    return;
  }
  report.reason = base_block_problem(file, max_image);
  if (report.reason.empty() && header.primary != header.secondary) report.reason = "base block sequence numbers differ";
  if (!report.reason.empty()) return;
  Candidate candidate{index, layout, file, header, {}};
  if (layout == Layout::Old) {
    auto sectors = read_sector_log(file, header.hive_bins_data_size);
    if (!sectors) {
      report.reason = std::move(sectors.error());
      return;
    }
    candidate.sectors = *sectors;
  }
  windows.push_back(candidate);
}

void recover(std::vector<std::uint8_t>& image, std::vector<Candidate> windows, std::vector<LogReplay>& reports,
             std::uint64_t max_image) {
  if (windows.empty()) return;
  const bool usable = hive_base_block_usable(image, max_image);
  const Header hive = read_header(image);
  if (usable && hive.primary == hive.secondary) {
    for (const Candidate& c : windows) reports[c.index].reason = "the hive is clean";
    return;
  }
  // Windows writes one format for both logs; should they differ, the new one is used.
  const bool any_new = std::ranges::any_of(windows, [](const Candidate& c) { return c.layout == Layout::New; });
  std::erase_if(windows, [&](const Candidate& c) {
    if (!any_new || c.layout == Layout::New) return false;
    reports[c.index].reason = "the other log is in the new format";
    return true;
  });
  if (any_new) {
    recover_new(image, std::move(windows), usable, reports, max_image);
  } else {
    recover_old(image, std::move(windows), usable, reports);
  }
}

}  // namespace

Result<std::shared_ptr<Hive>> replay_logs(std::vector<std::uint8_t> image, std::span<const LogInput> logs,
                                          std::uint64_t max_image, ReadMode mode) {
  std::vector<LogReplay> reports(logs.size());
  std::vector<LoadedBlockLog> blocks;
  std::vector<std::size_t> block_index;
  std::vector<Candidate> windows;
  for (std::size_t i = 0; i < logs.size(); ++i) {
    reports[i].path = std::string(logs[i].path);
    if (!logs[i].file) {
      reports[i].reason = logs[i].file.error().message();
      continue;
    }
    classify(*logs[i].file, i, reports[i], blocks, block_index, windows, max_image);
  }
  recover(image, std::move(windows), reports, max_image);

  // Ascending sequence; a stable order keeps LOG1 first when both are equal.
  if (blocks.size() == 2 && blocks[1].log.sequence < blocks[0].log.sequence) {
    std::swap(blocks[0], blocks[1]);
    std::swap(block_index[0], block_index[1]);
  }
  auto applied = apply_block_logs(image, blocks);
  if (!applied) return std::unexpected(std::move(applied.error()));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    LogReplay& report = reports[block_index[i]];
    report.applied = true;
    report.entries = blocks[i].log.blocks;
    report.pages = blocks[i].log.pages.size();
    report.sequence = blocks[i].log.sequence;
  }

  auto hive = Hive::from_data(HiveData(std::make_shared<const std::vector<std::uint8_t>>(std::move(image))), mode);
  if (hive) (*hive)->set_log_replay(std::move(reports));
  return hive;
}

Result<std::shared_ptr<Hive>> replay_logs(std::vector<std::uint8_t> image, std::span<const Bytes> log_files) {
  std::vector<LogInput> logs;
  logs.reserve(log_files.size());
  for (const Bytes file : log_files) logs.push_back({"", file});
  return replay_logs(std::move(image), logs);
}

Result<std::shared_ptr<Hive>> open_with_logs(std::string_view hive_path, std::optional<std::string_view> log1_path,
                                             std::optional<std::string_view> log2_path, ReadMode mode) {
  auto image = read_whole_file(hive_path);
  if (!image) return std::unexpected(std::move(image.error()));
  std::vector<std::vector<std::uint8_t>> files;
  std::vector<LogInput> logs;
  files.reserve(2);
  for (const auto& path : {log1_path, log2_path}) {
    if (!path) continue;
    auto file = read_whole_file(*path);
    if (!file) {
      logs.push_back({*path, std::unexpected(std::move(file.error()))});
      continue;
    }
    files.push_back(std::move(*file));
    logs.push_back({*path, Bytes(files.back())});
  }
  return replay_logs(std::move(*image), logs, replay::MAX_IMAGE_SIZE, mode);
}

}  // namespace kelpa
