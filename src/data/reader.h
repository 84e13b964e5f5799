// Reading a ZVB file, or standard input, into a tree of DataNodes.
#ifndef ZVBTRACK_DATA_READER_H_
#define ZVBTRACK_DATA_READER_H_

#include <cstdint>

#include "data/stream.h"
#include "data/tree.h"

// Flags of read_file's mode.
enum : int {
  READ_REPORT = 1,    // a short header or a wrong magic ends the run instead of returning 1
  READ_LOAD_ALL = 2,  // read every element's data at once, whatever the file's length
  READ_NO_PROBE = 4,  // skip the length probe: only standard input and reversed files load all
};

// Regular files of at least this many bytes in host order leave their arrays on file.
constexpr std::int64_t LARGE_FILE_SIZE = std::int64_t{ 16 } << 20;

// Opens `name` ("-" or null: standard input, refused when it is a terminal) and fills
// `reader`, with a 4096-byte stream buffer. Does not return on failure.
void open_input(const char* name, DataReader* reader);

// Reads the header and the whole element tree under data_file->root. Returns 0 when the tree
// was read; 1, without a message and with the root untouched, for a short header or a wrong
// magic when `mode` lacks READ_REPORT. Every other failure ends the run.
int read_file(DataReader* reader, DataFile* data_file, int mode);

// Reads elements into the children of `parent` until the level closes or the file ends,
// descending into groups; a group nested deeper than MAX_GROUP_DEPTH is refused with
// ERR_DEPTH. Arrays that are not groups stay on file unless `load_all`.
void read_elements(DataReader* reader, DataNode* parent, bool reversed, bool load_all);

// Closes a file input; standard input stays open. No node of it is loaded afterwards.
void close_input(DataReader* reader);

#endif  // ZVBTRACK_DATA_READER_H_
