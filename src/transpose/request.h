// The request of a transposition: the loop variable, the arrays and their getters, the name
// of the identifiers, and the rules every way of transposing shares (which array holds the
// identifiers, which enclosing groups are copied).
#ifndef ZVBTRACK_TRANSPOSE_REQUEST_H_
#define ZVBTRACK_TRANSPOSE_REQUEST_H_

#include <cstdint>

#include "data/tree.h"

// Stores the value of `name` at sample index `k` in *out and returns 0; returns 1 when
// there is none.
using ValueGetter = int (*)(const char* name, int k, double* out);

// The request, filled before the walk and only read during it. Entry i names a value and
// its getter; the arrays come first in command-line order, the loop variable last.
extern const char* loop_var_name;
// The -s text: the ID array's name and the trajectory groups' name; a group without such an
// array is skipped. Null: "ID", and a group without an "ID" array counts its samples instead.
extern const char* id_array_name;
extern std::uint32_t value_count;
extern const char** value_names;
extern ValueGetter* value_getters;
extern double* sample_values;  // the sample being collected, one slot per entry

// The input group being transposed; the getters look names up in its scope.
extern DataNode* current_group;

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

// The ID array in scope of `group` (named by id_array_name, else "ID"), converted to doubles;
// null when there is none, or it is not numeric or not an array. With -s such a group is
// skipped; without, its samples are numbered. An empty ID array counts as present.
DataNode* find_id_array(DataNode* group);

// Whether an enclosing group is copied below each trajectory: all but those without a value
// of their own (bit 0x10 of the type word) and those named like the loop variable.
bool is_copied(const DataNode* enclosing);

// A mistyped name gives an empty output: with no trajectory (`trajectory_count` 0) a warning
// names the loop variable and the first `array_count` requested arrays, since the run itself
// went well.
void warn_if_no_trajectory(std::uint64_t trajectory_count, std::uint32_t array_count);

// Groups the laid-out transposition found the loop variable and every requested array for,
// whatever the selection: with none selected from them, the warning says so.
extern std::uint64_t groups_found;

#endif  // ZVBTRACK_TRANSPOSE_REQUEST_H_
