// End-to-end: other processes at work on the output while zvbtrack runs. A second run appending
// to the same file, bytes another writer adds to it, and the folder of a replaced file moved
// or removed. Each run is held at a write to its standard error (after the output is open, or
// after its room is taken) while the test acts; file events tell the test how far it got.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "support/held_run.h"
#include "support/temp_dir.h"

namespace {

using Files = std::map<std::string, std::string>;

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

Files directory_files(const std::string& dir) {
  Files files;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    files[entry.path().filename().string()] = read_file_bytes(entry.path().string());
  return files;
}

// The lines of -v with the input "in.zvb", each written at once.
const std::string READING = "Reading inputfile: \"in.zvb\"\n";
const std::string CALCULATING = "in.zvb: Calculating...\n";
const std::string WRITING = "in.zvb: Writing output\n";

// Held before "Calculating...": the output is open. Held before "Writing output": its room is
// taken in the file, when the output is laid out there.
constexpr std::size_t HELD_OPEN = 1;
constexpr std::size_t HELD_FILLED = 2;

std::size_t passing_bytes(std::size_t held_before) {
  return held_before == HELD_OPEN ? READING.size() : READING.size() + CALCULATING.size();
}

void append_bytes(const std::string& path, const std::string& bytes) {
  const int descriptor = open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(descriptor, 0);
  ASSERT_EQ(write(descriptor, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(descriptor);
}

}  // namespace

// The lock is taken before the file's header is read, so once it was read a second run finds
// the file locked, as it does a file locked by any other program.
TEST(E2eWriters, SecondRunAppendingToTheSameFileIsRefused) {
  TempDir dir;
  const std::string old = text(example_output());
  write_file_bytes(dir.file("in.zvb"), example_input());
  write_file_bytes(dir.file("old.zvb"), old);
  const std::vector<std::string> args = { "-a", "old.zvb", "in.zvb", "time", "x", "y" };
  const std::string locked =
      "zvbtrack: Error: \"old.zvb\": Locked by another process writing to it: run again once it "
      "has finished\n";
  std::vector<std::string> held_args = args;
  held_args.insert(held_args.begin(), "-v");
  HeldRun first(ZVBTRACK_BIN, held_args, dir.path(), passing_bytes(HELD_OPEN),
                { { dir.file("old.zvb"), IN_ACCESS } });
  ASSERT_TRUE(first.wait_for(0));
  const RunResult second = run_zvbtrack(args, {}, dir.path());
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.err, locked);
  EXPECT_EQ(read_file_bytes(dir.file("old.zvb")), old);
  const RunResult done = first.release();
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.err, READING + CALCULATING + WRITING);
  EXPECT_EQ(read_file_bytes(dir.file("old.zvb")), old + text(example_elements()));

  // A lock that another program holds on the file through fcntl.
  const int descriptor = open(dir.file("old.zvb").c_str(), O_RDWR);
  ASSERT_GE(descriptor, 0);
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(descriptor, F_SETLK, &lock), 0);
  const RunResult refused = run_zvbtrack(args, {}, dir.path());
  close(descriptor);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, locked);
  EXPECT_EQ(read_file_bytes(dir.file("old.zvb")), old + text(example_elements()));
}

// A line that another process appends during the run (as `>> old.zvb` would) stays, wherever
// it landed; the run fails, since the file no longer holds just what it wrote, and cuts
// nothing back.
TEST(E2eWriters, BytesAnotherWriterAddsDuringTheRunAreKept) {
  const std::string old = text(example_output());
  const std::string elements = text(example_elements());
  const std::string line = "a line of the log\n";
  struct Row {
    const char* name;
    const char* program;
    std::size_t held_before;
    std::uint32_t event;  // on old.zvb: the header read (the run's start), or the room taken
    std::string written;  // old.zvb afterwards
  };
  const Row rows[] = {
    { "AfterTheRoomIsTaken", ZVBTRACK_BIN, HELD_FILLED, IN_MODIFY, old + elements + line },
    { "BeforeTheRoomIsTaken", ZVBTRACK_BIN, HELD_OPEN, IN_ACCESS, old + line },
    { "WhileStreamed", ZVBTRACK_TREE_BIN, HELD_FILLED, IN_ACCESS, old + line + elements },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    write_file_bytes(dir.file("in.zvb"), example_input());
    write_file_bytes(dir.file("old.zvb"), old);
    HeldRun run(row.program, { "-v", "-a", "old.zvb", "in.zvb", "time", "x", "y" }, dir.path(),
                passing_bytes(row.held_before), { { dir.file("old.zvb"), row.event } });
    ASSERT_TRUE(run.wait_for(0));
    append_bytes(dir.file("old.zvb"), line);
    const RunResult result = run.release();
    const std::string program = std::filesystem::path(row.program).filename().string();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, READING + CALCULATING + (row.held_before == HELD_FILLED ? WRITING : "") +
                              program +
                              ": Error: \"old.zvb\": Another process wrote to the file during "
                              "the run: nothing is cut back, and from byte " +
                              std::to_string(old.size()) +
                              " on it holds their bytes and what this run wrote\n");
    EXPECT_TRUE(read_file_bytes(dir.file("old.zvb")) == row.written)
        << describe_zvb(read_file_bytes(dir.file("old.zvb")).substr(0, old.size()));
  }
}

// The directory of a replaced file is kept open: the temporary file is found wherever the
// directory went, and the output replaces the file there.
TEST(E2eWriters, TemporaryFileGoesWithItsFolder) {
  const std::string old = text(example_output()) + "old";
  struct Row {
    const char* name;
    bool removed;       // the folder is removed, else renamed to "moved"
    int signal_number;  // ends the run once the folder is gone; 0: it completes
    int status;
    std::string err;  // after the -v lines
  };
  const Row rows[] = {
    { "RenamedThenCompleted", false, 0, 0, WRITING },
    { "RenamedThenTerminated", false, SIGTERM, -1, "" },
    { "RemovedThenCompleted", true, 0, 1,
      WRITING + "zvbtrack: Error: \"sub/keep.zvb\": No such file or directory\n" },
    { "RemovedThenTerminated", true, SIGTERM, -1, "" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    write_file_bytes(dir.file("in.zvb"), example_input());
    std::filesystem::create_directory(dir.file("sub"));
    write_file_bytes(dir.file("sub/keep.zvb"), old);
    HeldRun run(ZVBTRACK_BIN, { "-v", "-o", "sub/keep.zvb", "in.zvb", "time", "x", "y" },
                dir.path(), passing_bytes(HELD_OPEN), { { dir.file("sub"), IN_CREATE } });
    ASSERT_TRUE(run.wait_for(0));
    if (row.removed)
      std::filesystem::remove_all(dir.file("sub"));
    else
      std::filesystem::rename(dir.file("sub"), dir.file("moved"));
    if (row.signal_number != 0) {
      kill(run.pid(), row.signal_number);
      run.wait_ended();
    }
    const RunResult result = run.release();
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.signal, row.signal_number);
    EXPECT_EQ(result.err, row.signal_number != 0 ? READING : READING + CALCULATING + row.err);
    EXPECT_EQ(directory_files(dir.path()).size(), row.removed ? 1u : 2u);
    if (row.removed)
      continue;
    const Files moved = directory_files(dir.file("moved"));
    EXPECT_EQ(moved.size(), 1u);  // no temporary file beside it
    const auto kept = moved.find("keep.zvb");
    if (kept == moved.end()) {
      ADD_FAILURE() << "keep.zvb is gone";
      continue;
    }
    if (row.status == 0)
      EXPECT_TRUE(SameOutput(kept->second, example_output()));
    else
      EXPECT_EQ(kept->second, old);
  }
}
