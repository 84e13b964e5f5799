// The output's target for the writer: what open_output (writer.h) opens, and keeping the
// target as it was until the output is complete.
#ifndef ZVBTRACK_DATA_OUTPUT_FILE_H_
#define ZVBTRACK_DATA_OUTPUT_FILE_H_

#include "data/writer.h"

// From here on a failed run, or a signal that ends it, leaves the writer's target as it found
// it: an appended file cut back (never below what another writer added), a temporary file
// (guarded against signals from its creation on) removed.
void guard_target(DataWriter* writer);

// Ends the run with ERR_FILE: the writer's file name and the text for errno.
[[noreturn]] void report_output_error(const DataWriter* writer);

// The file open on the guard descriptor holds exactly `expected` bytes: else, when it is
// longer, ERR_OUTPUT_GREW (another writer added to it; nothing is cut back), and when shorter
// ERR_OUTPUT_CHANGED. Does not return on failure.
void check_output_length(const DataWriter* writer, std::int64_t expected);

// The output is complete and its stream closed: a temporary file replaces its target, and
// nothing is undone any more. Does not return on failure.
void put_output_in_place(DataWriter* writer);

#endif  // ZVBTRACK_DATA_OUTPUT_FILE_H_
