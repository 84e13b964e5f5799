// Writing staged samples place by place.
#include "transpose/staging.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "base/report.h"
#include "transpose/layout.h"
#include "transpose/sources.h"

Staging staging;

static std::vector<std::uint64_t> sort_scratch;
static std::atomic<bool> place_overfilled{ false };

void start_staging(unsigned char* target, std::uint64_t start, std::size_t capacity) {
  staging.target = target;
  staging.target_start = start;
  staging.capacity = std::max<std::size_t>(capacity, 1);
  staging.placements.clear();
}

static std::uint32_t bits_for(std::size_t count) {
  std::uint32_t bits = 0;
  while (bits < 32 && (std::size_t{ 1 } << bits) < count)
    bits++;
  return bits;
}

// The places of the sorted placements [begin, end) come in runs, one run of samples for each
// place, at run_starts[r] to run_starts[r + 1].
static void find_runs(std::size_t begin, std::size_t end, std::vector<std::size_t>* run_starts) {
  const std::uint64_t* const placed = staging.placements.data();
  run_starts->clear();
  for (std::size_t p = begin; p < end; p++)
    if (p == begin || placed[p] >> 32 != placed[p - 1] >> 32)
      run_starts->push_back(p);
  run_starts->push_back(end);
}

// Announces the bytes the run [first, last) of one place goes to, and its staged values, so
// that their fetches overlap the writing of the runs before it.
static void announce_run(std::size_t first, std::size_t last) {
  const std::uint64_t* const placed = staging.placements.data();
  const double* const staged = staging.values.data();
  const std::uint32_t entry_count = value_count;
  const Container& place = laid_out.containers[placed[first] >> 32];
  const std::uint64_t stride = ELEMENT_HEADER_SIZE + std::uint64_t{ place.samples } * 8;
  const unsigned char* from = staging.target - staging.target_start + place.position +
                              ELEMENT_HEADER_SIZE + std::uint64_t{ place.filled } * 8;
  const std::uint64_t length = (last - first) * 8;
  for (std::uint32_t j = 0; j < entry_count; j++, from += stride)
    for (std::uint64_t at = 0; at < length + 63; at += 64)
      __builtin_prefetch(from + std::min(at, length - 1), 1);
  for (std::size_t p = first; p < last; p++)
    __builtin_prefetch(&staged[(placed[p] & UINT32_MAX) * entry_count]);
}

// Writes the run [first, last) of samples of one place.
static void write_run(std::size_t first, std::size_t last) {
  // Locals, so that the stores below (which may alias anything) do not make them reloaded.
  const std::uint32_t entry_count = value_count;
  const std::uint64_t* const placed = staging.placements.data();
  const double* const staged = staging.values.data();
  const std::uint32_t number = static_cast<std::uint32_t>(placed[first] >> 32);
  Container& place = laid_out.containers[number];
  const std::uint32_t s = place.filled;
  const std::size_t room = place.samples - std::min(s, place.samples);
  if (last - first > room) {
    // A place made of nodes took its values while counting; any other place given more
    // samples than the first walk counted means the input changed.
    if (!is_node_place(number))
      place_overfilled = true;
    last = first + room;
  }
  const std::uint32_t count = static_cast<std::uint32_t>(last - first);
  place.filled = s + count;
  unsigned char* const bytes = staging.target - staging.target_start;  // output byte 0
  if (laid_out.array_names.size() == entry_count) {
    // Without repeated names, entry j's value of sample s of a place is an array apart from
    // entry 0's: position + header + 8 s + j (header + 8 samples).
    const std::uint64_t stride = ELEMENT_HEADER_SIZE + std::uint64_t{ place.samples } * 8;
    unsigned char* const column =
        bytes + place.position + ELEMENT_HEADER_SIZE + std::uint64_t{ s } * 8;
    for (std::uint32_t i = 0; i < count; i++) {
      const double* values = &staged[(placed[first + i] & UINT32_MAX) * entry_count];
      unsigned char* at = column + 8 * std::uint64_t{ i };
      for (std::uint32_t j = 0; j < entry_count; j++, at += stride)
        std::memcpy(at, &values[j], sizeof(double));
    }
  } else {
    for (std::uint32_t i = 0; i < count; i++) {
      const double* values = &staged[(placed[first + i] & UINT32_MAX) * entry_count];
      for (std::uint32_t j = 0; j < entry_count; j++)
        std::memcpy(bytes + value_position(place, j, s + i), &values[j], sizeof(double));
    }
  }
}

// Runs announced ahead of the one written: enough for their fetches to overlap.
constexpr std::size_t RUNS_AHEAD = 4;

// Writes the sorted placements [begin, end) place by place, front to back.
static void write_placements(std::size_t begin, std::size_t end) {
  static thread_local std::vector<std::size_t> run_starts;
  find_runs(begin, end, &run_starts);
  const std::size_t runs = run_starts.size() - 1;
  for (std::size_t r = 0; r < runs; r++) {
    if (r + RUNS_AHEAD < runs)
      announce_run(run_starts[r + RUNS_AHEAD], run_starts[r + RUNS_AHEAD + 1]);
    if (r + 2 * RUNS_AHEAD < runs)
      __builtin_prefetch(
          &laid_out.containers[staging.placements[run_starts[r + 2 * RUNS_AHEAD]] >> 32]);
    write_run(run_starts[r], run_starts[r + 1]);
  }
}

// The two parts meet between two places, so that each place is written by one of them.
void write_staged() {
  std::vector<std::uint64_t>& placements = staging.placements;
  sort_by_place(&placements, &sort_scratch);
  const auto between_places = [](std::size_t middle) {
    const std::vector<std::uint64_t>& staged = staging.placements;
    while (middle < staged.size() && staged[middle] >> 32 == staged[middle - 1] >> 32)
      middle++;
    return middle;
  };
  in_two_parts(placements.size(), between_places, write_placements);
  placements.clear();
  if (place_overfilled)
    report_error(error_table, ERR_INPUT_CHANGED, laid_out.settings.input_name);
}

void make_room_for_sample() {
  if (staging.placements.size() >= staging.capacity)
    write_staged();
  const std::size_t needed = (staging.placements.size() + 1) * value_count;
  if (staging.values.size() < needed)
    staging.values.resize(std::max(needed, 2 * staging.values.size()));
}

void sort_by_place(std::vector<std::uint64_t>* keys, std::vector<std::uint64_t>* scratch) {
  constexpr int DIGIT_BITS = 11;
  constexpr std::size_t DIGITS = std::size_t{ 1 } << DIGIT_BITS;
  const std::uint32_t place_bits = bits_for(laid_out.containers.size());
  const std::size_t count = keys->size();
  scratch->resize(count);
  // Two halves side by side: each counts its digits, then moves its keys to where its digits
  // begin, the first half's before the second's, so that the order within a place is kept.
  // Whatever parts the work comes in, each key is moved by its own half's counts.
  const std::size_t middle = count >= PARALLEL_ITEMS && usable_processors() >= 2 ? count / 2 : 0;
  const std::size_t bounds[3] = { 0, middle, count };
  const auto by_half = [&bounds](std::size_t begin, std::size_t end, const auto& step) {
    for (int half = 0; half < 2; half++) {
      const std::size_t from = std::max(begin, bounds[half]);
      const std::size_t to = std::min(end, bounds[half + 1]);
      if (from < to)
        step(half, from, to);
    }
  };
  const auto at_middle = [middle](std::size_t) { return middle; };
  std::vector<std::size_t> starts(2 * DIGITS);
  for (std::uint32_t shift = 0; shift < place_bits; shift += DIGIT_BITS) {
    const std::uint64_t* from_keys = keys->data();
    std::uint64_t* to_keys = scratch->data();
    const auto digit_of = [shift](std::uint64_t key) {
      return static_cast<std::size_t>((key >> (32 + shift)) & (DIGITS - 1));
    };
    std::fill(starts.begin(), starts.end(), 0);
    in_two_parts(count, at_middle, [&](std::size_t begin, std::size_t end) {
      by_half(begin, end, [&](int half, std::size_t from, std::size_t to) {
        std::size_t* counts = &starts[half * DIGITS];
        for (std::size_t k = from; k < to; k++)
          counts[digit_of(from_keys[k])]++;
      });
    });
    std::size_t next = 0;
    for (std::size_t digit = 0; digit < DIGITS; digit++) {
      const std::size_t first = starts[digit];
      const std::size_t second = starts[DIGITS + digit];
      starts[digit] = next;
      starts[DIGITS + digit] = next + first;
      next += first + second;
    }
    in_two_parts(count, at_middle, [&](std::size_t begin, std::size_t end) {
      by_half(begin, end, [&](int half, std::size_t from, std::size_t to) {
        std::size_t* at = &starts[half * DIGITS];
        for (std::size_t k = from; k < to; k++)
          to_keys[at[digit_of(from_keys[k])]++] = from_keys[k];
      });
    });
    keys->swap(*scratch);
  }
}
