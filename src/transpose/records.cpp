// Samples sorted into records in the buckets of the windows of the output their places meet,
// and windows filled from the records that reached them.
//
// A bucket holds, for each group that has samples in its window, a mark with the group's loop
// value and how each array's values are kept, then one record per sample: its place and its
// values. Values are kept as narrow as their input type allows exactly (floats and short
// integers as floats, 32-bit integers as such), so that the buckets take little more than the
// input's own bytes. The values of a place whose arrays reach past a window's edge go either
// to every window the place meets, clipped there when filled, or (with keep_spanning_values)
// once each to where they stand in a file laid out as the output.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "transpose/layout.h"
#include "transpose/sources.h"
#include "transpose/spanning.h"
#include "transpose/staging.h"

namespace {

// Marks, in a window's bucket, the loop variable's value for the records that follow.
constexpr std::uint32_t LOOP_VALUE_TAG = NO_CONTAINER;

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
std::vector<std::uint32_t> spanning_places;     // those whose block reaches past a window
std::vector<std::uint32_t> sample_windows;      // of the samples of the group being sorted
std::vector<std::size_t> last_group_in_bucket;  // per window: the plan whose mark it holds last
SpanningValues* spanning_values = nullptr;
std::atomic<bool> sorted_more_than_counted{ false };
std::vector<std::vector<std::uint32_t>> array_entries;  // see plan_arrays
std::vector<std::uint32_t> array_before;
// The group being sorted: its plan, its samples' places, how each array's values are kept.
std::size_t sorted_plan = SIZE_MAX;
const std::uint32_t* sorted_places = nullptr;  // sample k's at [k - sorted_first]
std::uint32_t sorted_first = 0;
std::vector<unsigned char> keepings;
std::vector<std::size_t> value_offsets;  // of each array's value in a record
std::size_t record_size = 0;
std::size_t mark_size = 0;

// The entries of each array in the order their values stand in a sample, and the values per
// sample of the arrays before it.
void plan_arrays() {
  array_entries.assign(laid_out.array_names.size(), {});
  array_before.assign(laid_out.array_names.size(), 0);
  for (std::uint32_t j = 0; j < value_count; j++) {
    const EntryPlace& place = laid_out.entry_places[j];
    array_entries[place.array].push_back(j);
    array_before[place.array] = place.before;
  }
}

// Where array `a` of a place holds its values.
std::uint64_t array_data_at(const Container& place, std::size_t a) {
  return place.position + (a + 1) * ELEMENT_HEADER_SIZE +
         sizeof(double) * std::uint64_t{ place.samples } * array_before[a];
}

std::uint64_t array_data_size(const Container& place, std::size_t a) {
  return sizeof(double) * std::uint64_t{ place.samples } * laid_out.array_shares[a];
}

// The window that holds the output's byte `at`.
std::uint64_t window_of(std::uint64_t at) {
  if (laid_out.window_starts.empty())
    return at / laid_out.window_size;
  const auto after =
      std::upper_bound(laid_out.window_starts.begin() + 1, laid_out.window_starts.end() - 1, at);
  return static_cast<std::uint64_t>(after - laid_out.window_starts.begin()) - 1;
}

// Sample k of the sorted group, of a place whose block reaches past its first window: each
// array's values, where they stand in the output.
void put_spanning_sample(std::size_t k, std::uint32_t place_number, std::uint32_t first_window,
                         double loop) {
  Container& place = laid_out.containers[place_number];
  if (place.filled >= place.samples) {
    sorted_more_than_counted = true;  // reported once the sorting threads are joined
    return;
  }
  const std::uint32_t s = place.filled++;
  const std::size_t arrays = laid_out.array_names.size();
  double values[64];
  for (std::size_t a = 0; a < arrays; a++) {
    const std::vector<std::uint32_t>& entries = array_entries[a];
    const std::uint64_t at = array_data_at(place, a) + sizeof(double) * s * entries.size();
    for (std::size_t begin = 0; begin < entries.size(); begin += 64) {
      const std::size_t end = std::min<std::size_t>(entries.size(), begin + 64);
      for (std::size_t i = begin; i < end; i++) {
        const std::uint32_t j = entries[i];
        if (j + 1 == value_count)
          values[i - begin] = loop;
        else
          values[i - begin] = sample_value(j, k);
      }
      spanning_values->put(std::size_t{ first_window } * arrays + a, at + begin * sizeof(double),
                           values, (end - begin) * sizeof(double));
    }
  }
}

// The window being filled from records, and what the records read so far said: the loop
// value of the group they belong to and how its values are kept.
std::uint64_t window_start = 0;
std::uint64_t window_end = 0;
unsigned char* window_bytes = nullptr;
std::vector<double> record_values;
std::vector<unsigned char> record_keepings;
std::size_t record_values_size = 0;  // bytes of a record's values
bool records_all_float = false;      // every value kept as a float (the common case)
std::size_t next_spanning = 0;       // the first spanning place not wholly before the window

// The values of spanning places that fall inside the window being filled.
void take_spanning_values() {
  while (next_spanning < spanning_places.size()) {
    const Container& place = laid_out.containers[spanning_places[next_spanning]];
    if (place.position + block_size(place.samples) > window_start)
      break;
    next_spanning++;
  }
  for (std::size_t i = next_spanning; i < spanning_places.size(); i++) {
    const Container& place = laid_out.containers[spanning_places[i]];
    if (place.position >= window_end)
      break;
    for (std::size_t a = 0; a < laid_out.array_names.size(); a++) {
      const std::uint64_t from = std::max(array_data_at(place, a), window_start);
      const std::uint64_t to =
          std::min(array_data_at(place, a) + array_data_size(place, a), window_end);
      if (from < to)
        spanning_values->read(from, window_bytes + (from - window_start), to - from);
    }
  }
}

}  // namespace

void find_place_windows() {
  // A record's tag is its place with SPANS_WINDOWS, never the loop value's tag.
  if (laid_out.containers.size() >= (LOOP_VALUE_TAG & ~SPANS_WINDOWS))
    error_exit("Not enough memory\n");
  plan_arrays();
  place_windows.resize(laid_out.containers.size());
  spanning_places.clear();
  for (std::size_t c = 0; c < laid_out.containers.size(); c++) {
    const Container& place = laid_out.containers[c];
    const std::uint64_t first = window_of(place.position);
    const std::uint64_t last =
        window_of(place.position + std::max<std::uint64_t>(block_size(place.samples), 1) - 1);
    place_windows[c] = static_cast<std::uint32_t>(first) | (last != first ? SPANS_WINDOWS : 0);
    if (last != first && place.samples != 0 && !is_node_place(static_cast<std::uint32_t>(c)))
      spanning_places.push_back(static_cast<std::uint32_t>(c));
  }
  std::sort(spanning_places.begin(), spanning_places.end(), [](std::uint32_t a, std::uint32_t b) {
    return laid_out.containers[a].position < laid_out.containers[b].position;
  });
  last_group_in_bucket.assign(laid_out.window_count, SIZE_MAX);
}

void keep_spanning_values(SpanningValues* values) {
  spanning_values = values;
  next_spanning = 0;
  sorted_more_than_counted = false;
  for (std::uint32_t place : spanning_places)
    laid_out.containers[place].filled = 0;  // counts the samples put so far
}

bool sorted_as_counted() {
  return !sorted_more_than_counted;
}

std::size_t spanning_runs() {
  return laid_out.window_count * laid_out.array_names.size();
}

void forget_place_windows() {
  place_windows = std::vector<std::uint32_t>();
  spanning_places = std::vector<std::uint32_t>();
  spanning_values = nullptr;
}

void set_windows(std::vector<std::uint64_t> starts) {
  laid_out.window_count = starts.size() - 1;
  laid_out.window_size = 0;
  laid_out.window_starts = std::move(starts);
  find_place_windows();
}

void start_sorting_group(std::size_t plan_number, const std::uint32_t* group_places,
                         std::uint32_t first, std::uint32_t end) {
  sorted_plan = plan_number;
  sorted_places = group_places;
  sorted_first = first;
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
  const std::uint32_t samples = std::min(end, sources.end_at_hand) - first;
  sample_windows.resize(samples);
  in_two_parts(samples, any_item, [](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; i++)
      sample_windows[i] = place_windows[sorted_places[i]];
  });
}

std::size_t largest_sorted_sample() {
  return mark_size + record_size;
}

std::size_t largest_record() {
  return 2 * sizeof(std::uint32_t) + sizeof(double) + value_count * (sizeof(double) + 1);
}

void forget_marks(std::uint64_t window) {
  last_group_in_bucket[window] = SIZE_MAX;
}

void sort_samples(SpillBuckets* const* targets, std::size_t begin, std::size_t end,
                  std::uint64_t first_bucket, std::uint64_t end_bucket) {
  const std::uint32_t arrays = value_count - 1;
  const double loop = loop_value();
  for (std::size_t k = begin; k < end; k++) {
    const std::uint32_t windows = sample_windows[k - sorted_first];
    std::uint64_t first_window = windows & ~SPANS_WINDOWS;
    const bool spans = (windows & SPANS_WINDOWS) != 0;
    if ((!spans || spanning_values != nullptr) &&
        (first_window < first_bucket || first_window >= end_bucket))
      continue;
    const std::uint32_t place_number = sorted_places[k - sorted_first];
    std::uint64_t last_window = first_window;
    if (spans) {
      if (is_node_place(place_number))
        continue;  // its values went into its nodes while counting
      if (spanning_values != nullptr) {
        put_spanning_sample(k, place_number, static_cast<std::uint32_t>(first_window), loop);
        continue;
      }
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
      for (std::uint32_t i = 0; i < arrays; i++)
        keep_value(record + value_offsets[i], sample_value(i, k), keepings[i]);
    }
  }
}

void start_window(unsigned char* window, std::uint64_t start, std::uint64_t length) {
  put_headers(window, start, length, true);
  window_bytes = window;
  window_start = start;
  window_end = start + length;
  const std::uint32_t entry_count = value_count;
  const std::size_t bytes_per_sample = 2 * sizeof(std::uint64_t) + entry_count * sizeof(double);
  start_staging(window, start, std::max<std::size_t>(length / 16 / bytes_per_sample, 1024));
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
        report_changed_input();
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
      report_changed_input();
    // A place inside the window takes the values where they are staged.
    double* const into = spans ? values : stage_sample(place_number);
    if (records_all_float) {
      for (std::uint32_t i = 0; i < arrays; i++, at += sizeof(float)) {
        float narrow;
        std::memcpy(&narrow, at, sizeof narrow);
        into[i] = narrow;
      }
    } else {
      for (std::uint32_t i = 0; i < arrays; i++) {
        into[i] = kept_value(at, kept[i]);
        at += kept_size(kept[i]);
      }
    }
    if (!spans) {
      into[arrays] = values[arrays];  // the group's loop value
      continue;
    }
    Container& place = laid_out.containers[place_number];
    if (is_node_place(place_number))
      continue;  // its values went into its nodes while counting
    if (place.filled >= place.samples)
      report_changed_input();
    const std::uint32_t s = place.filled++;
    for (std::uint32_t j = 0; j <= arrays; j++) {
      const std::uint64_t position = value_position(place, j, s);
      if (position + sizeof(double) <= window_start || position >= window_end)
        continue;
      // A value may straddle the window's edge: only its part inside is written here.
      const auto* value = reinterpret_cast<const unsigned char*>(&values[j]);
      const std::uint64_t from = position < window_start ? window_start - position : 0;
      const std::uint64_t to = std::min<std::uint64_t>(sizeof(double), window_end - position);
      std::memcpy(window_bytes + (position + from - window_start), value + from, to - from);
    }
  }
}

void finish_window() {
  write_staged();
  if (spanning_values != nullptr)
    take_spanning_values();
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
