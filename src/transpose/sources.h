// What a visit of the laid-out transposition reads in an input group, found as the getters of
// the output tree's walk find it; the identifiers of its samples; and work split in two parts.
#ifndef ZVBTRACK_TRANSPOSE_SOURCES_H_
#define ZVBTRACK_TRANSPOSE_SOURCES_H_

#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "base/platform.h"
#include "data/tree.h"

// What one request entry reads in the visited group.
struct Source {
  DataNode* node;
  std::uint32_t count;  // values, as doubles
};

struct GroupSources {
  DataNode* id_array;  // null: the sample index is the ID
  std::uint32_t id_count;
  std::uint32_t samples;  // of the shortest requested array
  std::uint32_t longest;  // the most values of any requested array
  std::vector<Source> entries;
  // The samples at hand, [first_at_hand, end_at_hand): each entry's values of them as
  // doubles, from the first on (the loop variable's one value), and their identifiers.
  std::uint32_t first_at_hand;
  std::uint32_t end_at_hand;
  std::vector<const unsigned char*> values_at_hand;
  const unsigned char* ids_at_hand;  // null without an ID array
};

extern GroupSources sources;

// Sizes `sources` for the request; called before a walk.
void begin_sources();

// Finds what the visit of `group` reads, with the getters' tests in their order, loading and
// converting what is found, and puts every sample at hand (with `load` false, data left on
// file are only checked as loading would check them, and no sample is at hand yet). Returns
// false when the group is skipped.
bool resolve_group(DataNode* group, bool load);

// Puts the samples [begin, end) of the group resolved without loading at hand: their
// identifiers, and with `values` every entry's values, read from file as far as they are
// there (in memory, they are at hand already). Does not return when the file no longer holds
// them.
void take_samples(std::uint32_t begin, std::uint32_t end, bool values);

// With identifiers selected, the samples at hand are only the selected ones, numbered in their
// order from 0 for the group's first selected sample, as if the others were not in the group.
// selected_samples gives how many of the group's samples were put at hand so far (without a
// selection: the group's samples); count_selected how many of [begin, end) are selected
// (putting them at hand on the way).
std::uint32_t selected_samples();
std::uint32_t count_selected(std::uint32_t begin, std::uint32_t end);

// How many samples of a group are put at hand at a time, so that a group's arrays are never
// held whole beyond a share of the memory budget (0: no limit); at least a few thousand.
void set_samples_per_part(std::uint64_t memory_budget);
extern std::uint32_t samples_per_part;

// While kept, the groups whose values resolving converts to doubles are remembered as they
// were; put_back_group_values restores them, so that a second count meets the input as the
// first did (a group's value is part of what its copies hold). Forgotten when not kept.
void keep_group_values(bool keep);
void put_back_group_values();

// Starts the progress of a walk over the groups below `root`; then counts the visit of
// `group` in it (its top-level element, and the requested data it read when `resolved`).
void start_walk_progress(const char* phase, const DataNode* root);
void show_walk_progress(const DataNode* group, bool resolved);

// Entry i's value of sample k (at hand), and the loop variable's one value (the last
// entry's).
inline double sample_value(std::uint32_t i, std::size_t k) {
  double value;
  std::memcpy(&value, sources.values_at_hand[i] + (k - sources.first_at_hand) * sizeof(double),
              sizeof value);
  return value;
}
double loop_value();

// The identifier of sample k (at hand) of the resolved group.
double id_of_sample(std::uint32_t k);

// Identifier keys (IdIndex::key_of) of the samples [begin, end) at hand, sample k's at
// [k - first_at_hand]: key_samples sizes the list for the samples at hand and works in two
// parts; key_sample_range is one part's work.
extern std::vector<std::uint64_t> sample_keys;
void key_samples(std::uint32_t begin, std::uint32_t end);
void key_sample_range(std::size_t begin, std::size_t end);
// A digest of the keys of samples [begin, end) at hand, each taken with its number: the same
// identifiers in the same order give the same digest, and the digests of a group's parts add
// up to the whole group's.
std::uint64_t identifier_digest(std::uint32_t begin, std::uint32_t end);

// How far ahead of its use an identifier's slot is announced to the memory system.
constexpr std::uint32_t PREFETCH_DISTANCE = 16;

// Below this many items one thread does the whole work: a second one would not pay.
constexpr std::size_t PARALLEL_ITEMS = 1 << 16;

// Runs work(begin, end) over the items [0, count) in two parts, the first on a second thread
// when the machine has a second core and there are at least `fewest` items; split(count / 2)
// tells where the parts may meet. Each item is worked on once, by one of the parts; the parts'
// results are all there on return.
template <typename Split, typename Work>
void in_two_parts(std::size_t count, Split split, Work work,
                  std::size_t fewest = PARALLEL_ITEMS) {
  std::size_t middle = 0;
  if (count >= fewest && usable_processors() >= 2)
    middle = split(count / 2);
  if (middle == 0 || middle >= count) {
    work(std::size_t{ 0 }, count);
    return;
  }
  std::thread first;
  try {
    first = std::thread(work, std::size_t{ 0 }, middle);
  } catch (const std::system_error&) {
    work(std::size_t{ 0 }, count);  // no thread to be had: the same work, in one part
    return;
  }
  work(middle, count);
  first.join();
}

// For work whose parts may meet between any two items.
inline std::size_t any_item(std::size_t middle) {
  return middle;
}

#endif  // ZVBTRACK_TRANSPOSE_SOURCES_H_
