// The second walk of the laid-out transposition. An output that fits the memory budget is
// filled at once, in the room the output file took for it or in memory written there, its
// samples staged and written place by place. A larger output is cut into windows: the walk
// sorts every sample into the bucket of the window its values land in (those of a place that
// reaches past a window's edge into a file laid out as the output), and each window is then
// filled from its bucket and written in turn, so that memory stays within the budget whatever
// the output's size.
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
#include "transpose/selection.h"
#include "transpose/sources.h"
#include "transpose/spanning.h"
#include "transpose/staging.h"

namespace {

unsigned char* image = nullptr;         // the output filled at once, or the windows' room
bool image_in_output = false;           // image is the output file's room
unsigned char* room = nullptr;          // the output file's room for an output filled at once
std::unique_ptr<SpillBuckets> buckets;  // one per window, when filled by windows
std::unique_ptr<SpanningValues> spanning_file;  // and the values of places that span them
std::size_t next_plan = 0;
std::atomic<bool> changed{ false };  // set by either part of the work

// The digest of the identifiers of the samples of the group with copies being filled, so far.
std::uint64_t identifiers_found = 0;

// Whether a window is filled in the output file's mapped room rather than in memory and
// written; a build may choose the second always.
#ifndef MAP_WINDOWS
#define MAP_WINDOWS true
#endif

// The windows' sizes: at least this many bytes, and no more than this many windows, so that
// what each window costs beside its bytes (a bucket's buffer) stays bounded however small the
// budget; a quarter of the budget otherwise, for each of two windows (one filled while the
// other is written) and an eighth for the buckets' buffers.
constexpr std::uint64_t SMALLEST_WINDOW = 64;
constexpr std::uint64_t MOST_WINDOWS = 4096;
constexpr std::uint64_t SMALLEST_BUCKET_BUFFER = 512;
constexpr std::uint64_t LARGEST_BUCKET_BUFFER = std::uint64_t{ 8 } << 20;
constexpr std::uint64_t SMALLEST_RUN_BUFFER = 128;
constexpr std::uint64_t LARGEST_RUN_BUFFER = std::uint64_t{ 1 } << 20;

// The plan the first walk made for `group`, checked against what the group holds now.
// With identifiers selected, a group none of whose samples is selected has no plan (null), and
// the samples a plan counts are checked once the group's samples were taken.
const GroupPlan* plan_of(const DataNode* group) {
  const bool planned =
      next_plan < laid_out.plans.size() && laid_out.plans[next_plan].group == group;
  if (!planned && id_selection != nullptr)
    return nullptr;
  if (!planned)
    report_changed_input();
  const GroupPlan& plan = laid_out.plans[next_plan++];
  identifiers_found = 0;
  if (id_selection == nullptr &&
      (plan.samples != sources.samples || sources.longest != sources.samples ||
       (sources.id_array != nullptr && sources.id_count < sources.samples)))
    report_changed_input();
  return &plan;
}

// The place of each sample of the resolved group: from the sample log for a group with
// copies, else the trajectory group of its identifier (which the first walk met).
std::vector<std::uint32_t> places;

// Of the samples [begin, end) at hand; places[k - begin] is sample k's. The identifiers of a
// group with copies are checked once the whole group's are met (check_identifiers).
void find_places(const GroupPlan& plan, std::uint32_t begin, std::uint32_t end) {
  places.resize(end - begin);
  key_samples(begin, end);
  if (plan.has_copies) {
    for (std::uint32_t k = begin; k < end; k++) {
      const unsigned char* record = laid_out.sample_log->next(sizeof(std::uint32_t));
      if (record == nullptr)
        report_changed_input();
      std::memcpy(&places[k - begin], record, sizeof(std::uint32_t));
    }
    identifiers_found += identifier_digest(begin, end);
    return;
  }
  const std::uint32_t first = sources.first_at_hand;
  in_two_parts(end - begin, any_item, [=](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; i++) {
      const std::size_t at = begin + i - first;
      if (i + PREFETCH_DISTANCE < to)
        id_index.prefetch(sample_keys[at + PREFETCH_DISTANCE]);
      const IdIndex::Slot* slot = id_index.find(sample_keys[at]);
      if (slot == nullptr) {
        changed = true;
        places[i] = NO_CONTAINER;
        continue;
      }
      places[i] = slot->number;  // the trajectory group's place, since the count
    }
  });
  if (changed)
    report_changed_input();
}

// Other identifiers than the count met, in a group whose places come from the sample log,
// would put values in other trajectories' places.
void check_identifiers(const GroupPlan& plan) {
  if (plan.has_copies && identifiers_found != plan.identifiers)
    report_changed_input();
}

int fill_group(DataNode* group, std::uint32_t) {
  if (!resolve_group(group, false)) {
    show_walk_progress(group, false);
    return 0;
  }
  take_samples(0, sources.samples, true);
  const GroupPlan* planned = plan_of(group);
  if (planned == nullptr || planned->samples != selected_samples()) {
    if (planned != nullptr)
      report_changed_input();
    show_walk_progress(group, false);
    return 0;
  }
  const GroupPlan& plan = *planned;
  const std::uint32_t samples = plan.samples;
  find_places(plan, 0, samples);
  check_identifiers(plan);
  const std::size_t first_staged = stage_samples(samples);
  const std::uint32_t entry_count = value_count;
  const std::uint32_t loop_entry = entry_count - 1;
  const double loop = loop_value();
  in_two_parts(samples, any_item, [=](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; k++) {
      const std::size_t staged = first_staged + k;
      staging.placements[staged] = std::uint64_t{ places[k] } << 32 | staged;
      double* values = &staging.values[staged * entry_count];
      for (std::uint32_t i = 0; i < loop_entry; i++)
        values[i] = sample_value(i, k);
      values[loop_entry] = loop;
    }
  });
  show_walk_progress(group, true);
  return 0;
}

// The samples [begin, end) at hand, of the group laid out by plan `plan_number`, into the
// windows' buckets: by two threads, each with half of the buckets, when there are many (a
// bucket is only ever appended to by one).
void sort_part(std::size_t plan_number, std::uint32_t begin, std::uint32_t end) {
  start_sorting_group(plan_number, places.data(), begin, end);
  const std::uint64_t window_count = laid_out.window_count;
  std::vector<SpillBuckets*> targets(window_count, buckets.get());
  if (end - begin >= PARALLEL_ITEMS && usable_processors() >= 2) {
    buckets->start_sharing();
    spanning_file->start_sharing();
    std::thread first_half;
    try {
      first_half = std::thread(sort_samples, targets.data(), begin, end, 0, window_count / 2);
    } catch (const std::system_error&) {
      sort_samples(targets.data(), begin, end, 0, window_count / 2);
    }
    sort_samples(targets.data(), begin, end, window_count / 2, window_count);
    if (first_half.joinable())
      first_half.join();
    buckets->finish_sharing();
    spanning_file->finish_sharing();
  } else {
    sort_samples(targets.data(), begin, end, 0, window_count);
  }
  if (!sorted_as_counted())
    report_changed_input();
}

// A group's samples a part at a time, read from file as far as they are there.
int distribute_group(DataNode* group, std::uint32_t) {
  if (!resolve_group(group, false)) {
    show_walk_progress(group, false);
    return 0;
  }
  const GroupPlan* planned = plan_of(group);
  if (planned == nullptr) {
    show_walk_progress(group, false);
    return 0;
  }
  const GroupPlan& plan = *planned;
  const std::size_t plan_number = next_plan - 1;
  const std::uint32_t samples = sources.samples;
  for (std::uint32_t begin = 0, end = 0; begin < samples; begin = end) {
    end = samples - begin > samples_per_part ? begin + samples_per_part : samples;
    take_samples(begin, end, true);
    if (sources.end_at_hand > plan.samples)
      report_changed_input();
    find_places(plan, sources.first_at_hand, sources.end_at_hand);
    sort_part(plan_number, sources.first_at_hand, sources.end_at_hand);
  }
  if (selected_samples() != plan.samples)
    report_changed_input();
  check_identifiers(plan);
  show_walk_progress(group, true);
  return 0;
}

}  // namespace

void plan_windows() {
  const std::uint64_t size = laid_out.output_size;
  const std::uint64_t budget = laid_out.settings.memory_budget;
  // At once: the output, staging of about a sixteenth of it, and the largest group's arrays
  // and identifiers at hand as doubles.
  std::uint64_t largest_group = 0;
  for (const GroupPlan& plan : laid_out.plans)
    largest_group = std::max<std::uint64_t>(largest_group, plan.samples);
  const std::uint64_t group_bytes = largest_group * (value_count + 4) * sizeof(double);
  if (budget == 0 || size + size / 8 + group_bytes <= budget || size == 0) {
    laid_out.window_size = size;
    laid_out.window_count = size == 0 ? 0 : 1;
    return;
  }
  laid_out.window_size =
      std::max({ budget / 4, (size + MOST_WINDOWS - 1) / MOST_WINDOWS, SMALLEST_WINDOW });
  laid_out.window_count = (size + laid_out.window_size - 1) / laid_out.window_size;
}

void fill_output(DataNode* root, DataWriter* writer) {
  next_plan = 0;
  changed = false;
  laid_out.sample_log->start_reading(0);
  const std::uint64_t size = laid_out.output_size;
  if (laid_out.window_count == 1) {
    // The file's room is taken now (its blocks allocated, the file guarded). Memory let go of
    // a moment ago, as the pages of a file being replaced, is at hand: stores into the room
    // take it back. A smaller new output is filled in memory and then written: stores into a
    // mapping of a new file fault in runs of pages of it read ahead, each zeroed first, and
    // where a virtual machine's host took free memory back, backed anew. A large one is
    // filled in the room all the same, a page brought in at a time: filling it in memory
    // first would take twice its size of fresh memory, and that costs more.
    room = map_output(writer, size);
    const bool large = large_output(size, laid_out.settings.memory_budget);
    image_in_output = room != nullptr && (large || writer->let_go_bytes >= size);
    if (image_in_output && large)
      advise_scattered_stores(room, size);
    image = image_in_output ? room : static_cast<unsigned char*>(take_plain_block(size));
    if (image == nullptr)
      error_exit("Not enough memory\n");
    // Every page of the image in memory is stored into: bringing them all in at once, in two
    // parts, costs less than a fault for each. In the room, the headers are the first touch
    // of its pages, and two parts fault them in at once.
    if (!image_in_output)
      in_two_parts(
          size, any_item,
          [](std::size_t begin, std::size_t end) {
            bring_in_block_part(image, begin, end - begin);
          },
          1 << 20);
    lay_out_output(image);
    const std::size_t bytes_per_sample = 2 * sizeof(std::uint64_t) + value_count * sizeof(double);
    start_staging(image, 0, std::min<std::size_t>(size / 64 / bytes_per_sample, INT32_MAX));
    start_walk_progress("filling", root);
    walk_groups(root, fill_group, 0);
    write_staged();
    end_progress();
  } else if (laid_out.window_count > 1) {
    const std::uint64_t budget = laid_out.settings.memory_budget;
    const std::uint64_t smallest_buffer =
        std::max<std::uint64_t>(SMALLEST_BUCKET_BUFFER, 2 * largest_record());
    const std::uint64_t buffer =
        std::clamp<std::uint64_t>(budget / 8 / laid_out.window_count, smallest_buffer,
                                  std::max(smallest_buffer, LARGEST_BUCKET_BUFFER));
    buckets = std::make_unique<SpillBuckets>(laid_out.window_count, buffer,
                                             laid_out.settings.scratch_directory);
    find_place_windows();
    const std::uint64_t runs = spanning_runs();
    spanning_file = std::make_unique<SpanningValues>(
        runs,
        std::clamp<std::uint64_t>(budget / 16 / std::max<std::uint64_t>(runs, 1),
                                  SMALLEST_RUN_BUFFER, LARGEST_RUN_BUFFER),
        laid_out.settings.scratch_directory);
    keep_spanning_values(spanning_file.get());
    start_walk_progress("sorting into windows", root);
    walk_groups(root, distribute_group, 0);
    end_progress();
    spanning_file->flush();
    // The windows are filled in the output file's own room where it can be mapped; each
    // window's pages then go to the file as soon as it is full.
    image = MAP_WINDOWS ? map_output(writer, size) : nullptr;
    image_in_output = image != nullptr;
  }
  if (next_plan != laid_out.plans.size())
    report_changed_input();
  laid_out.sample_log.reset();
}

// Done with the windows: their buckets and the spanning values.
static void forget_windows() {
  buckets.reset();
  spanning_file.reset();
  forget_place_windows();
}

// The windows one after the other, in the output file's room or written from memory.
void write_output(DataWriter* writer, FileHeader* header) {
  const std::uint64_t size = laid_out.output_size;
  if (laid_out.window_count <= 1) {
    if (room != nullptr && !image_in_output && !write_into_room(writer, image, size))
      std::memcpy(room, image, size);
    write_laid_out(writer, header, image, size);
    if (!image_in_output)
      free_large_block(image, size);
    image = nullptr;
    room = nullptr;
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
    forget_windows();
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
    // The other window may still be written: this one is free once the write before it is.
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
  forget_windows();
  finish_file(writer);
}
