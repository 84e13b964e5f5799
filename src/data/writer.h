// Writing a tree as a ZVB file: to standard output, a new file (-o) or appended (-a).
#ifndef ZVBTRACK_DATA_WRITER_H_
#define ZVBTRACK_DATA_WRITER_H_

#include <cstdint>
#include <cstdio>

#include "data/stream.h"
#include "data/tree.h"

struct DataWriter {
  std::FILE* stream = nullptr;      // standard output or the opened file; null once closed
  const char* file_name = nullptr;  // the -o or -a text as given, or "-"; not owned
  std::int32_t append = 0;          // 1 with -a onto anything but an empty file: no FileHeader
  // What a failed run needs to leave the target as it found it:
  std::int64_t append_start = -1;  // length of the file appended to or mapped at its end
  int guard_descriptor = -1;       // a descriptor of that file kept to cut it back
  int directory = -1;              // the directory of a replaced file, kept open
  char* temp_name = nullptr;       // -o onto a regular file goes to this entry first (malloc)
  char* final_name = nullptr;      // and is renamed over this one when complete (malloc)
  std::uint64_t let_go_bytes = 0;  // the length of that file, whose cached pages were let go
  // The output file mapped by map_output, else null:
  unsigned char* mapping = nullptr;
  std::size_t mapping_length = 0;
  unsigned char* mapped_output = nullptr;  // where the output begins in the mapping
  std::int64_t output_end = -1;            // the file's length with the whole output in it
};

// Chooses and opens the output: both names given is ERR_OUTPUT_CONFLICT; no name or "-" is
// standard output (refused when a terminal); else the named file, or with `append_name` the
// file written at its end. An -o name of one of the process's descriptors (/dev/stdout,
// /dev/fd/N, ...) is that descriptor, written as standard output is. An -o regular file, there
// or not and its links followed, is written to a temporary file beside it that replaces it
// only once complete (one that may not be written is refused); devices and FIFOs are written
// as they are. A regular file appended to is locked for the run (ERR_OUTPUT_LOCKED when
// another holds a lock on it) and must be empty (it then gets the file header) or a ZVB file
// in this machine's byte order (else ERR_MAGIC, ERR_VERSION or ERR_APPEND_ORDER). A failed
// run, or a signal that ends it, cuts an appended file back to its old length unless another
// writer added to it, and removes a temporary file. Does not return on failure.
void open_output(const char* output_name, const char* append_name, DataWriter* writer);

// Stamps magic, creation time and format version 1.1 into `header` and copies in the creator
// and destination texts (with their NULs) and the four version bytes.
void init_file_header(FileHeader* header, const char* creator, std::uint8_t creator_major,
                      std::uint8_t creator_minor, const char* destination,
                      std::uint8_t destination_major, std::uint8_t destination_minor);

// Writes the file: the stamped header (not when appending), then the root's children. Then
// flushes, closes a named file and puts it in place, testing each step, so that a run never
// ends well with an incomplete file. Does not return on failure.
void write_file(DataWriter* writer, DataFile* data_file);

// Room for the `size` bytes of elements of a laid-out output in the output file itself, when
// that is a regular file written at its end and the system can map it: the file is extended
// by the whole output at once (its blocks allocated now, so that storing into the room cannot
// run out of space) and mapped, and a failed run cuts it back. Returns null when the output
// cannot be mapped or the file cannot grow now; the elements are then laid out in memory and
// written, and writing meets and reports whatever kept the file from growing.
unsigned char* map_output(DataWriter* writer, std::uint64_t size);

// Puts the `size` bytes of elements laid out in memory (in a block of take_plain_block's) into
// map_output's room, written in pieces rather than stored through the mapping, and gives back
// the block's memory as it goes: a run then takes fresh memory in small pieces, once. False,
// with nothing done, when the room cannot be written so (no room taken, or a file open for
// appending only); a failed write does not return, and a file cut meanwhile by someone else
// is ERR_OUTPUT_CHANGED.
bool write_into_room(DataWriter* writer, unsigned char* elements, std::uint64_t size);

// Done with the part [start, start + length) of the elements laid out in map_output's room,
// and with everything before it: it goes to the file now and leaves the process's memory.
void release_output_part(DataWriter* writer, std::uint64_t start, std::uint64_t length);

// Writes a file whose elements are already laid out as bytes: the stamped header (not when
// appending), then `size` bytes in one piece (or, when they were laid out in map_output's room,
// only the header); then finishes as write_file does. A file that someone else cut or grew
// while its room was filled is ERR_OUTPUT_CHANGED.
void write_laid_out(DataWriter* writer, FileHeader* header, const unsigned char* elements,
                    std::uint64_t size);

// Writes a file whose elements come in parts: write_file_header stamps the header and writes
// it (not when appending), write_output_bytes each part in order, finish_file finishes as
// write_file does. write_output_bytes may run on another thread while none other writes; it
// returns 0, or the error number for the caller to report (ERR_FILE with the writer's
// file_name). The others do not return on failure.
void write_file_header(DataWriter* writer, FileHeader* header);
int write_output_bytes(DataWriter* writer, const unsigned char* bytes, std::uint64_t size);
void finish_file(DataWriter* writer);

// Writes the children of `group` in order with their subtrees, up to and including the
// first end-of-group marker.
void write_children(DataWriter* writer, DataNode* group);

// Writes one element header and the node's data, loading file-backed data for the moment.
void write_element(DataWriter* writer, DataNode* node);

#endif  // ZVBTRACK_DATA_WRITER_H_
