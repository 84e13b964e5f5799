// Reading a ZVB file element by element, in file order, without building a tree: memory
// stays that of the elements the caller keeps, however large the file.
#ifndef ZVBTRACK_TOOLS_DUMP_ELEMENTS_H_
#define ZVBTRACK_TOOLS_DUMP_ELEMENTS_H_

#include <cstdint>
#include <vector>

#include "data/format.h"
#include "data/stream.h"

// An open input read in large blocks straight from its descriptor.
struct ElementStream {
  DataReader reader;      // the opened input: its descriptor and name
  int descriptor;         // read directly; the reader's stream buffer is never used
  bool is_reversed;       // the file's byte order is not the host's
  std::int64_t position;  // file offset of the next byte not yet taken
  std::vector<unsigned char> buffer;
  std::size_t begin;  // bytes of `buffer` from `begin` to `end` are read but not taken
  std::size_t end;
  bool at_end;  // the file ended, or an end marker ended the top level
};

// One element header with the offset at which it stands.
struct Element {
  ElementHeader header;  // type and size in host order
  std::int64_t offset;
};

// Opens `name` as open_input does ("-": standard input, never a terminal), reads and checks
// the file header as read_file does, and leaves the stream before the first element. Does
// not return on failure.
void open_elements(const char* name, ElementStream* stream, FileHeader* header);

// Reads the next element header of the level being read. Returns false when the level is
// over: an end marker closed it (the marker is taken), or the file ended (fewer than 24 bytes
// were left; every level is then over). The caller must take or skip the element's data, and
// for a group read its level to the end, before reading on; a group whose own type carries
// FLAG_END_GROUP also ends the level it stands in once its children are read.
bool next_element(ElementStream* stream, Element* element);

// Reads the next element header of the level being read, end markers included: false only
// when the file ended. The caller takes or skips the element's data; an element with
// FLAG_END_GROUP that is not a group ends the level, as does a group with it once its
// children are read.
bool next_entry(ElementStream* stream, Element* element);

// Back before the first element of a regular file, to read it again.
void rewind_elements(ElementStream* stream);

// Reads the element's data into `data`, values in host order. A size that passes the end of
// a regular file is refused before memory is taken; from a pipe, memory grows only with what
// arrives. Does not return on failure.
void read_element_data(ElementStream* stream, const Element& element,
                       std::vector<unsigned char>* data);

// Reads the element's data in pieces of at most a block, values in host order, and hands each
// piece to `take` as it comes: whole values only, but for bytes after the last whole value,
// which come last. Memory stays that of the stream, whatever the size. A size that passes the
// end of a regular file is refused before anything is handed on. Does not return on failure.
using PieceSink = void (*)(void* context, const unsigned char* bytes, std::size_t size);
void read_element_pieces(ElementStream* stream, const Element& element, PieceSink take,
                         void* context);

// Passes over the element's data.
void skip_element_data(ElementStream* stream, const Element& element);

// Passes over the rest of a level whose elements stand at `depth` (0: the top level), groups
// inside it included; refuses nesting beyond MAX_GROUP_DEPTH as the reader does.
void skip_level(ElementStream* stream, std::uint32_t depth);

// Refuses, as the reader does, a group standing at `depth` whose children would stand deeper
// than MAX_GROUP_DEPTH.
void check_depth(const ElementStream& stream, std::uint32_t depth);

// Closes the input.
void close_elements(ElementStream* stream);

#endif  // ZVBTRACK_TOOLS_DUMP_ELEMENTS_H_
