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

// Writes the sorted placements [begin, end) front to back; each place's next values are
// announced a few samples ahead so that their fetches overlap.
static void write_placements(std::size_t begin, std::size_t end) {
  // Locals, so that the stores below (which may alias anything) do not make them reloaded.
  const std::uint32_t entry_count = value_count;
  unsigned char* const bytes = staging.target - staging.target_start;  // output byte 0
  Container* const places_at = laid_out.containers.data();
  const std::uint64_t* const placed = staging.placements.data();
  const double* const staged = staging.values.data();
  // Without repeated names, entry j's value of sample s of a place is an array apart from
  // entry 0's: position + header + 8 s + j (header + 8 samples).
  const bool one_array_per_entry = laid_out.array_names.size() == entry_count;
  // The place and slot of the sample PREFETCH_DISTANCE ahead: a place's samples follow each
  // other, so its slot is the one before's plus one, or where the place stands when it begins.
  std::uint32_t ahead_place = UINT32_MAX;
  std::uint64_t ahead_slot = 0;
  for (std::size_t p = begin; p < end; p++) {
    if (p + PREFETCH_DISTANCE < end) {
      const std::uint64_t ahead_placement = placed[p + PREFETCH_DISTANCE];
      const std::uint32_t next_place = static_cast<std::uint32_t>(ahead_placement >> 32);
      const Container& ahead = places_at[next_place];
      const bool starts = next_place != ahead_place;
      ahead_place = next_place;
      ahead_slot = starts ? ahead.filled : ahead_slot + 1;
      const unsigned char* line = bytes + ahead.position + ELEMENT_HEADER_SIZE + ahead_slot * 8;
      // Each line is asked for once: when the place begins, or when its next value begins one.
      if (starts || reinterpret_cast<std::uintptr_t>(line) % 64 < 8) {
        const std::uint64_t stride = ELEMENT_HEADER_SIZE + std::uint64_t{ ahead.samples } * 8;
        for (std::uint32_t j = 0; j < entry_count; j++, line += stride)
          __builtin_prefetch(line, 1);
      }
      __builtin_prefetch(&staged[(ahead_placement & UINT32_MAX) * entry_count]);
    }
    const std::uint64_t placement = placed[p];
    Container& place = places_at[placement >> 32];
    const std::uint32_t s = place.filled;
    if (s >= place.samples) {
      // A place made of nodes took its values while counting; any other place given more
      // samples than the first walk counted means the input changed.
      if (!is_node_place(placement >> 32))
        place_overfilled = true;
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
