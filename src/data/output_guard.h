// What a run that does not complete must undo in its output file, and the signal handlers that
// undo it before a signal ends the process.
#ifndef ZVBTRACK_DATA_OUTPUT_GUARD_H_
#define ZVBTRACK_DATA_OUTPUT_GUARD_H_

#include <cstddef>
#include <cstdint>

// From now on a run that ends early cuts the file open on `descriptor` back to `length` bytes
// (never lengthening it); the guard keeps the descriptor, the caller closes it after
// release_output_guard. Installs the signal handlers on first use.
void guard_cut_back(int descriptor, std::int64_t length);

// From now on a run that ends early removes the file at `path` (the caller's text, which stays
// in place until release_output_guard). Installs the signal handlers on first use.
void guard_temporary(const char* path);

// The output file mapped at [mapping, mapping + length): before the file is cut back, the
// mapping is replaced by anonymous memory at the same address, so that stores still under way
// land harmlessly. A store that meets a file cut short by someone else does the same and marks
// the output changed instead of ending the process. unguard_mapping comes before the unmap.
void guard_mapping(unsigned char* mapping, std::size_t length);
void unguard_mapping();

// True once a store into the guarded mapping met a file cut short by someone else.
bool output_mapping_cut();

// Cuts back or removes the output as guarded; async-signal-safe. The guard stays armed.
void undo_output();

// The output is complete: nothing is undone any more.
void release_output_guard();

#endif  // ZVBTRACK_DATA_OUTPUT_GUARD_H_
