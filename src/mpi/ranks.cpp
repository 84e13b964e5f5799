// The ranks of the job: who prints, how a failure reaches every rank, and how a rank that
// fails alone ends the job.
#include "mpi/ranks.h"

#include <fcntl.h>
#include <mpi.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/platform.h"
#include "base/report.h"
#include "data/output_guard.h"

int world_rank = 0;
int world_size = 1;

namespace {

// Ranks other than 0 write their standard error into a file of their own (removed on any
// exit), and show it only when they fail alone.
int shown_stderr = -1;
int hidden_stderr = -1;
// Rank 0's standard error while the library's messages are dropped.
int saved_stderr = -1;
// True while every rank does the same work and meets the same failures at the same point;
// false while each works on its own part.
bool ranks_agree = true;
// The ranks that share this rank's node.
std::uint64_t node_size = 1;

std::uint64_t count_ranks_on_node() {
  MPI_Comm node;
  if (MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &node) !=
      MPI_SUCCESS)
    return 1;
  int size = 1;
  MPI_Comm_size(node, &size);
  MPI_Comm_free(&node);
  return static_cast<std::uint64_t>(size > 1 ? size : 1);
}

void hide_stderr() {
  hidden_stderr = open_scratch_file(nullptr);
  shown_stderr = dup(STDERR_FILENO);
  if (hidden_stderr < 0 || shown_stderr < 0 || dup2(hidden_stderr, STDERR_FILENO) < 0)
    std::freopen("/dev/null", "w", stderr);
}

void show_hidden_stderr() {
  if (hidden_stderr < 0 || shown_stderr < 0)
    return;
  char text[4096];
  std::int64_t at = 0;
  ssize_t length;
  while ((length = pread(hidden_stderr, text, sizeof text, at)) > 0) {
    if (write(shown_stderr, text, static_cast<std::size_t>(length)) != length)
      return;
    at += length;
  }
}

// Ranks that meet the same failure meet here too; a rank that waits for the others in vain
// failed alone (an input changed under it, memory that ran out on its node).
constexpr auto FAILING_TOGETHER_WAIT = std::chrono::seconds(60);
MPI_Comm failure_communicator = MPI_COMM_NULL;

bool failing_together() {
  MPI_Request request;
  if (MPI_Ibarrier(failure_communicator, &request) != MPI_SUCCESS)
    return false;
  const auto deadline = std::chrono::steady_clock::now() + FAILING_TOGETHER_WAIT;
  for (;;) {
    int done = 0;
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
    if (done != 0)
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    usleep(1000);
  }
}

// Every rank undoes its part of the output (the temporary file, a mapping of it) as the
// output guard holds it; removing a file that another rank removed first does no harm.
void on_failure() {
  if (ranks_agree && failing_together()) {
    undo_output();
    return;  // every rank ends alike, through MPI_Finalize
  }
  undo_output();
  if (world_rank != 0)
    show_hidden_stderr();
  MPI_Abort(MPI_COMM_WORLD, 1);
}

}  // namespace

void start_ranks() {
  MPI_Comm_rank(MPI_COMM_WORLD, &world_rank);
  MPI_Comm_size(MPI_COMM_WORLD, &world_size);
  MPI_Comm_dup(MPI_COMM_WORLD, &failure_communicator);
  node_size = count_ranks_on_node();
  if (world_rank != 0)
    hide_stderr();
  set_failure_cleanup(on_failure);
}

void begin_own_work() {
  // From here on a failure is one rank's: what it printed before is not its message.
  if (hidden_stderr >= 0 && ftruncate(hidden_stderr, 0) != 0)
    hidden_stderr = -1;
  ranks_agree = false;
}

void end_own_work() {
  ranks_agree = true;
}

void agree_on_reason(const std::string& reason, const char* name) {
  int failed_rank = reason.empty() ? world_size : world_rank;
  MPI_Allreduce(MPI_IN_PLACE, &failed_rank, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (failed_rank == world_size)
    return;
  std::string text = reason;
  int length = static_cast<int>(text.size());
  MPI_Bcast(&length, 1, MPI_INT, failed_rank, MPI_COMM_WORLD);
  text.resize(static_cast<std::size_t>(length));
  MPI_Bcast(text.data(), length, MPI_CHAR, failed_rank, MPI_COMM_WORLD);
  report_error(error_table, ERR_FILE, name, text.c_str());
}

void agree_on_errno(int error, const char* name) {
  agree_on_reason(error != 0 ? std::strerror(error) : "", name);
}

void agree_on_memory(bool taken) {
  int all_taken = taken ? 1 : 0;
  MPI_Allreduce(MPI_IN_PLACE, &all_taken, 1, MPI_INT, MPI_LAND, MPI_COMM_WORLD);
  if (all_taken == 0)
    report_error(error_table, ERR_MEMORY);
}

void hide_library_messages() {
  if (world_rank != 0 || saved_stderr >= 0)
    return;
  std::fflush(stderr);
  const int null_device = open("/dev/null", O_WRONLY | O_CLOEXEC);
  saved_stderr = dup(STDERR_FILENO);
  if (null_device < 0 || saved_stderr < 0 || dup2(null_device, STDERR_FILENO) < 0) {
    if (saved_stderr >= 0)
      close(saved_stderr);
    saved_stderr = -1;
  }
  if (null_device >= 0)
    close(null_device);
}

void show_library_messages() {
  if (saved_stderr < 0)
    return;
  std::fflush(stderr);
  (void)dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);
  saved_stderr = -1;
}

void wait_for_every_rank() {
  // The ranks that finish their share first leave their processor to the system's work on
  // the output (and to ranks that share it).
  MPI_Request request;
  MPI_Ibarrier(MPI_COMM_WORLD, &request);
  for (int done = 0;;) {
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
    if (done != 0)
      return;
    usleep(200);
  }
}

std::uint64_t ranks_on_node() {
  return node_size;
}
