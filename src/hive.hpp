#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cell.hpp"
#include "error.hpp"
#include "key.hpp"
#include "key_cache.hpp"
#include "le.hpp"
#include "log_report.hpp"
#include "hive_data.hpp"
#include "problems.hpp"

namespace kelpa {

// Minimum image length: one base block. Also the image position where the hive bins data starts,
// so cell offset 0 is image position 4096.
inline constexpr std::size_t HIVE_MIN_SIZE = 4096;

namespace base_block {  // base block fields, file offsets
inline constexpr std::size_t SIGNATURE = 0, PRIMARY_SEQUENCE = 4, SECONDARY_SEQUENCE = 8, LAST_WRITTEN = 12,
                             MAJOR_VERSION = 20, MINOR_VERSION = 24, FILE_TYPE = 28, FILE_FORMAT = 32,
                             ROOT_CELL_OFFSET = 36, HIVE_BINS_DATA_SIZE = 40, CLUSTERING_FACTOR = 44,
                             FILE_NAME = 48, FILE_NAME_SIZE = 64, FLAGS = 144, CHECKSUM = 508, SIZE = 512;
}

// XOR of the 127 little-endian u32 words at offsets 0..504 of a base block of at least 512 bytes.
[[nodiscard]] std::uint32_t base_block_checksum(Bytes base_block) noexcept;
// The form Windows stores: the XOR, except that 0 is stored as 1 and 0xFFFFFFFF as 0xFFFFFFFE.
[[nodiscard]] constexpr std::uint32_t windows_checksum(std::uint32_t xor_sum) noexcept {
  return xor_sum == 0 ? 1 : xor_sum == 0xFFFFFFFF ? 0xFFFFFFFE : xor_sum;
}
// True when `stored` is the XOR of the base block or Windows' form of it.
[[nodiscard]] constexpr bool checksum_matches(std::uint32_t stored, std::uint32_t xor_sum) noexcept {
  return stored == xor_sum || stored == windows_checksum(xor_sum);
}
// Stores Windows' form of base_block_checksum of `image` little-endian at offset 508; `image`
// holds at least 512 bytes.
void store_base_block_checksum(std::span<std::uint8_t> image) noexcept;

struct BaseBlock {
  std::array<std::uint8_t, 4> signature{};
  std::uint32_t primary_sequence = 0;
  std::uint32_t secondary_sequence = 0;
  std::uint64_t last_written = 0;
  std::uint32_t major_version = 0;
  std::uint32_t minor_version = 0;
  std::uint32_t file_type = 0;
  std::uint32_t file_format = 0;
  std::uint32_t root_cell_offset = 0;
  std::uint32_t hive_bins_data_size = 0;
  std::uint32_t clustering_factor = 0;
  std::string file_name;
  std::uint32_t checksum = 0;

  // The two sequence numbers differ: changes were not yet all written to the hive file.
  [[nodiscard]] bool is_dirty() const noexcept { return primary_sequence != secondary_sequence; }
};

// One bin header, as read by the bin walk.
struct HbinHeader {
  std::array<std::uint8_t, 4> signature{};
  std::uint32_t offset = 0;  // relative to the start of the hive bins data
  std::uint32_t size = 0;
  std::uint64_t reserved = 0;
  std::uint64_t timestamp = 0;
  std::uint32_t spare = 0;
};

// What one call may read out of an image, as a multiple of the image length. Records of a sound
// hive are distinct cells, so no call reads more than the image holds; a damaged or hostile one
// can list the same cells (or overlapping ones) again and again, and this bound keeps every
// result proportional to the file.
inline constexpr std::uint64_t READ_LIMIT_FACTOR = 4;

// A record names no list or data cell with an offset of 0 or 0xFFFFFFFF.
[[nodiscard]] inline bool is_null_offset(std::uint32_t offset) noexcept { return offset == 0 || offset == 0xFFFFFFFF; }

class Hive;
struct RegistryValue;
struct ValueListing;

// A key as returned by Hive::get_key: the node is the key cache's entry itself (no copy), or,
// for a node the cache did not take, a record owned with the key. Refers to its hive without
// owning it and must not outlive it.
struct RegistryKey {
  const Hive* hive;
  std::uint32_t offset;
  const KeyRecord* view;
  std::shared_ptr<const std::byte[]> owned;  // set only when `view` is not the cache's: its storage

  [[nodiscard]] const KeyRecord& node() const noexcept { return *view; }
  // A key whose node is not the cache's: the record owns it.
  [[nodiscard]] static RegistryKey owning(const Hive* hive, std::uint32_t offset, const KeyNode& node);

  // Appends the key node offsets under the subkey list at `list_offset` (0 and 0xFFFFFFFF: no
  // list) in depth-first, left-to-right order; nothing is checked, sorted or deduplicated. On an
  // error `out` may hold a partial walk, which the caller discards.
  [[nodiscard]] Result<void> collect_subkey_offsets(std::uint32_t list_offset, std::vector<std::uint32_t>& out) const;

  // The subkeys named by the key's subkey list (none when subkey_count is 0), in list order,
  // each read through the key cache. Fails when the keys' names add up to more than the read
  // limit allows (a list that names the same or overlapping key nodes over and over).
  [[nodiscard]] Result<std::vector<RegistryKey>> subkeys() const;
  // The same into `subkeys`, which is cleared first and keeps its capacity. On failure `subkeys`
  // holds no usable result.
  [[nodiscard]] Result<void> subkeys(std::vector<RegistryKey>& subkeys) const;
  // subkeys() without the vector: each subkey goes to `visit` in list order, with the same checks
  // and the same errors. On an error `visit` may have seen some subkeys, which the caller discards.
  [[nodiscard]] Result<void> visit_subkeys(const std::function<void(RegistryKey&&)>& visit) const;
  // The same with `offsets` (emptied by the caller) as the buffer for the list's offsets.
  [[nodiscard]] Result<void> visit_subkeys(const std::function<void(RegistryKey&&)>& visit,
                                           std::vector<std::uint32_t>& offsets) const;

  // The key's values in value list order (see hive_values.cpp for the checks).
  [[nodiscard]] Result<std::vector<RegistryValue>> values() const;

  // values() with each value's data read, names and data in one buffer. A value whose data cannot
  // be read is listed with empty data; so is every value once this call has read more data than
  // the read limit allows.
  [[nodiscard]] Result<ValueListing> values_with_data() const;
  // The same into `listing`, which is cleared first and keeps its capacity, so that a caller
  // listing key after key reuses one set of buffers. On failure `listing` holds no usable result.
  // With `in_image`, data that lies in the image as one run of bytes (a data cell) is not copied:
  // its entry points into the image (see ValueListing::data_of); only inline data and big data in
  // segments are copied. The read limit counts those bytes all the same.
  [[nodiscard]] Result<void> values_with_data(ValueListing& listing, bool in_image = false) const;

  // The class name: class_name_length bytes of UTF-16LE text at the start of the cell at
  // class_name_offset; nullopt when the offset is 0 or 0xFFFFFFFF or the length 0. The cell's
  // errors, TruncatedData for a cell shorter than the length and InvalidUtf16 are returned.
  [[nodiscard]] Result<std::optional<std::string>> class_name() const;
  // The security descriptor of the "sk" record at security_offset, as stored (a view into the
  // image); nullopt when the offset is 0 or 0xFFFFFFFF. The cell's and the record's errors are
  // returned (see security_key.hpp).
  [[nodiscard]] Result<std::optional<Bytes>> security_descriptor() const;
  // Whether the key node's cell is free (positive size): the key was deleted. Only the sign is
  // read; a key found in the space after the last bin may sit in a cell that still reads as
  // allocated.
  [[nodiscard]] bool is_deleted() const noexcept;
};

// One listed value. Refers to its hive without owning it and must not outlive it.
struct RegistryValue {
  std::string name;  // "(default)" for a stored name length of 0
  ValueType value_type = ValueType::from_raw(0);
  std::uint32_t data_size = 0;  // top (inline) bit cleared
  std::uint32_t data_offset = 0;
  std::uint16_t name_length = 0;
  std::uint16_t flags = 0;
  std::uint32_t offset = 0;  // the value key's cell offset
  const Hive* hive = nullptr;

  // The value's data bytes: inline, one data cell, or big data (see hive_values.cpp).
  [[nodiscard]] Result<std::vector<std::uint8_t>> raw_data() const;
  // The same bytes appended to `out`; on failure `out` is left as it was.
  [[nodiscard]] Result<void> append_data(std::vector<std::uint8_t>& out) const;
  // The same bytes where the image holds them as one run (a data cell, or a big value an old hive
  // keeps in one cell), as a view into it; nullopt for data that is not one run of the image
  // (inline data, big data in segments). The errors are append_data's.
  [[nodiscard]] Result<std::optional<Bytes>> data_in_image() const;
};

namespace vk {  // value key payload
inline constexpr std::size_t SIGNATURE = 0, NAME_LENGTH = 2, DATA_SIZE = 4, DATA_OFFSET = 8, DATA_TYPE = 12,
                             FLAGS = 16, FIXED_SIZE = 20;
inline constexpr std::uint16_t COMPRESSED_NAME = 0x0001;
inline constexpr std::uint32_t INLINE_DATA = 0x80000000;
}  // namespace vk

// Parses the value key ("vk") payload of the cell at `entry` into `value` (every field but the
// name; `value.offset` set to `entry` and `value.hive` to `hive`) and appends the decoded name to `name`. Checks, in order: the
// 20-byte fixed part (TruncatedData), "vk" (InvalidFormat), the name inside the payload
// (TruncatedData) and its decoding (InvalidUtf16, met as a problem of `problems`).
[[nodiscard]] Result<void> parse_value_key(const Hive& hive, Bytes payload, std::uint32_t entry, RegistryValue& value,
                                           std::string& name, const ProblemLog& problems);

// A key's values with their data. The names (UTF-8) of all entries share one buffer and their
// data another, so a listing costs a few allocations however many values it holds.
struct ValueListing {
  struct Entry {
    ValueType value_type;
    std::size_t name_at, name_size;
    std::size_t data_at, data_size;
    bool unnamed;  // the stored name length is 0: the key's default value, listed as "(default)"
    std::uint32_t cell_offset;  // the value key's
    // The key node whose value list lists the value: the listed key, or for a deleted value the
    // deleted key the scan matched it with (none when it matched none).
    std::optional<std::uint32_t> key_offset;
    bool in_image = false;  // data_at is a position in `image`, not in `data`
  };
  std::vector<Entry> entries;
  std::string names;
  std::vector<std::uint8_t> data;
  Bytes image;  // the hive's image, for entries whose data is not copied

  [[nodiscard]] std::string_view name(const Entry& e) const noexcept {
    return std::string_view(names).substr(e.name_at, e.name_size);
  }
  [[nodiscard]] Bytes data_of(const Entry& e) const noexcept {
    return (e.in_image ? image : Bytes(data)).subspan(e.data_at, e.data_size);
  }
};

// One opened hive: the image, its parsed base block and the key cache. Never copied; shared by
// reference counting. Apart from the key cache it is immutable.
class Hive {
 public:
  // Checks, in order: length (HiveTooSmall), "regf" (InvalidSignature), checksum
  // (ChecksumMismatch), version 1.3-1.6 (UnsupportedVersion). Only the base block is looked at:
  // neither the root cell offset nor the bins data size is compared with the image length. On
  // failure `data` is released before the error is returned.
  //
  // A tolerant hive (ReadMode::Tolerant) is still refused for the length, the signature and a major
  // version other than 1; a wrong checksum and a minor version outside 3-6 become its first
  // problems (offset none) instead, and every later read goes on past what it cannot read. A bins
  // data size past the end of the image is read as it is in both modes; a tolerant hive notes it
  // (InvalidFormat, at the cell offset of the image's end).
  [[nodiscard]] static Result<std::shared_ptr<Hive>> from_data(HiveData data, ReadMode mode = ReadMode::Strict);

  // Opens (read-only, close-on-exec), checks the size (HiveTooSmall below 4096, nothing mapped),
  // maps the whole file shared and read-only, closes the descriptor and calls from_data. Io for
  // every system failure (naming the path; a directory is EISDIR's), and for a path holding a NUL
  // character before any system call. The
  // path's bytes go to the system as they are (no encoding is assumed).
  [[nodiscard]] static Result<std::shared_ptr<Hive>> open_file(std::string_view path, ReadMode mode = ReadMode::Strict);

  [[nodiscard]] Bytes bytes() const noexcept { return image_; }
  [[nodiscard]] const BaseBlock& base_block() const noexcept { return base_block_; }
  // Where the readers hand what they cannot read: fails them (strict) or writes it down (tolerant).
  [[nodiscard]] const ProblemLog& problems() const noexcept { return problems_; }
  // What one call may read out of the image: READ_LIMIT_FACTOR times its length.
  [[nodiscard]] std::uint64_t read_limit() const noexcept { return READ_LIMIT_FACTOR * bytes().size(); }
  // How many 4-byte list elements the image can hold: the bound for counts taken from the file.
  [[nodiscard]] std::size_t max_list_elements() const noexcept { return bytes().size() / 4; }

  // The payload of the cell at a cell offset. Checks, in order: offset + 4096 fits 32 bits and
  // lies inside the image (InvalidOffset), room for the size field (TruncatedData), size magnitude
  // at least 4 (InvalidCellSize), whole cell inside the image (TruncatedData). Does not check the
  // sign (free cells read like allocated ones), alignment, bin boundaries or any signature.
  [[nodiscard]] Result<Bytes> read_cell(std::uint32_t offset) const;

  // The key node at a cell offset, parsed once and then handed out from the key cache. A failed
  // read leaves no cache entry. Safe to call from several threads at once.
  [[nodiscard]] Result<RegistryKey> get_key(std::uint32_t offset) const;

  // The bin headers from image position 4096 to the end of the image.
  [[nodiscard]] Result<std::vector<HbinHeader>> hbins() const;

  // Records left in unallocated space, in image order (deleted_scan.hpp says where the scan looks,
  // deleted_scan.cpp what counts): the key nodes, and the value keys with whatever data can still be
  // read, each with the deleted key whose value list still lists it where the scan finds one (see
  // deleted_scan.cpp). Neither fails: space that does not hold a plausible record is passed over.
  [[nodiscard]] std::vector<RegistryKey> deleted_keys() const;
  [[nodiscard]] ValueListing deleted_values() const;

  // Writes a copy of the image, with a freshly computed base block checksum, to `path`.
  [[nodiscard]] Result<void> save(std::string_view path) const;

  // What replaying each given log did (empty for a hive opened without logs). Set once by the
  // replay, before the hive is shared.
  [[nodiscard]] const std::vector<LogReplay>& log_replay() const noexcept { return log_replay_; }
  void set_log_replay(std::vector<LogReplay> reports) noexcept { log_replay_ = std::move(reports); }

  Hive(HiveData data, BaseBlock base_block, ReadMode mode) noexcept
      : data_(std::move(data)),
        image_(data_.bytes()),
        base_block_(std::move(base_block)),
        key_cache_(image_.size()),
        problems_(mode) {}
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

 private:
  HiveData data_;
  Bytes image_;  // data_'s bytes, which never move while the hive lives: read on every cell access
  BaseBlock base_block_;
  mutable KeyCache key_cache_;
  ProblemLog problems_;
  std::vector<LogReplay> log_replay_;
};

}  // namespace kelpa
