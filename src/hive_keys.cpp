#include "hive.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "subkey_list.hpp"

namespace kelpa {

RegistryKey RegistryKey::owning(const Hive* hive, std::uint32_t offset, const KeyNode& node) {
  std::shared_ptr<std::byte[]> storage(new std::byte[KeyRecord::storage_size(node.name.size())]);
  const KeyRecord* view = KeyRecord::write(storage.get(), node);
  return RegistryKey{hive, offset, view, std::move(storage)};
}

Result<RegistryKey> Hive::get_key(std::uint32_t offset) const {
  if (const KeyRecord* cached = key_cache_.lookup(offset)) return RegistryKey{this, offset, cached, nullptr};
  auto payload = read_cell(offset);
  if (!payload) return std::unexpected(std::move(payload.error()));
  // Each thread parses into one node of its own, whose name storage is reused: the cache copies
  // the name into its own storage, so a miss allocates nothing for the parse.
  thread_local KeyNode parsed;
  if (auto ok = parse_key_node_into(*payload, offset, parsed, problems_); !ok) return std::unexpected(std::move(ok.error()));
  if (const KeyRecord* cached = key_cache_.insert(offset, parsed)) return RegistryKey{this, offset, cached, nullptr};
  return RegistryKey::owning(this, offset, parsed);
}

namespace {

// An "ri" list names further lists, so a damaged or hostile file can make the list graph cyclic
// (a list naming itself) or make it fan out so that the same lists are read again and again.
// Real hives nest "ri" one level deep. Two bounds end every walk:
// - nesting depth: no real hive comes near it, and it keeps the recursion short;
// - elements read: each element occupies 4 bytes of the image, so a walk that reads more
//   elements than image length / 4 has read some list more than once, i.e. it loops or fans out.
constexpr std::size_t MAX_LIST_NESTING = 64;

// What the walk cannot read goes to the hive's problem log (problems.hpp): under strict reading
// that fails the walk, under tolerant reading the list is left out (or, for one too short for its
// count, read as far as it holds elements) and the walk goes on with the next.
//
// A list that fans out is reached again and again within one walk, up to the element bound, and
// under tolerant reading each time meets the same problem at the same list. The image does not
// change, so a problem met once in a walk is the same the next time: the walk keeps the (list,
// check) pairs it has met and passes over a repeat without formatting its message again, which
// the log would pass over anyway. Without this a walk of a 64 KiB fan-out formats some 16,000
// messages; strict reading stops at the first problem, so it keeps nothing.
struct SubkeyWalk {
  enum class Check : std::uint8_t { Read, Parse, Nesting, Loop };

  const Hive& hive;
  std::vector<std::uint32_t>& out;
  std::uint64_t elements_left;
  std::unordered_set<std::uint64_t> met{};

  template <class MakeError>
  Result<void> meet(std::uint32_t list_offset, Check check, MakeError&& make_error) {
    if (hive.problems().mode() == ReadMode::Tolerant &&
        !met.insert(std::uint64_t{list_offset} | std::uint64_t{static_cast<std::uint8_t>(check)} << 32).second)
      return {};
    return hive.problems().meet(list_offset, std::forward<MakeError>(make_error)());
  }

  Result<void> walk(std::uint32_t list_offset, std::size_t depth) {
    if (is_null_offset(list_offset)) return {};
    auto payload = hive.read_cell(list_offset);
    if (!payload) return meet(list_offset, Check::Read, [&] { return std::move(payload.error()); });
    auto parsed = parse_subkey_list(*payload, list_offset);
    std::optional<SubkeyList> list;
    if (parsed) {
      list = *parsed;
    } else {
      if (auto ok = meet(list_offset, Check::Parse, [&] { return std::move(parsed.error()); }); !ok) return ok;
      list = readable_subkey_list(*payload);
      if (!list) return {};
    }
    const bool index_root = list->variant == SubkeyList::Variant::IndexRoot;
    if (index_root && depth >= MAX_LIST_NESTING)
      return meet(list_offset, Check::Nesting, [&] {
        return RegistryError::invalid_format("Subkey list at offset " + hex_form(list_offset) + " nests index roots too deeply");
      });
    if (list->count > elements_left) return meet(list_offset, Check::Loop, [&] { return loop_error(list_offset); });
    elements_left -= list->count;
    if (!index_root) {
      for (std::size_t i = 0; i < list->count; ++i) out.push_back(list->offset(i));
      return {};
    }
    for (std::size_t i = 0; i < list->count; ++i) {
      if (auto r = walk(list->offset(i), depth + 1); !r) return r;
    }
    return {};
  }

  static RegistryError loop_error(std::uint32_t list_offset) {
    return RegistryError::invalid_format("Subkey list at offset " + hex_form(list_offset) +
                                         " is reached more often than the hive can hold (loop in index roots)");
  }
};

}  // namespace

Result<void> RegistryKey::collect_subkey_offsets(std::uint32_t list_offset, std::vector<std::uint32_t>& out) const {
  SubkeyWalk walk{*hive, out, hive->max_list_elements()};
  return walk.walk(list_offset, 0);
}

namespace {

// Each thread's offset buffer for visit_subkeys, reused from call to call. A call takes it out
// while it runs, so a visit that lists subkeys itself starts with an empty one; one that grew past
// SPARE_OFFSETS entries is not kept.
thread_local std::vector<std::uint32_t> spare_offsets;
constexpr std::size_t SPARE_OFFSETS = 1 << 16;

}  // namespace

Result<void> RegistryKey::visit_subkeys(const std::function<void(RegistryKey&&)>& visit) const {
  if (node().subkey_count == 0) return {};
  std::vector<std::uint32_t>& spare = spare_offsets;  // one look-up of this thread's storage
  std::vector<std::uint32_t> offsets = std::exchange(spare, {});
  offsets.clear();
  auto visited = visit_subkeys(visit, offsets);
  if (offsets.capacity() <= SPARE_OFFSETS) spare = std::move(offsets);
  return visited;
}

Result<void> RegistryKey::visit_subkeys(const std::function<void(RegistryKey&&)>& visit,
                                        std::vector<std::uint32_t>& offsets) const {
  offsets.reserve(std::min<std::size_t>(node().subkey_count, hive->max_list_elements()));
  if (auto walked = collect_subkey_offsets(node().subkey_list_offset, offsets); !walked)
    return std::unexpected(std::move(walked.error()));
  const std::uint64_t name_limit = hive->read_limit();
  std::uint64_t name_bytes = 0;
  // A hostile list names the same unreadable cell thousands of times, and every look-up of a path
  // lists it again: each offset found unreadable is read, and its problem met, once per listing.
  std::unordered_set<std::uint32_t> unreadable;
  for (std::uint32_t subkey_offset : offsets) {
    if (!unreadable.empty() && unreadable.contains(subkey_offset)) continue;
    auto subkey = hive->get_key(subkey_offset);
    if (!subkey) {
      // Tolerant reading leaves the key out and lists the others.
      if (auto met = hive->problems().meet(subkey_offset, std::move(subkey.error())); !met) return met;
      unreadable.insert(subkey_offset);
      continue;
    }
    if ((name_bytes += subkey->node().name_length) > name_limit)
      return hive->problems().meet(node().subkey_list_offset,
                                   RegistryError::invalid_format("Subkey list at offset " + hex_form(node().subkey_list_offset) +
                                                                 " names more key data than the hive holds"));
    visit(std::move(*subkey));
  }
  return {};
}

Result<std::vector<RegistryKey>> RegistryKey::subkeys() const {
  std::vector<RegistryKey> subkeys;
  if (auto listed = this->subkeys(subkeys); !listed) return std::unexpected(std::move(listed.error()));
  return subkeys;
}

Result<void> RegistryKey::subkeys(std::vector<RegistryKey>& subkeys) const {
  subkeys.clear();
  if (node().subkey_count == 0) return {};
  subkeys.reserve(std::min<std::size_t>(node().subkey_count, hive->max_list_elements()));
  return visit_subkeys([&](RegistryKey&& subkey) { subkeys.push_back(std::move(subkey)); });
}

}  // namespace kelpa
