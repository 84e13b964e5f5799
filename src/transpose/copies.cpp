// Copies of enclosing groups: one Content per distinct element, one Container per place; and
// the places built as output nodes.
#include "transpose/copies.h"

#include <cstring>
#include <map>
#include <unordered_map>

#include "transpose/layout.h"
#include "transpose/sources.h"

namespace {

std::unordered_multimap<std::uint64_t, std::uint32_t> content_index;
IdIndex sub_index(
    IdIndex::Keys::ANY);  // (place << 32 | content) -> the copy of that content below that place

bool same_content(const Content& content, const DataNode* group) {
  return content.type == group->type && content.size == group->size &&
         names_equal(content.name, group->name) &&
         (group->size == 0 ||
          std::memcmp(&laid_out.content_bytes[content.data], group->data, group->size) == 0);
}

std::uint32_t intern_content(const DataNode* group) {
  const std::uint64_t hash = content_hash(group);
  const auto [first, last] = content_index.equal_range(hash);
  const auto number = static_cast<std::uint32_t>(laid_out.contents.size());
  std::uint32_t of_class = number;
  for (auto it = first; it != last; ++it) {
    const Content& known = laid_out.contents[it->second];
    if (!same_content(known, group))
      continue;
    if (std::memcmp(known.name, group->name, NAME_SIZE) == 0)
      return it->second;
    of_class = known.of_class;  // the same but for bytes after the name's end
  }
  Content content;
  std::memcpy(content.name, group->name, NAME_SIZE);
  content.type = group->type;
  content.size = group->size;
  content.of_class = of_class;
  content.data = laid_out.content_bytes.size();
  if (group->size != 0)
    laid_out.content_bytes.insert(laid_out.content_bytes.end(), group->data,
                                  group->data + group->size);
  laid_out.contents.push_back(content);
  content_index.emplace(hash, number);
  return number;
}

// ---- Places whose arrays meet a child of one of their names (a copy of an enclosing group
// named like a requested array, or, for the empty name, the end-of-group marker). Appending
// to such a place finds that child, or no child at all once two bear the name, and what it
// appends to a copy changes which later samples share it: such places, with everything below
// them, are built as output nodes by the trajectory store, values and all, as the tree would
// be. They are found by their path (the copies from the trajectory group down) in a first
// count, which then starts again.

std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> path_trie;  // path 0: none
std::vector<bool> node_paths;  // paths whose places are built as nodes
std::unordered_map<std::uint32_t, DataNode*> place_nodes;
DataNode node_holder;  // the parent of every place's node

// The node whose children are the place's; only the children are written.
DataNode* place_node(std::uint32_t place_number) {
  const auto found = place_nodes.find(place_number);
  if (found != place_nodes.end())
    return found->second;
  DataNode templ{};
  templ.type = ROOT_TYPE;
  DataNode* node = add_group(&node_holder, &templ);
  place_nodes.emplace(place_number, node);
  return node;
}

}  // namespace

std::uint32_t new_container(std::uint32_t content) {
  laid_out.containers.push_back(Container{ 0, 0, 0, NO_CONTAINER, NO_CONTAINER, content });
  return static_cast<std::uint32_t>(laid_out.containers.size() - 1);
}

std::uint64_t copy_key(std::uint32_t place, std::uint32_t content) {
  return std::uint64_t{ place } << 32 | laid_out.contents[content].of_class;
}

std::uint32_t copy_place(std::uint32_t place, std::uint32_t content, std::uint64_t hash,
                         bool* added) {
  const std::uint64_t key = copy_key(place, content);
  IdIndex::Slot* slot = sub_index.find_or_add(
      key, hash, static_cast<std::uint32_t>(laid_out.containers.size()), added);
  if (!*added)
    return slot->number;
  const std::uint32_t copy = new_container(content);
  Container& parent = laid_out.containers[place];
  laid_out.containers[copy].next_sub = parent.first_sub;
  parent.first_sub = copy;
  return copy;
}

void enclosing_chain(DataNode* group, std::vector<std::uint32_t>* chain,
                     std::vector<DataNode*>* groups) {
  chain->clear();
  groups->clear();
  for (DataNode* enclosing = group; enclosing != nullptr; enclosing = enclosing->parent) {
    if (is_copied(enclosing)) {
      chain->push_back(intern_content(enclosing));
      groups->push_back(enclosing);
    }
  }
}

std::uint32_t path_below(std::uint32_t path, std::uint32_t content) {
  const auto next = static_cast<std::uint32_t>(path_trie.size() + 1);
  return path_trie.emplace(std::make_pair(path, content), next).first->second;
}

bool is_node_path(std::uint32_t path) {
  return path < node_paths.size() && node_paths[path];
}

// As the tree's walk appends it.
void append_to_node(std::uint32_t place_number, const std::vector<DataNode*>& groups,
                    std::size_t level, std::uint32_t k) {
  DataNode* target = place_node(place_number);
  for (std::size_t i = level; i < groups.size(); i++)
    target = copy_below(target, groups[i], content_hash(groups[i]));
  for (std::uint32_t j = 0; j < value_count; j++) {
    const double value = j + 1 == value_count ? loop_value() : sample_value(j, k);
    append_sample(target, value_names[j], &value);
  }
}

// The places that take samples and have a child of a requested name besides their arrays,
// and those with a copy that closes their level.
bool mark_node_paths() {
  bool empty_name = false;
  for (const char* name : laid_out.array_names)
    empty_name = empty_name || name[0] == '\0';
  std::vector<bool> named_like_array(laid_out.contents.size());
  bool any_named = false;
  for (std::size_t c = 0; c < laid_out.contents.size(); c++) {
    for (const char* name : laid_out.array_names)
      named_like_array[c] = named_like_array[c] || name_equals(laid_out.contents[c].name, name);
    any_named = any_named || named_like_array[c];
  }
  // A copy whose type word carries the end-of-group flag closes the level it stands in:
  // the tree writes nothing of that level after it, not even the level's own end marker.
  std::vector<bool> closes_level(laid_out.contents.size());
  bool any_closing = false;
  for (std::size_t c = 0; c < laid_out.contents.size(); c++) {
    closes_level[c] = (laid_out.contents[c].type & FLAG_END_GROUP) != 0;
    any_closing = any_closing || closes_level[c];
  }
  if (!empty_name && !any_named && !any_closing)
    return false;
  bool marked = false;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pending;  // place, its path
  for (const Track& track : laid_out.tracks) {
    pending.emplace_back(track.container, 0);
    while (!pending.empty()) {
      const auto [place_number, path] = pending.back();
      pending.pop_back();
      const Container& place = laid_out.containers[place_number];
      bool meets = place.samples != 0 && empty_name;
      for (std::uint32_t sub = place.first_sub; sub != NO_CONTAINER;
           sub = laid_out.containers[sub].next_sub) {
        const std::uint32_t content = laid_out.containers[sub].content;
        pending.emplace_back(sub, path_below(path, laid_out.contents[content].of_class));
        meets = meets || (place.samples != 0 && named_like_array[content]) || closes_level[content];
      }
      if (meets) {
        if (node_paths.size() <= path)
          node_paths.resize(path + 1);
        node_paths[path] = true;
        marked = true;
      }
    }
  }
  return marked;
}

void prefetch_copy(std::uint64_t hash) {
  sub_index.prefetch_hashed(hash);
}

bool any_node_paths() {
  return !node_paths.empty();
}

const DataNode* node_of_place(std::uint32_t place_number) {
  if (place_nodes.empty())
    return nullptr;
  const auto found = place_nodes.find(place_number);
  return found != place_nodes.end() ? found->second : nullptr;
}

bool any_node_places() {
  return !place_nodes.empty();
}

std::size_t copy_lookup_bytes() {
  return sub_index.capacity() * sizeof(IdIndex::Slot);
}

void forget_copy_lookups() {
  sub_index.clear();
  content_index.clear();
}

void forget_copies(bool paths) {
  forget_copy_lookups();
  free_tree(&node_holder);
  place_nodes.clear();
  init_root(&node_holder);
  if (paths) {
    node_paths.clear();
    path_trie.clear();
  }
}

bool is_node_place(std::uint32_t place_number) {
  return place_nodes.count(place_number) != 0;
}
