// End-to-end: what a run that does not complete leaves behind. Signals that end it, a file cut
// by another process while it is filled, closed or read-only standard streams, large inputs
// whose sizes pass their end, files given to -a that are not this machine's ZVB files, and -o
// replacing a file only once the output is complete.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e.h"
#include "support/temp_dir.h"

namespace {

using Words = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

constexpr unsigned RUN_SECONDS = 30;  // a run still going after this long has hung
constexpr std::int64_t LARGE = std::int64_t{ 16 } << 20;

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::string coded(const std::string& message) {
  return "zvbtrack: Error: " + message + "\n";
}

Files directory_files(const std::string& dir) {
  Files files;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    files[entry.path().filename().string()] = read_file_bytes(entry.path().string());
  return files;
}

void write_files(const std::string& dir, const Files& files) {
  for (const auto& [name, bytes] : files)
    write_file_bytes(dir + "/" + name, bytes);
}

// The temporary file that zvbtrack fills beside `target`, or "" when there is none.
std::string temporary_beside(const std::string& dir, const std::string& target) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind(target + ".zvbtrack-", 0) == 0)
      return entry.path().string();
  }
  return "";
}

std::int64_t size_of(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// A step with arrays x, y and ID whose output is far larger than the input (152 bytes per
// object against 24), and which fails when `broken`: its y is one value short.
Bytes wide_input(int count, bool broken = false) {
  std::vector<double> x(count), y(broken ? count - 1 : count), id(count);
  for (int i = 0; i < count; i++) {
    x[i] = i;
    id[i] = 1000 + i;
  }
  ZvbBuilder b;
  b.file_header().group_f64("time", 0).array_f64("x", x).array_f64("y", y);
  return b.array_f64("ID", id).end().bytes();
}

// Steps of 100000 objects in an input that keeps zvbtrack filling its output for a tenth of a
// second or more (67 MB in, 110 MB out); the sanitizers slow every run about threefold, so a
// third of it does there.
#if defined(__SANITIZE_ADDRESS__)
const char BUSY_STEPS[] = "8";
#else
const char BUSY_STEPS[] = "24";
#endif

// Runs zvbtrack with `args` in `dir`, and once it fills the output's room in `target` (a file
// appended to has grown; the temporary file beside a replaced one has), calls `act` with its
// process and the file it fills. Returns nothing when the run ended before that: it was
// quicker than the test, which may try again.
std::optional<RunResult> run_while_filling(const std::string& dir, const Words& args,
                                           const std::string& target, bool append,
                                           const std::function<void(pid_t, std::string)>& act,
                                           const std::function<void()>& setup) {
  const std::int64_t old_size = size_of(dir + "/" + target);
  RunOptions options;
  options.in_child = [dir, setup] {
    const struct rlimit no_core = { 0, 0 };  // a signal that dumps core dumps none here
    if (chdir(dir.c_str()) != 0 || setrlimit(RLIMIT_CORE, &no_core) != 0)
      _exit(124);
    setup();
    alarm(RUN_SECONDS);
  };
  RunningProgram running = start_program(ZVBTRACK_BIN, args, options);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(RUN_SECONDS);
  std::string filled;
  while (filled.empty() && !has_ended(&running) && std::chrono::steady_clock::now() < give_up) {
    if (append) {
      if (size_of(dir + "/" + target) != old_size)
        filled = dir + "/" + target;
    } else {
      const std::string temporary = temporary_beside(dir, target);
      if (!temporary.empty() && size_of(temporary) > 0)
        filled = temporary;
    }
    if (filled.empty())
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (!filled.empty())
    act(running.pid, filled);
  RunResult result = finish_program(&running);
  if (filled.empty())
    return std::nullopt;
  return result;
}

}  // namespace

TEST(E2eGuard, SignalsAndCutsWhileFillingLeaveTheTargetAsItWas) {
  TempDir input_dir;
  const std::string busy = input_dir.file("busy.zvb");
  run_zvbgen({ "-T", BUSY_STEPS, "-N", "100000", "-S", "5", "-o", busy });
  const std::string previous = text(example_output());
  struct Row {
    const char* name;
    int signal_number;  // sent while the output is filled; 0: the file is cut instead
    bool append;        // -a old.zvb, else -o old.zvb
    int ignored;        // a signal ignored at start, sent instead: the run completes
  };
  const Row rows[] = {
    { "Hangup", SIGHUP, true, 0 },
    { "Interrupt", SIGINT, false, 0 },
    { "Terminate", SIGTERM, true, 0 },
    { "Quit", SIGQUIT, false, 0 },
    { "BrokenPipe", SIGPIPE, true, 0 },
    { "User1", SIGUSR1, false, 0 },
    { "User2", SIGUSR2, true, 0 },
    { "Alarm", SIGALRM, false, 0 },
    { "CpuLimit", SIGXCPU, true, 0 },
    { "AppendedFileCut", 0, true, 0 },
    { "TemporaryFileCut", 0, false, 0 },
    { "HangupIgnoredAtStart", 0, false, SIGHUP },
    { "InterruptIgnoredAtStart", 0, true, SIGINT },
  };
  std::string replaced;  // what the runs that completed wrote
  std::string appended;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const Words args = { row.append ? "-a" : "-o", "old.zvb", busy, "time", "x", "y", "z" };
    const int signal_number = row.signal_number;
    const int ignored = row.ignored;
    const auto act = [signal_number, ignored](pid_t process, const std::string& filled) {
      if (signal_number != 0 || ignored != 0)
        kill(process, signal_number != 0 ? signal_number : ignored);
      else
        ASSERT_EQ(truncate(filled.c_str(), 4096), 0);  // below where the output begins
    };
    const auto setup = [ignored] {
      if (ignored != 0)
        signal(ignored, SIG_IGN);
    };
    // A run that completed all the same was quicker than the test: it is tried again.
    std::optional<RunResult> result;
    for (int attempt = 0; attempt < 5; attempt++) {
      write_file_bytes(dir.file("old.zvb"), previous + std::string(8000, 'p'));
      result = run_while_filling(dir.path(), args, "old.zvb", row.append, act, setup);
      if (result.has_value() && (ignored != 0 || result->status != 0))
        break;
      result.reset();
    }
    ASSERT_TRUE(result.has_value()) << "every run completed before the test could act";
    if (ignored != 0) {
      // Ended by nothing: the run completed; its output is compared below.
      EXPECT_EQ(result->signal, 0);
      EXPECT_EQ(result->status, 0);
      EXPECT_EQ(result->err, "");
      (row.append ? appended : replaced) = read_file_bytes(dir.file("old.zvb"));
      continue;
    }
    if (signal_number != 0) {
      EXPECT_EQ(result->signal, signal_number) << result->err;
      EXPECT_EQ(result->err, "");
    } else {
      EXPECT_EQ(result->signal, 0);
      EXPECT_EQ(result->status, 1);
      EXPECT_EQ(result->err, coded("\"old.zvb\": Output file changed while being written"));
    }
    // The file appended to is cut back (one cut below its old length stays so); a replaced
    // file is untouched and its temporary file gone.
    const std::string expected = signal_number == 0 && row.append
                                     ? previous + std::string(4096 - previous.size(), 'p')
                                     : previous + std::string(8000, 'p');
    EXPECT_EQ(directory_files(dir.path()), (Files{ { "old.zvb", expected } }));
  }
  // The whole output, written over the old file and after it alike.
  const std::string old = previous + std::string(8000, 'p');
  ASSERT_GT(replaced.size(), sizeof(FileHeader) + 100000 * (24 + 8));
  EXPECT_EQ(load_u32(reinterpret_cast<const unsigned char*>(replaced.data()), false), ZVB_MAGIC);
  EXPECT_EQ(appended.size(), old.size() + replaced.size() - sizeof(FileHeader));
  EXPECT_TRUE(appended == old + replaced.substr(sizeof(FileHeader)));
}

TEST(E2eGuard, ClosedOrReadOnlyStandardStreamsTakeNoFilesPlace) {
  // An empty old.zvb: output to it would be laid out in it, were it reopened for writing.
  const Files files = { { "in.zvb", text(example_input()) }, { "old.zvb", "" } };
  struct Row {
    const char* name;
    Words args;
    bool from_stdin;  // standard input is in.zvb
    std::vector<int> closed;
    bool stdout_read_only;  // standard output is old.zvb, opened for reading only
    const char* err;        // "": the run succeeds and out.zvb holds the example's output
  };
  const Row rows[] = {
    { "OutputClosed",
      { "in.zvb", "time", "x", "y" },
      false,
      { 1 },
      false,
      "\"-\": Bad file descriptor" },
    { "OutputReadOnly",
      { "in.zvb", "time", "x", "y" },
      false,
      {},
      true,
      "\"-\": Bad file descriptor" },
    { "ErrorClosedWithProgress",
      { "-v", "-o", "out.zvb", "-", "time", "x", "y" },
      true,
      { 2 },
      false,
      "" },
    { "AllClosed",
      { "-v", "-o", "out.zvb", "in.zvb", "time", "x", "y" },
      false,
      { 0, 1, 2 },
      false,
      "" },
    { "InputClosed",
      { "-o", "out.zvb", "-", "time", "x", "y" },
      false,
      { 0 },
      false,
      "\"-\": Bad file descriptor" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    write_files(dir.path(), files);
    RunOptions options;
    if (row.from_stdin)
      options.stdin_path = dir.file("in.zvb");
    const std::vector<int> closed = row.closed;
    const bool read_only = row.stdout_read_only;
    options.in_child = [closed, read_only] {
      const int old = read_only ? open("old.zvb", O_RDONLY) : -1;
      if (read_only && (old < 0 || dup2(old, 1) < 0))
        _exit(124);
      for (int descriptor : closed)
        close(descriptor);
      alarm(RUN_SECONDS);
    };
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    Files expected = files;
    if (row.err[0] != '\0') {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, coded(row.err));
    } else {
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.err, "");
      const std::string written = file_bytes(dir.file("out.zvb"));
      EXPECT_TRUE(SameOutput(written, example_output()));
      expected["out.zvb"] = written;
    }
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(directory_files(dir.path()), expected);
  }
}

// An array that nobody requests, between two steps, claims the rest of the file and `over`
// bytes more: whatever the file's length, the run refuses it while reading, rather than losing
// the step that follows. A claim that ends with the file is read.
TEST(E2eGuard, SizePastTheEndIsRefusedInFilesOfEveryLength) {
  struct Row {
    const char* name;
    std::int64_t length;  // padded with a hole to this length
    std::uint32_t over;
  };
  const Row rows[] = {
    { "LargeFileOneBytePast", LARGE, 1 },
    { "LargeFileFarPast", LARGE, 1u << 30 },
    { "SmallFileOneBytePast", 1 << 16, 1 },
    { "LargeFileEndingWithTheClaim", LARGE, 0 },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    ZvbBuilder b;
    b.file_header().group_f64("time", 0).array_f64("x", { 1, 2 }).array_f64("ID", { 7, 8 });
    b.end();
    const std::int64_t data_at = static_cast<std::int64_t>(b.bytes().size() + 24);
    b.element_sized("unused", FLAG_ARRAY | TYPE_DOUBLE,
                    static_cast<std::uint32_t>(row.length - data_at + row.over), {});
    b.group_f64("time", 1).array_f64("x", { 3, 4 }).array_f64("ID", { 8, 7 }).end();
    const std::string path = dir.file("in.zvb");
    write_sparse_file(path, b.bytes(), row.length);
    RunOptions options;
    options.in_child = [] { alarm(RUN_SECONDS); };
    const RunResult result = run_zvbtrack({ "in.zvb", "time", "x" }, options, dir.path());
    if (row.over != 0) {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, coded("\"in.zvb\": Unexpected end of file"));
      EXPECT_EQ(result.out, "");
    } else {
      // The second step lies inside the claim: only the first is transposed.
      ZvbBuilder first = expected_output();
      first.group_f64("ID", 7).array_f64("x", { 1 }).array_f64("time", { 0 }).end();
      first.group_f64("ID", 8).array_f64("x", { 2 }).array_f64("time", { 0 }).end();
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.err, "");
      EXPECT_TRUE(SameOutput(result.out, first.bytes()));
    }
  }
}

TEST(E2eGuard, AppendTargetIsAnEmptyFileOrThisMachinesZvbFile) {
  const std::string output = text(example_output());
  std::string other_version = output;
  other_version[offsetof(FileHeader, format_major)] = 2;
  std::string wrong_magic = output;
  wrong_magic[0] ^= 0x40;
  struct Row {
    const char* name;
    std::string before;  // old.zvb
    const char* reason;  // the message after the quoted name; "": the run succeeds
    std::string after;   // old.zvb afterwards, when refused
  };
  const Row rows[] = {
    { "Empty", "", "", "" },
    { "OneByte", "Z", ": Not a ZV-File", "Z" },
    { "ShortOfAHeader", output.substr(0, 47), ": Not a ZV-File", output.substr(0, 47) },
    { "WrongMagic", wrong_magic, ": Not a ZV-File", wrong_magic },
    { "OtherVersion", other_version, ": Invalid ZVB-version", other_version },
    { "OtherByteOrder", text(example_input(true)),
      ": Cannot append to a file in the other byte order", text(example_input(true)) },
  };
  for (const Row& row : rows) {
    for (const bool tree : { false, true }) {
      SCOPED_TRACE(std::string(row.name) + (tree ? ", through the tree" : ", laid out"));
      TempDir dir;
      write_files(dir.path(), { { "in.zvb", text(example_input()) }, { "old.zvb", row.before } });
      const Words args = { "-a", dir.file("old.zvb"), dir.file("in.zvb"), "time", "x", "y" };
      const RunResult result = tree ? run_zvbtrack_tree(args) : run_zvbtrack(args);
      const bool refused = row.reason[0] != '\0';
      EXPECT_EQ(result.status, refused ? 1 : 0);
      EXPECT_EQ(result.err, refused ? coded("\"" + dir.file("old.zvb") + "\"" + row.reason) : "");
      if (!refused) {
        EXPECT_TRUE(SameOutput(read_file_bytes(dir.file("old.zvb")), example_output()));
      } else {
        EXPECT_EQ(read_file_bytes(dir.file("old.zvb")), row.after);
      }
    }
  }
}

TEST(E2eGuard, FailedRunLeavesTheFileNamedByOutputAsItWas) {
  const Files files = { { "keep.zvb", text(example_output()) + "kept" },
                        { "bad.zvb", text(wide_input(3, true)) },
                        { "wide.zvb", text(wide_input(2000)) } };
  struct Row {
    const char* name;
    Words args;       // x twice takes the output tree instead of the laid-out output
    bool size_limit;  // 64 KiB, far less than the output of wide.zvb
    std::string err;
  };
  const std::string short_y = "Error: Not all arrays terminate at length 2\n";
  const Row rows[] = {
    { "LaidOut", { "-o", "keep.zvb", "bad.zvb", "time", "x", "y" }, false, short_y },
    { "ThroughTheTree", { "-o", "keep.zvb", "bad.zvb", "time", "x", "y", "x" }, false, short_y },
    { "NewFile", { "-o", "new.zvb", "bad.zvb", "time", "x", "y" }, false, short_y },
    { "SizeLimitLaidOutInMemory",
      { "-o", "keep.zvb", "wide.zvb", "time", "x", "y" },
      true,
      coded("\"keep.zvb\": File too large") },
    { "SizeLimitThroughTheTree",
      { "-o", "keep.zvb", "wide.zvb", "time", "x", "y", "x" },
      true,
      coded("\"keep.zvb\": File too large") },
    { "SizeLimitNewFile",
      { "-o", "new.zvb", "wide.zvb", "time", "x", "y", "x" },
      true,
      coded("\"new.zvb\": File too large") },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    write_files(dir.path(), files);
    RunOptions options;
    const bool size_limit = row.size_limit;
    options.in_child = [size_limit] {
      const struct rlimit limit = { 64 << 10, 64 << 10 };
      if (size_limit && setrlimit(RLIMIT_FSIZE, &limit) != 0)
        _exit(121);
      alarm(RUN_SECONDS);
    };
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(directory_files(dir.path()), files);  // no temporary file left either
  }
}

TEST(E2eGuard, ReplacedFileKeepsModeOwnerAndLinksNewFileGetsCreationMode) {
  TempDir dir;
  write_file_bytes(dir.file("in.zvb"), example_input());
  const auto run_into = [&dir](const std::string& target, mode_t mask) {
    RunOptions options;
    options.in_child = [mask] { umask(mask); };
    return run_zvbtrack({ "-o", target, "in.zvb", "time", "x", "y" }, options, dir.path());
  };
  const auto mode_of = [&dir](const std::string& name) {
    struct stat status;
    return lstat(dir.file(name).c_str(), &status) == 0 ? status.st_mode : 0;
  };
  // Replaced: mode (with the set-group-ID bit), owner and group as they were.
  write_file_bytes(dir.file("kept.zvb"), "old");
  ASSERT_EQ(chmod(dir.file("kept.zvb").c_str(), 02640), 0);
  const bool may_chown = geteuid() == 0;
  if (may_chown) {
    ASSERT_EQ(chown(dir.file("kept.zvb").c_str(), 1, 2), 0);
  }
  RunResult result = run_into("kept.zvb", 0);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(mode_of("kept.zvb"), S_IFREG | 02640);
  struct stat status;
  ASSERT_EQ(stat(dir.file("kept.zvb").c_str(), &status), 0);
  if (may_chown) {
    EXPECT_EQ(status.st_uid, 1u);
    EXPECT_EQ(status.st_gid, 2u);
  }
  EXPECT_TRUE(SameOutput(read_file_bytes(dir.file("kept.zvb")), example_output()));
  // Written through a link: the link stays a link, and the file it names is replaced.
  write_file_bytes(dir.file("target.zvb"), "old");
  std::filesystem::create_symlink("target.zvb", dir.file("link.zvb"));
  result = run_into("link.zvb", 022);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(S_ISLNK(mode_of("link.zvb")));
  EXPECT_TRUE(SameOutput(read_file_bytes(dir.file("target.zvb")), example_output()));
  // New: the mode a plain create gives under the process's mask.
  for (const mode_t mask : { 0, 027 }) {
    const std::string name = "new" + std::to_string(mask) + ".zvb";
    result = run_into(name, mask);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(mode_of(name), S_IFREG | (0666 & ~mask));
  }
  // A file that may not be written is refused before any work, as opening it would be.
  write_file_bytes(dir.file("locked.zvb"), "old");
  const int descriptor = open(dir.file("locked.zvb").c_str(), O_RDONLY);
  int flags = 0;
  std::string reason = "Permission denied";
  if (may_chown) {
    // Root may write any file whose mode forbids it, but not an immutable one.
    const bool marked = ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0 &&
                        (flags |= FS_IMMUTABLE_FL, ioctl(descriptor, FS_IOC_SETFLAGS, &flags) == 0);
    reason = "Operation not permitted";
    if (!marked) {
      close(descriptor);
      GTEST_SKIP() << "cannot lock a file against root here";
    }
  } else {
    ASSERT_EQ(chmod(dir.file("locked.zvb").c_str(), 0444), 0);
  }
  result = run_into("locked.zvb", 022);
  if (may_chown) {
    flags &= ~FS_IMMUTABLE_FL;
    ioctl(descriptor, FS_IOC_SETFLAGS, &flags);  // so that the directory can be removed
  }
  close(descriptor);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, coded("\"locked.zvb\": " + reason));
  EXPECT_EQ(read_file_bytes(dir.file("locked.zvb")), "old");
  EXPECT_EQ(temporary_beside(dir.path(), "locked.zvb"), "");
}
