#include "hive.hpp"

#include <algorithm>

#include "utils.hpp"

namespace kelpa {

namespace db {  // big-data record payload
inline constexpr std::size_t SIGNATURE = 0, SEGMENT_COUNT = 2, SEGMENT_LIST_OFFSET = 4, FIXED_SIZE = 8;
}

// Data sizes above this are stored as big data; it is also the number of data bytes in one full
// segment. Windows writes a full segment as a 16352-byte cell whose payload ends in 4 bytes of
// padding, so a payload of 16345 to 16348 bytes contributes only its first 16344 bytes.
inline constexpr std::uint32_t BIG_DATA_THRESHOLD = 16344;
inline constexpr std::size_t FULL_SEGMENT_PAYLOAD = 16348;

// Hives before minor version 4 have no big-data records: they keep large values in one cell.
inline constexpr std::uint32_t FIRST_MINOR_WITH_BIG_DATA = 4;

namespace {

// Reads the value key at `entry` into `value` and appends its decoded name to `name`: the cell's
// errors, then those of parse_value_key.
Result<void> read_value_key(const Hive& hive, std::uint32_t entry, RegistryValue& value, std::string& name) {
  auto payload = hive.read_cell(entry);
  if (!payload) return std::unexpected(std::move(payload.error()));
  return parse_value_key(hive, *payload, entry, value, name, hive.problems());
}

// Walks the key's value list: no list for a count of 0 or an offset of 0 or 0xFFFFFFFF (the count
// is tested first), then the list cell and its length, then `read(entry)` for each entry in
// order, which returns the stored name length of the value key it read. What cannot be read goes
// to the hive's problem log (problems.hpp): under strict reading the first error ends the walk;
// under tolerant reading an unreadable list gives no values, a list too short for the count gives
// the entries it holds, and an unreadable value key is left out. The stored names adding up to
// more than the read limit ends the walk the same way.
template <class Read>
Result<void> walk_value_list(const RegistryKey& key, Read&& read) {
  const KeyRecord& node = key.node();
  const ProblemLog& problems = key.hive->problems();
  if (node.value_count == 0 || is_null_offset(node.value_list_offset)) return {};
  auto list = key.hive->read_cell(node.value_list_offset);
  if (!list) return problems.meet(node.value_list_offset, std::move(list.error()));
  std::size_t count = node.value_count;
  if (const std::uint64_t needed = std::uint64_t{4} * count; list->size() < needed) {
    if (auto met = problems.meet(node.value_list_offset,
                                 RegistryError::truncated_data(node.value_list_offset, needed, list->size()));
        !met)
      return met;
    count = list->size() / 4;
  }
  const std::uint64_t name_limit = key.hive->read_limit();
  std::uint64_t name_bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t entry = load_u32(*list, 4 * i);
    Result<std::uint16_t> name_length = read(entry);
    if (!name_length) [[unlikely]] {
      if (auto met = problems.meet(entry, std::move(name_length.error())); !met) return met;
      continue;
    }
    if ((name_bytes += *name_length) > name_limit)
      return problems.meet(node.value_list_offset,
                           RegistryError::invalid_format("Value list at offset " + hex_form(node.value_list_offset) +
                                                         " names more value key data than the hive holds"));
  }
  return {};
}

void append_prefix(std::vector<std::uint8_t>& out, Bytes bytes, std::size_t size) {
  const auto n = std::min(size, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

// Makes room for `more` bytes in `out` while keeping its geometric growth.
void reserve_more(std::vector<std::uint8_t>& out, std::size_t more) {
  if (out.capacity() - out.size() < more) out.reserve(std::max(out.size() + more, 2 * out.capacity()));
}

Result<void> append_big_data(const Hive& hive, std::uint32_t size, std::uint32_t off, std::vector<std::uint8_t>& out) {
  auto record = hive.read_cell(off);
  if (!record) return std::unexpected(std::move(record.error()));
  const Bytes r = *record;
  if (hive.base_block().minor_version < FIRST_MINOR_WITH_BIG_DATA && !has_signature(r, 'd', 'b') && r.size() >= size) {
    append_prefix(out, r, size);
    return {};
  }
  if (r.size() < db::FIXED_SIZE) return std::unexpected(RegistryError::truncated_data(off, db::FIXED_SIZE, r.size()));
  if (!has_signature(r, 'd', 'b'))
    return std::unexpected(RegistryError::invalid_format("Expected 'db' signature at offset " + hex_form(off) +
                                                         ", found " + byte_pair_form({r[0], r[1]})));
  const std::uint16_t count = load_u16(r, db::SEGMENT_COUNT);
  const std::uint32_t list_offset = load_u32(r, db::SEGMENT_LIST_OFFSET);
  auto list = hive.read_cell(list_offset);
  if (!list) return std::unexpected(std::move(list.error()));
  const std::uint64_t list_size = std::uint64_t{4} * count;
  if (list->size() < list_size) return std::unexpected(RegistryError::truncated_data(list_offset, list_size, list->size()));

  // The declared size is untrusted: never reserve more than the image could supply.
  const std::size_t image_length = hive.bytes().size();
  reserve_more(out, std::min<std::size_t>(size, image_length));
  const std::size_t start = out.size();
  const std::uint64_t read_limit = hive.read_limit();
  std::uint64_t segment_bytes = 0;
  for (std::size_t i = 0; i < count && out.size() - start < size; ++i) {
    const std::uint32_t segment_offset = load_u32(*list, 4 * i) & 0x7FFFFFFF;
    auto segment = hive.read_cell(segment_offset);
    if (!segment) {
      out.resize(start);
      return std::unexpected(std::move(segment.error()));
    }
    Bytes piece = *segment;
    if (piece.size() > BIG_DATA_THRESHOLD && piece.size() <= FULL_SEGMENT_PAYLOAD) piece = piece.first(BIG_DATA_THRESHOLD);
    // Distinct segments hold at most the image; joining far more means the list repeats cells.
    if ((segment_bytes += piece.size()) > read_limit) {
      out.resize(start);
      return std::unexpected(RegistryError::invalid_format("Big data at offset " + hex_form(off) +
                                                           " joins more segment data than the hive holds"));
    }
    out.insert(out.end(), piece.begin(), piece.end());
  }
  if (out.size() - start > size) out.resize(start + size);
  return {};
}

}  // namespace

Result<void> parse_value_key(const Hive& hive, Bytes p, std::uint32_t entry, RegistryValue& value, std::string& name,
                             const ProblemLog& problems) {
  if (p.size() < vk::FIXED_SIZE) return std::unexpected(RegistryError::truncated_data(entry, vk::FIXED_SIZE, p.size()));
  if (!has_signature(p, 'v', 'k'))
    return std::unexpected(RegistryError::invalid_format("Expected 'vk' signature at offset " + hex_form(entry)));
  value.name_length = load_u16(p, vk::NAME_LENGTH);
  value.data_size = load_u32(p, vk::DATA_SIZE) & ~vk::INLINE_DATA;
  value.data_offset = load_u32(p, vk::DATA_OFFSET);
  value.value_type = ValueType::from_raw(load_u32(p, vk::DATA_TYPE));
  value.flags = load_u16(p, vk::FLAGS);
  value.offset = entry;
  value.hive = &hive;
  if (value.name_length == 0) {
    name.append("(default)");
    return {};
  }
  return append_record_name(p, vk::FIXED_SIZE, value.name_length, value.flags & vk::COMPRESSED_NAME, entry, name,
                            problems);
}

Result<std::vector<RegistryValue>> RegistryKey::values() const {
  std::vector<RegistryValue> values;
  values.reserve(std::min<std::size_t>(node().value_count, hive->max_list_elements()));
  auto walked = walk_value_list(*this, [&](std::uint32_t entry) -> Result<std::uint16_t> {
    RegistryValue value;
    if (auto read = read_value_key(*hive, entry, value, value.name); !read) return std::unexpected(std::move(read.error()));
    values.push_back(std::move(value));
    return values.back().name_length;
  });
  if (!walked) return std::unexpected(std::move(walked.error()));
  return values;
}

Result<ValueListing> RegistryKey::values_with_data() const {
  ValueListing listing;
  if (auto listed = values_with_data(listing); !listed) return std::unexpected(std::move(listed.error()));
  return listing;
}

Result<void> RegistryKey::values_with_data(ValueListing& listing, bool in_image) const {
  listing.entries.clear();
  listing.names.clear();
  listing.data.clear();
  listing.image = in_image ? hive->bytes() : Bytes();
  const std::size_t expected = std::min<std::size_t>(node().value_count, hive->max_list_elements());
  listing.entries.reserve(expected);
  listing.names.reserve(16 * expected);  // most value names and data are short
  if (!in_image) listing.data.reserve(std::min<std::size_t>(64 * expected, hive->bytes().size()));
  const std::uint64_t data_limit = hive->read_limit();
  std::uint64_t listed = 0;  // data bytes listed so far, copied or not
  auto walked = walk_value_list(*this, [&](std::uint32_t entry) -> Result<std::uint16_t> {
    RegistryValue value;
    const std::size_t name_at = listing.names.size();
    if (auto read = read_value_key(*hive, entry, value, listing.names); !read) return std::unexpected(std::move(read.error()));
    ValueListing::Entry& listed_entry = listing.entries.emplace_back(ValueListing::Entry{
        value.value_type, name_at, listing.names.size() - name_at, listing.data.size(), 0, value.name_length == 0, entry,
        this->offset, false});
    // Data that cannot be read, or that would take the listing past its read limit, is left empty.
    // A tolerant hive notes why; under strict reading the error is dropped (meet hands it back).
    if (listed >= data_limit) return value.name_length;
    if (in_image) {
      auto run = value.data_in_image();
      if (!run) [[unlikely]] {
        (void)hive->problems().meet(value.data_offset, std::move(run.error()));
        return value.name_length;
      }
      if (*run && !(*run)->empty()) {
        if (listed + (*run)->size() <= data_limit) {
          listed += (*run)->size();
          listed_entry.data_at = static_cast<std::size_t>((*run)->data() - listing.image.data());
          listed_entry.data_size = (*run)->size();
          listed_entry.in_image = true;
        }
        return value.name_length;
      }
    }
    const std::size_t data_at = listing.data.size();
    if (auto appended = value.append_data(listing.data); !appended) [[unlikely]]
      (void)hive->problems().meet(value.data_offset, std::move(appended.error()));
    else if (listed + (listing.data.size() - data_at) > data_limit)
      listing.data.resize(data_at);
    listed += listing.data.size() - data_at;
    listed_entry.data_size = listing.data.size() - data_at;
    return value.name_length;
  });
  if (!walked) return std::unexpected(std::move(walked.error()));
  return {};
}

Result<std::optional<Bytes>> RegistryValue::data_in_image() const {
  const std::uint32_t size = data_size, off = data_offset;
  if (size >= 1 && size <= 4) return std::nullopt;
  if (is_null_offset(off) || size == 0) return Bytes();
  auto cell = hive->read_cell(off);
  if (!cell) return std::unexpected(std::move(cell.error()));
  if (size <= BIG_DATA_THRESHOLD) return cell->first(std::min<std::size_t>(size, cell->size()));
  // As append_big_data reads an old hive's big value kept in one cell.
  if (hive->base_block().minor_version < FIRST_MINOR_WITH_BIG_DATA && !has_signature(*cell, 'd', 'b') && cell->size() >= size)
    return cell->first(size);
  return std::nullopt;
}

Result<void> RegistryValue::append_data(std::vector<std::uint8_t>& out) const {
  const std::uint32_t size = data_size, off = data_offset;
  if (size >= 1 && size <= 4) {
    for (std::size_t i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(off >> (8 * i)));
    return {};
  }
  if (is_null_offset(off) || size == 0) return {};
  if (size <= BIG_DATA_THRESHOLD) {
    auto cell = hive->read_cell(off);
    if (!cell) return std::unexpected(std::move(cell.error()));
    append_prefix(out, *cell, size);
    return {};
  }
  return append_big_data(*hive, size, off, out);
}

Result<std::vector<std::uint8_t>> RegistryValue::raw_data() const {
  std::vector<std::uint8_t> data;
  if (auto appended = append_data(data); !appended) return std::unexpected(std::move(appended.error()));
  return data;
}

}  // namespace kelpa
