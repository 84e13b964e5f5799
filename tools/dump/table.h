// CSV tables of a ZVB file read element by element: the arrays of one selection as columns,
// or every trajectory of a selection as one long table. Memory stays that of one selection's
// arrays (one trajectory's, for the long table), however large the file.
#ifndef ZVBTRACK_TOOLS_DUMP_TABLE_H_
#define ZVBTRACK_TOOLS_DUMP_TABLE_H_

#include <vector>

#include "dump/path.h"

// Opens `file_name` and prints on standard output the CSV table of what `steps` select
// (`path` is their text, for messages):
// - an array: one column;
// - a group (the root for no step) whose first array of numbers or text comes before any
//   group with a value: its arrays of numbers or text as columns, a row of names first, then
//   a row per index, shorter columns padded with empty cells;
// - else the trajectories below it: each group with a value of its own directly inside it is
//   one (the selected group itself, when it carries a value), as is each match of a range.
//   The long table has a row of names, then one row per sample: the trajectory group's value
//   (the column named after the group), the value of each group below it on the way to the
//   arrays, then the last array (the loop variable), then the other arrays in their order.
//   Every trajectory must have the columns of the first.
// Ends the run with a message when the steps match nothing or nothing has arrays to show.
void print_csv(const char* file_name, const std::vector<PathStep>& steps, const char* path);

#endif  // ZVBTRACK_TOOLS_DUMP_TABLE_H_
