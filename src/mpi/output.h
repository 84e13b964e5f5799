// The output file of zvbtrack-mpi: a temporary file beside the target that every rank writes
// its share into, renamed over the target once every rank has written it whole.
#ifndef ZVBTRACK_MPI_OUTPUT_H_
#define ZVBTRACK_MPI_OUTPUT_H_

#include <cstddef>
#include <cstdint>

#include "mpi/share.h"

// Rank 0 makes the temporary file beside `target`, with the mode the target has or would get;
// every rank learns its name, and from then on a failure or a signal that ends any rank
// removes it. Collective; does not return on failure.
void make_temporary_output(const char* target);

// This rank's share of the output's bytes, in memory: written into the temporary file's room
// where the whole room could be taken ahead, else through MPI-IO. A large output's shares are
// stored straight into a mapping of the room, where every rank can map its part. ZVBTRACK_MPI_IO
// set to anything but "" asks for MPI-IO always, as a parallel file system would rather have it.
struct ShareBytes {
  unsigned char* bytes;  // the share's first byte; null when the share is empty
  std::uint64_t length;
  bool in_room;            // the room was taken ahead
  unsigned char* mapping;  // of the room, holding the share (rank 0's from the file's start)
  std::size_t mapping_length;
};

// Takes the share's bytes, in place when the output is large for rank 0's `memory_budget` (as
// large_output tells). A file system that refuses the room (no space, a quota, a size
// limit) fails the run at once, on every rank, with its reason; one that cannot take room ahead
// leaves the shares to MPI-IO. Collective; does not return on failure.
ShareBytes take_share_bytes(const RankShare& share, const char* target,
                            std::uint64_t memory_budget);

// Puts the share in the file (and, on rank 0, the file header), every write checked; then, once
// every rank has, the file in place of `target`. Any rank's failure ends every rank with one
// line naming `target`, the temporary file removed. Collective; does not return on failure.
void write_output_file(const char* target, const RankShare& share, ShareBytes* share_bytes);

#endif  // ZVBTRACK_MPI_OUTPUT_H_
