#include "hive.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "utils.hpp"

namespace kelpa {

namespace {

constexpr std::uint32_t SUPPORTED_MAJOR = 1;
constexpr std::uint32_t MIN_MINOR = 3, MAX_MINOR = 6;

}  // namespace

std::uint32_t base_block_checksum(Bytes base_block) noexcept {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < base_block::CHECKSUM; at += 4) sum ^= load_u32(base_block, at);
  return sum;
}

void store_base_block_checksum(std::span<std::uint8_t> image) noexcept {
  const std::uint32_t sum = windows_checksum(base_block_checksum(image));
  for (std::size_t i = 0; i < 4; ++i) image[base_block::CHECKSUM + i] = static_cast<std::uint8_t>(sum >> (8 * i));
}

Bytes HiveData::bytes() const noexcept {
  if (auto* mapping = std::get_if<Mapping>(&storage_)) return mapping->bytes();
  if (auto* borrowed = std::get_if<Borrowed>(&storage_)) return borrowed->bytes;
  const auto& buffer = std::get<Buffer>(storage_);
  return buffer ? Bytes(*buffer) : Bytes();
}

Result<std::shared_ptr<Hive>> Hive::from_data(HiveData data, ReadMode mode) {
  const Bytes image = data.bytes();
  if (image.size() < HIVE_MIN_SIZE) return std::unexpected(RegistryError::hive_too_small(image.size(), HIVE_MIN_SIZE));
  if (!has_four_byte_signature(image, base_block::SIGNATURE, "regf"))
    return std::unexpected(RegistryError::invalid_signature("regf", four_bytes_text(image)));

  BaseBlock bb;
  std::copy_n(image.begin(), 4, bb.signature.begin());
  bb.primary_sequence = load_u32(image, base_block::PRIMARY_SEQUENCE);
  bb.secondary_sequence = load_u32(image, base_block::SECONDARY_SEQUENCE);
  bb.last_written = load_u64(image, base_block::LAST_WRITTEN);
  bb.major_version = load_u32(image, base_block::MAJOR_VERSION);
  bb.minor_version = load_u32(image, base_block::MINOR_VERSION);
  bb.file_type = load_u32(image, base_block::FILE_TYPE);
  bb.file_format = load_u32(image, base_block::FILE_FORMAT);
  bb.root_cell_offset = load_u32(image, base_block::ROOT_CELL_OFFSET);
  bb.hive_bins_data_size = load_u32(image, base_block::HIVE_BINS_DATA_SIZE);
  bb.clustering_factor = load_u32(image, base_block::CLUSTERING_FACTOR);
  bb.file_name = read_fixed_ascii(image.subspan(base_block::FILE_NAME, base_block::FILE_NAME_SIZE));
  bb.checksum = load_u32(image, base_block::CHECKSUM);

  // The hive is built before the checksum and version are judged, so that its problem log decides
  // (problems.hpp): strict reading fails with the first of them, tolerant reading notes them and
  // opens all the same, except for a major version whose layout it cannot know.
  const std::uint32_t calculated = base_block_checksum(image);
  const bool checksum_ok = checksum_matches(bb.checksum, calculated);
  const std::uint32_t major = bb.major_version, minor = bb.minor_version;
  auto hive = std::make_shared<Hive>(std::move(data), std::move(bb), mode);
  if (!checksum_ok)
    if (auto met = hive->problems().meet(std::nullopt, RegistryError::checksum_mismatch(hive->base_block().checksum, calculated)); !met)
      return std::unexpected(std::move(met.error()));
  if (major != SUPPORTED_MAJOR) return std::unexpected(RegistryError::unsupported_version(major, minor));
  if (minor < MIN_MINOR || minor > MAX_MINOR)
    if (auto met = hive->problems().meet(std::nullopt, RegistryError::unsupported_version(major, minor)); !met)
      return std::unexpected(std::move(met.error()));
  // A file cut short (or a size field gone wrong): read as far as it goes in both modes, noted by a
  // tolerant hive at the file's end, as a cell offset (one past the last the file can name).
  const std::uint64_t bins = image.size() - HIVE_MIN_SIZE;
  if (const std::uint32_t stated = hive->base_block().hive_bins_data_size; stated > bins)
    hive->problems().note(static_cast<std::uint32_t>(std::min<std::uint64_t>(bins, UINT32_MAX)),
                          RegistryError::invalid_format("Hive bins data size " + hex_form(stated) +
                                                        " runs past the end of the file: " + hex_form(bins) +
                                                        " bytes of bins"));
  return hive;
}

Result<std::shared_ptr<Hive>> Hive::open_file(std::string_view path, ReadMode mode) {
  auto fd = open_for_reading(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return std::unexpected(RegistryError::io_errno(errno).with_path(path));
  const auto size = static_cast<std::uint64_t>(st.st_size < 0 ? 0 : st.st_size);
  if (size < HIVE_MIN_SIZE) return std::unexpected(RegistryError::hive_too_small(size, HIVE_MIN_SIZE));
  auto mapping = Mapping::map(fd->get(), static_cast<std::size_t>(size), static_cast<std::uint64_t>(st.st_dev),
                              static_cast<std::uint64_t>(st.st_ino));
  if (!mapping) return std::unexpected(std::move(mapping.error()).with_path(path));
  fd->reset();  // the mapping stays valid without the descriptor
  return from_data(HiveData(std::move(*mapping)), mode);
}

Result<Bytes> Hive::read_cell(std::uint32_t offset) const {
  const Bytes image = bytes();
  if (offset > UINT32_MAX - HIVE_MIN_SIZE) return std::unexpected(RegistryError::invalid_offset(offset, image.size()));
  const std::size_t position = std::size_t{offset} + HIVE_MIN_SIZE;
  if (position >= image.size()) return std::unexpected(RegistryError::invalid_offset(offset, image.size()));
  const std::size_t left = image.size() - position;
  if (left < 4) return std::unexpected(RegistryError::truncated_data(offset, 4, left));
  const auto size = static_cast<std::int32_t>(load_u32(image, position));
  // The magnitude as an unsigned number: -2147483648 has magnitude 2147483648.
  const std::uint32_t magnitude = size < 0 ? 0u - static_cast<std::uint32_t>(size) : static_cast<std::uint32_t>(size);
  if (magnitude < 4) return std::unexpected(RegistryError::invalid_cell_size(size, offset));
  if (magnitude > left) return std::unexpected(RegistryError::truncated_data(offset, magnitude, left));
  return image.subspan(position + 4, magnitude - 4);
}

}  // namespace kelpa
