// The second walk of the laid-out transposition. An output that fits the memory budget is
// filled at once, in the output file's own room where it can be mapped: the samples of the
// last few groups are staged, sorted by the place they go to, and written place by place, so
// that a trajectory's next values share the cache lines they go to. A larger output is cut
// into windows: the walk sorts every sample into the bucket of each window its place meets,
// and each window is then filled from its bucket alone and written out in turn.
#include "transpose/fill.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "base/platform.h"
#include "base/progress.h"
#include "base/report.h"
#include "transpose/layout.h"
#include "transpose/sources.h"

namespace {

// Marks, in a window's bucket, the loop variable's value for the records that follow.
constexpr std::uint32_t LOOP_VALUE_TAG = NO_CONTAINER;

unsigned char* image = nullptr;  // the output filled at once: the file's room, or memory
// Where the staged values are written: `target` holds the output's bytes from `target_start`,
// the whole image, or the window being filled.
unsigned char* target = nullptr;
std::uint64_t target_start = 0;
bool image_in_output = false;
std::unique_ptr<SpillBuckets> buckets;  // one per window, when filled by windows
std::size_t next_plan = 0;
std::atomic<bool> changed{ false };  // set by either part of the work

// Whether a window is filled in the output file's mapped room rather than in memory and
// written; a build may choose the second always.
#ifndef MAP_WINDOWS
#define MAP_WINDOWS true
#endif

[[noreturn]] void report_input_changed() {
  report_error(error_table, ERR_INPUT_CHANGED, laid_out.settings.input_name);
}

// The plan the first walk made for `group`, checked against what the group holds now.
const GroupPlan& plan_of(const DataNode* group) {
  if (next_plan >= laid_out.plans.size() || laid_out.plans[next_plan].group != group)
    report_input_changed();
  const GroupPlan& plan = laid_out.plans[next_plan++];
  if (plan.samples != sources.samples || sources.longest != sources.samples ||
      (sources.id_array != nullptr && sources.id_count < sources.samples))
    report_input_changed();
  return plan;
}

// The place of each sample of the resolved group: from the sample log for a group with
// copies, else the trajectory group of its identifier (which the first walk met).
std::vector<std::uint32_t> places;

void find_places(const GroupPlan& plan) {
  const std::uint32_t samples = plan.samples;
  places.resize(samples);
  if (plan.has_copies) {
    for (std::uint32_t k = 0; k < samples; k++) {
      const unsigned char* record = laid_out.sample_log->next(sizeof(std::uint32_t));
      if (record == nullptr)
        report_input_changed();
      std::memcpy(&places[k], record, sizeof(std::uint32_t));
    }
  }
  sample_keys.resize(samples);
  sample_hashes.resize(samples);
  const bool by_identifier = !plan.has_copies;
  in_two_parts(samples, any_item, [by_identifier](std::size_t begin, std::size_t end) {
    hash_sample_range(begin, end);
    for (std::size_t k = begin; k < end; k++) {
      if (k + PREFETCH_DISTANCE < end)
        id_index.prefetch(sample_hashes[k + PREFETCH_DISTANCE]);
      const IdIndex::Slot* slot = id_index.find(sample_keys[k], sample_hashes[k]);
      if (slot == nullptr) {
        changed = true;
        places[k] = NO_CONTAINER;
        continue;
      }
      if (by_identifier)
        places[k] = slot->number;  // the trajectory group's place, since the count
    }
  });
  if (changed)
    report_input_changed();
}

double loop_value() {
  double value;
  std::memcpy(&value, sources.entries[value_count - 1].node->data, sizeof value);
  return value;
}

const unsigned char* entry_values(std::uint32_t i) {
  return sources.entries[i].node->data;
}

// ---- Filling at once.

// Staged samples: the values of staged sample i are staged_values[i * value_count ...]; its
// placement is (place << 32 | i).
std::vector<std::uint64_t> placements;
std::vector<std::uint64_t> sort_scratch;
std::vector<double> staged_values;
std::size_t staging_capacity = 0;

std::uint32_t bits_for(std::size_t count) {
  std::uint32_t bits = 0;
  while (bits < 32 && (std::size_t{ 1 } << bits) < count)
    bits++;
  return bits;
}

// Writes the sorted placements [begin, end) front to back; each place's next values are
// announced a few samples ahead so that their fetches overlap.
void write_placements(std::size_t begin, std::size_t end) {
  // Locals, so that the stores below (which may alias anything) do not make them reloaded.
  const std::uint32_t entry_count = value_count;
  unsigned char* const bytes = target - target_start;  // the output's byte 0, as an address
  Container* const places_at = laid_out.containers.data();
  const std::uint64_t* const placed = placements.data();
  const double* const staged = staged_values.data();
  // Without repeated names, entry j's value of sample s of a place is an array apart from
  // entry 0's: position + header + 8 s + j (header + 8 samples).
  const bool one_array_per_entry = laid_out.array_names.size() == entry_count;
  for (std::size_t p = begin; p < end; p++) {
    if (p + PREFETCH_DISTANCE < end) {
      const std::uint64_t ahead_placement = placed[p + PREFETCH_DISTANCE];
      const Container& ahead = places_at[ahead_placement >> 32];
      const std::uint64_t stride = ELEMENT_HEADER_SIZE + std::uint64_t{ ahead.samples } * 8;
      const unsigned char* line =
          bytes + ahead.position + ELEMENT_HEADER_SIZE + std::uint64_t{ ahead.filled } * 8;
      for (std::uint32_t j = 0; j < entry_count; j++, line += stride)
        __builtin_prefetch(line, 1);
      __builtin_prefetch(&staged[(ahead_placement & UINT32_MAX) * entry_count]);
    }
    const std::uint64_t placement = placed[p];
    Container& place = places_at[placement >> 32];
    const std::uint32_t s = place.filled;
    if (s >= place.samples) {
      // A place made of nodes took its values while counting; any other place given more
      // samples than the first walk counted means the input changed.
      if (!is_node_place(placement >> 32))
        changed = true;
      continue;
    }
    place.filled = s + 1;
    const double* values = &staged[(placement & UINT32_MAX) * entry_count];
    if (one_array_per_entry) {
      const std::uint64_t stride = ELEMENT_HEADER_SIZE + std::uint64_t{ place.samples } * 8;
      unsigned char* at = bytes + place.position + ELEMENT_HEADER_SIZE + std::uint64_t{ s } * 8;
      for (std::uint32_t j = 0; j < entry_count; j++, at += stride)
        std::memcpy(at, &values[j], sizeof(double));
    } else {
      for (std::uint32_t j = 0; j < entry_count; j++)
        std::memcpy(bytes + value_position(place, j, s), &values[j], sizeof(double));
    }
  }
}

// The two parts meet between two places, so that each place is written by one of them.
void write_staged() {
  sort_by_place(&placements, &sort_scratch);
  const auto between_places = [](std::size_t middle) {
    while (middle < placements.size() && placements[middle] >> 32 == placements[middle - 1] >> 32)
      middle++;
    return middle;
  };
  in_two_parts(placements.size(), between_places, write_placements);
  placements.clear();
  if (changed)
    report_input_changed();
}

int fill_group(DataNode* group, std::uint32_t) {
  if (!resolve_group(group, true)) {
    show_walk_progress(group, false);
    return 0;
  }
  const GroupPlan& plan = plan_of(group);
  find_places(plan);
  const std::uint32_t samples = plan.samples;
  if (!placements.empty() && placements.size() + samples > staging_capacity)
    write_staged();
  const std::size_t first_staged = placements.size();
  const std::uint32_t entry_count = value_count;
  const std::uint32_t loop_entry = entry_count - 1;
  placements.resize(first_staged + samples);
  staged_values.resize((first_staged + samples) * entry_count);
  const double loop = loop_value();
  in_two_parts(samples, any_item, [=](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; k++) {
      const std::size_t staged = first_staged + k;
      placements[staged] = std::uint64_t{ places[k] } << 32 | staged;
      double* values = &staged_values[staged * entry_count];
      for (std::uint32_t i = 0; i < loop_entry; i++)
        std::memcpy(&values[i], entry_values(i) + k * sizeof(double), sizeof(double));
      values[loop_entry] = loop;
    }
  });
  show_walk_progress(group, true);
  return 0;
}

// ---- Filling by windows.
//
// A bucket holds, for each group that has samples in its window, a mark with the group's
// loop value and how each array's values are kept, then one record per sample: its place and
// its values. Values are kept as narrow as their input type allows exactly (floats and short
// integers as floats, 32-bit integers as such), so that the buckets take little more than
// the input's own bytes.

enum : unsigned char { KEEP_DOUBLE, KEEP_FLOAT, KEEP_S32, KEEP_U32 };

unsigned char keeping_of(const DataNode* node) {
  switch (node->stored_type & TYPE_MASK) {
  case TYPE_FLOAT:
  case TYPE_U8:
  case TYPE_S8:
  case TYPE_U16:
  case TYPE_S16:
    return KEEP_FLOAT;
  case TYPE_S32:
    return KEEP_S32;
  case TYPE_U32:
    return KEEP_U32;
  default:
    return KEEP_DOUBLE;
  }
}

std::size_t kept_size(unsigned char keeping) {
  return keeping == KEEP_DOUBLE ? sizeof(double) : 4;
}

void keep_value(unsigned char* at, double value, unsigned char keeping) {
  switch (keeping) {
  case KEEP_FLOAT: {
    const float narrow = static_cast<float>(value);
    std::memcpy(at, &narrow, sizeof narrow);
    break;
  }
  case KEEP_S32: {
    const std::int32_t narrow = static_cast<std::int32_t>(value);
    std::memcpy(at, &narrow, sizeof narrow);
    break;
  }
  case KEEP_U32: {
    const std::uint32_t narrow = static_cast<std::uint32_t>(value);
    std::memcpy(at, &narrow, sizeof narrow);
    break;
  }
  default:
    std::memcpy(at, &value, sizeof value);
  }
}

double kept_value(const unsigned char* at, unsigned char keeping) {
  switch (keeping) {
  case KEEP_FLOAT: {
    float narrow;
    std::memcpy(&narrow, at, sizeof narrow);
    return narrow;
  }
  case KEEP_S32: {
    std::int32_t narrow;
    std::memcpy(&narrow, at, sizeof narrow);
    return narrow;
  }
  case KEEP_U32: {
    std::uint32_t narrow;
    std::memcpy(&narrow, at, sizeof narrow);
    return narrow;
  }
  default: {
    double value;
    std::memcpy(&value, at, sizeof value);
    return value;
  }
  }
}

// Each place's first window, with SPANS_WINDOWS set when its block reaches into later ones.
constexpr std::uint32_t SPANS_WINDOWS = 1u << 31;
std::vector<std::uint32_t> place_windows;
std::vector<std::uint32_t> sample_windows;      // of the samples of the group being sorted
std::vector<std::size_t> last_group_in_bucket;  // per window: the plan whose mark it holds last
// The group being sorted: its plan, its samples' places, how each array's values are kept.
std::size_t sorted_plan = SIZE_MAX;
const std::uint32_t* sorted_places = nullptr;
std::vector<unsigned char> keepings;
std::vector<std::size_t> value_offsets;  // of each array's value in a record
std::size_t record_size = 0;
std::size_t mark_size = 0;

// The window that holds the output's byte `at`.
std::uint64_t window_of(std::uint64_t at) {
  if (laid_out.window_starts.empty())
    return at / laid_out.window_size;
  const auto after =
      std::upper_bound(laid_out.window_starts.begin() + 1, laid_out.window_starts.end() - 1, at);
  return static_cast<std::uint64_t>(after - laid_out.window_starts.begin()) - 1;
}

void find_place_windows() {
  // A record's tag is its place with SPANS_WINDOWS, never the loop value's tag.
  if (laid_out.containers.size() >= (LOOP_VALUE_TAG & ~SPANS_WINDOWS))
    error_exit("Not enough memory\n");
  place_windows.resize(laid_out.containers.size());
  for (std::size_t c = 0; c < laid_out.containers.size(); c++) {
    const Container& place = laid_out.containers[c];
    const std::uint64_t first = window_of(place.position);
    const std::uint64_t last =
        window_of(place.position + std::max<std::uint64_t>(block_size(place.samples), 1) - 1);
    place_windows[c] = static_cast<std::uint32_t>(first) | (last != first ? SPANS_WINDOWS : 0);
  }
  last_group_in_bucket.assign(laid_out.window_count, SIZE_MAX);
}

int distribute_group(DataNode* group, std::uint32_t) {
  if (!resolve_group(group, true)) {
    show_walk_progress(group, false);
    return 0;
  }
  const GroupPlan& plan = plan_of(group);
  find_places(plan);
  start_sorting_group(next_plan - 1, places.data());
  // Two threads, each with half of the buckets: a bucket is only ever appended to by one.
  const std::uint64_t window_count = laid_out.window_count;
  std::vector<SpillBuckets*> targets(window_count, buckets.get());
  if (plan.samples >= PARALLEL_ITEMS && usable_processors() >= 2) {
    buckets->start_sharing();
    std::thread first_half;
    try {
      first_half = std::thread(sort_samples, targets.data(), 0, plan.samples, 0, window_count / 2);
    } catch (const std::system_error&) {
      sort_samples(targets.data(), 0, plan.samples, 0, window_count / 2);
    }
    sort_samples(targets.data(), 0, plan.samples, window_count / 2, window_count);
    if (first_half.joinable())
      first_half.join();
    buckets->finish_sharing();
  } else {
    sort_samples(targets.data(), 0, plan.samples, 0, window_count);
  }
  show_walk_progress(group, true);
  return 0;
}

}  // namespace

void set_windows(std::vector<std::uint64_t> starts) {
  laid_out.window_count = starts.size() - 1;
  laid_out.window_size = 0;
  laid_out.window_starts = std::move(starts);
  find_place_windows();
}

void start_sorting_group(std::size_t plan_number, const std::uint32_t* group_places) {
  sorted_plan = plan_number;
  sorted_places = group_places;
  const std::uint32_t arrays = value_count - 1;
  keepings.resize(arrays);
  value_offsets.resize(arrays);
  record_size = sizeof(std::uint32_t);
  for (std::uint32_t i = 0; i < arrays; i++) {
    keepings[i] = keeping_of(sources.entries[i].node);
    value_offsets[i] = record_size;
    record_size += kept_size(keepings[i]);
  }
  mark_size = sizeof(std::uint32_t) + sizeof(double) + arrays;
  // Each sample's first window, found in two parts; the parts that append then pass over the
  // samples of the other part's buckets at the cost of one sequential read each.
  const std::uint32_t samples = sources.samples;
  sample_windows.resize(samples);
  in_two_parts(samples, any_item, [](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; k++)
      sample_windows[k] = place_windows[sorted_places[k]];
  });
}

std::size_t largest_sorted_sample() {
  return mark_size + record_size;
}

void forget_marks(std::uint64_t window) {
  last_group_in_bucket[window] = SIZE_MAX;
}

void sort_samples(SpillBuckets* const* targets, std::size_t begin, std::size_t end,
                  std::uint64_t first_bucket, std::uint64_t end_bucket) {
  const std::uint32_t arrays = value_count - 1;
  const double loop = loop_value();
  for (std::size_t k = begin; k < end; k++) {
    const std::uint32_t windows = sample_windows[k];
    std::uint64_t first_window = windows & ~SPANS_WINDOWS;
    if ((windows & SPANS_WINDOWS) == 0 &&
        (first_window < first_bucket || first_window >= end_bucket))
      continue;
    const std::uint32_t place_number = sorted_places[k];
    std::uint64_t last_window = first_window;
    if ((windows & SPANS_WINDOWS) != 0) {
      const Container& place = laid_out.containers[place_number];
      last_window = window_of(place.position + block_size(place.samples) - 1);
    }
    first_window = std::max(first_window, first_bucket);
    last_window = std::min(last_window, end_bucket - 1);
    for (std::uint64_t w = first_window; w <= last_window; w++) {
      SpillBuckets& bucket = *targets[w];
      if (last_group_in_bucket[w] != sorted_plan) {
        last_group_in_bucket[w] = sorted_plan;
        unsigned char* mark = bucket.append(w, mark_size);
        std::memcpy(mark, &LOOP_VALUE_TAG, sizeof LOOP_VALUE_TAG);
        std::memcpy(mark + sizeof LOOP_VALUE_TAG, &loop, sizeof loop);
        std::memcpy(mark + sizeof LOOP_VALUE_TAG + sizeof loop, keepings.data(), arrays);
      }
      unsigned char* record = bucket.append(w, record_size);
      const std::uint32_t tag = place_number | (windows & SPANS_WINDOWS);
      std::memcpy(record, &tag, sizeof tag);
      for (std::uint32_t i = 0; i < arrays; i++) {
        double value;
        std::memcpy(&value, entry_values(i) + k * sizeof(double), sizeof value);
        keep_value(record + value_offsets[i], value, keepings[i]);
      }
    }
  }
}

// The window being filled from records, and what the records read so far said: the loop
// value of the group they belong to and how its values are kept.
std::uint64_t window_start = 0;
std::uint64_t window_end = 0;
std::vector<double> record_values;
std::vector<unsigned char> record_keepings;
std::size_t record_values_size = 0;  // bytes of a record's values
bool records_all_float = false;       // every value kept as a float (the common case)

void start_window(unsigned char* window, std::uint64_t start, std::uint64_t length) {
  put_headers(window, start, length, true);
  target = window;
  target_start = start;
  window_start = start;
  window_end = start + length;
  const std::uint32_t entry_count = value_count;
  const std::size_t bytes_per_sample = 2 * sizeof(std::uint64_t) + entry_count * sizeof(double);
  staging_capacity = std::max<std::size_t>(length / 16 / bytes_per_sample, 1024);
  placements.clear();
  record_values.assign(entry_count, 0.0);
  record_keepings.assign(entry_count - 1, KEEP_DOUBLE);
  record_values_size = (entry_count - 1) * sizeof(double);
  records_all_float = false;
}

// The samples of places that lie wholly inside the window are staged and written place by
// place, as when filling at once; those of a place that reaches past the window's edges are
// written at once, clipped to it.
void fill_from_records(const unsigned char* bytes, std::size_t size) {
  const std::uint32_t entry_count = value_count;
  const std::uint32_t arrays = entry_count - 1;
  double* const values = record_values.data();
  const unsigned char* const kept = record_keepings.data();
  const unsigned char* const end = bytes + size;
  const unsigned char* at = bytes;
  while (at + sizeof(std::uint32_t) <= end) {
    std::uint32_t place_number;
    std::memcpy(&place_number, at, sizeof place_number);
    at += sizeof place_number;
    if (place_number == LOOP_VALUE_TAG) {
      if (at + sizeof(double) + arrays > end)
        report_input_changed();
      std::memcpy(&values[arrays], at, sizeof(double));
      std::memcpy(record_keepings.data(), at + sizeof(double), arrays);
      at += sizeof(double) + arrays;
      record_values_size = 0;
      records_all_float = true;
      for (std::uint32_t i = 0; i < arrays; i++) {
        record_values_size += kept_size(kept[i]);
        records_all_float = records_all_float && kept[i] == KEEP_FLOAT;
      }
      continue;
    }
    const bool spans = (place_number & SPANS_WINDOWS) != 0;
    place_number &= ~SPANS_WINDOWS;
    if (place_number >= laid_out.containers.size() || at + record_values_size > end)
      report_input_changed();
    if (records_all_float) {
      for (std::uint32_t i = 0; i < arrays; i++, at += sizeof(float)) {
        float narrow;
        std::memcpy(&narrow, at, sizeof narrow);
        values[i] = narrow;
      }
    } else {
      for (std::uint32_t i = 0; i < arrays; i++) {
        values[i] = kept_value(at, kept[i]);
        at += kept_size(kept[i]);
      }
    }
    if (!spans) {
      if (placements.size() == staging_capacity)
        write_staged();
      const std::size_t staged = placements.size();
      placements.push_back(std::uint64_t{ place_number } << 32 | staged);
      if (staged_values.size() < (staged + 1) * entry_count)
        staged_values.resize(std::max((staged + 1) * entry_count, 2 * staged_values.size()));
      std::memcpy(&staged_values[staged * entry_count], values, entry_count * sizeof(double));
      continue;
    }
    Container& place = laid_out.containers[place_number];
    if (is_node_place(place_number))
      continue;  // its values went into its nodes while counting
    if (place.filled >= place.samples)
      report_input_changed();
    const std::uint32_t s = place.filled++;
    for (std::uint32_t j = 0; j <= arrays; j++) {
      const std::uint64_t position = value_position(place, j, s);
      if (position + sizeof(double) <= window_start || position >= window_end)
        continue;
      // A value may straddle the window's edge: only its part inside is written here.
      const auto* value = reinterpret_cast<const unsigned char*>(&values[j]);
      const std::uint64_t from = position < window_start ? window_start - position : 0;
      const std::uint64_t to = std::min<std::uint64_t>(sizeof(double), window_end - position);
      std::memcpy(target + (position + from - window_start), value + from, to - from);
    }
  }
}

void finish_window() {
  write_staged();
}

void fill_window(SpillBuckets& from, std::size_t first_bucket, std::size_t end_bucket,
                 unsigned char* window, std::uint64_t start, std::uint64_t length) {
  start_window(window, start, length);
  for (std::size_t b = first_bucket; b < end_bucket; b++) {
    from.start_reading(b);
    std::size_t size = 0;
    while (const unsigned char* bytes = from.next_block(&size))
      fill_from_records(bytes, size);
  }
  finish_window();
}

void sort_by_place(std::vector<std::uint64_t>* keys, std::vector<std::uint64_t>* scratch) {
  constexpr int DIGIT_BITS = 11;
  constexpr std::size_t DIGITS = std::size_t{ 1 } << DIGIT_BITS;
  const std::uint32_t place_bits = bits_for(laid_out.containers.size());
  scratch->resize(keys->size());
  for (std::uint32_t shift = 0; shift < place_bits; shift += DIGIT_BITS) {
    std::size_t starts[DIGITS + 1] = {};
    for (std::uint64_t key : *keys)
      starts[((key >> (32 + shift)) & (DIGITS - 1)) + 1]++;
    for (std::size_t digit = 1; digit <= DIGITS; digit++)
      starts[digit] += starts[digit - 1];
    for (std::uint64_t key : *keys)
      (*scratch)[starts[(key >> (32 + shift)) & (DIGITS - 1)]++] = key;
    keys->swap(*scratch);
  }
}

void plan_windows() {
  const std::uint64_t size = laid_out.output_size;
  const std::uint64_t budget = laid_out.settings.memory_budget;
  // At once: the output, and staging of about a sixteenth of it.
  if (budget == 0 || size + size / 8 <= budget || size == 0) {
    laid_out.window_size = size;
    laid_out.window_count = size == 0 ? 0 : 1;
    return;
  }
  // By windows: a quarter of the budget for each of two windows (one filled while the other is
  // written), an eighth for the buckets' buffers.
  constexpr std::uint64_t SMALLEST_WINDOW = 4096;
  laid_out.window_size = std::max(budget / 4, SMALLEST_WINDOW);
  laid_out.window_count = (size + laid_out.window_size - 1) / laid_out.window_size;
}

void fill_output(DataNode* root, DataWriter* writer) {
  next_plan = 0;
  changed = false;
  laid_out.sample_log->start_reading(0);
  const std::uint64_t size = laid_out.output_size;
  if (laid_out.window_count == 1) {
    image = map_output(writer, size);
    image_in_output = image != nullptr;
    if (!image_in_output)
      image = static_cast<unsigned char*>(take_large_block(size));
    if (image == nullptr)
      error_exit("Not enough memory\n");
    // The headers are the first touch of the image's pages: two parts fault them in at once.
    lay_out_output(image);
    target = image;
    target_start = 0;
    const std::size_t bytes_per_sample = 2 * sizeof(std::uint64_t) + value_count * sizeof(double);
    staging_capacity = std::min<std::size_t>(size / 64 / bytes_per_sample, INT32_MAX);
    placements.clear();
    start_walk_progress("filling", root);
    walk_groups(root, fill_group, 0);
    write_staged();
    end_progress();
  } else if (laid_out.window_count > 1) {
    const std::uint64_t buffer =
        std::clamp<std::uint64_t>(laid_out.settings.memory_budget / 8 / laid_out.window_count,
                                  std::uint64_t{ 64 } << 10, std::uint64_t{ 8 } << 20);
    const std::uint64_t largest_record =
        2 * sizeof(std::uint32_t) + sizeof(double) + value_count * (sizeof(double) + 1);
    buckets = std::make_unique<SpillBuckets>(laid_out.window_count,
                                             std::max<std::uint64_t>(buffer, 2 * largest_record),
                                             laid_out.settings.scratch_directory);
    find_place_windows();
    start_walk_progress("sorting into windows", root);
    walk_groups(root, distribute_group, 0);
    end_progress();
    // The windows are filled in the output file's own room where it can be mapped; each
    // window's pages then go to the file as soon as it is full.
    image = MAP_WINDOWS ? map_output(writer, size) : nullptr;
    image_in_output = image != nullptr;
  }
  if (next_plan != laid_out.plans.size())
    report_input_changed();
  laid_out.sample_log.reset();
}

// The windows one after the other, in the output file's room or written from memory.
void write_output(DataWriter* writer, FileHeader* header) {
  const std::uint64_t size = laid_out.output_size;
  if (laid_out.window_count <= 1) {
    write_laid_out(writer, header, image, size);
    if (!image_in_output)
      free_large_block(image, size);
    image = nullptr;
    return;
  }
  if (image_in_output) {
    start_progress("writing", laid_out.window_count);
    for (std::uint64_t w = 0; w < laid_out.window_count; w++) {
      const std::uint64_t start = w * laid_out.window_size;
      const std::uint64_t length = std::min(laid_out.window_size, size - start);
      fill_window(*buckets, w, w + 1, image + start, start, length);
      release_output_part(writer, start, length);
      show_progress(w + 1, start + length);
    }
    end_progress();
    buckets.reset();
    place_windows = std::vector<std::uint32_t>();
    write_laid_out(writer, header, image, size);
    image = nullptr;
    return;
  }
  write_file_header(writer, header);
  // Two windows: one is written out on a second thread while the next is filled.
  unsigned char* windows[2];
  for (unsigned char*& window : windows) {
    window = static_cast<unsigned char*>(take_large_block(laid_out.window_size));
    if (window == nullptr)
      error_exit("Not enough memory\n");
  }
  std::thread writing;
  int write_error = 0;
  const auto finish_writing = [&]() {
    if (writing.joinable())
      writing.join();
    if (write_error != 0) {
      errno = write_error;
      report_error(error_table, ERR_FILE, writer->file_name, std::strerror(errno));
    }
  };
  start_progress("writing", laid_out.window_count);
  for (std::uint64_t w = 0; w < laid_out.window_count; w++) {
    const std::uint64_t start = w * laid_out.window_size;
    const std::uint64_t length = std::min(laid_out.window_size, size - start);
    unsigned char* window = windows[w % 2];
    fill_window(*buckets, w, w + 1, window, start, length);
    finish_writing();
    const auto write_window = [writer, window, length, &write_error]() {
      write_error = write_output_bytes(writer, window, length);
    };
    try {
      writing = std::thread(write_window);
    } catch (const std::system_error&) {
      write_window();  // no thread to be had: written here
    }
    show_progress(w + 1, start + length);
  }
  finish_writing();
  end_progress();
  for (unsigned char* window : windows)
    free_large_block(window, laid_out.window_size);
  buckets.reset();
  place_windows = std::vector<std::uint32_t>();
  finish_file(writer);
}
