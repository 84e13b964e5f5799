// What the first walk of the laid-out transposition finds and the layout derives from it:
// shared by the counting (count.cpp, copies.cpp, shared_count.cpp), the layout (layout.cpp)
// and the filling (fill.cpp, records.cpp, staging.cpp). Not for use outside src/transpose.
#ifndef ZVBTRACK_TRANSPOSE_LAYOUT_H_
#define ZVBTRACK_TRANSPOSE_LAYOUT_H_

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "base/report.h"
#include "data/tree.h"
#include "transpose/engine.h"
#include "transpose/spill.h"
#include "transpose/store.h"

constexpr std::uint32_t NO_CONTAINER = UINT32_MAX;
constexpr std::uint64_t ELEMENT_HEADER_SIZE = sizeof(ElementHeader);

// Whether an output of `size` bytes filled at once is large enough to be filled in its file's
// mapped room, a page brought in at a time, rather than in memory and then written, which
// takes twice its size of fresh memory: from 512 MiB, or from a twelfth of the memory budget
// (0: none) when that is less.
inline bool large_output(std::uint64_t size, std::uint64_t memory_budget) {
  constexpr std::uint64_t LARGE = std::uint64_t{ 512 } << 20;
  return size >= LARGE || (memory_budget != 0 && size >= memory_budget / 12);
}

// Where request entry j's values go among the arrays of a place: array `array` (the entries
// that share a name share one array, named after the first of them), which takes `share`
// values per sample, the `occurrence`-th of them this entry's; `before` values per sample go to
// the arrays ahead of it.
struct EntryPlace {
  std::uint32_t array;
  std::uint32_t before;
  std::uint32_t share;
  std::uint32_t occurrence;
};

// A place that holds samples: a trajectory group, or a copy of an enclosing group below one.
// Its arrays stand together (its block), first among its copies, unless it met its first
// sample after copies were made below it (laid_out.block_after says after which). Packed to
// 28 bytes: there is one per trajectory and one per copy.
#pragma pack(push, 4)
struct Container {
  std::uint64_t position;   // after layout: the first byte of its block
  std::uint32_t samples;    // samples placed directly in it
  std::uint32_t filled;     // samples placed so far by the second walk (per window)
  std::uint32_t first_sub;  // copies below it, the newest first
  std::uint32_t next_sub;   // the next copy below the same place
  std::uint32_t content;    // the enclosing group it copies; NO_CONTAINER for a trajectory
};
#pragma pack(pop)
static_assert(sizeof(Container) == 28);

// One identifier, in the order first met.
struct Track {
  double id;            // as first met
  std::uint64_t start;  // after layout: where its trajectory group begins
  std::uint32_t container;
  std::uint32_t last_copy;  // the copy below its group that its last sample went through
};

// An enclosing group's element as it was when copied: name (all 16 bytes), type word, size,
// data. Contents whose names are the same text are one class: the copies of a class are one
// copy below a place, which holds the bytes of the group it was first made from there.
struct Content {
  char name[16];
  std::uint32_t type;
  std::uint32_t size;
  std::uint64_t data;      // offset into LaidOut::content_bytes
  std::uint32_t of_class;  // the first content of its class
};

// A group the first walk transposed, in walk order.
struct GroupPlan {
  const DataNode* group;
  std::uint32_t samples;
  bool has_copies;  // its samples' places are in the sample log, not found by identifier
  // With copies: identifier_digest of its samples, which the second walk meets again.
  std::uint64_t identifiers = 0;
};

// The whole state of one laid-out transposition.
struct LaidOut {
  LayoutSettings settings;
  // The request by arrays.
  std::vector<const char*> array_names;  // distinct request names, in the order first given
  std::vector<std::uint32_t> array_shares;
  std::vector<EntryPlace> entry_places;
  // What the first walk found.
  std::vector<Track> tracks;
  std::vector<Container> containers;
  std::vector<Content> contents;
  std::vector<unsigned char> content_bytes;
  std::vector<GroupPlan> plans;
  // For the few places whose block stands after some of their copies: the copy it follows.
  std::unordered_map<std::uint32_t, std::uint32_t> block_after;
  std::unique_ptr<SpillBuckets> sample_log;  // place of every sample of a group with copies
  // The layout.
  std::uint64_t output_size = 0;
  std::uint64_t window_size = 0;  // the whole output when it is filled at once
  std::uint64_t window_count = 0;
  // Windows cut unevenly ([window_starts[w], window_starts[w + 1]) each); empty: each but the
  // last window_size bytes.
  std::vector<std::uint64_t> window_starts;
};

extern LaidOut laid_out;

// Bytes of the arrays of a place that holds `samples` samples.
inline std::uint64_t block_size(std::uint64_t samples) {
  return laid_out.array_names.size() * ELEMENT_HEADER_SIZE +
         samples * laid_out.entry_places.size() * sizeof(double);
}

// Where entry j's value of sample s of a place goes.
inline std::uint64_t value_position(const Container& container, std::uint32_t j, std::uint64_t s) {
  const EntryPlace& place = laid_out.entry_places[j];
  return container.position + (place.array + 1) * ELEMENT_HEADER_SIZE +
         sizeof(double) * (std::uint64_t{ container.samples } * place.before + s * place.share +
                           place.occurrence);
}

// The input no longer holds what the first walk found in it.
[[noreturn]] inline void report_changed_input() {
  report_error(error_table, ERR_INPUT_CHANGED, laid_out.settings.input_name);
}

// True for a place built as output nodes, which took its values while counting.
bool is_node_place(std::uint32_t place_number);

// The name fields of the trajectory groups and arrays, and where each trajectory begins and
// the output's size (what counting left in each trajectory's `start` gives it), once the count
// is done.
void name_fields();
std::uint64_t assign_starts();

// Gives every place its position and writes, into `image` unless it is null (the whole
// output), every element header and group value. The trajectories' starts are set by the count.
void lay_out_output(unsigned char* image);

// Writes, into `window` (the output's bytes [window_start, window_start + window_length)),
// every element header and group value of the output that falls inside it, clipped at its
// edges; the arrays' values are left to the caller. With `reset_filled`, places whose block
// meets the window have none of their samples filled yet. Two windows that do not overlap may
// be written at once when neither resets.
void put_headers(unsigned char* window, std::uint64_t window_start, std::uint64_t window_length,
                 bool reset_filled);

// For programs that fill a part of the output themselves, group by group in walk order, with
// the sample log read from its start (laid_out.sample_log->start_reading(0)):
//
// True when the group just resolved (resolve_group) still holds what the first walk found
// for `plan`.
bool plan_matches_sources(const GroupPlan& plan);
// Stores the place of each of the plan's samples in places[0 .. plan.samples), reading the
// group's records of the sample log when it has copies, else looking its identifiers up.
// False when the log ends early, or the identifiers are not those the count met: the input
// changed.
bool find_sample_places(const GroupPlan& plan, std::uint32_t* places);
// Passes over the plan's records in the sample log (none when it has no copies); false when
// the log ends early.
bool skip_sample_places(const GroupPlan& plan);

// For programs that count the groups in parts (one run of groups per process) and merge the
// counts in walk order:
//
// The first walk without the identifiers: every group's plan, and the failures a count meets
// that do not depend on identifiers, in its order. False when the groups must be counted in
// walk order (count_output): some group has copies of enclosing groups, a requested name
// meets the end marker, or some trajectory could reach the size limit.
bool plan_all_groups(DataNode* root, const LayoutSettings& settings);
// The trajectories first met in plans [first_plan, end_plan), in the order first met, with
// their samples there. Does not return when a group no longer holds what was planned.
struct CountedTrack {
  std::uint64_t key;  // IdIndex::key_of the identifier
  double id;          // as first met
  std::uint64_t samples;
};
void count_plans(std::size_t first_plan, std::size_t end_plan, std::vector<CountedTrack>* counted);
// The counts of every part, in walk order, made the count: trajectories in the order first
// met, the places, the layout (as count_output leaves them).
void merge_counts(const CountedTrack* counted, std::size_t count);

// For programs that fill windows of the output from samples sorted to them elsewhere (one
// window per process): the samples of each group are sorted into records in the buckets of
// the windows their places meet, the buckets travel, and each window is filled from the
// buckets that reached it.
//
// Cuts the output into the windows [starts[w], starts[w + 1]) (starts[0] is 0, the last the
// output's size) and finds the windows each place meets.
void set_windows(std::vector<std::uint64_t> starts);
// Finds the windows each place meets, for the windows of laid_out.window_size bytes.
void find_place_windows();
void forget_place_windows();
// From now on the values of a place that reaches past its first window go to `values`, once
// each, where they stand in the output, and windows take them from there (the rest of the
// walk's groups must be sorted into every window's bucket). Without it (null, as at first)
// they go as records to every window the place meets.
class SpanningValues;
void keep_spanning_values(SpanningValues* values);
// The runs `values` needs: one per window and array.
std::size_t spanning_runs();
// False when a place was given more samples than the first walk counted (the input changed).
bool sorted_as_counted();
// The most bytes of a record with a mark, whatever the group's types.
std::size_t largest_record();
// Makes the group just resolved, laid out by plan `plan_number`, whose samples' places are
// `places`, the one whose samples sort_samples sorts.
// With `first` and `end`, of the samples [first, end) at hand alone, sample k's place at
// places[k - first].
void start_sorting_group(std::size_t plan_number, const std::uint32_t* places,
                         std::uint32_t first = 0, std::uint32_t end = UINT32_MAX);
// Appends a record of each sample k in [begin, end) of that group to bucket w of targets[w]
// for each window w in [first_window, end_window) its place meets, after a mark with the
// group's loop value and how its values are kept when the bucket does not hold the group's
// mark yet. Calls on disjoint ranges of windows may run at once.
void sort_samples(SpillBuckets* const* targets, std::size_t begin, std::size_t end,
                  std::uint64_t first_window, std::uint64_t end_window);
// The most bytes one sample of that group adds to one bucket: its record and a mark.
std::size_t largest_sorted_sample();
// The next sample sorted into window `window` is preceded by a mark (its bucket was emptied).
void forget_marks(std::uint64_t window);
// Fills `window`, the output's bytes [start, start + length), with its element headers, group
// values and the values of the records in buckets [first_bucket, end_bucket) of `from`, read
// in that order, which is the order the samples were met in the walk. Does not return when a
// record does not fit what the first walk found (the input changed).
void fill_window(SpillBuckets& from, std::size_t first_bucket, std::size_t end_bucket,
                 unsigned char* window, std::uint64_t start, std::uint64_t length);
// The same in steps, for records that arrive a part at a time: start_window, then
// fill_from_records for each part (whole records, in walk order; `bytes` may be given back
// once it returns), then finish_window.
void start_window(unsigned char* window, std::uint64_t start, std::uint64_t length);
void fill_from_records(const unsigned char* bytes, std::size_t size);
void finish_window();

#endif  // ZVBTRACK_TRANSPOSE_LAYOUT_H_
