// The state of one transposition: the request, the index from identifier to trajectory
// group, and the two operations that place values in the output tree.
#ifndef ZVBTRACK_TRANSPOSE_STORE_H_
#define ZVBTRACK_TRANSPOSE_STORE_H_

#include <cstdint>
#include <map>

#include "data/tree.h"

// Stores the value of `name` at sample index `k` in *out and returns 0; returns 1 when
// there is none.
using ValueGetter = int (*)(const char* name, int k, double* out);

// The tree written at the end; its root is made an empty group before the walk.
extern DataFile output_file;

// The request, filled before the walk and only read during it. Entry i names a value and
// its getter; the arrays come first in command-line order, the loop variable last.
extern const char* loop_var_name;
extern std::uint32_t value_count;
extern const char** value_names;
extern ValueGetter* value_getters;
extern double* sample_values;  // the sample being collected, one slot per entry

// The input group being transposed; the getters look names up in its scope.
extern DataNode* current_group;

// Identifiers are equal when neither is less than the other, so 0.0 and -0.0 are one key;
// every NaN is one further key, after all numbers.
struct IdLess {
  bool operator()(double a, double b) const;
};

// Identifier -> its trajectory group in output_file. Points into the tree, owns nothing.
extern std::map<double, DataNode*, IdLess> id_index;

// The trajectory group of `id` under the output root, made on first use after all groups
// made before it and carrying its own copy of `id`. Never null: failures end the run.
DataNode* trajectory_group(double id);

// Appends *value to the array `name` among the direct children of `group`, making the
// array on first use. An array's block doubles whenever its value count reaches a power of
// two. An array that would reach 4 GiB ends the run.
void append_sample(DataNode* group, const char* name, const double* value);

#endif  // ZVBTRACK_TRANSPOSE_STORE_H_
