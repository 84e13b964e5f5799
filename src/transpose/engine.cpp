// The laid-out transposition: the first walk, which counts, and the layout.
#include "transpose/engine.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <unordered_map>

#include "base/memory.h"
#include "base/progress.h"
#include "base/report.h"
#include "transpose/fill.h"
#include "transpose/layout.h"
#include "transpose/sources.h"

LaidOut laid_out;

namespace {

constexpr std::uint32_t TRAJECTORY_TYPE = FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE;
constexpr std::uint32_t ARRAY_TYPE = FLAG_ARRAY | TYPE_DOUBLE;
// Values an output array holds before its size would reach 4 GiB.
constexpr std::uint64_t MAX_VALUES = UINT32_MAX / sizeof(double);
// Bytes of the sample log kept in memory before it goes to a temporary file.
constexpr std::size_t SAMPLE_LOG_BUFFER = 256 << 10;

// Entries that share a name append to one array: the first entry of a name makes it, and
// each sample adds the values of all of them, in entry order.
void plan_request() {
  laid_out.array_names.clear();
  laid_out.array_shares.clear();
  laid_out.entry_places.assign(value_count, EntryPlace{});
  for (std::uint32_t j = 0; j < value_count; j++) {
    std::uint32_t a = 0;
    while (a < laid_out.array_names.size() &&
           std::strcmp(laid_out.array_names[a], value_names[j]) != 0)
      a++;
    if (a == laid_out.array_names.size()) {
      laid_out.array_names.push_back(value_names[j]);
      laid_out.array_shares.push_back(0);
    }
    laid_out.entry_places[j].array = a;
    laid_out.entry_places[j].occurrence = laid_out.array_shares[a]++;
  }
  std::uint32_t before = 0;
  std::vector<std::uint32_t> before_array(laid_out.array_names.size());
  for (std::size_t a = 0; a < laid_out.array_names.size(); a++) {
    before_array[a] = before;
    before += laid_out.array_shares[a];
  }
  for (EntryPlace& place : laid_out.entry_places) {
    place.before = before_array[place.array];
    place.share = laid_out.array_shares[place.array];
  }
}

// ---- Copies of enclosing groups: one Content per distinct element, one Container per place.

std::unordered_multimap<std::uint64_t, std::uint32_t> content_index;
IdIndex sub_index;  // (place << 32 | content) -> the copy of that content below that place

bool same_content(const Content& content, const DataNode* group) {
  return content.type == group->type && content.size == group->size &&
         names_equal(content.name, group->name) &&
         (group->size == 0 ||
          std::memcmp(&laid_out.content_bytes[content.data], group->data, group->size) == 0);
}

std::uint32_t intern_content(const DataNode* group) {
  const std::uint64_t hash = content_hash(group);
  const auto [first, last] = content_index.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    if (same_content(laid_out.contents[it->second], group))
      return it->second;
  }
  Content content;
  std::memcpy(content.name, group->name, NAME_SIZE);
  content.type = group->type;
  content.size = group->size;
  content.data = laid_out.content_bytes.size();
  if (group->size != 0)
    laid_out.content_bytes.insert(laid_out.content_bytes.end(), group->data,
                                  group->data + group->size);
  const auto number = static_cast<std::uint32_t>(laid_out.contents.size());
  laid_out.contents.push_back(content);
  content_index.emplace(hash, number);
  return number;
}

std::uint32_t new_container(std::uint32_t content) {
  laid_out.containers.push_back(Container{ 0, 0, 0, NO_CONTAINER, NO_CONTAINER, content });
  return static_cast<std::uint32_t>(laid_out.containers.size() - 1);
}

// The copy of `content` below `place`, made after the copies made before it when new.
std::uint32_t copy_place(std::uint32_t place, std::uint32_t content, std::uint64_t hash,
                         bool* added) {
  const std::uint64_t key = std::uint64_t{ place } << 32 | content;
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

// Whether an enclosing group is copied below each trajectory: all but those without a value
// of their own (bit 0x10 of the type word) and those named like the loop variable.
bool is_copied(const DataNode* enclosing) {
  return (enclosing->type & TYPE_NULL) == 0 && !name_equals(enclosing->name, loop_var_name);
}

// The enclosing groups of `group` copied below each trajectory, innermost first.
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

std::uint32_t path_below(std::uint32_t path, std::uint32_t content) {
  const auto next = static_cast<std::uint32_t>(path_trie.size() + 1);
  return path_trie.emplace(std::make_pair(path, content), next).first->second;
}

bool is_node_path(std::uint32_t path) {
  return path < node_paths.size() && node_paths[path];
}

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

// Sample k of the resolved group below the place's node, through the copies of the chain's
// groups from `level` on, as the tree's walk appends it.
void append_to_node(std::uint32_t place_number, const std::vector<DataNode*>& groups,
                    std::size_t level, std::uint32_t k) {
  DataNode* target = place_node(place_number);
  for (std::size_t i = level; i < groups.size(); i++)
    target = copy_below(target, groups[i], content_hash(groups[i]));
  for (std::uint32_t j = 0; j < value_count; j++) {
    const bool is_loop_var = j + 1 == value_count;
    double value;
    std::memcpy(&value, sources.entries[j].node->data + (is_loop_var ? 0 : std::size_t{ k } * 8),
                sizeof value);
    append_sample(target, value_names[j], &value);
  }
}

// A place's first sample puts its arrays after the copies made so far. The sample that would
// take an array past 4 GiB ends the run, naming the first entry whose append would.
void check_room(std::uint64_t samples_before) {
  for (std::uint32_t j = 0; j < value_count; j++) {
    const EntryPlace& place = laid_out.entry_places[j];
    if (samples_before * place.share + place.occurrence + 1 > MAX_VALUES)
      error_exit("Array \"%s\" would reach 4 GiB in the output\n", value_names[j]);
  }
}

std::uint32_t largest_share = 1;

void count_direct_sample(std::uint32_t place_number) {
  Container& place = laid_out.containers[place_number];
  if (place.samples == 0 && place.first_sub != NO_CONTAINER)
    laid_out.block_after.emplace(place_number, place.first_sub);
  if ((std::uint64_t{ place.samples } + 1) * largest_share > MAX_VALUES)
    check_room(place.samples);
  place.samples++;
}

std::vector<std::uint32_t> chain;
std::vector<DataNode*> chain_groups;
std::vector<std::uint32_t> chain_paths;     // the path of each level, the trajectory group's first
std::size_t node_level = SIZE_MAX;          // the first level whose places are nodes, if any
std::vector<std::uint32_t> chained_places;  // the group's samples' places, level by level
std::vector<std::uint32_t> chained_tracks;  // and their trajectories
std::vector<std::uint64_t> chained_hashes;
std::vector<std::size_t> lookups;  // the samples whose copy at a level is looked up

// The samples of a group with copies, from their trajectory groups down through the chain, a
// level at a time for all samples, so that the lookups of a few samples ahead are announced
// to the memory system while one is made.
void count_copied_samples(std::uint32_t first_sample) {
  const std::size_t count = chained_places.size();
  for (std::size_t level = 0; level < chain.size() && level < node_level; level++) {
    const std::uint32_t content = chain[level];
    // Below the trajectory group, a sample mostly goes through the copy its trajectory's last
    // sample went through (the steps of one run); only the others are looked up.
    lookups.clear();
    for (std::size_t k = 0; k < count; k++) {
      const std::uint32_t last = laid_out.tracks[chained_tracks[k]].last_copy;
      if (level == 0 && last != NO_CONTAINER && laid_out.containers[last].content == content)
        chained_places[k] = last;
      else
        lookups.push_back(k);
    }
    chained_hashes.resize(lookups.size());
    for (std::size_t i = 0; i < lookups.size(); i++)
      chained_hashes[i] =
          IdIndex::hash_of(std::uint64_t{ chained_places[lookups[i]] } << 32 | content);
    const std::uint64_t copy_size =
        2 * ELEMENT_HEADER_SIZE + laid_out.contents[content].size;  // its header, value, end
    for (std::size_t i = 0; i < lookups.size(); i++) {
      if (i + PREFETCH_DISTANCE < lookups.size())
        sub_index.prefetch(chained_hashes[i + PREFETCH_DISTANCE]);
      const std::size_t k = lookups[i];
      bool added = false;
      chained_places[k] = copy_place(chained_places[k], content, chained_hashes[i], &added);
      Track& track = laid_out.tracks[chained_tracks[k]];
      if (added)
        track.start += copy_size;
      if (level == 0)
        track.last_copy = chained_places[k];
    }
  }
  const std::uint64_t sample_size = laid_out.entry_places.size() * sizeof(double);
  const std::uint64_t headers_size = laid_out.array_names.size() * ELEMENT_HEADER_SIZE;
  for (std::size_t k = 0; k < count; k++) {
    if (node_level <= chain.size()) {
      append_to_node(chained_places[k], chain_groups, node_level,
                     first_sample + static_cast<std::uint32_t>(k));
    } else {
      // The trajectory grows by the sample's values, and by its arrays' headers with the
      // place's first sample.
      laid_out.tracks[chained_tracks[k]].start +=
          sample_size + (laid_out.containers[chained_places[k]].samples == 0 ? headers_size : 0);
      count_direct_sample(chained_places[k]);
    }
    std::memcpy(laid_out.sample_log->append(0, sizeof(std::uint32_t)), &chained_places[k],
                sizeof(std::uint32_t));
  }
  chained_places.clear();
  chained_tracks.clear();
}

void count_samples(std::uint32_t begin, std::uint32_t end, bool has_copies);

// What the process may still take beside what it held when counting began; UINT64_MAX: no
// limit known.
std::uint64_t index_headroom = UINT64_MAX;
std::uint64_t index_bytes_at_start = 0;

std::uint64_t index_bytes() {
  return laid_out.tracks.capacity() * sizeof(Track) +
         laid_out.containers.capacity() * sizeof(Container) +
         id_index.capacity() * sizeof(IdIndex::Slot) +
         sub_index.capacity() * sizeof(IdIndex::Slot) +
         laid_out.contents.capacity() * sizeof(Content) + laid_out.content_bytes.capacity() +
         laid_out.plans.capacity() * sizeof(GroupPlan);
}

// Before the index grows: when all of it may double (as its lists and tables grow by doubling)
// and then not fit what the system lets the process have, the run ends now, with a message,
// rather than by the system's hand later.
void check_index_room() {
  const std::uint64_t grown = 2 * index_bytes();
  if (index_headroom == UINT64_MAX || grown <= index_bytes_at_start ||
      grown - index_bytes_at_start <= index_headroom)
    return;
  constexpr std::uint64_t MIB = std::uint64_t{ 1 } << 20;
  error_exit(
      "Not enough memory: the index of the trajectories (%zu met so far) would take %llu MiB, and "
      "the system lets this process have %llu MiB more\n",
      laid_out.tracks.size(), static_cast<unsigned long long>((grown + MIB - 1) / MIB),
      static_cast<unsigned long long>(index_headroom / MIB));
}

// The first walk: trajectories in the order first met, their places and sample counts, with
// the failures of transpose_group at the points where it meets them.
int count_group(DataNode* group, std::uint32_t) {
  if (!resolve_group(group, false)) {
    show_walk_progress(group, false);
    return 0;
  }
  const std::uint32_t samples = sources.samples;
  const std::uint32_t with_id =
      sources.id_array != nullptr && sources.id_count < samples ? sources.id_count : samples;
  enclosing_chain(group, &chain, &chain_groups);
  const bool has_copies = !chain.empty();
  node_level = SIZE_MAX;
  if (!node_paths.empty()) {
    chain_paths.assign(1, 0);
    for (std::uint32_t content : chain)
      chain_paths.push_back(path_below(chain_paths.back(), content));
    for (std::size_t level = 0; level < chain_paths.size() && node_level == SIZE_MAX; level++) {
      if (is_node_path(chain_paths[level]))
        node_level = level;
    }
    // Nodes take the values themselves.
    if (node_level != SIZE_MAX && !resolve_group(group, true))
      return 0;
  }
  laid_out.plans.push_back(GroupPlan{ group, samples, has_copies });
  // A group loaded for its nodes is at hand whole; else its identifiers come a part at a time.
  const std::uint32_t part = node_level != SIZE_MAX ? std::max(with_id, 1u) : samples_per_part;
  for (std::uint32_t begin = 0, end = 0; begin < with_id; begin = end) {
    end = with_id - begin > part ? begin + part : with_id;
    if (node_level == SIZE_MAX)
      take_samples(begin, end, false);
    count_samples(begin, end, has_copies);
  }
  if (with_id < samples)
    error_exit("ID array shorter than data arrays\n");
  if (sources.longest > samples)
    error_exit("Not all arrays terminate at length %d\n", static_cast<int>(samples));
  show_walk_progress(group, true);
  return 0;
}

// Samples [begin, end) of the group being counted, at hand: each to its trajectory, and to its
// place below it when the group has copies.
void count_samples(std::uint32_t begin, std::uint32_t end, bool has_copies) {
  hash_samples(begin, end);
  const std::uint32_t first = sources.first_at_hand;
  for (std::uint32_t k = begin; k < end; k++) {
    if (k + PREFETCH_DISTANCE < end)
      id_index.prefetch(sample_hashes[k + PREFETCH_DISTANCE - first]);
    bool added = false;
    IdIndex::Slot* slot =
        id_index.find_or_add(sample_keys[k - first], sample_hashes[k - first],
                             static_cast<std::uint32_t>(laid_out.tracks.size()), &added);
    if (added) {
      if (laid_out.tracks.size() == laid_out.tracks.capacity())
        check_index_room();
      const std::uint32_t root = new_container(NO_CONTAINER);
      laid_out.tracks.push_back(Track{ id_of_sample(k), 0, root, NO_CONTAINER });
    }
    if (!has_copies && node_level == 0) {
      append_to_node(laid_out.tracks[slot->number].container, chain_groups, 0, k);
      continue;
    }
    if (!has_copies) {
      // Samples placed in the trajectory group itself are counted in the index's slot, which
      // this loop touches anyway; they join the place once the walk is over.
      if (slot->samples == 0) {
        const std::uint32_t root = laid_out.tracks[slot->number].container;
        if (laid_out.containers[root].first_sub != NO_CONTAINER)
          laid_out.block_after.emplace(root, laid_out.containers[root].first_sub);
      }
      if ((std::uint64_t{ slot->samples } + 1) * largest_share > MAX_VALUES)
        check_room(slot->samples);
      slot->samples++;
      continue;
    }
    chained_places.push_back(laid_out.tracks[slot->number].container);
    chained_tracks.push_back(slot->number);
  }
  if (has_copies)
    count_copied_samples(begin);
}

// ---- Layout.

// Where the output's elements go: a window of the output's bytes and what to do there.
struct Writing {
  unsigned char* window;  // null: nothing is written
  std::uint64_t start;
  std::uint64_t length;
  bool place_positions;  // every place laid out gets its position
  bool reset_filled;     // places whose block meets the window have none filled yet
};

void put_bytes(const Writing& writing, std::uint64_t at, const void* bytes, std::uint64_t size) {
  if (writing.window == nullptr || size == 0 || at >= writing.start + writing.length ||
      at + size <= writing.start)
    return;
  const std::uint64_t from = at < writing.start ? writing.start - at : 0;
  const std::uint64_t to = std::min(size, writing.start + writing.length - at);
  std::memcpy(writing.window + (at + from - writing.start),
              static_cast<const unsigned char*>(bytes) + from, to - from);
}

void put_header(const Writing& writing, std::uint64_t at, const char* name_field,
                std::uint32_t type, std::uint64_t size) {
  ElementHeader header;
  std::memcpy(header.name, name_field, NAME_SIZE);
  header.type = type;
  header.size = static_cast<std::uint32_t>(size);
  unsigned char bytes[sizeof(ElementHeader)];
  encode_element_header(header, bytes);
  put_bytes(writing, at, bytes, sizeof bytes);
}

char id_name_field[NAME_SIZE];
std::vector<std::array<char, NAME_SIZE>> array_name_fields;

std::uint64_t lay_out_block(const Writing& writing, Container& place, std::uint64_t at) {
  if (writing.place_positions)
    place.position = at;
  if (writing.reset_filled && at < writing.start + writing.length &&
      at + block_size(place.samples) > writing.start)
    place.filled = 0;
  for (std::size_t a = 0; a < laid_out.array_names.size(); a++) {
    const std::uint64_t data_size =
        std::uint64_t{ place.samples } * laid_out.array_shares[a] * sizeof(double);
    put_header(writing, at, array_name_fields[a].data(), ARRAY_TYPE, data_size);
    at += ELEMENT_HEADER_SIZE + data_size;
  }
  return at;
}

// The children of a place built as nodes, with their subtrees, up to and including the end
// marker, each element header followed by its data, as the tree is written.
std::uint64_t lay_out_nodes(const Writing& writing, const DataNode* group, std::uint64_t at) {
  const DataNode* child = group->first_child;
  while (child != nullptr) {
    put_header(writing, at, child->name, child->type, child->size);
    at += ELEMENT_HEADER_SIZE;
    put_bytes(writing, at, child->data, child->size);
    at += child->size;
    if ((child->type & FLAG_GROUP) != 0 && child->first_child != nullptr) {
      child = child->first_child;
      continue;
    }
    while ((child->type & FLAG_END_GROUP) != 0 || child->next == nullptr) {
      child = child->parent;
      if (child == group)
        return at;
    }
    child = child->next;
  }
  return at;
}

// Lays out (and puts the part that falls in the window of) the children of `place` from `at`,
// then its end-of-group marker; returns where the next element begins. Recursion goes one
// level per copied enclosing group: no deeper than the reader lets groups nest.
std::uint64_t lay_out_children(const Writing& writing, std::uint32_t place_number,
                               std::uint64_t at) {
  Container& place = laid_out.containers[place_number];
  if (!place_nodes.empty()) {
    const auto node = place_nodes.find(place_number);
    if (node != place_nodes.end())
      return lay_out_nodes(writing, node->second, at);
  }
  std::uint32_t block_after = NO_CONTAINER;
  if (place.samples != 0 && place.first_sub != NO_CONTAINER) {
    const auto found = laid_out.block_after.find(place_number);
    if (found != laid_out.block_after.end())
      block_after = found->second;
  }
  if (place.samples != 0 && block_after == NO_CONTAINER)
    at = lay_out_block(writing, place, at);
  // The copies' list runs newest first: they are taken from its end, oldest first.
  thread_local std::vector<std::uint32_t> subs;
  const std::size_t base = subs.size();
  for (std::uint32_t sub = place.first_sub; sub != NO_CONTAINER;
       sub = laid_out.containers[sub].next_sub)
    subs.push_back(sub);
  for (std::size_t i = subs.size(); i > base; i--) {
    const std::uint32_t sub = subs[i - 1];
    const Content& content = laid_out.contents[laid_out.containers[sub].content];
    put_header(writing, at, content.name, content.type, content.size);
    at += ELEMENT_HEADER_SIZE;
    put_bytes(writing, at, laid_out.content_bytes.data() + content.data, content.size);
    at = lay_out_children(writing, sub, at + content.size);
    if (place.samples != 0 && block_after == sub)
      at = lay_out_block(writing, laid_out.containers[place_number], at);
  }
  subs.resize(base);
  static const char no_name[NAME_SIZE] = {};
  put_header(writing, at, no_name, END_MARKER_TYPE, 0);
  return at + ELEMENT_HEADER_SIZE;
}

std::uint64_t lay_out_trajectory(const Writing& writing, const Track& track, std::uint64_t at) {
  put_header(writing, at, id_name_field, TRAJECTORY_TYPE, sizeof(double));
  put_bytes(writing, at + ELEMENT_HEADER_SIZE, &track.id, sizeof(double));
  return lay_out_children(writing, track.container, at + ELEMENT_HEADER_SIZE + sizeof(double));
}

void name_fields() {
  set_name(id_name_field, id_array_name != nullptr ? id_array_name : "ID");
  array_name_fields.resize(laid_out.array_names.size());
  for (std::size_t a = 0; a < laid_out.array_names.size(); a++)
    set_name(array_name_fields[a].data(), laid_out.array_names[a]);
}

// Where each trajectory begins, and the output's size. Counting left in each trajectory's
// `start` the bytes of its copies and of their arrays; its own group and arrays follow from its
// count. Places built as nodes are measured by laying out every trajectory in turn.
std::uint64_t assign_starts() {
  std::uint64_t at = 0;
  if (!place_nodes.empty()) {
    const Writing none{ nullptr, 0, 0, false, false };
    for (Track& track : laid_out.tracks) {
      track.start = at;
      at = lay_out_trajectory(none, track, at);
    }
    return at;
  }
  for (Track& track : laid_out.tracks) {
    const Container& root = laid_out.containers[track.container];
    const std::uint64_t size = 2 * ELEMENT_HEADER_SIZE + sizeof(double) + track.start +
                               (root.samples != 0 ? block_size(root.samples) : 0);
    track.start = at;
    at += size;
  }
  return at;
}
// Marks the paths of places that take samples and have a child of a requested name besides
// their arrays, and of places with a copy that closes their level. Returns true when there is
// one.
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
        pending.emplace_back(sub, path_below(path, content));
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

// Forgets all that a count found, but the paths built as nodes.
void forget_everything() {
  clear_store();
  sub_index.clear();
  content_index.clear();
  free_tree(&node_holder);
  place_nodes.clear();
  LayoutSettings settings = laid_out.settings;
  laid_out = LaidOut{};
  laid_out.settings = settings;
}

// One count of every group below `root`.
void count_groups(DataNode* root) {
  laid_out.sample_log =
      std::make_unique<SpillBuckets>(1, SAMPLE_LOG_BUFFER, laid_out.settings.scratch_directory);
  start_walk_progress("counting", root);
  walk_groups(root, count_group, 0);
  end_progress();
  sub_index.clear();
  content_index.clear();
  // The trajectory groups' own samples were counted in the index; from here on the index
  // leads from an identifier straight to its trajectory group's place.
  for (IdIndex::Slot& slot : id_index) {
    if (slot.number == NO_TRAJECTORY)
      continue;
    slot.number = laid_out.tracks[slot.number].container;
    laid_out.containers[slot.number].samples = slot.samples;
  }
}

// What every count does first: the request planned, nothing found yet. False for a request
// without entries.
bool start_count(const LayoutSettings& settings) {
  laid_out.settings = settings;
  node_paths.clear();
  path_trie.clear();
  forget_everything();
  init_root(&node_holder);
  if (value_count == 0)
    return false;
  plan_request();
  largest_share = *std::max_element(laid_out.array_shares.begin(), laid_out.array_shares.end());
  begin_sources();
  set_samples_per_part(settings.memory_budget);
  index_headroom = memory_headroom();
  index_bytes_at_start = index_bytes();
  return true;
}

// And last: where each trajectory begins, the output's size, its windows.
void finish_count() {
  name_fields();
  laid_out.output_size = assign_starts();
  plan_windows();
  if (laid_out.window_count > 1)
    lay_out_output(nullptr);  // the windows' buckets need the places' positions
}

// Planning the groups for counts made elsewhere: true until a group is met that only a
// count in walk order can lay out.
bool counted_elsewhere = false;
std::uint64_t samples_planned = 0;

// The count's visit without the identifiers: its plan, and the failures count_group meets,
// in its order. A group with copies, and one after which some trajectory could have reached
// the size limit, end the planning: the count will be made in walk order.
int plan_group(DataNode* group, std::uint32_t) {
  if (!counted_elsewhere)
    return 0;
  if (!resolve_group(group, false)) {
    show_walk_progress(group, false);
    return 0;
  }
  const std::uint32_t samples = sources.samples;
  if ((samples_planned + samples) * largest_share > MAX_VALUES) {
    counted_elsewhere = false;
    return 0;
  }
  samples_planned += samples;
  for (const DataNode* enclosing = group; enclosing != nullptr; enclosing = enclosing->parent) {
    if (is_copied(enclosing)) {
      counted_elsewhere = false;
      return 0;
    }
  }
  laid_out.plans.push_back(GroupPlan{ group, samples, false });
  if (sources.id_array != nullptr && sources.id_count < samples)
    error_exit("ID array shorter than data arrays\n");
  if (sources.longest > samples)
    error_exit("Not all arrays terminate at length %d\n", static_cast<int>(samples));
  show_walk_progress(group, true);
  return 0;
}

}  // namespace

bool is_node_place(std::uint32_t place_number) {
  return place_nodes.count(place_number) != 0;
}

void lay_out_output(unsigned char* image) {
  const Writing writing{ image, 0, image != nullptr ? laid_out.output_size : 0, true, false };
  // Each trajectory begins where the count said, and its places are its own: the two parts
  // lay out different trajectories, and fault in different pages of the image.
  in_two_parts(laid_out.tracks.size(), any_item, [&writing](std::size_t begin, std::size_t end) {
    for (std::size_t t = begin; t < end; t++)
      lay_out_trajectory(writing, laid_out.tracks[t], laid_out.tracks[t].start);
  });
}

void put_headers(unsigned char* window, std::uint64_t window_start, std::uint64_t window_length,
                 bool reset_filled) {
  const Writing writing{ window, window_start, window_length, false, reset_filled };
  // The first trajectory that reaches into the window, then each up to its end.
  auto track = std::upper_bound(
      laid_out.tracks.begin(), laid_out.tracks.end(), window_start,
      [](std::uint64_t at, const Track& candidate) { return at < candidate.start; });
  if (track != laid_out.tracks.begin())
    --track;
  for (; track != laid_out.tracks.end() && track->start < window_start + window_length; ++track)
    lay_out_trajectory(writing, *track, track->start);
}

bool count_output(DataNode* root, const LayoutSettings& settings) {
  if (!start_count(settings))
    return false;
  keep_group_values(true);
  count_groups(root);
  if (mark_node_paths()) {
    forget_everything();
    plan_request();
    put_back_group_values();
    count_groups(root);
  }
  keep_group_values(false);
  finish_count();
  return true;
}

bool plan_all_groups(DataNode* root, const LayoutSettings& settings) {
  if (!start_count(settings))
    return false;
  laid_out.sample_log =
      std::make_unique<SpillBuckets>(1, SAMPLE_LOG_BUFFER, laid_out.settings.scratch_directory);
  counted_elsewhere = true;
  samples_planned = 0;
  // A requested array named "" meets the end marker of every trajectory group.
  for (const char* name : laid_out.array_names)
    counted_elsewhere = counted_elsewhere && name[0] != '\0';
  if (counted_elsewhere) {
    start_walk_progress("counting", root);
    walk_groups(root, plan_group, 0);
    end_progress();
  }
  return counted_elsewhere;
}

void count_plans(std::size_t first_plan, std::size_t end_plan, std::vector<CountedTrack>* counted) {
  IdIndex own_index;
  counted->clear();
  for (std::size_t p = first_plan; p < end_plan; p++) {
    const GroupPlan& plan = laid_out.plans[p];
    DataNode* group = const_cast<DataNode*>(plan.group);
    if (!resolve_group(group, false) || !plan_matches_sources(plan))
      report_error(error_table, ERR_INPUT_CHANGED, laid_out.settings.input_name);
    take_samples(0, plan.samples, false);
    hash_samples(0, plan.samples);
    for (std::uint32_t k = 0; k < plan.samples; k++) {
      if (k + PREFETCH_DISTANCE < plan.samples)
        own_index.prefetch(sample_hashes[k + PREFETCH_DISTANCE]);
      bool added = false;
      IdIndex::Slot* slot = own_index.find_or_add(
          sample_keys[k], sample_hashes[k], static_cast<std::uint32_t>(counted->size()), &added);
      if (added)
        counted->push_back(CountedTrack{ sample_keys[k], id_of_sample(k), 0 });
      slot->samples++;
    }
    for (DataNode* child = group->first_child; child != nullptr; child = child->next)
      release_data(child);
  }
  for (const IdIndex::Slot& slot : own_index) {
    if (slot.number != NO_TRAJECTORY)
      (*counted)[slot.number].samples = slot.samples;
  }
}

void merge_counts(const CountedTrack* counted, std::size_t count) {
  for (std::size_t t = 0; t < count; t++) {
    bool added = false;
    IdIndex::Slot* slot =
        id_index.find_or_add(counted[t].key, IdIndex::hash_of(counted[t].key),
                             static_cast<std::uint32_t>(laid_out.tracks.size()), &added);
    if (added) {
      const std::uint32_t root = new_container(NO_CONTAINER);
      laid_out.tracks.push_back(Track{ counted[t].id, 0, root, NO_CONTAINER });
    }
    slot->samples += static_cast<std::uint32_t>(counted[t].samples);
  }
  for (IdIndex::Slot& slot : id_index) {
    if (slot.number == NO_TRAJECTORY)
      continue;
    slot.number = laid_out.tracks[slot.number].container;
    laid_out.containers[slot.number].samples = slot.samples;
  }
  finish_count();
}

std::uint64_t output_trajectory_count() {
  return laid_out.tracks.size();
}
