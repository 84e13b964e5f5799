// What zvbdump prints on standard output: the file header, the element tree, and arrays as
// CSV columns. Every write is checked; a failed one ends the run.
#ifndef ZVBTRACK_TOOLS_DUMP_PRINT_H_
#define ZVBTRACK_TOOLS_DUMP_PRINT_H_

#include <cstdint>

#include "data/format.h"
#include "data/tree.h"

// Values of an array shown when no -n is given.
constexpr std::uint64_t DEFAULT_VALUE_LIMIT = 8;

// One line: the file name, the format version, the byte order that the magic shows, the
// creator and destination with their versions, and the creation time as a UTC date.
void print_header_line(const char* file_name, const FileHeader& header);

// The 48 header bytes field by field: offset, size, name, value and meaning.
void print_header_fields(const FileHeader& header);

// A heading line, then one line per element of the subtree of `top` (its children only when
// `top` is `root`), in file order, indented by depth: the element header's offset in the
// file, the type word, the kind, the value type, the data size, the number of values, the
// name and the values (all of a single value, at most `limit` of anything else; 0: all).
// File-backed data are loaded for their line and released right after it.
void print_tree(DataNode* root, DataNode* top, std::uint64_t limit);

// The arrays of numbers or text directly inside `node` (or `node` itself when it is an
// array) as CSV columns: a row of their names, then one row per index, shorter columns
// padded with empty cells. Ends the run when there is no such array; `path` and `file_name`
// name the selection in that message.
void print_csv(DataNode* node, const char* path, const char* file_name);

// Flushes standard output and ends the run if any write to it failed.
void finish_output();

#endif  // ZVBTRACK_TOOLS_DUMP_PRINT_H_
