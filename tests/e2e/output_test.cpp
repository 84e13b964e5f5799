// End-to-end output: standard input and output, -o, -a, output onto the input itself (small and
// large), and what a failed or full output leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "support/temp_dir.h"

namespace {

using Words = std::vector<std::string>;

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::map<std::string, std::string> directory_files(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    files[entry.path().filename().string()] = read_file_bytes(entry.path().string());
  return files;
}

// A group whose arrays have the lengths 5, 5 and 3: the run fails after reading it.
Bytes failing_input() {
  ZvbBuilder b;
  b.file_header().group_f64("time", 0).array_f64("x", { 1, 2, 3, 4, 5 });
  b.array_f64("y", { 1, 2, 3, 4, 5 }).array_f64("z", { 1, 2, 3 }).end();
  return b.bytes();
}

}  // namespace

TEST(E2eOutput, EveryTargetReceivesTheTrajectoryFile) {
  const std::string full = text(example_output());  // also stands for a file of an earlier run
  const std::string longer = full + std::string(300, 'g');
  const std::string elements = text(example_elements());
  const std::string appended = full + elements;
  struct Row {
    const char* name;
    Words args;           // the input is the file "in" in the run's directory
    bool from_stdin;      // "in" is standard input
    const char* target;   // the file written, or "" for standard output
    std::string before;   // the target's bytes before the run; empty: no such file
    bool stamped;         // the result begins with a new header (its time is masked)
    std::string written;  // what the target holds afterwards
  };
  const Row rows[] = {
    { "Stdout", { "in", "time", "x", "y" }, false, "", "", true, full },
    { "Stdin", { "-", "time", "x", "y" }, true, "", "", true, full },
    { "OutputDash", { "-o", "-", "in", "time", "x", "y" }, false, "", "", true, full },
    { "AppendDash", { "-a", "-", "in", "time", "x", "y" }, false, "", "", false, elements },
    { "NewFile", { "-o", "out", "in", "time", "x", "y" }, false, "out", "", true, full },
    { "DashName", { "-o", "-x", "in", "time", "x", "y" }, false, "-x", "", true, full },
    { "Replaced", { "-o", "out", "in", "time", "x", "y" }, false, "out", longer, true, full },
    { "Appended", { "-a", "out", "in", "time", "x", "y" }, false, "out", full, false, appended },
    { "OntoInput", { "-o", "in", "in", "time", "x", "y" }, false, "in", "", true, full },
    { "OntoInputFromStdin", { "-o", "in", "-", "time", "x", "y" }, true, "in", "", true, full },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    std::map<std::string, std::string> files = { { "in", text(example_input()) } };
    if (!row.before.empty())
      files[row.target] = row.before;
    for (const auto& [name, bytes] : files)
      write_file_bytes(dir.file(name), bytes);
    RunOptions options;
    if (row.from_stdin)
      options.stdin_path = dir.file("in");
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");

    const std::string written =
        row.target[0] == '\0' ? result.out : read_file_bytes(dir.file(row.target));
    if (row.target[0] != '\0') {
      EXPECT_EQ(result.out, "");
    }
    if (row.stamped) {
      EXPECT_TRUE(SameOutput(written, Bytes(row.written.begin(), row.written.end())));
    } else {
      EXPECT_EQ(written, row.written);
    }
    // Nothing else changed, and no temporary file is left behind.
    if (row.target[0] != '\0')
      files[row.target] = written;
    EXPECT_EQ(directory_files(dir.path()), files);
  }
}

TEST(E2eOutput, FailedRunLeavesInputAndTargetsAsTheyWere) {
  const Bytes input = failing_input();
  const std::string previous = text(example_output());
  const Words runs[] = {
    { "-o", "in.zvb", "in.zvb", "time", "x", "y", "z" },
    { "-o", "./in.zvb", "-", "time", "x", "y", "z" },
    { "-a", "old.zvb", "in.zvb", "time", "x", "y", "z" },
    { "-a", "in.zvb", "in.zvb", "time", "x", "y", "z" },
  };
  for (const Words& args : runs) {
    SCOPED_TRACE(testing::PrintToString(args));
    TempDir dir;
    const std::map<std::string, std::string> files = { { "in.zvb", text(input) },
                                                       { "old.zvb", previous } };
    for (const auto& [name, bytes] : files)
      write_file_bytes(dir.file(name), bytes);
    RunOptions options;
    options.stdin_path = dir.file("in.zvb");
    const RunResult result = run_zvbtrack(args, options, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: Not all arrays terminate at length 3\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(directory_files(dir.path()), files);
  }
}

TEST(E2eOutput, FullDeviceIsReportedWithTheOutputName) {
  struct Row {
    Words args;
    const char* stdout_path;
    const char* err;
  };
  const Row rows[] = {
    { { "in.zvb", "time", "x" }, "/dev/full", "zvbtrack: Error: \"-\": No space left on device\n" },
    { { "-o", "/dev/full", "in.zvb", "time", "x" },
      "",
      "zvbtrack: Error: \"/dev/full\": No space left on device\n" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.err);
    TempDir dir;
    write_file_bytes(dir.file("in.zvb"), example_input());
    RunOptions options;
    options.stdout_path = row.stdout_path;
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(read_file_bytes(dir.file("in.zvb")), text(example_input()));
  }
}

// A file of 16 MiB or more leaves its arrays on file while the groups are walked; written onto
// itself it must still be read whole before it is replaced.
TEST(E2eOutput, LargeInputTransposedOntoItself) {
  TempDir dir;
  const std::string big = dir.file("big.zvb");
  // Few new objects per step keep the number of trajectory groups, and the run's time, small.
  run_zvbgen({ "-T", "210", "-N", "3000", "-c", "0.002", "-S", "7", "-o", big });
  ASSERT_GE(std::filesystem::file_size(big), std::uintmax_t{ 16 } << 20);

  RunOptions from_stdin;  // standard input is always read whole
  from_stdin.stdin_path = big;
  const RunResult whole = run_zvbtrack({ "-", "time", "x", "y", "z" }, from_stdin);
  ASSERT_EQ(whole.status, 0) << whole.err;
  // At least one trajectory group (24 + 8 bytes) for each of the 3000 objects of the first step.
  ASSERT_GT(whole.out.size(), 3000u * (24 + 8));
  std::string masked = whole.out;
  masked.replace(4, 4, 4, '\0');  // the creation time
  const Bytes expected(masked.begin(), masked.end());

  const RunResult onto_itself = run_zvbtrack({ "-o", big, big, "time", "x", "y", "z" });
  EXPECT_EQ(onto_itself.status, 0);
  EXPECT_EQ(onto_itself.err, "");
  EXPECT_EQ(onto_itself.out, "");
  EXPECT_TRUE(SameOutput(file_bytes(big), expected));
  EXPECT_EQ(directory_files(dir.path()).size(), 1u);
}

// Standard output may be a pipe, a file written at its end (emptied, appended to, or following
// what an earlier command wrote), or a file written from its start with more after: the
// output lands where a plain write would put it, and the file's other bytes stay.
TEST(E2eOutput, StandardOutputLandsWhereTheShellPointsIt) {
  TempDir dir;
  // Several pages of output, so that the file's own pages hold it wherever it begins.
  run_zvbgen({ "-T", "20", "-N", "300", "-S", "3", "-o", dir.file("in") });
  const RunResult piped = run_zvbtrack({ "in", "time", "x", "y" }, {}, dir.path());
  ASSERT_EQ(piped.status, 0) << piped.err;
  ASSERT_GT(piped.out.size(), std::size_t{ 5 } << 12);
  std::string full = piped.out;
  full.replace(4, 4, 4, '\0');
  const std::string elements = full.substr(48);
  const std::string before(5001, 'b');  // ends inside a page
  const std::string longer = full + before;
  struct Row {
    const char* name;
    std::string command;    // run in the directory that holds "in" and "out"
    std::string out;        // what "out" holds before the run
    std::string written;    // and afterwards
    std::size_t header_at;  // where the output's file header begins, or npos
  };
  const std::size_t none = std::string::npos;
  const std::string program = std::string("'") + ZVBTRACK_BIN + "'";
  const std::string tree = std::string("'") + ZVBTRACK_TREE_BIN + "'";
  const std::string run = program + " in time x y";
  const Row rows[] = {
    { "Pipe", run + " | cat > out", before, full, 0 },
    { "Emptied", run + " > out", before, full, 0 },
    { "Appended", run + " >> out", before, before + full, before.size() },
    { "AfterOtherOutput", "{ printf abc; " + run + "; printf def; } > out", before,
      "abc" + full + "def", 3 },
    { "OverTheStart", run + " 1<> out", std::string(longer.size(), 'b'), full + before, 0 },
    { "AppendOption", program + " -a out in time x y", full + before, full + before + elements, 0 },
    // A name of one of zvbtrack's own descriptors is written as standard output is.
    { "NamedStdoutAppended", program + " -o /dev/stdout in time x y >> out", before, before + full,
      before.size() },
    { "NamedStderrAppended", program + " -o /dev/stderr in time x y 2>> out", before, before + full,
      before.size() },
    { "NamedDescriptorAppended", program + " -o /dev/fd/3 in time x y 3>> out", before,
      before + full, before.size() },
    { "NamedOwnDescriptorOverTheStart", tree + " -o /proc/self/fd/1 in time x y 1<> out",
      std::string(longer.size(), 'b'), full + before, 0 },
  };
  RunOptions options;
  options.in_child = [path = dir.path()] {
    if (chdir(path.c_str()) != 0)
      _exit(124);
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    write_file_bytes(dir.file("out"), row.out);
    const RunResult result = run_program("/bin/sh", { "-c", row.command }, options);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::string written = file_bytes(dir.file("out"));
    if (row.header_at != none && written.size() >= row.header_at + 8)
      written.replace(row.header_at + 4, 4, 4, '\0');
    EXPECT_EQ(written.size(), row.written.size());
    EXPECT_TRUE(written == row.written);
  }
}

namespace {

// Runs zvbtrack on "in" in `path` with standard output the file "out" there, opened with
// `flags`.
RunResult run_onto_out(const std::string& path, int flags) {
  RunOptions options;
  options.in_child = [path, flags] {
    const int out = open((path + "/out").c_str(), flags);
    if (chdir(path.c_str()) != 0 || out < 0 || dup2(out, 1) < 0)
      _exit(124);
  };
  return run_zvbtrack({ "in", "time", "x", "y" }, options);
}

}  // namespace

// A file that may only grow by appending cannot be given room ahead: it is appended to.
TEST(E2eOutput, AppendOnlyFileIsAppendedTo) {
  TempDir dir;
  write_file_bytes(dir.file("in"), example_input());
  write_file_bytes(dir.file("out"), "abc");
  const int descriptor = open(dir.file("out").c_str(), O_RDONLY);
  ASSERT_GE(descriptor, 0);
  int flags = 0;
  const bool marked = ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags |= FS_APPEND_FL, ioctl(descriptor, FS_IOC_SETFLAGS, &flags) == 0);
  if (!marked) {
    close(descriptor);
    GTEST_SKIP() << "cannot mark a file append-only here";
  }
  const RunResult result = run_onto_out(dir.path(), O_WRONLY | O_APPEND);
  flags &= ~FS_APPEND_FL;
  ioctl(descriptor, FS_IOC_SETFLAGS, &flags);  // so that the directory can be removed
  close(descriptor);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  const std::string written = file_bytes(dir.file("out"));
  ASSERT_EQ(written.substr(0, 3), "abc");
  EXPECT_TRUE(SameOutput(written.substr(3), example_output()));
}

// Standard output open for reading and appending: writes to it go to its end whatever their
// offset, so the output goes into the room it took at the end as through the mapping.
TEST(E2eOutput, StandardOutputOpenForReadingAndAppendingGetsTheOutputAfterItsBytes) {
  TempDir dir;
  write_file_bytes(dir.file("in"), example_input());
  write_file_bytes(dir.file("out"), "abc");
  const RunResult result = run_onto_out(dir.path(), O_RDWR | O_APPEND);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  const std::string written = file_bytes(dir.file("out"));
  ASSERT_EQ(written.substr(0, 3), "abc");
  EXPECT_TRUE(SameOutput(written.substr(3), example_output()));
}

// -o follows symbolic links to where they end, there or not: the file there is replaced (its
// mode, owner and group kept) and the links stay links. A name as long as the system allows
// takes a shorter temporary name.
TEST(E2eOutput, ReplacedFileIsWhereItsLinksEnd) {
  using Links = std::vector<std::pair<std::string, std::string>>;  // link, what it points to
  const std::string longest = std::string(NAME_MAX - 4, 'n') + ".zvb";
  struct Row {
    const char* name;
    Links links;
    std::string named;   // the -o name
    std::string target;  // the file replaced or made
    bool exists;         // there before the run, with mode 0640 (and owner 1, group 2 as root)
  };
  const Row rows[] = {
    { "DanglingLink", { { "out.zvb", "sub/new.zvb" } }, "out.zvb", "sub/new.zvb", false },
    { "ChainOfLinks",
      { { "a.zvb", "b.zvb" }, { "b.zvb", "sub/c.zvb" }, { "sub/c.zvb", "../d.zvb" } },
      "a.zvb",
      "d.zvb",
      true },
    { "LinkInALinkedFolder",
      { { "dir", "sub" }, { "sub/e.zvb", "f.zvb" } },
      "dir/e.zvb",
      "sub/f.zvb",
      true },
    { "LongestName", {}, longest, longest, false },
    { "LinkToTheLongestName", { { "g.zvb", "sub/" + longest } }, "g.zvb", "sub/" + longest, true },
  };
  const bool as_root = geteuid() == 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    write_file_bytes(dir.file("in.zvb"), example_input());
    std::filesystem::create_directory(dir.file("sub"));
    for (const auto& [link, points_to] : row.links)
      std::filesystem::create_symlink(points_to, dir.file(link));
    if (row.exists) {
      write_file_bytes(dir.file(row.target), "old");
      ASSERT_EQ(chmod(dir.file(row.target).c_str(), 0640), 0);
      if (as_root) {
        ASSERT_EQ(chown(dir.file(row.target).c_str(), 1, 2), 0);
      }
    }
    RunOptions options;
    options.in_child = [] { umask(022); };
    const RunResult result =
        run_zvbtrack({ "-o", row.named, "in.zvb", "time", "x", "y" }, options, dir.path());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(SameOutput(file_bytes(dir.file(row.target)), example_output()));
    struct stat status = {};
    EXPECT_EQ(lstat(dir.file(row.target).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode, S_IFREG | (row.exists ? 0640u : 0644u));
    if (row.exists && as_root) {
      EXPECT_EQ(status.st_uid, 1u);
      EXPECT_EQ(status.st_gid, 2u);
    }
    // The links are as they were, and nothing else is there: no temporary file either.
    std::set<std::string> entries = { "in.zvb", "sub", row.target };
    for (const auto& [link, points_to] : row.links) {
      std::error_code error;
      EXPECT_EQ(std::filesystem::read_symlink(dir.file(link), error).string(), points_to);
      entries.insert(link);
    }
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
      found.insert(entry.path().lexically_relative(dir.path()).string());
    EXPECT_EQ(found, entries);
  }
}
