// The transposition walk of the output tree: the visitor that turns each input group's samples
// into values of trajectory groups, read through the request's getters.
#ifndef ZVBTRACK_TRANSPOSE_WALK_H_
#define ZVBTRACK_TRANSPOSE_WALK_H_

#include <cstdint>

#include "data/tree.h"
#include "transpose/request.h"

// Visits one input group: when the loop variable and every requested array are in its
// scope, appends each sample k (element k of every array, and the loop variable) to the
// trajectory group of the sample's ID, below copies of the group's enclosing groups. Ends
// the run on arrays of different lengths and on an ID array shorter than the arrays.
int transpose_group(DataNode* group, std::uint32_t depth);

#endif  // ZVBTRACK_TRANSPOSE_WALK_H_
