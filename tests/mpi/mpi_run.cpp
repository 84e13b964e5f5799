// mpirun for the MPI tests.
#include "mpi/mpi_run.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {

// A job still running after this long has hung (as Open MPI's start can, when a rank fails in
// it): mpirun is ended by the alarm, and the test fails instead of waiting for ever.
constexpr unsigned HUNG_JOB_SECONDS = 180;

// Where this test process's jobs keep Open MPI's session directories: one tree of their own,
// so that jobs of tests run side by side never make or remove each other's, and removed with
// what a killed job left in it when the process ends.
const std::string& session_base() {
  // Never destroyed, so that it is still there when the removal at exit runs.
  static const std::string* const base = [] {
    const char* temp = std::getenv("TMPDIR");
    auto* path = new std::string(std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") +
                                 "/zvbtrack-mpi-test-XXXXXX");
    if (mkdtemp(path->data()) == nullptr) {
      path->clear();
      return path;
    }
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*base, ignored);
    });
    return path;
  }();
  return *base;
}

Words mpirun_words(const MpiJob& job, const Words& args) {
  Words words = { "OMPI_ALLOW_RUN_AS_ROOT=1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1", MPIRUN_BIN,
                  "-q" };
  if (!session_base().empty())
    words.insert(words.end(), { "--mca", "orte_tmpdir_base", session_base() });
  if (job.kill_at_once)
    words.insert(words.end(), { "--mca", "odls_base_sigkill_timeout", "0" });
  // One machine: no probing for network fabrics at start.
  words.insert(words.end(), { "--oversubscribe", "--mca", "pml", "ob1" });
  for (const std::string& setting : job.environment)
    words.insert(words.end(), { "-x", setting });
  words.insert(words.end(), { "-np", std::to_string(job.ranks), job.program });
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

RunOptions in_directory(const MpiJob& job, const std::string& dir) {
  RunOptions options;
  const std::function<void()> setup = job.in_child;
  options.in_child = [dir, setup] {
    if (chdir(dir.c_str()) != 0)
      _exit(124);
    alarm(HUNG_JOB_SECONDS);
    if (setup)
      setup();
  };
  return options;
}

}  // namespace

RunResult run_mpi(const MpiJob& job, const Words& args, const std::string& dir) {
  return run_program("/usr/bin/env", mpirun_words(job, args), in_directory(job, dir));
}

RunningProgram start_mpi(const MpiJob& job, const Words& args, const std::string& dir) {
  return start_program("/usr/bin/env", mpirun_words(job, args), in_directory(job, dir));
}

RunResult run_mpi(int ranks, const Words& args, const std::string& dir, const Words& environment) {
  MpiJob job;
  job.ranks = ranks;
  job.environment = environment;
  return run_mpi(job, args, dir);
}

std::vector<std::string> directory_entries(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr)
    return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string as_zvbtrack(std::string text) {
  const std::string own = "zvbtrack-mpi: ";
  for (std::size_t at = text.find(own); at != std::string::npos; at = text.find(own, at))
    text.replace(at, own.size(), "zvbtrack: ");
  std::string kept;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    if (text.compare(start, 13, "[warn] Epoll ") != 0)
      kept.append(text, start, end - start);
    start = end;
  }
  return kept;
}
