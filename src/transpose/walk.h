// The transposition walk: the visitor that turns each input group's samples into values of
// trajectory groups, and the getters through which it reads the input.
#ifndef ZVBTRACK_TRANSPOSE_WALK_H_
#define ZVBTRACK_TRANSPOSE_WALK_H_

#include <cstdint>

#include "data/tree.h"

// Visits one input group: when the loop variable and every requested array are in its
// scope, appends each sample k (element k of every array, and the loop variable) to the
// trajectory group of the sample's ID, below copies of the group's enclosing groups. Ends
// the run on arrays of different lengths and on an ID array shorter than the arrays.
int transpose_group(DataNode* group, std::uint32_t depth);

// Element k of the numeric array `name` in scope of current_group, as a double: 0, or 1
// when there is none.
int get_array_value(const char* name, int k, double* out);

// The loop variable's single value in scope of current_group, as a double: 0, or 1 when
// there is none. `name` and `k` are not used.
int get_loop_value(const char* name, int k, double* out);

// Fills the request lists of the trajectory store, each taken from the heap for the rest of
// the run: the `array_count` arrays named in `array_names`, in order, with get_array_value,
// then loop_var_name (set before) with get_loop_value. Ends the run with "Not enough memory"
// when a list cannot be had.
void fill_request(char** array_names, std::uint32_t array_count);

// A mistyped name gives an empty output: with no trajectory (`trajectory_count` 0) a warning
// names the loop variable and the first `array_count` requested arrays, since the run itself
// went well.
void warn_if_no_trajectory(std::uint64_t trajectory_count, std::uint32_t array_count);

// The ID array in scope of `group` (named by id_array_name, else "ID"), converted to doubles;
// null when there is none, or it is not numeric or not an array. With -s such a group is
// skipped; without, its samples are numbered. An empty ID array counts as present.
DataNode* find_id_array(DataNode* group);

#endif  // ZVBTRACK_TRANSPOSE_WALK_H_
