#include "carve.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "key.hpp"
#include "security_key.hpp"
#include "subkey_list.hpp"

namespace kelpa::carve {

namespace {

constexpr std::uint32_t word_of(const char (&s)[5]) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[0])) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[3])) << 24;
}
constexpr std::uint32_t REGF = word_of("regf"), HBIN = word_of("hbin");
constexpr std::uint32_t PRIMARY_FILE_TYPE = 0;
constexpr std::uint16_t ENTRY_KEY = 0x0004, NO_DELETE = 0x0008;  // key node flags

// Placement rounds and fit checks: each round places at least one run, so real sources need a
// handful; the bounds keep a source of hostile signatures (thousands of base blocks, each
// claiming 2 GiB, against thousands of runs) from turning the placement quadratic for ever.
constexpr int MAX_ROUNDS = 64;
constexpr std::uint64_t MAX_FIT_CHECKS = 50'000'000;

std::optional<BaseBlockHit> base_block_at(Bytes source, std::uint64_t position) {
  const auto block = slice(source, position, HIVE_MIN_SIZE);
  if (!block) return std::nullopt;
  const std::uint32_t size = load_u32(*block, base_block::HIVE_BINS_DATA_SIZE);
  const std::uint32_t minor = load_u32(*block, base_block::MINOR_VERSION);
  if (load_u32(*block, base_block::MAJOR_VERSION) != 1 || load_u32(*block, base_block::FILE_TYPE) != PRIMARY_FILE_TYPE ||
      size == 0 || size % BIN_ALIGNMENT != 0 || size >= MAX_BINS_SIZE ||
      load_u32(*block, base_block::ROOT_CELL_OFFSET) >= size)
    return std::nullopt;
  const bool checksum_ok = checksum_matches(load_u32(*block, base_block::CHECKSUM), base_block_checksum(*block));
  if (!checksum_ok && (minor < 3 || minor > 6)) return std::nullopt;
  return BaseBlockHit{position, size};
}

bool cells_tile(Bytes bin) {
  std::uint64_t at = bin_header::HEADER_SIZE;
  while (bin.size() - at >= 8) {
    const auto size = static_cast<std::int32_t>(load_u32(bin, static_cast<std::size_t>(at)));
    const std::uint32_t magnitude = size < 0 ? 0u - static_cast<std::uint32_t>(size) : static_cast<std::uint32_t>(size);
    if (magnitude < 8 || magnitude % 8 != 0 || magnitude > bin.size() - at) return false;
    at += magnitude;
  }
  return at == bin.size();
}

std::optional<BinHit> bin_at(Bytes source, std::uint64_t position) {
  const auto header = slice(source, position, bin_header::HEADER_SIZE);
  if (!header) return std::nullopt;
  const std::uint32_t offset = load_u32(*header, bin_header::OFFSET), size = load_u32(*header, bin_header::SIZE);
  if (offset % BIN_ALIGNMENT != 0 || size % BIN_ALIGNMENT != 0 || size == 0 ||
      std::uint64_t{offset} + size > MAX_BINS_SIZE)
    return std::nullopt;
  const auto bin = slice(source, position, size);
  if (!bin) return std::nullopt;
  return BinHit{position, offset, size, cells_tile(*bin)};
}

void put_u16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
  for (std::size_t i = 0; i < 2; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_u64(std::vector<std::uint8_t>& out, std::size_t at, std::uint64_t v) {
  for (std::size_t i = 0; i < 8; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A run: bins contiguous in the source whose offsets follow on, as indices into the scan's bins.
struct Run {
  std::vector<std::size_t> bins;
};

// The hive a base block starts: what it counts, what it covers so far (disjoint [start, end)
// stretches of offsets, by start) and where its bins came from.
struct Assembly {
  std::uint64_t base_block;
  std::uint32_t size;
  std::map<std::uint64_t, std::uint64_t> covered;
  std::vector<Piece> pieces;
  std::uint32_t bins = 0;
  bool elsewhere = false;  // some bins were placed from outside the contiguous stretch

  // The bytes from `offset` up to the next covered stretch (or the end of the bins data); 0 when
  // `offset` is covered or past the end.
  [[nodiscard]] std::uint64_t room_at(std::uint64_t offset) const {
    if (offset >= size) return 0;
    auto next = covered.upper_bound(offset);
    if (next != covered.begin() && std::prev(next)->second > offset) return 0;
    return (next == covered.end() ? std::uint64_t{size} : next->first) - offset;
  }
};

class Placement {
 public:
  Placement(Bytes source, const Scan& scan) : source_(source), bins_(scan.bins()), taken_(bins_.size(), false) {
    // A bin found inside the bytes of one that starts before it is that bin's data (or the earlier
    // one is no bin): it is never placed, so that no byte of the source is placed twice.
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < bins_.size(); ++i) {
      if (bins_[i].position < end)
        taken_[i] = true;
      else
        end = bins_[i].position + bins_[i].size;
    }
  }

  std::vector<CarvedHive> run(const std::vector<BaseBlockHit>& base_blocks) {
    for (const BaseBlockHit& hit : base_blocks) assemblies_.push_back(contiguous(hit));
    std::vector<Run> runs = free_runs();
    place_runs(runs);
    std::vector<CarvedHive> out;
    for (Assembly& a : assemblies_)
      if (a.bins > 0) out.push_back(finish(std::move(a)));
    for (const auto& chain : chains(runs))
      if (auto fragment = make_fragment(chain)) out.push_back(std::move(*fragment));
    return out;
  }

 private:
  // The unplaced bin at `position`, if any.
  std::optional<std::size_t> free_bin_at(std::uint64_t position) const {
    auto it = std::lower_bound(bins_.begin(), bins_.end(), position,
                               [](const BinHit& b, std::uint64_t p) { return b.position < p; });
    if (it == bins_.end() || it->position != position) return std::nullopt;
    const auto index = static_cast<std::size_t>(it - bins_.begin());
    if (taken_[index]) return std::nullopt;
    return index;
  }

  Assembly contiguous(const BaseBlockHit& hit) {
    Assembly a{hit.position, hit.hive_bins_data_size, {}, {{0, hit.position, HIVE_MIN_SIZE}}};
    std::uint64_t offset = 0, position = hit.position + HIVE_MIN_SIZE;
    while (offset < a.size) {
      const auto index = free_bin_at(position);
      if (!index || bins_[*index].offset != offset || offset + bins_[*index].size > a.size) break;
      taken_[*index] = true;
      ++a.bins;
      offset += bins_[*index].size;
      position += bins_[*index].size;
    }
    if (offset > 0) {
      a.covered.emplace(0, offset);
      a.pieces.push_back({HIVE_MIN_SIZE, hit.position + HIVE_MIN_SIZE, offset});
    }
    return a;
  }

  // Chains every unplaced bin into runs, in source order.
  std::vector<Run> free_runs() {
    std::vector<bool> chained(bins_.size(), false);
    for (std::size_t i = 0; i < bins_.size(); ++i) chained[i] = !bins_[i].tiles;  // never placed from elsewhere
    std::vector<Run> runs;
    for (std::size_t i = 0; i < bins_.size(); ++i) {
      if (taken_[i] || chained[i]) continue;
      Run run;
      for (std::optional<std::size_t> at = i; at && !chained[*at];) {
        const BinHit& bin = bins_[*at];
        chained[*at] = true;
        run.bins.push_back(*at);
        const auto next = free_bin_at(bin.position + bin.size);
        at = next && bins_[*next].offset == std::uint64_t{bin.offset} + bin.size ? next : std::nullopt;
      }
      runs.push_back(std::move(run));
    }
    return runs;
  }

  // How many of the run's first bins fit the hive at the offsets they state: none when the run's
  // first offset is covered or past the hive's end.
  std::size_t fitting_bins(const Run& run, const Assembly& a) const {
    const std::uint64_t room = a.room_at(bins_[run.bins.front()].offset);
    std::uint64_t used = 0;
    std::size_t n = 0;
    while (n < run.bins.size() && used + bins_[run.bins[n]].size <= room) used += bins_[run.bins[n++]].size;
    return n;
  }

  // The offset where run `r` starts.
  std::uint32_t start_of(const Run& r) const { return bins_[r.bins.front()].offset; }

  // Places the first `n` bins of run `r` into hive `h` at the offsets they state; stretches that
  // meet are joined, so that a hive chained from many runs keeps a few stretches.
  void take(std::vector<Run>& runs, std::size_t r, std::size_t h, std::size_t n) {
    Assembly& a = assemblies_[h];
    Run& run = runs[r];
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < n; ++i) {
      taken_[run.bins[i]] = true;
      length += bins_[run.bins[i]].size;
    }
    const BinHit& first = bins_[run.bins.front()];
    std::uint64_t start = first.offset, stop = first.offset + length;
    a.pieces.push_back({HIVE_MIN_SIZE + start, first.position, length});
    if (auto after = a.covered.find(stop); after != a.covered.end()) {
      stop = after->second;
      a.covered.erase(after);
    }
    if (auto before = a.covered.lower_bound(start); before != a.covered.begin() && std::prev(before)->second == start) {
      start = std::prev(before)->first;
      a.covered.erase(std::prev(before));
    }
    a.covered.emplace(start, stop);
    a.bins += static_cast<std::uint32_t>(n);
    a.elsewhere = true;
    run.bins.erase(run.bins.begin(), run.bins.begin() + static_cast<std::ptrdiff_t>(n));
    if (!run.bins.empty()) starting_[start_of(run)].push_back(r);
  }

  // How well a run fits where a hive stops short: it fills the missing stretch exactly, lies
  // inside it, or only its first bins fit (the rest runs on past the stretch).
  enum Fit : std::uint8_t { NONE, PREFIX, INSIDE, EXACT };
  Fit fit(const Run& run, const Assembly& a) const {
    const std::uint64_t room = a.room_at(start_of(run));
    const std::size_t n = fitting_bins(run, a);
    if (n == 0) return NONE;
    if (n < run.bins.size()) return PREFIX;
    const BinHit& last = bins_[run.bins.back()];
    return std::uint64_t{last.offset} + last.size - start_of(run) == room ? EXACT : INSIDE;
  }

  // What a hive placed so far says of a run at the offsets it states: the references from the
  // run's cells (a key node's parent, subkey list and security key; a subkey list's elements; a
  // security key's neighbours) that land in the hive's placed bins either find a cell of the kind
  // they name there or not. Two hives of the same shape stop short at the same offsets; their
  // cells, not their offsets, tell whose run is whose.
  struct Evidence {
    std::uint32_t agree = 0, disagree = 0;
  };
  enum Expect : std::uint8_t { KEY, LIST, SECURITY };

  // The signature of the allocated cell at `offset` in the bins placed in `a`, 0 for a free or
  // unreadable cell; nullopt where no placed bin holds the offset.
  std::optional<std::uint16_t> signature_at(const Assembly& a, std::uint32_t offset) const {
    const std::uint64_t at = HIVE_MIN_SIZE + std::uint64_t{offset};
    for (const Piece& p : a.pieces) {
      if (p.image_position == 0 || at < p.image_position || at - p.image_position >= p.length) continue;
      const Bytes piece = source_.subspan(p.source_position, p.length);  // inside: the scan checked it
      const std::uint64_t in = at - p.image_position;
      const auto size = static_cast<std::int32_t>(load_u32(piece, in));
      if (size > -8 || 0u - static_cast<std::uint32_t>(size) > piece.size() - in) return std::uint16_t{0};
      return load_u16(piece, in + 4);
    }
    return std::nullopt;
  }

  static bool is_kind(std::uint16_t signature, Expect expect) {
    const auto a = static_cast<char>(signature & 0xFF), b = static_cast<char>(signature >> 8);
    switch (expect) {
      case KEY: return a == 'n' && b == 'k';
      case LIST: return (a == 'l' && (b == 'f' || b == 'h' || b == 'i')) || (a == 'r' && b == 'i');
      case SECURITY: return a == 's' && b == 'k';
    }
    return false;
  }

  Evidence evidence(const Run& run, const Assembly& a) {
    Evidence e;
    const std::uint64_t lo = start_of(run), hi = end_of(run);
    auto check = [&](std::uint32_t target, Expect expect) {
      if (is_null_offset(target) || (target >= lo && target < hi)) return;
      if (const auto signature = signature_at(a, target)) ++(is_kind(*signature, expect) ? e.agree : e.disagree);
    };
    constexpr std::size_t ELEMENTS_CHECKED = 16;   // of each list: enough to tell, and bounded
    constexpr std::uint64_t BYTES_CHECKED = 64 << 10;  // of the run: the same, for long runs
    std::uint64_t walked = 0;
    for (std::size_t i : run.bins) {
      if (walked >= BYTES_CHECKED) break;
      walked += bins_[i].size;
      const Bytes bin = source_.subspan(bins_[i].position, bins_[i].size);
      for (std::uint64_t at = bin_header::HEADER_SIZE; bin.size() - at >= 8 && checks_ < MAX_FIT_CHECKS; ++checks_) {
        const auto size = static_cast<std::int32_t>(load_u32(bin, at));
        const std::uint32_t magnitude = size < 0 ? 0u - static_cast<std::uint32_t>(size) : static_cast<std::uint32_t>(size);
        if (magnitude < 8 || magnitude > bin.size() - at) break;
        const Bytes payload = bin.subspan(at + 4, magnitude - 4);
        at += magnitude;
        if (size > 0) continue;
        if (has_signature(payload, 'n', 'k') && payload.size() >= nk::FIXED_SIZE) {
          if ((load_u16(payload, nk::FLAGS) & ENTRY_KEY) == 0) check(load_u32(payload, nk::PARENT), KEY);
          if (load_u32(payload, nk::SUBKEY_COUNT) > 0) check(load_u32(payload, nk::SUBKEY_LIST_OFFSET), LIST);
          check(load_u32(payload, nk::SECURITY_OFFSET), SECURITY);
        } else if (has_signature(payload, 's', 'k')) {
          check(load_u32(payload, sk::FLINK), SECURITY);
          check(load_u32(payload, sk::BLINK), SECURITY);
        } else if (const auto list = readable_subkey_list(payload)) {
          for (std::size_t k = 0; k < std::min(list->count, ELEMENTS_CHECKED); ++k)
            check(list->offset(k), list->variant == SubkeyList::Variant::IndexRoot ? LIST : KEY);
        }
      }
    }
    return e;
  }

  // A pair's rank: how it fits, then whether the hive's cells back it; nullopt when they
  // contradict it (more references miss than find their cell).
  std::optional<int> rank(const Run& run, std::size_t h) {
    const Fit f = fit(run, assemblies_[h]);
    if (f == NONE) return std::nullopt;
    const Evidence e = evidence(run, assemblies_[h]);
    if (e.disagree > e.agree) return std::nullopt;
    return 2 * static_cast<int>(f) + (e.agree > e.disagree ? 1 : 0);
  }

  // Where a hive stops short (the end of each covered stretch, or 0 for a hive with no bin), the
  // runs that start at that offset are its candidates. A candidate is placed when, at its level of
  // fit or better, it is the only candidate of that stop and that stop is the only one it is a
  // candidate of (another hive may stop short at the same offset). Exact fits go first; every
  // placement moves a stop on, so the levels are tried again from the top until nothing moves.
  // Returns whether anything was placed.
  bool place_at_frontiers(std::vector<Run>& runs) {
    struct Pair {
      std::size_t hive;
      std::uint32_t offset;
      std::size_t run;
      int rank;
    };
    bool any = false;
    for (bool placed = true; placed && checks_ < MAX_FIT_CHECKS;) {
      placed = false;
      std::vector<Pair> pairs;
      for (std::size_t h = 0; h < assemblies_.size(); ++h) {
        const Assembly& a = assemblies_[h];
        std::vector<std::uint64_t> stops;
        if (a.room_at(0) > 0) stops.push_back(0);
        for (const auto& [start, stop] : a.covered)
          if (a.room_at(stop) > 0) stops.push_back(stop);
        for (std::uint64_t stop : stops) {
          auto it = starting_.find(static_cast<std::uint32_t>(stop));
          if (it == starting_.end()) continue;
          for (std::size_t r : it->second) {
            if (++checks_ > MAX_FIT_CHECKS) return any;
            if (runs[r].bins.empty() || start_of(runs[r]) != stop) continue;
            if (const auto ranked = rank(runs[r], h)) pairs.push_back({h, static_cast<std::uint32_t>(stop), r, *ranked});
          }
        }
      }
      for (int level = 2 * EXACT + 1; level >= 2 * PREFIX; --level) {
        std::map<std::pair<std::size_t, std::uint32_t>, std::size_t> per_stop;
        std::unordered_map<std::size_t, std::size_t> per_run;
        for (const Pair& p : pairs)
          if (p.rank >= level) {
            ++per_stop[{p.hive, p.offset}];
            ++per_run[p.run];
          }
        for (const Pair& p : pairs)
          if (p.rank >= level && per_stop[{p.hive, p.offset}] == 1 && per_run[p.run] == 1) {
            take(runs, p.run, p.hive, fitting_bins(runs[p.run], assemblies_[p.hive]));
            placed = true;
          }
        if (placed) break;
      }
      any = any || placed;
    }
    return any;
  }

  void place_runs(std::vector<Run>& runs) {
    for (std::size_t r = 0; r < runs.size(); ++r) starting_[start_of(runs[r])].push_back(r);
    place_at_frontiers(runs);
    // Then runs that start inside a hive's missing stretch but not where it stops (the bins
    // before them are missing too): placed when the whole run fits one hive only and no other
    // run starts at its offset in that hive. Each placement makes a new stop.
    for (int round = 0; round < MAX_ROUNDS && checks_ < MAX_FIT_CHECKS; ++round) {
      std::vector<std::optional<std::size_t>> only(runs.size());
      std::map<std::pair<std::size_t, std::uint32_t>, std::size_t> starting;
      for (std::size_t r = 0; r < runs.size() && checks_ < MAX_FIT_CHECKS; ++r) {
        if (runs[r].bins.empty()) continue;
        std::size_t fits = 0;
        for (std::size_t h = 0; h < assemblies_.size() && fits < 2; ++h, ++checks_) {
          if (fit(runs[r], assemblies_[h]) < INSIDE || !rank(runs[r], h)) continue;
          ++fits;
          only[r] = h;
          ++starting[{h, start_of(runs[r])}];
        }
        if (fits != 1) only[r].reset();
      }
      bool placed = false;
      for (std::size_t r = 0; r < runs.size(); ++r) {
        if (!only[r] || runs[r].bins.empty() || starting[{*only[r], start_of(runs[r])}] != 1) continue;
        if (fit(runs[r], assemblies_[*only[r]]) < INSIDE) continue;  // a run placed earlier in this round took the room
        take(runs, r, *only[r], runs[r].bins.size());
        placed = true;
      }
      if (!placed) break;
      place_at_frontiers(runs);
    }
  }

  CarvedHive finish(Assembly a) const {
    std::sort(a.pieces.begin(), a.pieces.end(),
              [](const Piece& x, const Piece& y) { return x.image_position < y.image_position; });
    std::uint64_t covered = 0, end = 0;
    for (const auto& [start, stop] : a.covered) {
      covered += stop - start;
      end = stop;
    }
    const std::uint64_t missing = a.size - covered;
    return CarvedHive{.kind = a.elsewhere || missing > 0 ? Kind::Reassembled : Kind::Hive,
                      .source_position = a.base_block,
                      .image_size = HIVE_MIN_SIZE + end,
                      .pieces = std::move(a.pieces),
                      .made = {},
                      .bins_found = a.bins,
                      .bins_expected = a.bins + missing / BIN_ALIGNMENT,
                      .bytes_found = covered,
                      .bytes_missing = missing};
  }

  // The runs left over, chained where one run's bins go on exactly where another's stop (the
  // only run that starts there, after the only run that ends there): each chain is one fragment.
  std::vector<std::vector<const Run*>> chains(const std::vector<Run>& runs) const {
    std::unordered_map<std::uint64_t, std::vector<const Run*>> by_start, by_end;
    for (const Run& r : runs) {
      if (r.bins.empty()) continue;
      by_start[start_of(r)].push_back(&r);
      by_end[end_of(r)].push_back(&r);
    }
    auto next = [&](const Run* r) -> const Run* {
      auto s = by_start.find(end_of(*r));
      if (s == by_start.end() || s->second.size() != 1 || by_end[end_of(*r)].size() != 1) return nullptr;
      return s->second.front();
    };
    std::unordered_set<const Run*> followers;
    for (const Run& r : runs)
      if (!r.bins.empty())
        if (const Run* n = next(&r)) followers.insert(n);
    std::vector<std::vector<const Run*>> out;
    for (const Run& r : runs) {
      if (r.bins.empty() || followers.contains(&r)) continue;
      out.emplace_back();
      for (const Run* at = &r; at != nullptr; at = next(at)) out.back().push_back(at);
    }
    return out;
  }

  std::uint64_t end_of(const Run& r) const {
    const BinHit& last = bins_[r.bins.back()];
    return std::uint64_t{last.offset} + last.size;
  }

  // The fragment of a chain of runs (consecutive offsets): the offsets of its allocated key
  // nodes, those that no subkey list in the chain names listed under a made root key.
  std::optional<CarvedHive> make_fragment(const std::vector<const Run*>& chain) const {
    std::vector<std::size_t> bins;  // in offset order
    std::vector<Piece> pieces;
    for (const Run* r : chain) {
      const std::uint64_t length = end_of(*r) - start_of(*r);
      pieces.push_back({HIVE_MIN_SIZE + start_of(*r), bins_[r->bins.front()].position, length});
      bins.insert(bins.end(), r->bins.begin(), r->bins.end());
    }
    const std::uint64_t start = start_of(*chain.front()), length = end_of(*chain.back()) - start;

    // The bytes of the bin holding a cell offset, and the offset's place in them.
    auto bin_of = [&](std::uint64_t offset) -> std::optional<std::pair<Bytes, std::uint64_t>> {
      auto it = std::upper_bound(bins.begin(), bins.end(), offset,
                                 [&](std::uint64_t o, std::size_t i) { return o < bins_[i].offset; });
      if (it == bins.begin()) return std::nullopt;
      const BinHit& bin = bins_[*std::prev(it)];
      if (offset - bin.offset >= bin.size) return std::nullopt;
      return std::pair{source_.subspan(bin.position, bin.size), offset - bin.offset};  // checked by the scan
    };
    // The payload of the allocated cell at a cell offset inside the chain.
    auto cell = [&](std::uint32_t offset) -> std::optional<Bytes> {
      const auto place = bin_of(offset);
      if (!place) return std::nullopt;
      const auto size = static_cast<std::int32_t>(load_u32(place->first, place->second));
      if (size >= -4) return std::nullopt;
      return slice(place->first, place->second + 4, 0u - static_cast<std::uint32_t>(size) - 4u);
    };

    std::vector<std::uint32_t> keys;
    std::vector<std::uint32_t> lists;    // each key's subkey list offset
    std::vector<std::uint32_t> parents;  // each key's parent offset, none for the hive's entry key
    std::uint64_t latest = 0;
    for (std::size_t i : bins) {
      const Bytes bin = source_.subspan(bins_[i].position, bins_[i].size);
      for (std::uint64_t at = bin_header::HEADER_SIZE; bin.size() - at >= 8;) {
        const auto size = static_cast<std::int32_t>(load_u32(bin, at));
        const std::uint32_t magnitude = size < 0 ? 0u - static_cast<std::uint32_t>(size) : static_cast<std::uint32_t>(size);
        if (magnitude < 8 || magnitude % 8 != 0 || magnitude > bin.size() - at) break;
        const Bytes payload = bin.subspan(at + 4, magnitude - 4);
        if (size < 0 && payload.size() >= nk::FIXED_SIZE && has_signature(payload, 'n', 'k')) {
          keys.push_back(static_cast<std::uint32_t>(bins_[i].offset + at));
          lists.push_back(load_u32(payload, nk::SUBKEY_LIST_OFFSET));
          parents.push_back((load_u16(payload, nk::FLAGS) & ENTRY_KEY) != 0 ? 0xFFFFFFFF
                                                                             : load_u32(payload, nk::PARENT));
          latest = std::max(latest, load_u64(payload, nk::LAST_WRITTEN));
        }
        at += magnitude;
      }
    }
    if (keys.empty()) return std::nullopt;

    // Keys named by a subkey list in the chain ("ri" lists one level down, as Windows nests them).
    std::unordered_set<std::uint32_t> named;
    std::uint64_t budget = length / 4;  // elements read in all: the chain cannot hold more
    auto name_all = [&](std::uint32_t list_offset, int depth, auto&& self) -> void {
      const auto payload = cell(list_offset);
      if (!payload) return;
      const auto list = readable_subkey_list(*payload);
      if (!list) return;
      for (std::size_t i = 0; i < list->count && budget > 0; ++i, --budget) {
        if (list->variant != SubkeyList::Variant::IndexRoot)
          named.insert(list->offset(i));
        else if (depth == 0)
          self(list->offset(i), 1, self);
      }
    };
    for (std::uint32_t list : lists)
      if (!is_null_offset(list)) name_all(list, 0, name_all);
    std::vector<std::uint32_t> top, missing_parents;
    for (std::size_t k = 0; k < keys.size(); ++k)
      if (!named.contains(keys[k])) {
        top.push_back(keys[k]);
        if (!is_null_offset(parents[k]) && !bin_of(parents[k])) missing_parents.push_back(parents[k]);
      }
    if (top.empty()) top = keys;  // the chain's keys name one another in a ring

    std::vector<MadeBlock> made(1);
    std::uint64_t end = start + length;
    for (MadeBlock& bin : parent_bins(missing_parents, start, start + length)) {
      end = std::max(end, bin.image_position - HIVE_MIN_SIZE + bin.bytes.size());
      made.push_back(std::move(bin));
    }
    const std::uint64_t root_bin = end;
    MadeBlock bin = root_bin_bytes(root_bin, top, latest);
    made.front() = made_base_block(root_bin, bin.bytes.size(), latest);
    bin.image_position = HIVE_MIN_SIZE + root_bin;
    const std::uint64_t image_size = HIVE_MIN_SIZE + root_bin + bin.bytes.size();
    made.push_back(std::move(bin));
    return CarvedHive{.kind = Kind::Fragment,
                      .source_position = pieces.front().source_position,
                      .image_size = image_size,
                      .pieces = std::move(pieces),
                      .made = std::move(made),
                      .bins_found = static_cast<std::uint32_t>(bins.size()),
                      .bins_expected = bins.size() + start / BIN_ALIGNMENT,
                      .bytes_found = length,
                      .bytes_missing = start};
  }

  // Bins made where the parents of a fragment's top keys were, each holding an entry key (no name,
  // no subkeys) at a parent's offset, so that a top key's path ends there instead of at a cell
  // that is not in the image. Only 4 KiB pages outside the chain [lo, hi) are used, for parents
  // whose 80-byte cell fits their page; MAX_MADE_BINS of them at most.
  static std::vector<MadeBlock> parent_bins(std::vector<std::uint32_t> parents, std::uint64_t lo, std::uint64_t hi) {
    constexpr std::size_t MAX_MADE_BINS = 4096;
    constexpr std::uint64_t KEY_CELL = 80;  // a key node without a name
    std::ranges::sort(parents);
    std::vector<MadeBlock> out;
    for (std::size_t i = 0; i < parents.size() && out.size() < MAX_MADE_BINS;) {
      const std::uint64_t page = parents[i] / BIN_ALIGNMENT * BIN_ALIGNMENT;
      std::vector<std::uint8_t> b(BIN_ALIGNMENT, 0);
      std::uint64_t at = bin_header::HEADER_SIZE;  // the first byte not yet a cell
      for (; i < parents.size() && parents[i] / BIN_ALIGNMENT * BIN_ALIGNMENT == page; ++i) {
        const std::uint64_t p = parents[i] - page;
        if (p % 8 != 0 || p < at || p + KEY_CELL > BIN_ALIGNMENT || (page + BIN_ALIGNMENT > lo && page < hi)) continue;
        if (p > at) put_u32(b, at, static_cast<std::uint32_t>(p - at));  // free space before it
        write_key(b, p, KEY_CELL, {}, 0xFFFFFFFF, 0, "");
        at = p + KEY_CELL;
      }
      if (at == bin_header::HEADER_SIZE || page + BIN_ALIGNMENT > MAX_BINS_SIZE) continue;
      if (at < BIN_ALIGNMENT) put_u32(b, at, static_cast<std::uint32_t>(BIN_ALIGNMENT - at));
      std::copy_n("hbin", 4, b.begin());
      put_u32(b, bin_header::OFFSET, static_cast<std::uint32_t>(page));
      put_u32(b, bin_header::SIZE, BIN_ALIGNMENT);
      out.push_back({HIVE_MIN_SIZE + page, std::move(b)});
    }
    return out;
  }

  // An allocated key node cell of `cell_size` bytes at `at` of `b`: the hive's entry key (its path
  // ends here), with `subkeys` subkeys in the list at `list`, no values, security or class name.
  static void write_key(std::vector<std::uint8_t>& b, std::uint64_t at, std::uint64_t cell_size,
                        std::uint32_t subkeys, std::uint32_t list, std::uint64_t latest, std::string_view name) {
    const std::uint64_t p = at + 4;
    put_u32(b, at, static_cast<std::uint32_t>(-static_cast<std::int64_t>(cell_size)));
    b[p] = 'n';
    b[p + 1] = 'k';
    put_u16(b, p + nk::FLAGS, ENTRY_KEY | NO_DELETE | nk::COMPRESSED_NAME);
    put_u64(b, p + nk::LAST_WRITTEN, latest);
    put_u32(b, p + nk::SUBKEY_COUNT, subkeys);
    put_u32(b, p + nk::SUBKEY_LIST_OFFSET, list);
    for (std::size_t field : {nk::VOLATILE_SUBKEY_LIST_OFFSET, nk::VALUE_LIST_OFFSET, nk::SECURITY_OFFSET,
                              nk::CLASS_NAME_OFFSET})
      put_u32(b, p + field, 0xFFFFFFFF);
    put_u16(b, p + nk::NAME_LENGTH, static_cast<std::uint16_t>(name.size()));
    std::copy(name.begin(), name.end(), b.begin() + static_cast<std::ptrdiff_t>(p + nk::FIXED_SIZE));
  }

  // A bin at `offset` holding the made root key (at offset + 32) and its subkey list: one "li"
  // list, or an "ri" list of "li" lists of at most 65535 keys each.
  static MadeBlock root_bin_bytes(std::uint64_t offset, const std::vector<std::uint32_t>& keys, std::uint64_t latest) {
    constexpr std::size_t LEAF_MAX = 0xFFFF;
    const std::size_t name_size = sizeof FRAGMENT_ROOT_NAME - 1;
    auto cell_size = [](std::uint64_t payload) { return (payload + 4 + 7) / 8 * 8; };
    const std::uint64_t root_cell = cell_size(nk::FIXED_SIZE + name_size);
    const std::size_t leaves = (keys.size() + LEAF_MAX - 1) / LEAF_MAX;
    const std::uint64_t index_cell = leaves > 1 ? cell_size(subkey_list::HEADER_SIZE + 4 * leaves) : 0;
    std::uint64_t used = bin_header::HEADER_SIZE + root_cell + index_cell;
    for (std::size_t l = 0; l < leaves; ++l)
      used += cell_size(subkey_list::HEADER_SIZE + 4 * std::min(LEAF_MAX, keys.size() - l * LEAF_MAX));
    const std::uint64_t size = (used + 8 + BIN_ALIGNMENT - 1) / BIN_ALIGNMENT * BIN_ALIGNMENT;  // room for a free cell
    std::vector<std::uint8_t> b(size, 0);
    std::copy_n("hbin", 4, b.begin());
    put_u32(b, bin_header::OFFSET, static_cast<std::uint32_t>(offset));
    put_u32(b, bin_header::SIZE, static_cast<std::uint32_t>(size));
    put_u64(b, bin_header::TIMESTAMP, latest);

    auto cell_offset = [&](std::uint64_t at) { return static_cast<std::uint32_t>(offset + at); };
    std::uint64_t at = bin_header::HEADER_SIZE;
    const std::uint64_t root_at = at;
    at += root_cell;
    const std::uint64_t list_at = at;
    if (leaves > 1) {
      put_u32(b, at, static_cast<std::uint32_t>(-static_cast<std::int64_t>(index_cell)));
      b[at + 4] = 'r';
      b[at + 5] = 'i';
      put_u16(b, at + 6, static_cast<std::uint16_t>(leaves));
      at += index_cell;
    }
    for (std::size_t l = 0; l < leaves; ++l) {
      const std::size_t n = std::min(LEAF_MAX, keys.size() - l * LEAF_MAX);
      const std::uint64_t leaf_cell = cell_size(subkey_list::HEADER_SIZE + 4 * n);
      if (leaves > 1) put_u32(b, list_at + 4 + subkey_list::ELEMENTS + 4 * l, cell_offset(at));
      put_u32(b, at, static_cast<std::uint32_t>(-static_cast<std::int64_t>(leaf_cell)));
      b[at + 4] = 'l';
      b[at + 5] = 'i';
      put_u16(b, at + 6, static_cast<std::uint16_t>(n));
      for (std::size_t k = 0; k < n; ++k) put_u32(b, at + 8 + 4 * k, keys[l * LEAF_MAX + k]);
      at += leaf_cell;
    }
    put_u32(b, at, static_cast<std::uint32_t>(size - at));  // the rest of the bin: one free cell

    write_key(b, root_at, root_cell, static_cast<std::uint32_t>(keys.size()), cell_offset(list_at), latest,
              std::string_view(FRAGMENT_ROOT_NAME, name_size));
    return MadeBlock{0, std::move(b)};
  }

  static MadeBlock made_base_block(std::uint64_t root_bin, std::uint64_t root_bin_size, std::uint64_t latest) {
    std::vector<std::uint8_t> b(HIVE_MIN_SIZE, 0);
    std::copy_n("regf", 4, b.begin());
    put_u32(b, base_block::PRIMARY_SEQUENCE, 1);
    put_u32(b, base_block::SECONDARY_SEQUENCE, 1);
    put_u64(b, base_block::LAST_WRITTEN, latest);
    put_u32(b, base_block::MAJOR_VERSION, 1);
    put_u32(b, base_block::MINOR_VERSION, 5);
    put_u32(b, base_block::FILE_FORMAT, 1);
    put_u32(b, base_block::ROOT_CELL_OFFSET, static_cast<std::uint32_t>(root_bin + bin_header::HEADER_SIZE));
    put_u32(b, base_block::HIVE_BINS_DATA_SIZE, static_cast<std::uint32_t>(root_bin + root_bin_size));
    put_u32(b, base_block::CLUSTERING_FACTOR, 1);
    store_base_block_checksum(b);
    return MadeBlock{0, std::move(b)};
  }

  Bytes source_;
  const std::vector<BinHit>& bins_;
  std::vector<bool> taken_;
  std::vector<Assembly> assemblies_;
  std::unordered_map<std::uint32_t, std::vector<std::size_t>> starting_;  // runs by start offset
  std::uint64_t checks_ = 0;
};

}  // namespace

void Scan::scan(Bytes source, std::uint64_t start, std::uint64_t end) {
  end = std::min<std::uint64_t>(end, source.size());
  start = std::max(start, scanned_to_);
  for (std::uint64_t p = (start + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE; p < end; p += SECTOR_SIZE) {
    // One load per sector: the signatures are compared as words, and the headers are read only
    // where one of them stands.
    const std::uint32_t word = load_u32(source, static_cast<std::size_t>(p));
    if (word == HBIN) {
      if (auto hit = bin_at(source, p)) bins_.push_back(*hit);
    } else if (word == REGF) {
      if (auto hit = base_block_at(source, p)) base_blocks_.push_back(*hit);
    }
  }
  scanned_to_ = std::max(scanned_to_, end);
}

std::vector<CarvedHive> place(Bytes source, const Scan& scan) {
  return Placement(source, scan).run(scan.base_blocks());
}

}  // namespace kelpa::carve
