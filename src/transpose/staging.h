// Samples staged on their way into the output's bytes: gathered for a while, sorted by the
// place they go to and written place by place, so that a trajectory's next values share the
// cache lines they go to. Not for use outside src/transpose.
#ifndef ZVBTRACK_TRANSPOSE_STAGING_H_
#define ZVBTRACK_TRANSPOSE_STAGING_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "transpose/store.h"

struct Staging {
  unsigned char* target = nullptr;  // holds the output's bytes from target_start
  std::uint64_t target_start = 0;
  std::size_t capacity = 0;  // samples that may wait before they are written
  // Staged sample i: its placement (place << 32 | i) and its values, every entry's in request
  // order, at values[i * value_count ...].
  std::vector<std::uint64_t> placements;
  std::vector<double> values;
};

extern Staging staging;

// From now on staged samples go into `target`, which holds the output's bytes from `start`,
// written whenever `capacity` samples wait.
void start_staging(unsigned char* target, std::uint64_t start, std::size_t capacity);

// Writes every staged sample; one that a place cannot take (more samples than the first walk
// counted) means the input changed, which ends the run.
void write_staged();

// Room for `count` more samples at once, written into by the caller (from two threads when
// they take disjoint samples); returns the number of the first.
inline std::size_t stage_samples(std::size_t count) {
  if (!staging.placements.empty() && staging.placements.size() + count > staging.capacity)
    write_staged();
  const std::size_t first = staging.placements.size();
  staging.placements.resize(first + count);
  // Values only ever grow: the room a batch had serves the next, without being zeroed anew.
  if (staging.values.size() < (first + count) * value_count)
    staging.values.resize((first + count) * value_count);
  return first;
}

// Writes the staged samples when `capacity` of them wait, and makes room for the values of
// one more.
void make_room_for_sample();

// One more sample for `place`: room for its values.
inline double* stage_sample(std::uint32_t place) {
  std::size_t staged = staging.placements.size();
  if (staged >= staging.capacity || staging.values.size() < (staged + 1) * value_count)
      [[unlikely]] {
    make_room_for_sample();
    staged = staging.placements.size();
  }
  staging.placements.push_back(std::uint64_t{ place } << 32 | staged);
  return &staging.values[staged * value_count];
}

// Orders keys (place << 32 | anything) by place, keeping their order within a place (a
// radix sort over the place bits, through `scratch`).
void sort_by_place(std::vector<std::uint64_t>* keys, std::vector<std::uint64_t>* scratch);

#endif  // ZVBTRACK_TRANSPOSE_STAGING_H_
