// The second walk of the laid-out transposition. An output that fits the memory budget is
// filled at once, in the output file's own room where it can be mapped: the samples of the
// last few groups are staged, sorted by the place they go to, and written place by place, so
// that a trajectory's next values share the cache lines they go to. A larger output is cut
// into windows: the walk sorts every sample into the bucket of each window its place meets,
// and each window is then filled from its bucket alone and written out in turn.
#include "transpose/fill.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "base/platform.h"
#include "base/progress.h"
#include "base/report.h"
#include "transpose/layout.h"
#include "transpose/sources.h"

namespace {

// Marks, in a window's bucket, the loop variable's value for the records that follow.
constexpr std::uint32_t LOOP_VALUE_TAG = NO_CONTAINER;

unsigned char* image = nullptr;  // the output filled at once: the file's room, or memory
bool image_in_output = false;
std::unique_ptr<SpillBuckets> buckets;  // one per window, when filled by windows
std::size_t next_plan = 0;
std::atomic<bool> changed{ false };  // set by either part of the work

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

// Orders the placements by place, keeping walk order within a place.
void sort_placements() {
  constexpr int DIGIT_BITS = 11;
  constexpr std::size_t DIGITS = std::size_t{ 1 } << DIGIT_BITS;
  const std::uint32_t place_bits = bits_for(laid_out.containers.size());
  sort_scratch.resize(placements.size());
  for (std::uint32_t shift = 0; shift < place_bits; shift += DIGIT_BITS) {
    std::size_t starts[DIGITS + 1] = {};
    for (std::uint64_t placement : placements)
      starts[((placement >> (32 + shift)) & (DIGITS - 1)) + 1]++;
    for (std::size_t digit = 1; digit <= DIGITS; digit++)
      starts[digit] += starts[digit - 1];
    for (std::uint64_t placement : placements)
      sort_scratch[starts[(placement >> (32 + shift)) & (DIGITS - 1)]++] = placement;
    placements.swap(sort_scratch);
  }
}

// Writes the sorted placements [begin, end) front to back; each place's next values are
// announced a few samples ahead so that their fetches overlap.
void write_placements(std::size_t begin, std::size_t end) {
  const std::uint32_t entry_count = value_count;
  // Without repeated names, entry j's values of a place are an array apart:
  // position + header + 8 s + j (header + 8 samples).
  const bool one_array_per_entry = laid_out.array_names.size() == entry_count;
  for (std::size_t p = begin; p < end; p++) {
    if (p + PREFETCH_DISTANCE < end) {
      const std::uint64_t ahead_placement = placements[p + PREFETCH_DISTANCE];
      const Container& ahead = laid_out.containers[ahead_placement >> 32];
      const std::uint64_t stride = ELEMENT_HEADER_SIZE + std::uint64_t{ ahead.samples } * 8;
      const unsigned char* line = image + value_position(ahead, 0, ahead.filled);
      for (std::uint32_t j = 0; j < entry_count; j++, line += stride)
        __builtin_prefetch(line, 1);
      __builtin_prefetch(&staged_values[(ahead_placement & UINT32_MAX) * entry_count]);
    }
    const std::uint64_t placement = placements[p];
    Container& place = laid_out.containers[placement >> 32];
    if (place.block_after == TREE_PLACE)
      continue;  // its values went into its nodes while counting
    if (place.filled >= place.samples) {
      changed = true;  // more samples than the first walk counted: the input changed
      continue;
    }
    const double* values = &staged_values[(placement & UINT32_MAX) * entry_count];
    const std::uint32_t s = place.filled++;
    if (one_array_per_entry) {
      const std::uint64_t stride = ELEMENT_HEADER_SIZE + std::uint64_t{ place.samples } * 8;
      unsigned char* at = image + value_position(place, 0, s);
      for (std::uint32_t j = 0; j < entry_count; j++, at += stride)
        std::memcpy(at, &values[j], sizeof(double));
    } else {
      for (std::uint32_t j = 0; j < entry_count; j++)
        std::memcpy(image + value_position(place, j, s), &values[j], sizeof(double));
    }
  }
}

// The two parts meet between two places, so that each place is written by one of them.
void write_staged() {
  sort_placements();
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

std::uint64_t record_size() {
  return sizeof(std::uint32_t) + (value_count - 1) * sizeof(double);
}

std::vector<std::size_t> last_group_in_bucket;  // the plan whose loop value a bucket holds last

int distribute_group(DataNode* group, std::uint32_t) {
  if (!resolve_group(group, true)) {
    show_walk_progress(group, false);
    return 0;
  }
  const GroupPlan& plan = plan_of(group);
  const std::size_t plan_number = next_plan - 1;
  find_places(plan);
  const double loop = loop_value();
  const std::uint32_t arrays = value_count - 1;
  const std::size_t size = record_size();
  for (std::uint32_t k = 0; k < plan.samples; k++) {
    const std::uint32_t place_number = places[k];
    Container& place = laid_out.containers[place_number];
    if (place.block_after == TREE_PLACE)
      continue;
    if (place.filled++ >= place.samples)
      report_input_changed();
    const std::uint64_t first_window = place.position / laid_out.window_size;
    const std::uint64_t last_window =
        (place.position + block_size(place.samples) - 1) / laid_out.window_size;
    for (std::uint64_t w = first_window; w <= last_window; w++) {
      if (last_group_in_bucket[w] != plan_number) {
        last_group_in_bucket[w] = plan_number;
        unsigned char* marker = buckets->append(w, sizeof(std::uint32_t) + sizeof(double));
        std::memcpy(marker, &LOOP_VALUE_TAG, sizeof LOOP_VALUE_TAG);
        std::memcpy(marker + sizeof LOOP_VALUE_TAG, &loop, sizeof loop);
      }
      unsigned char* record = buckets->append(w, size);
      std::memcpy(record, &place_number, sizeof place_number);
      for (std::uint32_t i = 0; i < arrays; i++)
        std::memcpy(record + sizeof place_number + i * sizeof(double),
                    entry_values(i) + std::size_t{ k } * sizeof(double), sizeof(double));
    }
  }
  show_walk_progress(group, true);
  return 0;
}

void fill_window(unsigned char* window, std::uint64_t start, std::uint64_t length,
                 std::uint64_t w) {
  put_headers(window, start, length);
  const std::uint32_t arrays = value_count - 1;
  const std::uint64_t end = start + length;
  double loop = 0;
  buckets->start_reading(w);
  while (const unsigned char* tag = buckets->next(sizeof(std::uint32_t))) {
    std::uint32_t place_number;
    std::memcpy(&place_number, tag, sizeof place_number);
    if (place_number == LOOP_VALUE_TAG) {
      std::memcpy(&loop, buckets->next(sizeof(double)), sizeof loop);
      continue;
    }
    const unsigned char* values = buckets->next(arrays * sizeof(double));
    Container& place = laid_out.containers[place_number];
    if (place.filled >= place.samples)
      report_input_changed();
    const std::uint32_t s = place.filled++;
    for (std::uint32_t j = 0; j <= arrays; j++) {
      const std::uint64_t at = value_position(place, j, s);
      if (at + sizeof(double) <= start || at >= end)
        continue;
      const unsigned char* value =
          j < arrays ? values + j * sizeof(double) : reinterpret_cast<const unsigned char*>(&loop);
      // A value may straddle the window's edge: only its part inside is written here.
      const std::uint64_t from = at < start ? start - at : 0;
      const std::uint64_t to = std::min<std::uint64_t>(sizeof(double), end - at);
      std::memcpy(window + (at + from - start), value + from, to - from);
    }
  }
}

}  // namespace

void plan_windows() {
  const std::uint64_t size = laid_out.output_size;
  const std::uint64_t budget = laid_out.settings.memory_budget;
  // At once: the output, and staging of about a sixteenth of it.
  if (budget == 0 || size + size / 8 <= budget || size == 0) {
    laid_out.window_size = size;
    laid_out.window_count = size == 0 ? 0 : 1;
    return;
  }
  // By windows: half the budget for the window, an eighth for the buckets' buffers.
  constexpr std::uint64_t SMALLEST_WINDOW = 4096;
  laid_out.window_size = std::max(budget / 2, SMALLEST_WINDOW);
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
    lay_out_output(image);
    const std::size_t bytes_per_sample = 2 * sizeof(std::uint64_t) + value_count * sizeof(double);
    staging_capacity = std::min<std::size_t>(size / 32 / bytes_per_sample, INT32_MAX);
    placements.clear();
    start_walk_progress("filling", root);
    walk_groups(root, fill_group, 0);
    write_staged();
    end_progress();
  } else if (laid_out.window_count > 1) {
    const std::uint64_t buffer =
        std::clamp<std::uint64_t>(laid_out.settings.memory_budget / 8 / laid_out.window_count,
                                  std::uint64_t{ 64 } << 10, std::uint64_t{ 8 } << 20);
    buckets = std::make_unique<SpillBuckets>(laid_out.window_count,
                                             std::max<std::uint64_t>(buffer, 2 * record_size()),
                                             laid_out.settings.scratch_directory);
    last_group_in_bucket.assign(laid_out.window_count, SIZE_MAX);
    for (Container& place : laid_out.containers)
      place.filled = 0;
    start_walk_progress("sorting into windows", root);
    walk_groups(root, distribute_group, 0);
    end_progress();
  }
  if (next_plan != laid_out.plans.size())
    report_input_changed();
  laid_out.sample_log.reset();
}

void write_output(DataWriter* writer, FileHeader* header) {
  const std::uint64_t size = laid_out.output_size;
  if (laid_out.window_count <= 1) {
    write_laid_out(writer, header, image, size);
    if (!image_in_output)
      free_large_block(image, size);
    image = nullptr;
    return;
  }
  write_file_header(writer, header);
  auto* window = static_cast<unsigned char*>(take_large_block(laid_out.window_size));
  if (window == nullptr)
    error_exit("Not enough memory\n");
  start_progress("writing", laid_out.window_count);
  for (std::uint64_t w = 0; w < laid_out.window_count; w++) {
    const std::uint64_t start = w * laid_out.window_size;
    const std::uint64_t length = std::min(laid_out.window_size, size - start);
    fill_window(window, start, length, w);
    write_output_bytes(writer, window, length);
    show_progress(w + 1, start + length);
  }
  end_progress();
  free_large_block(window, laid_out.window_size);
  buckets.reset();
  finish_file(writer);
}
