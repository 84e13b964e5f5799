// The transposition of the common case without a tree of output nodes. When no transposed
// group has enclosing groups to copy and the request names are distinct, each trajectory
// group holds exactly the requested arrays with one value per sample each. A first walk then
// counts every identifier's samples, the output is laid out as the file's own bytes, and a
// second walk places each value where it belongs: memory is the output's size, and the
// output leaves in one piece. The bytes are those transpose_group's tree would be written as.
#ifndef ZVBTRACK_TRANSPOSE_COMPACT_H_
#define ZVBTRACK_TRANSPOSE_COMPACT_H_

#include <cstdint>

#include "data/tree.h"
#include "data/writer.h"

// The elements of an output file, after its header.
struct OutputImage {
  unsigned char* bytes;  // the output file's mapping, or take_large_block; null when size is 0
  std::uint64_t size;
  bool in_output;  // the bytes are the output file's own (map_output)
};

// Gives the image's memory back.
void free_image(OutputImage* image);

// Transposes the groups below `root` (visited as walk_groups visits them) into `image`, with
// every failure transpose_group would report, in the same order. Returns false when the input
// or the request needs the output tree (a group with enclosing groups to copy, a name given
// twice, an empty name); nothing is then kept, and the caller walks with transpose_group.
// The image is laid out in the room `writer` finds in the output file where it can.
bool transpose_compact(DataNode* root, OutputImage* image, DataWriter* writer);

#endif  // ZVBTRACK_TRANSPOSE_COMPACT_H_
