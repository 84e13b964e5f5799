// The ranks of the job and how they fail: together, with one line printed by rank 0, or one
// rank alone, which then ends the job.
#ifndef ZVBTRACK_MPI_RANKS_H_
#define ZVBTRACK_MPI_RANKS_H_

#include <cstdint>
#include <string>

// This process's rank in MPI_COMM_WORLD and the number of ranks there; set by start_ranks.
extern int world_rank;
extern int world_size;

// After MPI_Init: learns the rank, keeps the standard error of every rank but 0 in a file of
// its own (shown only when that rank fails alone), and makes every failure end as below.
void start_ranks();

// A failure reported while the ranks do the same work (the default) is met by every rank at
// the same point: each undoes its part of the output, rank 0 prints the line, and every rank
// exits with 1. From begin_own_work until end_own_work each rank works on its own part: a
// failure is that rank's alone, so it prints its own line, undoes the output, and aborts the
// job.
void begin_own_work();
void end_own_work();

// The first failure among the ranks made every rank's: `reason` is this rank's ("": none);
// when any rank has one, every rank reports ERR_FILE with `name` and the reason of the lowest
// rank that has one. Collective; returns only when no rank failed.
void agree_on_reason(const std::string& reason, const char* name);

// As agree_on_reason, with an errno value (0: none).
void agree_on_errno(int error, const char* name);

// As agree_on_reason for memory: when any rank found none, every rank ends with "Not enough
// memory".
void agree_on_memory(bool taken);

// What the MPI library prints on rank 0 between these two calls is dropped, so that a
// failure it reports on its own is given only once, by this program's line.
void hide_library_messages();
void show_library_messages();

// Waits for every rank to arrive here without keeping a processor busy.
void wait_for_every_rank();

// The number of ranks that share this rank's node (at least 1); fewer than world_size when
// the job spans several nodes.
std::uint64_t ranks_on_node();

#endif  // ZVBTRACK_MPI_RANKS_H_
