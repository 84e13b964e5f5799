// The transposition laid out as the output file's bytes, without a tree of output nodes.
//
// A first walk counts, for every trajectory and every copy of an enclosing group below it,
// how many samples land there, and raises every failure transpose_group would raise, in the
// same order. The output is then laid out: each trajectory group, the copies below it, and
// the arrays of each, at the positions the output tree would be written at. A second walk
// places each value at its position. When the output fits in the memory budget it is filled
// in the output file's own room (or in memory) at once; otherwise the second walk sorts the
// values into one bucket per window of the output, kept in a temporary file, and each window
// is filled from its bucket and written in turn, so that memory stays within the budget
// whatever the output's size. The bytes are those transpose_group's tree would be written as.
#ifndef ZVBTRACK_TRANSPOSE_ENGINE_H_
#define ZVBTRACK_TRANSPOSE_ENGINE_H_

#include <cstdint>

#include "data/tree.h"
#include "data/writer.h"

struct LayoutSettings {
  const char* input_name;         // names the input in "Input changed while being read"
  std::uint64_t memory_budget;    // bytes for the output or its window, staging and buckets
  const char* scratch_directory;  // where temporary files go; null: $TMPDIR or /tmp
};

// The first walk and the layout, over the groups below `root` (visited as walk_groups visits
// them) with the request of the trajectory store. A place whose arrays meet a child of a
// requested name (a copy of an enclosing group so named, or for the empty name the end
// marker) grows with the values themselves: such places are built as output nodes during the
// walk, and laid out from them. Returns false only for a request without entries.
bool count_output(DataNode* root, const LayoutSettings& settings);

// The second walk. Does not return on failure, including an input that no longer holds what
// the first walk found.
void fill_output(DataNode* root, DataWriter* writer);

// Writes the laid-out output through `writer` (header stamped, not when appending) and
// finishes it. The input may be closed before.
void write_output(DataWriter* writer, FileHeader* header);

// Trajectory groups in the laid-out output.
std::uint64_t output_trajectory_count();

// What the count found the output to be, and how it would be filled.
struct OutputPlan {
  std::uint64_t trajectories;
  std::uint64_t samples;
  std::uint64_t bytes;    // of elements, after the file header
  std::uint64_t windows;  // 1: filled at once
  std::uint64_t window_size;
};
OutputPlan planned_output();

// What a dry run tells on standard error, after `name: `: the trajectories, samples and bytes
// planned_output gives; and how the output would be filled with the memory budget.
void tell_output_size(const char* name);
void tell_filling(const char* name, std::uint64_t memory_budget);

#endif  // ZVBTRACK_TRANSPOSE_ENGINE_H_
