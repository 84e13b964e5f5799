// zvbtrack-mpi where the job's edges give way: a full disk, a file-size limit, ranks that do
// not see the same input, signals to the job or to one rank, and a memory budget larger than
// the machine. Each ends with one line and status 1, or completes, and never leaves a
// temporary file or an old output changed.
#include <gmock/gmock.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e.h"
#include "mpi/mpi_run.h"
#include "support/temp_dir.h"

namespace {

// 200 steps of 4000 objects: 22 MB in, 32 MB out, and a run long enough to be signalled.
void make_input(const std::string& path) {
  run_zvbgen({ "-T", "200", "-N", "4000", "-o", path });
}

// A file system mounted for the test with little room, and unmounted after it.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& path, const char* size) : path_(path) {
    std::filesystem::create_directory(path_);
    const std::string options = std::string("size=") + size;
    if (mount("zvbtest", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
      mounted_ = true;
    else
      error_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_)
      umount2(path_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string error_;
};

// A job that ends with one line and status 1.
struct Failure {
  const char* name;
  int ranks;
  Words environment;
  const char* err;
};

// Runs the job in `dir` onto `target`, an old output there, and expects the failure to leave
// the directory as it was.
void expect_failure_leaves_the_old_file(MpiJob job, const Failure& row, const std::string& dir,
                                        const std::string& target, const std::string& input) {
  SCOPED_TRACE(row.name);
  const Bytes example = example_output();
  const std::string old(example.begin(), example.end());
  write_file_bytes(dir + "/" + target, old);
  const std::vector<std::string> before = directory_entries(dir);
  job.ranks = row.ranks;
  job.environment = row.environment;
  const RunResult run = run_mpi(job, { "-o", target, input, "time", "x", "y", "z" }, dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, row.err);
  EXPECT_EQ(directory_entries(dir), before);
  EXPECT_TRUE(read_file_bytes(dir + "/" + target) == old);
}

TEST(MpiFault, FullDiskFailsWithOneLineAndLeavesTheOldFile) {
  TempDir dir;
  make_input(dir.file("in.zvb"));
  SmallFileSystem small(dir.file("small"), "4m");
  if (!small.mounted())
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << small.error() << ")";
  // Mapped, the room taken ahead is refused; through MPI-IO, the writes meet the full disk.
  const char err[] = "zvbtrack-mpi: Error: \"out.zvb\": No space left on device\n";
  const Failure rows[] = {
    { "Mapped", 2, {}, err },
    { "MpiIo", 2, { "ZVBTRACK_MPI_IO=1" }, err },
    { "MpiIoThreeRanks", 3, { "ZVBTRACK_MPI_IO=1" }, err },
  };
  for (const Failure& row : rows)
    expect_failure_leaves_the_old_file({}, row, dir.file("small"), "out.zvb", dir.file("in.zvb"));
}

TEST(MpiFault, FileSizeLimitFailsWithOneLineAndLeavesTheOldFile) {
  TempDir dir;
  make_input(dir.file("in.zvb"));
  // Room for what the MPI library keeps in files of its own, not for the output.
  MpiJob job;
  job.in_child = [] {
    const struct rlimit limit = { 16 << 20, 16 << 20 };
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
      _exit(121);
  };
  const char err[] = "zvbtrack-mpi: Error: \"out.zvb\": File too large\n";
  const Failure rows[] = {
    { "Mapped", 2, {}, err },
    { "MpiIo", 2, { "ZVBTRACK_MPI_IO=1" }, err },
  };
  for (const Failure& row : rows)
    expect_failure_leaves_the_old_file(job, row, dir.path(), "out.zvb", "in.zvb");
}

// Each rank runs in a directory of its own, r0, r1, ..., through a script, and reads the
// input by the same name there; the output goes to one file beside them.
TEST(MpiFault, RanksThatDoNotSeeTheSameInputFailAtOnceWithOneLine) {
  TempDir dir;
  const std::string script = dir.file("each_rank.sh");
  {
    std::ofstream out(script);
    out << "#!/bin/sh\ncd \"" << dir.path() << "/r$OMPI_COMM_WORLD_RANK\" && exec "
        << ZVBTRACK_MPI_BIN << " \"$@\"\n";
  }
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  // Two seeds: files of the same length and shape, with other values.
  run_zvbgen({ "-T", "30", "-N", "200", "-o", dir.file("a.zvb") });
  run_zvbgen({ "-T", "30", "-N", "200", "-S", "2", "-o", dir.file("b.zvb") });
  const std::string input = file_bytes(dir.file("a.zvb"));
  const std::string other = file_bytes(dir.file("b.zvb"));
  ASSERT_EQ(input.size(), other.size());
  const struct timespec first_time = { 1700000000, 0 };
  struct Row {
    const char* name;
    int ranks;
    int odd_rank;             // the rank that sees another file
    std::string odd_content;  // what it sees; "": no file at all
    bool same_time;           // its modification time is the others'
    const char* err;
  };
  const Row rows[] = {
    { "OtherContent", 2, 1, other, true,
      "zvbtrack-mpi: Error: \"in.zvb\": Not the same file on rank 1 as on rank 0\n" },
    { "CutShorter", 3, 2, input.substr(0, input.size() / 2), true,
      "zvbtrack-mpi: Error: \"in.zvb\": Not the same file on rank 2 as on rank 0\n" },
    { "OtherModificationTime", 2, 1, input, false,
      "zvbtrack-mpi: Error: \"in.zvb\": Not the same file on rank 1 as on rank 0\n" },
    { "MissingOnOneRank", 3, 1, "", true,
      "zvbtrack-mpi: Error: \"in.zvb\": No such file or directory\n" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> made;
    for (int r = 0; r < row.ranks; r++) {
      const std::string rank_dir = dir.file("r" + std::to_string(r));
      std::filesystem::create_directory(rank_dir);
      made.push_back(rank_dir);
      if (r == row.odd_rank && row.odd_content.empty())
        continue;
      const std::string path = rank_dir + "/in.zvb";
      write_file_bytes(path, r == row.odd_rank ? row.odd_content : input);
      const struct timespec when =
          r == row.odd_rank && !row.same_time ? timespec{ 1700000001, 0 } : first_time;
      const struct timespec times[2] = { when, when };
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    const std::vector<std::string> before = directory_entries(dir.path());
    MpiJob job;
    job.ranks = row.ranks;
    job.program = script;
    // A rank that could not open the input once made the others wait a minute: a job that
    // has not ended well before that has hung.
    job.in_child = [] { alarm(30); };
    const RunResult run =
        run_mpi(job, { "-o", dir.file("out.zvb"), "in.zvb", "time", "x" }, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, row.err);
    EXPECT_EQ(directory_entries(dir.path()), before);
    for (const std::string& rank_dir : made)
      std::filesystem::remove_all(rank_dir);
  }
}

// The process of `rank` among mpirun's children, or -1.
pid_t rank_process(pid_t mpirun, int rank) {
  const std::string wanted = "OMPI_COMM_WORLD_RANK=" + std::to_string(rank);
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::ifstream stat_file(entry.path() / "stat");
    std::string pid, command, state;
    pid_t parent = 0;
    if (!(stat_file >> pid >> command >> state >> parent) || parent != mpirun)
      continue;
    std::ifstream environ_file(entry.path() / "environ");
    for (std::string setting; std::getline(environ_file, setting, '\0');) {
      if (setting == wanted)
        return static_cast<pid_t>(std::stol(name));
    }
  }
  return -1;
}

// True once the temporary output has its room: every rank knows it by then.
bool temporary_file_has_room(const std::string& dir) {
  for (const std::string& name : directory_entries(dir)) {
    struct stat status;
    if (name.rfind("out.zvb.zvbtrack-", 0) == 0 && stat((dir + "/" + name).c_str(), &status) == 0)
      return status.st_size > 0;
  }
  return false;
}

// The temporary output of a job in `dir`, once it has its room; "" before.
std::string temporary_with_room(const std::string& dir) {
  for (const std::string& name : directory_entries(dir)) {
    if (name.rfind("out.zvb.zvbtrack-", 0) == 0 && temporary_file_has_room(dir))
      return dir + "/" + name;
  }
  return "";
}

// Starts the job and, once its temporary output has its room, sends `signal_number` to mpirun
// (rank -1) or to a rank. Nothing when the job ended before that.
std::optional<RunResult> signal_while_running(const std::string& dir, int rank, int signal_number) {
  // The other ranks of a job that lost one are killed at once, so that the signalled rank
  // alone cleans up; mpirun is given its grace to pass the signal on.
  MpiJob job;
  job.kill_at_once = rank >= 0;
  job.in_child = [] { alarm(60); };
  RunningProgram running =
      start_mpi(job, { "-o", "out.zvb", "in.zvb", "time", "x", "y", "z" }, dir);
  pid_t target = -1;
  while (target < 0 && !has_ended(&running)) {
    if (temporary_file_has_room(dir))
      target = rank < 0 ? running.pid : rank_process(running.pid, rank);
    if (target < 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (target >= 0)
    kill(target, signal_number);
  RunResult result = finish_program(&running);
  if (target < 0)
    return std::nullopt;
  return result;
}

std::string with_time_of(std::string written, const std::string& reference) {
  if (written.size() >= 8 && reference.size() >= 8)
    written.replace(4, 4, reference, 4, 4);
  return written;
}

// A rank ends at once on a signal. mpirun passes one on to the ranks only after a second's
// grace, in which the job may complete: its output is then whole.
TEST(MpiFault, SignalToOneRankOrToTheJobLeavesNoTemporaryFile) {
  TempDir dir;
  make_input(dir.file("in.zvb"));
  ASSERT_EQ(
      run_zvbtrack({ "-o", "ref.zvb", "in.zvb", "time", "x", "y", "z" }, {}, dir.path()).status, 0);
  const std::string reference = file_bytes(dir.file("ref.zvb"));
  unlink(dir.file("ref.zvb").c_str());
  const Bytes example = example_output();
  const std::string old(example.begin(), example.end());
  const struct {
    const char* name;
    int rank;  // -1: mpirun
    int signal_number;
  } rows[] = {
    { "TerminateRankOne", 1, SIGTERM }, { "HangupRankZero", 0, SIGHUP },
    { "InterruptRankOne", 1, SIGINT },  { "TerminateMpirun", -1, SIGTERM },
    { "InterruptMpirun", -1, SIGINT },
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::optional<RunResult> result;
    // A job that completed before the test could signal a rank is tried again.
    for (int attempt = 0; attempt < 5 && !result.has_value(); attempt++) {
      write_file_bytes(dir.file("out.zvb"), old);
      result = signal_while_running(dir.path(), row.rank, row.signal_number);
      if (result.has_value() && row.rank >= 0 && result->status == 0)
        result.reset();
    }
    ASSERT_TRUE(result.has_value()) << "every job completed before the test could signal it";
    const std::vector<std::string> left = directory_entries(dir.path());
    EXPECT_EQ(left, Words({ "in.zvb", "out.zvb" }));
    for (const std::string& name : left) {
      if (name != "in.zvb" && name != "out.zvb")
        unlink(dir.file(name).c_str());  // so that the next row starts clean
    }
    const std::string written = read_file_bytes(dir.file("out.zvb"));
    if (row.rank < 0 && written != old) {
      EXPECT_TRUE(with_time_of(written, reference) == reference);
      continue;
    }
    EXPECT_NE(result->status, 0);
    EXPECT_TRUE(written == old);
  }
}

// Someone else cuts the temporary output while the ranks fill their shares: the job fails with
// the line for it, and the old output stays as it was.
TEST(MpiFault, TemporaryFileCutWhileFilledFailsAndLeavesTheOldFile) {
  TempDir dir;
  make_input(dir.file("in.zvb"));
  const Bytes example = example_output();
  const std::string old(example.begin(), example.end());
  // Shares filled in memory and written into the room, and (an output large for the budget)
  // stored straight into a mapping of it.
  for (const std::string memory : { "", "4K" }) {
    SCOPED_TRACE("ZVBTRACK_MEMORY=" + memory);
    std::optional<RunResult> result;
    // A job that completed before the test could cut its file is tried again.
    for (int attempt = 0; attempt < 5 && !result.has_value(); attempt++) {
      write_file_bytes(dir.file("out.zvb"), old);
      MpiJob job;
      job.in_child = [] { alarm(60); };
      if (!memory.empty())
        job.environment = { "ZVBTRACK_MEMORY=" + memory };
      RunningProgram running =
          start_mpi(job, { "-o", "out.zvb", "in.zvb", "time", "x", "y", "z" }, dir.path());
      std::string temporary;
      while (temporary.empty() && !has_ended(&running)) {
        temporary = temporary_with_room(dir.path());
        if (temporary.empty())
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      const bool cut = !temporary.empty() && truncate(temporary.c_str(), 4096) == 0;
      result = finish_program(&running);
      if (!cut || result->status == 0)
        result.reset();
    }
    ASSERT_TRUE(result.has_value()) << "every job completed before the test could cut its file";
    EXPECT_THAT(result->err,
                testing::HasSubstr("\"out.zvb\": Output file changed while being written"));
    EXPECT_EQ(directory_entries(dir.path()), Words({ "in.zvb", "out.zvb" }));
    EXPECT_TRUE(read_file_bytes(dir.file("out.zvb")) == old);
  }
}

// A budget of 1000 GiB: each rank's buffers are what the node can give, so the job completes;
// under an address-space limit it completes too, or ends with the line for memory.
TEST(MpiFault, BudgetBeyondTheMachineCompletesOrSaysNotEnoughMemory) {
  TempDir dir;
  run_zvbgen({ "-T", "40", "-N", "500", "-o", dir.file("in.zvb") });
  const Words args = { "-o", "out.zvb", "in.zvb", "time", "x", "y" };
  ASSERT_EQ(run_zvbtrack({ "-o", "ref.zvb", "in.zvb", "time", "x", "y" }, {}, dir.path()).status,
            0);
  const std::string reference = file_bytes(dir.file("ref.zvb"));
  const struct {
    const char* name;
    std::uint64_t address_space;  // 0: no limit
  } rows[] = {
    { "Unlimited", 0 },
    { "AddressSpaceOfOneGiB", std::uint64_t{ 1 } << 30 },
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    MpiJob job;
    job.environment = { "ZVBTRACK_MEMORY=1000G" };
    const std::uint64_t address_space = row.address_space;
    job.in_child = [address_space] {
      const struct rlimit limit = { address_space, address_space };
      if (address_space != 0 && setrlimit(RLIMIT_AS, &limit) != 0)
        _exit(121);
    };
    const RunResult run = run_mpi(job, args, dir.path());
    if (address_space != 0 && run.status == 1) {
      EXPECT_EQ(run.err, "zvbtrack-mpi: Error: Not enough memory\n");
      EXPECT_EQ(directory_entries(dir.path()), Words({ "in.zvb", "ref.zvb" }));
      continue;
    }
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(with_time_of(file_bytes(dir.file("out.zvb")), reference) == reference);
    EXPECT_EQ(directory_entries(dir.path()), Words({ "in.zvb", "out.zvb", "ref.zvb" }));
    unlink(dir.file("out.zvb").c_str());
  }
}

}  // namespace
