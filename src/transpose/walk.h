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

#endif  // ZVBTRACK_TRANSPOSE_WALK_H_
