// What zvbdump prints on standard output: the file header, the element tree, and arrays as
// CSV columns. Every write is checked; a failed one ends the run.
#ifndef ZVBTRACK_TOOLS_DUMP_PRINT_H_
#define ZVBTRACK_TOOLS_DUMP_PRINT_H_

#include <cstdint>
#include <vector>

#include "data/format.h"
#include "data/tree.h"
#include "dump/path.h"

// Values of an array shown when no -n is given.
constexpr std::uint64_t DEFAULT_VALUE_LIMIT = 8;

// One line: the file name, the format version, the byte order that the magic shows, the
// creator and destination with their versions, and the creation time as a UTC date.
void print_header_line(const char* file_name, const FileHeader& header);

// The 48 header bytes field by field: offset, size, name, value and meaning.
void print_header_fields(const FileHeader& header);

// A heading line, then one line per element of the subtree of each of `tops` (of the whole
// file when `tops` is the root alone), in file order, indented by depth below the top: the
// element header's offset in the file, the type word, the kind, the value type, the data size,
// the number of values, the name and the values (all of a single value, at most `limit` of
// anything else; 0: all). `tops` are in file order. File-backed data are loaded for their line
// and released right after it.
void print_tree(DataNode* root, const std::vector<DataNode*>& tops, std::uint64_t limit);

// The same for a regular file, read element by element twice so that memory stays that of
// its largest element: the whole file is checked and the selection of `steps` found (else the
// run ends with the message of a read into a tree) before the header line (or with
// `header_fields` the header's fields), the heading and the selected subtrees are printed.
void print_file_tree(const char* file_name, const std::vector<PathStep>& steps, std::uint64_t limit,
                     bool header_fields);

// Flushes standard output and ends the run if any write to it failed.
void finish_output();

#endif  // ZVBTRACK_TOOLS_DUMP_PRINT_H_
