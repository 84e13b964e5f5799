// Runs a built program as a child process with its standard streams redirected.
#ifndef ZVBTRACK_TESTS_SUPPORT_RUN_H_
#define ZVBTRACK_TESTS_SUPPORT_RUN_H_

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TempDir;

struct RunOptions {
  std::string stdin_path;   // empty: /dev/null
  std::string stdout_path;  // empty: captured into RunResult::out
  std::string argv0;        // empty: the program's path
  // Runs in the child before exec (limits, sessions); must only make async-signal-safe calls.
  std::function<void()> in_child;
};

struct RunResult {
  int status = -1;  // exit status, or -1 when a signal ended the process
  int signal = 0;   // the signal that ended it, else 0
  std::string out;  // standard output, when captured
  std::string err;  // standard error
};

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});

// A program started and not yet waited for.
struct RunningProgram {
  pid_t pid = -1;
  std::shared_ptr<TempDir> scratch;  // holds its captured streams
  std::string out_path;
  std::string err_path;
  bool out_captured = false;
  bool ended = false;
  int wait_status = 0;
};

RunningProgram start_program(const std::string& program, const std::vector<std::string>& args,
                             const RunOptions& options = {});

// True once the program has ended; does not wait.
bool has_ended(RunningProgram* running);

// Waits for the program to end and collects what it left.
RunResult finish_program(RunningProgram* running);

#endif  // ZVBTRACK_TESTS_SUPPORT_RUN_H_
