// What a visit of the laid-out transposition reads in an input group, found as the getters of
// the output tree's walk find it; the identifiers of its samples; and work split in two parts.
#ifndef ZVBTRACK_TRANSPOSE_SOURCES_H_
#define ZVBTRACK_TRANSPOSE_SOURCES_H_

#include <cstdint>
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
};

extern GroupSources sources;

// Sizes `sources` for the request; called before a walk.
void begin_sources();

// Finds what the visit of `group` reads, with the getters' tests in their order, loading and
// converting what is found (with `load` false, data left on file are only checked as loading
// would check them). Returns false when the group is skipped.
bool resolve_group(DataNode* group, bool load);

// While kept, the groups whose values resolving converts to doubles are remembered as they
// were; put_back_group_values restores them, so that a second count meets the input as the
// first did (a group's value is part of what its copies hold). Forgotten when not kept.
void keep_group_values(bool keep);
void put_back_group_values();

// Starts the progress of a walk over the groups below `root`; then counts the visit of
// `group` in it (its top-level element, and the requested data it read when `resolved`).
void start_walk_progress(const char* phase, const DataNode* root);
void show_walk_progress(const DataNode* group, bool resolved);

// The values of request entry i of the resolved group, as doubles; the loop variable's one
// value (the last entry's).
inline const unsigned char* entry_values(std::uint32_t i) {
  return sources.entries[i].node->data;
}
double loop_value();

// The identifier of sample k of the resolved group.
double id_of_sample(std::uint32_t k);

// Identifier keys and hashes of the resolved group's first `count` samples.
extern std::vector<std::uint64_t> sample_keys;
extern std::vector<std::uint64_t> sample_hashes;
void hash_sample_range(std::size_t begin, std::size_t end);
void hash_samples(std::uint32_t count);

// How far ahead of its use an identifier's slot is announced to the memory system.
constexpr std::uint32_t PREFETCH_DISTANCE = 16;

// Below this many items one thread does the whole work: a second one would not pay.
constexpr std::size_t PARALLEL_ITEMS = 1 << 16;

// Runs work(begin, end) over the items [0, count) in two parts, the first on a second thread
// when the machine has a second core; split(count / 2) tells where the parts may meet. Each
// item is worked on once, by one of the parts; the parts' results are all there on return.
template <typename Split, typename Work>
void in_two_parts(std::size_t count, Split split, Work work) {
  std::size_t middle = 0;
  if (count >= PARALLEL_ITEMS && usable_processors() >= 2)
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
