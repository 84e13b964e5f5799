// The first walk of the laid-out transposition, which counts: the trajectories in the order
// first met, the places below them and their samples, with every failure transpose_group
// would meet, in its order.
#include "transpose/count.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/memory.h"
#include "base/progress.h"
#include "base/report.h"
#include "transpose/copies.h"
#include "transpose/fill.h"
#include "transpose/layout.h"
#include "transpose/selection.h"
#include "transpose/sources.h"

LaidOut laid_out;
std::uint32_t largest_share = 1;

namespace {

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

// A place's first sample puts its arrays after the copies made so far. The sample that would
// take an array past 4 GiB ends the run, naming the first entry whose append would.
void check_room(std::uint64_t samples_before) {
  for (std::uint32_t j = 0; j < value_count; j++) {
    const EntryPlace& place = laid_out.entry_places[j];
    if (samples_before * place.share + place.occurrence + 1 > MAX_VALUES)
      error_exit("Array \"%s\" would reach 4 GiB in the output\n", value_names[j]);
  }
}

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
    const Track* const tracks = laid_out.tracks.data();
    const Container* const containers = laid_out.containers.data();
    for (std::size_t k = 0; k < count; k++) {
      if (level == 0 && k + PREFETCH_DISTANCE < count) {
        const std::uint32_t ahead = tracks[chained_tracks[k + PREFETCH_DISTANCE]].last_copy;
        if (ahead != NO_CONTAINER)
          __builtin_prefetch(&containers[ahead]);
      }
      const std::uint32_t last = tracks[chained_tracks[k]].last_copy;
      if (level == 0 && last != NO_CONTAINER &&
          laid_out.contents[laid_out.containers[last].content].of_class ==
              laid_out.contents[content].of_class)
        chained_places[k] = last;
      else
        lookups.push_back(k);
    }
    chained_hashes.resize(lookups.size());
    for (std::size_t i = 0; i < lookups.size(); i++)
      chained_hashes[i] = IdIndex::hash_of(copy_key(chained_places[lookups[i]], content));
    const std::uint64_t copy_size =
        2 * ELEMENT_HEADER_SIZE + laid_out.contents[content].size;  // its header, value, end
    for (std::size_t i = 0; i < lookups.size(); i++) {
      if (i + PREFETCH_DISTANCE < lookups.size())
        prefetch_copy(chained_hashes[i + PREFETCH_DISTANCE]);
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
    if (k + PREFETCH_DISTANCE < count) {
      __builtin_prefetch(&laid_out.tracks[chained_tracks[k + PREFETCH_DISTANCE]], 1);
      __builtin_prefetch(&laid_out.containers[chained_places[k + PREFETCH_DISTANCE]], 1);
    }
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

void count_samples(std::uint32_t begin, std::uint32_t end, std::uint32_t group_end,
                   bool has_copies);

// What the process may still take beside what it held when counting began; UINT64_MAX: no
// limit known.
std::uint64_t index_headroom = UINT64_MAX;
std::uint64_t index_bytes_at_start = 0;

std::uint64_t index_bytes() {
  return laid_out.tracks.capacity() * sizeof(Track) +
         laid_out.containers.capacity() * sizeof(Container) +
         id_index.capacity() * sizeof(IdIndex::Slot) + copy_lookup_bytes() +
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
  if (any_node_paths()) {
    chain_paths.assign(1, 0);
    for (std::uint32_t content : chain)
      chain_paths.push_back(path_below(chain_paths.back(), laid_out.contents[content].of_class));
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
  if (node_level != SIZE_MAX) {
    count_samples(sources.first_at_hand, id_selection != nullptr ? sources.end_at_hand : with_id,
                  with_id, has_copies);
  } else {
    for (std::uint32_t begin = 0, end = 0; begin < with_id; begin = end) {
      end = with_id - begin > samples_per_part ? begin + samples_per_part : with_id;
      take_samples(begin, end, false);
      count_samples(sources.first_at_hand, sources.end_at_hand, with_id, has_copies);
    }
  }
  if (with_id < samples)
    error_exit("ID array shorter than data arrays\n");
  std::uint64_t shortest = samples;
  std::uint64_t longest = sources.longest;
  if (id_selection != nullptr) {
    // As if the samples not selected were not in the arrays: a group left without any is
    // passed over, and only selected values beyond the shortest array make the arrays unequal.
    shortest = selected_samples();
    if (shortest == 0) {
      laid_out.plans.pop_back();
      show_walk_progress(group, false);
      return 0;
    }
    laid_out.plans.back().samples = static_cast<std::uint32_t>(shortest);
    if (longest <= samples) {
      longest = shortest;
    } else {
      const std::uint32_t with_ids =
          sources.id_array != nullptr ? std::min(sources.longest, sources.id_count) : longest;
      longest = shortest + count_selected(samples, with_ids) + (sources.longest - with_ids);
    }
  }
  if (longest > shortest)
    error_exit("Not all arrays terminate at length %d\n", static_cast<int>(shortest));
  show_walk_progress(group, true);
  return 0;
}

// Samples [begin, end) of the group being counted, at hand: each to its trajectory, and to its
// place below it when the group has copies. The group's identifiers end at `group_end`: the
// identifier index may take room for all still to come, whatever part of them is at hand.
void count_samples(std::uint32_t begin, std::uint32_t end, std::uint32_t group_end,
                   bool has_copies) {
  key_samples(begin, end);
  const std::uint32_t first = sources.first_at_hand;
  for (std::uint32_t k = begin; k < end; k++) {
    if (k + PREFETCH_DISTANCE < end)
      id_index.prefetch(sample_keys[k + PREFETCH_DISTANCE - first]);
    bool added = false;
    IdIndex::Slot* slot = id_index.find_or_add(sample_keys[k - first],
                                               static_cast<std::uint32_t>(laid_out.tracks.size()),
                                               &added, group_end - k);
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
    chained_tracks.push_back(slot->number);
  }
  if (has_copies) {
    // The second walk takes these samples' places from the sample log, not from their
    // identifiers: it checks them against this digest instead.
    laid_out.plans.back().identifiers += identifier_digest(begin, end);
    // The trajectories are met in any order: their places are fetched a few ahead.
    const std::size_t count = chained_tracks.size();
    const Track* const tracks = laid_out.tracks.data();
    chained_places.resize(count);
    for (std::size_t k = 0; k < count; k++) {
      if (k + PREFETCH_DISTANCE < count)
        __builtin_prefetch(&tracks[chained_tracks[k + PREFETCH_DISTANCE]]);
      chained_places[k] = tracks[chained_tracks[k]].container;
    }
    count_copied_samples(begin);
  }
}

// Forgets all that a count found, but the paths built as nodes.
void forget_everything() {
  clear_store();
  forget_copies(false);
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
  forget_copy_lookups();
  // The trajectory groups' own samples were counted in the index; from here on the index
  // leads from an identifier straight to its trajectory group's place.
  for (IdIndex::Slot& slot : id_index) {
    if (slot.number == NO_TRAJECTORY)
      continue;
    slot.number = laid_out.tracks[slot.number].container;
    laid_out.containers[slot.number].samples = slot.samples;
  }
}

}  // namespace

bool start_count(const LayoutSettings& settings) {
  laid_out.settings = settings;
  forget_copies(true);
  forget_everything();
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

void finish_count() {
  name_fields();
  laid_out.output_size = assign_starts();
  plan_windows();
  if (laid_out.window_count > 1)
    lay_out_output(nullptr);  // the windows' buckets need the places' positions
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

std::uint64_t output_trajectory_count() {
  return laid_out.tracks.size();
}

OutputPlan planned_output() {
  std::uint64_t samples = 0;
  for (const GroupPlan& plan : laid_out.plans)
    samples += plan.samples;
  return OutputPlan{ laid_out.tracks.size(), samples, laid_out.output_size, laid_out.window_count,
                     laid_out.window_size };
}

void tell_output_size(const char* name) {
  const OutputPlan plan = planned_output();
  std::fprintf(stderr, "%s: %llu %s, %llu %s, %llu bytes of output\n", name,
               static_cast<unsigned long long>(plan.trajectories),
               plan.trajectories == 1 ? "trajectory" : "trajectories",
               static_cast<unsigned long long>(plan.samples),
               plan.samples == 1 ? "sample" : "samples",
               static_cast<unsigned long long>(plan.bytes));
}

void tell_filling(const char* name, std::uint64_t memory_budget) {
  const OutputPlan plan = planned_output();
  if (memory_budget == 0)
    std::fprintf(stderr, "%s: no memory budget known: filled at once\n", name);
  else if (plan.windows <= 1)
    std::fprintf(stderr, "%s: memory budget %llu bytes: filled at once\n", name,
                 static_cast<unsigned long long>(memory_budget));
  else
    std::fprintf(stderr,
                 "%s: memory budget %llu bytes: filled in %llu windows of %llu bytes, through "
                 "temporary files\n",
                 name, static_cast<unsigned long long>(memory_budget),
                 static_cast<unsigned long long>(plan.windows),
                 static_cast<unsigned long long>(plan.window_size));
}
