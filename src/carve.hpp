#pragma once

// Hives in a larger source (a disk or partition image, unallocated space, a memory dump): a scan
// for base blocks and bin headers at sector boundaries, and a placement of the bins found at the
// offsets they state, behind the base block they belong to or, where it is gone, behind one made
// for them.
//
// Where things can sit. A hive file's bins lie at 4 KiB multiples from its start, and a file
// system places the file's clusters at sector boundaries (512 bytes: FAT and small NTFS volumes
// have clusters that small), so in a disk image a base block and every bin header starts at a
// multiple of 512 bytes. In memory, bins are mapped page by page, at 4 KiB boundaries, which are
// sector boundaries too. So the scan looks at every 512th byte and nowhere else.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hive.hpp"

namespace kelpa::carve {

inline constexpr std::uint64_t SECTOR_SIZE = 512;
inline constexpr std::uint32_t BIN_ALIGNMENT = 4096;
// Cell offsets with the top bit set name volatile storage, which is never in a file: the bins of
// a stored hive end below 2 GiB.
inline constexpr std::uint64_t MAX_BINS_SIZE = 0x80000000;

namespace bin_header {  // offsets from the start of a bin
inline constexpr std::size_t SIGNATURE = 0, OFFSET = 4, SIZE = 8, TIMESTAMP = 20, HEADER_SIZE = 32;
}

// A plausible base block: "regf", major version 1, a primary hive file (file type 0: logs start
// with "regf" too), a bins data size that is a non-zero multiple of 4096 below MAX_BINS_SIZE, a
// root cell offset inside it, and either a checksum that matches or a minor version of 3 to 6
// (a base block the tolerant reader opens, with the checksum as its problem). The whole 4096-byte
// block lies inside the source.
struct BaseBlockHit {
  std::uint64_t position;
  std::uint32_t hive_bins_data_size;
};

// A plausible bin header: "hbin", an offset and a size that are multiples of 4096, a size of at
// least 4096, offset + size at most MAX_BINS_SIZE, and the whole bin inside the source. `tiles`
// says whether its cells tile it: each size a multiple of 8 of at least 8, the last ending where
// the bin ends. Bins behind a base block are taken either way (a damaged cell does not make the
// bin less the hive's); bins placed from elsewhere, whose only tie to a hive is the offset they
// state, must tile, so that a header alone (in a source of stray or hostile signatures) places
// nothing.
struct BinHit {
  std::uint64_t position;
  std::uint32_t offset;
  std::uint32_t size;
  bool tiles;
};

// The candidates of one source, gathered by one or more calls of scan() over consecutive
// stretches. Holds one small record per candidate and nothing else of the source.
class Scan {
 public:
  // Looks at the positions in [start, end) that are multiples of SECTOR_SIZE, reading headers
  // from `source` (the whole source, so that a header may run past `end`). Positions before the
  // end of an earlier call are skipped, so the records stay in position order. Reads only.
  void scan(Bytes source, std::uint64_t start, std::uint64_t end);

  [[nodiscard]] const std::vector<BaseBlockHit>& base_blocks() const noexcept { return base_blocks_; }
  [[nodiscard]] const std::vector<BinHit>& bins() const noexcept { return bins_; }

 private:
  std::vector<BaseBlockHit> base_blocks_;
  std::vector<BinHit> bins_;
  std::uint64_t scanned_to_ = 0;
};

enum class Kind : std::uint8_t {
  Hive,         // a base block with every bin it counts, contiguous behind it
  Reassembled,  // a base block with bins placed from elsewhere in the source, or some missing
  Fragment,     // a run of bins without its base block, behind one made for it
};

// Bytes of the source copied to a position of the written image.
struct Piece {
  std::uint64_t image_position;
  std::uint64_t source_position;
  std::uint64_t length;
};

// Bytes made by the carver (a fragment's base block, the bin of its made root key, and bins
// holding stand-ins for missing parents).
struct MadeBlock {
  std::uint64_t image_position;
  std::vector<std::uint8_t> bytes;
};

// One hive to write: the image is `image_size` bytes of zeros with the pieces and the made blocks
// written over them (they never overlap). Zeros are what is missing: the tolerant reader meets
// a cell of size 0 there and writes the problem down.
struct CarvedHive {
  Kind kind;
  std::uint64_t source_position;  // of the base block, or of the fragment's first bin
  std::uint64_t image_size;
  std::vector<Piece> pieces;  // in image order
  std::vector<MadeBlock> made;
  std::uint32_t bins_found;
  // Bins found plus the missing stretches counted as bins of 4096 bytes (the fewest they can hold
  // is not known; this is the most), for a fragment the stretch before its first bin.
  std::uint64_t bins_expected;
  std::uint64_t bytes_found;    // of bins
  std::uint64_t bytes_missing;  // of the bins data, as stated (a fragment: before its first bin)
};

// The name of a fragment's made root key.
inline constexpr char FRAGMENT_ROOT_NAME[] = "FRAGMENT";

// Places the bins of `scan` (made over `source`) into hives, in three steps:
// 1. Each base block takes the bins that follow it contiguously, each stating the offset where it
//    lies, up to its bins data size: a hive whose bins are all there is a Hive.
// 2. Where a hive's bins stop short, the runs of bins found elsewhere (bins contiguous in the
//    source with consecutive offsets, each tiled by its cells) that start at that offset are its
//    candidates, ranked by how they fit the missing stretch (exactly, inside it, or only their
//    first bins), then by whether the hive's cells back them: the references from the run's cells
//    into the bins placed so far (parents, subkey lists, security keys, list elements) find a cell
//    of the kind they name. A run that more references contradict than back is no candidate. A
//    candidate is placed when, at its rank or better, it is the only one for that stop and that
//    stop the only one it could go to (two hives can stop short at the same offset). Then runs
//    that start inside a missing stretch (the bins before them missing too) are placed where the
//    whole run fits one hive only and no other run starts there. This repeats until nothing moves.
//    Such a hive (and one with bins missing) is Reassembled.
// 3. The runs left over are chained where a run goes on exactly where another stops (the only run
//    that starts there after the only one that ends there). Every chain that holds a key node
//    becomes a Fragment: its bins at their offsets, behind a made base block whose root key
//    (named FRAGMENT_ROOT_NAME, in a made bin after the chain) lists the chain's key nodes that no
//    subkey list in the chain names. Where the parent of such a key is not in the image, a made
//    bin holds a nameless entry key at the parent's offset, so that the key's path ends there.
// A base block with no bin found and a run without a key node give nothing. Every bin is placed
// at most once, and a bin found inside the bytes of one that starts before it never, so the
// pieces of all hives together hold at most the source's bytes plus one base block each. Reads
// `source` only.
[[nodiscard]] std::vector<CarvedHive> place(Bytes source, const Scan& scan);

}  // namespace kelpa::carve
