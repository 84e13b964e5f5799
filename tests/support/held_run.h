// A program held at a point of its run without timing: its standard error is a pipe that
// takes its first `passing` bytes and then nothing more until the test releases it, and the
// test learns what it did meanwhile from file events (inotify) that it waits for.
#ifndef ZVBTRACK_TESTS_SUPPORT_HELD_RUN_H_
#define ZVBTRACK_TESTS_SUPPORT_HELD_RUN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "support/run.h"

class HeldRun {
 public:
  // A file or directory to watch for the events of `mask` (IN_ACCESS, IN_MODIFY, IN_CREATE).
  struct Watch {
    std::string path;
    std::uint32_t mask;
  };

  // Starts `program` with `args` in `dir`; its standard error takes `passing` bytes (less than
  // a page) before a write to it blocks. The watches are set before it starts.
  HeldRun(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
          std::size_t passing, const std::vector<Watch>& watches);
  ~HeldRun();
  HeldRun(const HeldRun&) = delete;
  HeldRun& operator=(const HeldRun&) = delete;

  // Blocks until an event of watch `index` has happened since the start; false when the
  // program ended before it did.
  bool wait_for(std::size_t index);

  pid_t pid() const { return running_.pid; }

  // Blocks until the program has ended (a signal sent to it ends it while it is held), with
  // its standard error still held, so that it writes nothing more there.
  void wait_ended();

  // Lets its standard error flow, waits for it to end and returns what it left; `err` is all
  // that it wrote to standard error.
  RunResult release();

 private:
  RunningProgram running_;
  int err_read_ = -1;
  std::size_t filler_ = 0;
  int events_ = -1;
  int ended_ = -1;  // readable once the program has ended
  std::vector<int> watch_ids_;
  std::vector<bool> seen_;
};

#endif  // ZVBTRACK_TESTS_SUPPORT_HELD_RUN_H_
