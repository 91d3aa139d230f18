#include "log_entries.hpp"

#include <algorithm>

#include "error.hpp"
#include "hive.hpp"
#include "marvin32.hpp"

namespace kelpa {

namespace {

std::string entry_text(std::uint64_t index, const std::string& what) { return "entry " + decimal(index) + " " + what; }

}  // namespace

EntryRun apply_log_entries(Bytes file, std::uint32_t first_sequence, std::vector<std::uint8_t>& image,
                           std::uint64_t max_image) {
  EntryRun run;
  std::uint32_t expected = first_sequence;
  auto refuse = [&](std::string what, bool damaged) {
    run.stop = entry_text(run.entries, what);
    run.damaged = damaged;
    return run;
  };
  const std::uint64_t length = file.size();
  for (std::uint64_t at = log_entry::FIRST_ENTRY; at < length;) {
    if (!has_four_byte_signature(file, at + log_entry::SIGNATURE, "HvLE")) return run;  // the end of the entries
    const Bytes rest = file.subspan(static_cast<std::size_t>(at));
    const std::uint32_t size = load_u32(rest, log_entry::SIZE);
    if (size < log_entry::MIN_SIZE || size % log_entry::SIZE_ALIGNMENT != 0 || size > rest.size())
      return refuse("has a bad size", true);
    const Bytes entry = rest.first(size);
    const std::uint32_t bins_size = load_u32(entry, log_entry::HIVE_BINS_DATA_SIZE);
    if (bins_size == 0 || bins_size % HIVE_MIN_SIZE != 0 || bins_size > max_image - HIVE_MIN_SIZE)
      return refuse("has a bad hive bins data size", true);
    const std::uint32_t count = load_u32(entry, log_entry::PAGE_COUNT);
    if (count == 0) return refuse("has no pages", true);
    const std::uint64_t data_at = log_entry::PAGE_REFERENCES + std::uint64_t{count} * log_entry::PAGE_REFERENCE_SIZE;
    if (data_at > size) return refuse("has pages outside it", true);
    std::uint64_t data_size = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::size_t ref = static_cast<std::size_t>(log_entry::PAGE_REFERENCES + i * log_entry::PAGE_REFERENCE_SIZE);
      const std::uint64_t end = HIVE_MIN_SIZE + std::uint64_t{load_u32(entry, ref)} + load_u32(entry, ref + 4);
      data_size += load_u32(entry, ref + 4);
      if (data_size > size - data_at) return refuse("has pages outside it", true);
      if (end > max_image) return refuse("writes past " + decimal(max_image >> 20) + " MiB", true);
    }
    // An entry of another sequence is where the log ends (Windows reuses log files, so older
    // entries follow the current ones): it is not hashed.
    const std::uint32_t sequence = load_u32(entry, log_entry::SEQUENCE);
    if (sequence != expected)
      return refuse("has sequence " + decimal(sequence) + ", expected " + decimal(expected), false);
    if (marvin32(entry.first(log_entry::HEADER_HASH), LOG_ENTRY_SEED) != load_u64(entry, log_entry::HEADER_HASH) ||
        marvin32(entry.subspan(log_entry::PAGE_REFERENCES), LOG_ENTRY_SEED) != load_u64(entry, log_entry::DATA_HASH))
      return refuse("has a bad hash", true);

    std::size_t data = static_cast<std::size_t>(data_at);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t ref = log_entry::PAGE_REFERENCES + i * log_entry::PAGE_REFERENCE_SIZE;
      const std::size_t target = HIVE_MIN_SIZE + std::size_t{load_u32(entry, ref)};
      const std::uint32_t page_size = load_u32(entry, ref + 4);
      if (target + page_size > image.size()) image.resize(target + page_size);  // zero-filled, within max_image
      std::copy_n(entry.begin() + static_cast<std::ptrdiff_t>(data), page_size,
                  image.begin() + static_cast<std::ptrdiff_t>(target));
      data += page_size;
    }
    ++run.entries;
    run.pages += count;
    run.last_sequence = sequence;
    run.hive_bins_data_size = bins_size;
    run.flags = load_u32(entry, log_entry::FLAGS);
    ++expected;  // wraps at 2^32
    at += size;
  }
  return run;
}

}  // namespace kelpa
