#include "tree_walk.hpp"

#include <algorithm>

#include "key_path.hpp"

namespace kelpa {

namespace {

// A sound hive's keys are distinct key node cells of at least this size (size field and fixed
// part), whose names decode to at most three UTF-8 bytes per stored byte: the most that can wait
// on a walk's path at once.
constexpr std::uint64_t MIN_KEY_NODE_CELL = 4 + nk::FIXED_SIZE;
constexpr std::uint64_t MAX_NAME_EXPANSION = 3;

}  // namespace

void TreeWalk::add_key(WalkBatch& batch, std::uint32_t offset, const WalkedNode& node, std::string_view name,
                       std::size_t depth) {
  batch.entries.push_back({offset, static_cast<std::uint32_t>(batch.names.size()), static_cast<std::uint32_t>(name.size()),
                           -1, static_cast<std::uint32_t>(depth), node});
  batch.names.append(name);
}

void TreeWalk::add_error(WalkBatch& batch, RegistryError error) {
  batch.entries.push_back({0, 0, 0, static_cast<std::int32_t>(batch.errors.size()), 0, {}});
  batch.errors.push_back(std::move(error));
}

bool TreeWalk::meet(WalkBatch& batch, std::uint32_t offset, RegistryError error) const {
  // A tolerant hive notes the problem and the walk passes over the subtree without a word.
  auto met = hive_->problems().meet(offset, std::move(error));
  if (!met) add_error(batch, std::move(met.error()));
  return !met;
}

bool TreeWalk::enter(std::uint32_t offset, std::uint32_t subkey_count, std::uint32_t subkey_list_offset,
                     WalkBatch& batch) {
  if (subkey_count == 0) return true;
  if (frames_.size() == depth_) frames_.emplace_back();
  Frame& frame = frames_[depth_];
  frame.owner = offset;
  frame.children.clear();
  frame.names.clear();
  frame.next = 0;
  KeyRecord node;  // what the subkey walk reads of a key
  node.subkey_count = subkey_count;
  node.subkey_list_offset = subkey_list_offset;
  const RegistryKey key{hive_, offset, &node, nullptr};
  auto visited = key.visit_subkeys([&](RegistryKey&& subkey) {
    frame.children.push_back({subkey.offset, subkey.node().subkey_list_offset, static_cast<std::uint32_t>(frame.names.size()),
                              static_cast<std::uint32_t>(subkey.node().name().size()), WalkedNode::of(subkey.node())});
    frame.names.append(subkey.node().name());
  });
  if (!visited) {  // met already by the subkey walk, which fails only under strict reading
    add_error(batch, std::move(visited.error()));
    return false;
  }
  if (frame.children.empty()) return true;
  if (depth_ == MAX_KEY_DEPTH) {
    meet(batch, offset, RegistryError::invalid_format("Key at offset " + hex_form(offset) + " has subkeys more than " +
                                                   decimal(MAX_KEY_DEPTH) + " levels below the start of the walk"));
    return false;
  }
  const std::uint64_t image_length = hive_->bytes().size();
  waiting_keys_ += frame.children.size();
  waiting_name_bytes_ += frame.names.size();
  if (waiting_keys_ > image_length / MIN_KEY_NODE_CELL || waiting_name_bytes_ > MAX_NAME_EXPANSION * image_length) {
    waiting_keys_ -= frame.children.size();
    waiting_name_bytes_ -= frame.names.size();
    meet(batch, offset, RegistryError::invalid_format("Key at offset " + hex_form(offset) +
                                                           " lists more keys than the hive holds (keys listed over and over)"));
    return false;
  }
  ++depth_;
  return true;
}

bool TreeWalk::finished() const noexcept {
  return started_ && std::ranges::all_of(std::span(frames_).first(depth_),
                                         [](const Frame& f) { return f.next == f.children.size(); });
}

void TreeWalk::next_batch(std::size_t max_keys, WalkBatch& batch) {
  std::size_t added = 0;
  if (!started_) {
    started_ = true;
    auto start = hive_->get_key(start_);
    if (!start) {
      meet(batch, start_, std::move(start.error()));
      return;
    }
    add_key(batch, start_, WalkedNode::of(start->node()), start->node().name(), 0);
    ++added;
    if (!enter(start_, start->node().subkey_count, start->node().subkey_list_offset, batch)) return;
  }
  while (depth_ > 0 && added < max_keys) {
    Frame& top = frames_[depth_ - 1];
    if (top.next == top.children.size()) {
      --depth_;
      continue;
    }
    const Child child = top.children[top.next++];
    --waiting_keys_;
    waiting_name_bytes_ -= child.name_size;
    const auto path = std::span(frames_).first(depth_);
    if (std::ranges::any_of(path, [&](const Frame& f) { return f.owner == child.offset; })) {
      if (meet(batch, top.owner, RegistryError::invalid_format("Key at offset " + hex_form(top.owner) +
                                                               " lists a key on its own path: offset " +
                                                               hex_form(child.offset))))
        return;
      continue;
    }
    add_key(batch, child.offset, child.node, std::string_view(top.names).substr(child.name_at, child.name_size), depth_);
    ++added;
    if (!enter(child.offset, child.node.subkey_count, child.subkey_list_offset, batch)) return;
  }
}

}  // namespace kelpa
