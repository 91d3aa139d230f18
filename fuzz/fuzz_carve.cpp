// Fuzz target: the input is a source to carve (a disk image, a memory dump). It is scanned in one
// stretch and in two, placed, and every hive that comes out is built and walked as a tolerant
// hive. Besides the sanitizers, the target checks what the carver promises:
// - the scan finds the same candidates however the source is cut into stretches;
// - every piece lies inside the source and inside its image, and no two blocks of an image
//   overlap;
// - no bin is placed twice: the bins of all hives together are no more than the source;
// - a hive holds at least one bin; a whole hive is the source's bytes as they lie, and every hive
//   with a base block of its own starts with it;
// - each image opens tolerantly (its base block is a plausible one or a made one).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "carve.hpp"
#include "hive_walk.hpp"

namespace {

// Images up to this size are built and walked; larger ones (a fragment whose first bin states a
// high offset) are checked for their layout only.
constexpr std::uint64_t MAX_WALKED_IMAGE = 8u << 20;

bool same_hits(const kelpa::carve::Scan& a, const kelpa::carve::Scan& b) {
  auto bb = [](const kelpa::carve::BaseBlockHit& x, const kelpa::carve::BaseBlockHit& y) {
    return x.position == y.position && x.hive_bins_data_size == y.hive_bins_data_size;
  };
  auto bin = [](const kelpa::carve::BinHit& x, const kelpa::carve::BinHit& y) {
    return x.position == y.position && x.offset == y.offset && x.size == y.size && x.tiles == y.tiles;
  };
  return std::ranges::equal(a.base_blocks(), b.base_blocks(), bb) && std::ranges::equal(a.bins(), b.bins(), bin);
}

void check(kelpa::Bytes source, const kelpa::carve::CarvedHive& hive) {
  struct Block {
    std::uint64_t at, length;
  };
  std::vector<Block> blocks;
  for (const auto& p : hive.pieces) {
    if (p.source_position > source.size() || source.size() - p.source_position < p.length)
      kelpa::fuzz::broken("a piece outside the source");
    blocks.push_back({p.image_position, p.length});
  }
  for (const auto& m : hive.made) blocks.push_back({m.image_position, m.bytes.size()});
  std::ranges::sort(blocks, {}, &Block::at);
  std::uint64_t end = 0;
  for (const Block& b : blocks) {
    if (b.at < end) kelpa::fuzz::broken("two blocks of an image overlap");
    end = b.at + b.length;
  }
  if (end > hive.image_size) kelpa::fuzz::broken("a block past the end of its image");
  if (hive.bins_found == 0 || hive.bytes_found == 0) kelpa::fuzz::broken("a hive without a bin");
  if ((hive.kind == kelpa::carve::Kind::Fragment) == hive.made.empty()) kelpa::fuzz::broken("made blocks unlike the kind");
  if (hive.kind != kelpa::carve::Kind::Fragment &&
      (hive.pieces.front().image_position != 0 || hive.pieces.front().source_position != hive.source_position))
    kelpa::fuzz::broken("a hive that does not start with its base block");
  if (hive.kind == kelpa::carve::Kind::Hive &&
      (hive.pieces.size() != 2 || hive.pieces[1].source_position != hive.source_position + kelpa::HIVE_MIN_SIZE ||
       hive.image_size != kelpa::HIVE_MIN_SIZE + hive.pieces[1].length || hive.bytes_missing != 0))
    kelpa::fuzz::broken("a whole hive that is not the source's bytes as they lie");

  if (hive.image_size > MAX_WALKED_IMAGE) return;
  auto image = std::make_shared<std::vector<std::uint8_t>>(hive.image_size, 0);
  for (const auto& p : hive.pieces)
    std::memcpy(image->data() + p.image_position, source.data() + p.source_position, p.length);
  for (const auto& m : hive.made) std::memcpy(image->data() + m.image_position, m.bytes.data(), m.bytes.size());
  auto opened = kelpa::Hive::from_data(kelpa::HiveData(std::shared_ptr<const std::vector<std::uint8_t>>(std::move(image))),
                                       kelpa::ReadMode::Tolerant);
  if (!opened) kelpa::fuzz::broken("a carved image that does not open tolerantly");
  kelpa::fuzz::walk(**opened);
  kelpa::fuzz::check_problems(**opened);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kelpa::Bytes source(data, size);
  kelpa::carve::Scan whole, cut;
  whole.scan(source, 0, size);
  // A cut at a position taken from the input, so that stretches end inside headers too.
  const std::size_t at = size < 8 ? 0 : kelpa::load_u32(source, size - 4) % size;
  cut.scan(source, 0, at);
  cut.scan(source, at, size);
  if (!same_hits(whole, cut)) kelpa::fuzz::broken("the scan found other candidates when cut in two");

  std::uint64_t bins = 0;
  for (const auto& hive : kelpa::carve::place(source, whole)) {
    check(source, hive);
    bins += hive.bytes_found;
  }
  if (bins > size) kelpa::fuzz::broken("more bins placed than the source holds");
  return 0;
}
