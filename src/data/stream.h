// An open input: positioning by 64-bit byte positions, and the on-demand loading of array
// data that the reader left on file.
#ifndef ZVBTRACK_DATA_STREAM_H_
#define ZVBTRACK_DATA_STREAM_H_

#include <cstdint>
#include <cstdio>

struct DataNode;

// One opened input. The caller owns it; every file-backed node points at it through
// `source`, so it stays in place, its stream open, while any of them may be loaded.
struct DataReader {
  std::FILE* stream;      // the file or standard input; null after close_input on a file
  const char* file_name;  // the name in every message: as given, or "-"; not owned
  std::int64_t length;    // bytes in the file when it is a regular file, else -1
};

constexpr std::size_t SKIP_BUFFER_SIZE = 4096;

// Scratch space for bytes that are passed over; holds nothing between calls.
extern unsigned char skip_buffer[SKIP_BUFFER_SIZE];

// The stream's byte position from the start of the file; -1 when it has none (a pipe).
std::int64_t get_position(std::FILE* stream);

// Moves the stream to `offset` from the start (SEEK_SET), the current position (SEEK_CUR)
// or the end (SEEK_END). Returns 0 on success; 22 (EINVAL) for another origin or a target
// before the start; 9 (EBADF) when SEEK_END cannot learn the file's length; otherwise
// what the move itself returned. A failed call leaves the stream where it was and its code
// in errno.
int set_position(std::FILE* stream, std::int64_t offset, int origin);

// Makes sure the node's data are in memory: nothing for no node, a stored size of 0, or
// data already present. Otherwise reads them from `source` at `data_offset` and resets
// `type` and `size` to the stored pair. Does not return on failure.
void load_data(DataNode* node);

// Reports what load_data would report (ERR_EOF) for a file-backed node whose data the file
// does not hold whole, without reading them. Does nothing for any other node.
void check_data(DataNode* node);

// Reads `size` bytes of the data of a file-backed node, from byte `offset` of them, into
// `bytes`, leaving the node as it is (on file or loaded) and the stream where it was. Reports
// what loading would report (ERR_EOF for data the file no longer holds, ERR_FILE on a read
// error); does not return on failure.
void read_data_part(const DataNode* node, std::uint64_t offset, std::size_t size, void* bytes);

// Drops the input bytes that read_data_part holds from its last reads, so that the next ones
// come from the file as it is now. A walk over the tree starts with it, and closing an input
// calls it.
void forget_read_ahead();

// Reads the node's `stored_size` data bytes from the reader's current position into a new
// block at `node->data` (left null for 0 bytes). A size larger than the bytes left in a
// regular file is refused before anything is taken; from a stream of unknown length the block
// grows only with the bytes actually read. The block is the node's from the moment it is
// taken. A short read is ERR_EOF, a stream error ERR_FILE; does not return on failure.
void read_data(DataReader* reader, DataNode* node);

// Reads exactly `size` bytes into `buffer`; a short read is reported as above.
void read_exact(DataReader* reader, void* buffer, std::size_t size);

#endif  // ZVBTRACK_DATA_STREAM_H_
