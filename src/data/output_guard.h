// What a run that does not complete must undo in its output file, and the signal handlers that
// undo it before a signal ends the process.
#ifndef ZVBTRACK_DATA_OUTPUT_GUARD_H_
#define ZVBTRACK_DATA_OUTPUT_GUARD_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

// From now on a run that ends early cuts the file open on `descriptor` back to `length` bytes,
// as long as it holds no more than this run wrote there: what another writer added during the
// run is never cut away, and then nothing is. The run's bytes are those counted with
// count_output_bytes that `stream` (null: none) no longer holds, or the room reserved with
// reserve_output_end. The guard keeps the descriptor; the caller closes it after
// release_output_guard. Installs the signal handlers on first use.
void guard_cut_back(int descriptor, std::int64_t length, std::FILE* stream);

// Bytes about to be given to the guarded stream, all of which go to the file after the guarded
// length (counted before they are written, so that a write that fails partway counts whole).
void count_output_bytes(std::uint64_t size);
std::uint64_t counted_output_bytes();

// The file is `end` bytes long with the whole output in it, its room taken at once; -1: the
// output's bytes are those counted again.
void reserve_output_end(std::int64_t end);

// The stream is about to be closed: what it held has gone to the file or never will.
void forget_output_stream();

// From now on a run that ends early removes the file at `path` (the caller's text, which stays
// in place until release_output_guard), made by this process or another. Installs the signal
// handlers on first use.
void guard_temporary(const char* path);

// Creates a temporary file in the directory open on `directory` as create_temporary_at does
// (`name` ends in XXXXXX), and from then on a run that ends early removes that entry of the
// directory, wherever the directory has gone; no signal comes between the two. `name` is the
// caller's and stays in place until release_output_guard. Returns the file's descriptor, or -1
// with errno. Installs the signal handlers on first use.
int create_guarded_temporary(int directory, char* name);

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
