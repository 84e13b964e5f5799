// Running zvbtrack-mpi through mpirun in the MPI tests, and what a run leaves in a directory.
#ifndef ZVBTRACK_TESTS_MPI_MPI_RUN_H_
#define ZVBTRACK_TESTS_MPI_MPI_RUN_H_

#include <functional>
#include <string>
#include <vector>

#include "support/run.h"

using Words = std::vector<std::string>;

// How a job is started.
struct MpiJob {
  int ranks = 2;
  Words environment;  // NAME=value settings passed to every rank
  // What mpirun starts on every rank: zvbtrack-mpi, or a script that ends by starting it.
  std::string program = ZVBTRACK_MPI_BIN;
  // Runs in mpirun's process after it entered the job's directory and set an alarm that ends
  // a hung job (limits its ranks inherit, a shorter alarm); must only make async-signal-safe
  // calls.
  std::function<void()> in_child;
  // The ranks of a failed job are killed without the second that mpirun grants them to end
  // on their own; a job that is sent a signal needs that second to clean up.
  bool kill_at_once = true;
};

// mpirun, told that it may run as root (as test machines often do), to add nothing of its own
// to what the ranks print, running `args` in `dir`.
RunResult run_mpi(const MpiJob& job, const Words& args, const std::string& dir);
RunningProgram start_mpi(const MpiJob& job, const Words& args, const std::string& dir);

// As run_mpi with `ranks` ranks of zvbtrack-mpi given `environment`.
RunResult run_mpi(int ranks, const Words& args, const std::string& dir,
                  const Words& environment = {});

// The names in the directory, sorted, without "." and "..".
std::vector<std::string> directory_entries(const std::string& path);

// What zvbtrack-mpi printed as zvbtrack would print it: its name as zvbtrack's, and without
// the warnings the MPI runtime's event loop may print itself while a failed job is torn down
// ("[warn] Epoll ..."), which are no line of the program's.
std::string as_zvbtrack(std::string text);

#endif  // ZVBTRACK_TESTS_MPI_MPI_RUN_H_
