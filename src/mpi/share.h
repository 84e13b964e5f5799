// The laid-out transposition shared among the ranks of an MPI job: each rank transposes a
// contiguous run of the groups, and the values travel to the rank that writes their bytes.
#ifndef ZVBTRACK_MPI_SHARE_H_
#define ZVBTRACK_MPI_SHARE_H_

#include <cstddef>
#include <cstdint>
#include <utility>

// What one rank does: the groups it transposes (plans [first_plan, end_plan) of the layout)
// and the output bytes it writes ([share_start, share_end) of the elements after the file
// header).
struct RankShare {
  int rank;
  int ranks;
  std::uint64_t alignment;  // every share but the first begins at a multiple of it in the file
  std::size_t first_plan;
  std::size_t end_plan;
  std::uint64_t share_start;
  std::uint64_t share_end;
};

// The share of `rank` among `ranks`, from the layout alone (the same on every rank): groups
// split by their samples, output bytes in about equal parts, each but the first beginning at
// a multiple of `alignment` in the file (so that no page of the file is written by two ranks).
RankShare share_of(int rank, int ranks, std::uint64_t alignment);

// The plans of the groups `rank` transposes, [first, end): the groups split by their samples.
std::pair<std::size_t, std::size_t> plans_of(int rank, int ranks);

// Where the share of output bytes of `rank` begins; share_start of rank `ranks` is the end.
std::uint64_t share_start_of(int rank, int ranks, std::uint64_t alignment);

// Fills `bytes` (the share's output bytes) with its element headers, group values and every
// value of the output that falls in it. Collective over MPI_COMM_WORLD: every rank calls it
// with its own share. The layout's positions must be set (lay_out_output). What the rank
// receives is kept in memory up to about half of `budget` (0: no limit known), and beyond in
// a temporary file in `scratch_directory`. Every buffer of the exchange is taken first, and a
// rank that cannot have them ends every rank with ERR_MEMORY; from then on each rank works on
// its own (begin_own_work) until the caller ends it. Does not return on failure; an input that
// no longer holds what counting found is ERR_INPUT_CHANGED, naming `input_name`.
void fill_share(const RankShare& share, unsigned char* bytes, const char* input_name,
                std::uint64_t budget, const char* scratch_directory);

#endif  // ZVBTRACK_MPI_SHARE_H_
