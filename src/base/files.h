// The file services that opening an output needs beyond the platform layer: names of the
// process's own descriptors, symbolic links, temporary files made in a directory, locks, and
// what a stream still holds.
#ifndef ZVBTRACK_BASE_FILES_H_
#define ZVBTRACK_BASE_FILES_H_

#include <cstddef>
#include <cstdio>
#include <string>

// The descriptor that `path` names as one of the process's own: /dev/stdin, /dev/stdout,
// /dev/stderr, /dev/fd/N, /proc/self/fd/N, /proc/thread-self/fd/N or /proc/<this process's
// id>/fd/N. -1 for any other name.
int named_descriptor(const char* path);

// When `path` is a symbolic link, stores in `target` what it points to (a relative target
// taken from the link's directory) and returns 1; 0 when it is no link or is not there, -1
// with errno when it cannot be read.
int read_link(const std::string& path, std::string* target);

// The longest name the directory open on `directory` takes for one entry.
std::size_t name_limit(int directory);

// Creates a new file in the directory open on `directory`, open for reading and writing with
// mode 0600, named `name` with its last six characters (XXXXXX) replaced so that no entry had
// that name. The descriptor, or -1 with errno.
int create_temporary_at(int directory, char* name);

// Takes an exclusive lock on the whole file for the open file behind `descriptor` (open for
// writing), held until every descriptor of that open file is closed, wherever the process
// closes other descriptors of the same file. 0 when it is held, or when the file system has
// no locks; -1 when another open file holds a lock on it.
int lock_whole_file(int descriptor);

// Bytes given to the stream that it has not yet written; async-signal-safe in that it only
// reads the stream's own counters.
std::size_t unwritten_bytes(std::FILE* stream);

#endif  // ZVBTRACK_BASE_FILES_H_
