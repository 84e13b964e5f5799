// The layout of the laid-out transposition: where every element of the output goes, and the
// element headers and group values written into the output's bytes or a window of them.
#include "transpose/layout.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "transpose/copies.h"
#include "transpose/sources.h"

namespace {

constexpr std::uint32_t TRAJECTORY_TYPE = FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE;
constexpr std::uint32_t ARRAY_TYPE = FLAG_ARRAY | TYPE_DOUBLE;

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

// Copies below a place, newest first (as their list runs), collected ahead.
struct SubList {
  const std::uint32_t* subs;  // null: not collected
  std::size_t count;
};

// Lays out (and puts the part that falls in the window of) the children of `place` from `at`,
// then its end-of-group marker; returns where the next element begins. Recursion goes one
// level per copied enclosing group: no deeper than the reader lets groups nest.
std::uint64_t lay_out_children(const Writing& writing, std::uint32_t place_number,
                               std::uint64_t at, SubList given = { nullptr, 0 }) {
  Container& place = laid_out.containers[place_number];
  if (const DataNode* node = node_of_place(place_number))
    return lay_out_nodes(writing, node, at);
  std::uint32_t block_after = NO_CONTAINER;
  if (place.samples != 0 && place.first_sub != NO_CONTAINER) {
    const auto found = laid_out.block_after.find(place_number);
    if (found != laid_out.block_after.end())
      block_after = found->second;
  }
  if (place.samples != 0 && block_after == NO_CONTAINER)
    at = lay_out_block(writing, place, at);
  // Copies not collected ahead are collected here, after those of the levels above (deeper
  // levels append theirs and may move the vector: they are read by index).
  thread_local std::vector<std::uint32_t> collected;
  const std::size_t base = collected.size();
  const bool own = given.subs == nullptr;
  std::size_t count = given.count;
  if (own) {
    for (std::uint32_t sub = place.first_sub; sub != NO_CONTAINER;
         sub = laid_out.containers[sub].next_sub)
      collected.push_back(sub);
    count = collected.size() - base;
  }
  const auto sub_at = [&](std::size_t k) { return own ? collected[base + k] : given.subs[k]; };
  // They are taken from the list's end, oldest first. Copies made one after another below one
  // place lie far apart among all places: each copy, then what it leads to, is fetched ahead.
  const Container* const places = laid_out.containers.data();
  for (std::size_t i = count; i > 0; i--) {
    if (i > 2 * PREFETCH_DISTANCE)
      __builtin_prefetch(&places[sub_at(i - 1 - 2 * PREFETCH_DISTANCE)]);
    if (i > PREFETCH_DISTANCE) {
      const Container& ahead = places[sub_at(i - 1 - PREFETCH_DISTANCE)];
      __builtin_prefetch(&laid_out.contents[ahead.content]);
      if (ahead.first_sub != NO_CONTAINER)
        __builtin_prefetch(&places[ahead.first_sub]);
    }
    const std::uint32_t sub = sub_at(i - 1);
    const Content& content = laid_out.contents[laid_out.containers[sub].content];
    put_header(writing, at, content.name, content.type, content.size);
    at += ELEMENT_HEADER_SIZE;
    put_bytes(writing, at, laid_out.content_bytes.data() + content.data, content.size);
    at = lay_out_children(writing, sub, at + content.size);
    if (place.samples != 0 && block_after == sub)
      at = lay_out_block(writing, laid_out.containers[place_number], at);
  }
  collected.resize(base);
  static const char no_name[NAME_SIZE] = {};
  put_header(writing, at, no_name, END_MARKER_TYPE, 0);
  return at + ELEMENT_HEADER_SIZE;
}

std::uint64_t lay_out_trajectory(const Writing& writing, const Track& track, std::uint64_t at,
                                 SubList subs = { nullptr, 0 }) {
  put_header(writing, at, id_name_field, TRAJECTORY_TYPE, sizeof(double));
  put_bytes(writing, at + ELEMENT_HEADER_SIZE, &track.id, sizeof(double));
  return lay_out_children(writing, track.container, at + ELEMENT_HEADER_SIZE + sizeof(double),
                          subs);
}

// Lays out trajectories [begin, end), each where the count said it begins. A trajectory's
// copies are a chain through places that lie far apart: the chains of a few trajectories are
// followed side by side, so that fetching one's next link overlaps fetching the others'.
void lay_out_trajectories(const Writing& writing, std::size_t begin, std::size_t end) {
  constexpr std::size_t SIDE_BY_SIDE = 16;
  thread_local std::vector<std::uint32_t> lists[SIDE_BY_SIDE];
  const Container* const places = laid_out.containers.data();
  for (std::size_t first = begin; first < end; first += SIDE_BY_SIDE) {
    const std::size_t count = std::min(SIDE_BY_SIDE, end - first);
    std::uint32_t next[SIDE_BY_SIDE];
    for (std::size_t i = 0; i < count; i++) {
      lists[i].clear();
      next[i] = places[laid_out.tracks[first + i].container].first_sub;
    }
    for (bool any = true; any;) {
      any = false;
      for (std::size_t i = 0; i < count; i++) {
        if (next[i] == NO_CONTAINER)
          continue;
        lists[i].push_back(next[i]);
        next[i] = places[next[i]].next_sub;
        any = true;
      }
    }
    for (std::size_t i = 0; i < count; i++) {
      const Track& track = laid_out.tracks[first + i];
      lay_out_trajectory(writing, track, track.start, SubList{ lists[i].data(), lists[i].size() });
    }
  }
}

}  // namespace

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
  if (any_node_places()) {
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

void lay_out_output(unsigned char* image) {
  const Writing writing{ image, 0, image != nullptr ? laid_out.output_size : 0, true, false };
  // The work is in the places (a trajectory may hold thousands of copied groups): many of them
  // are laid out in two parts however few the trajectories. Each trajectory begins where the
  // count said, and its places are its own: the two parts lay out different trajectories, and
  // fault in different pages of the image.
  const std::size_t fewest = laid_out.containers.size() >= PARALLEL_ITEMS ? 2 : PARALLEL_ITEMS;
  in_two_parts(
      laid_out.tracks.size(), any_item,
      [&writing](std::size_t begin, std::size_t end) { lay_out_trajectories(writing, begin, end); },
      fewest);
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
  auto end = track;
  while (end != laid_out.tracks.end() && end->start < window_start + window_length)
    ++end;
  lay_out_trajectories(writing, static_cast<std::size_t>(track - laid_out.tracks.begin()),
                       static_cast<std::size_t>(end - laid_out.tracks.begin()));
}
