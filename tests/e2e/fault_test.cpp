// End-to-end faults: full devices and file systems, file-size and memory limits, hostile sizes
// and nesting, files cut short, inputs that are not files, terminals and a reader that stops
// early. Every run ends with status 0 or 1 and at most one line, never by a signal, within a
// bounded time, and leaves every input as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "support/temp_dir.h"
#include "support/terminal.h"

namespace {

using Words = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

// A run still going after this long has hung: SIGALRM ends it and the test fails.
constexpr unsigned RUN_SECONDS = 30;
// What a run may take where a bound on its memory is part of the test.
constexpr std::size_t MEMORY_BOUND_MIB = 256;
constexpr std::int64_t LARGE = std::int64_t{ 16 } << 20;  // a file this long keeps arrays on file

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The regular files of `dir` with their bytes.
Files directory_files(const std::string& dir) {
  Files files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_regular_file())
      files[entry.path().filename().string()] = read_file_bytes(entry.path().string());
  }
  return files;
}

void write_files(const std::string& dir, const Files& files) {
  for (const auto& [name, bytes] : files)
    write_file_bytes(dir + "/" + name, bytes);
}

std::string coded(const std::string& message) {
  return "zvbtrack: Error: " + message + "\n";
}

// One step of `count` objects with arrays x, y and ID: its output is 152 bytes per object, far
// more than the input, and more than a pipe holds.
Bytes wide_input(int count) {
  std::vector<double> x(count), y(count), id(count);
  for (int i = 0; i < count; i++) {
    x[i] = i;
    y[i] = -i;
    id[i] = 1000 + i;
  }
  ZvbBuilder b;
  b.file_header().group_f64("time", 0).array_f64("x", x).array_f64("y", y);
  return b.array_f64("ID", id).end().bytes();
}

// The child's part of a run, before exec: the case's own setup, then the alarm that ends a
// run that hangs (an alarm survives exec).
std::function<void()> in_child(std::function<void()> setup = {}) {
  return [setup] {
    if (setup)
      setup();
    alarm(RUN_SECONDS);
  };
}

// In the child: a process of its own copies the file at `from` into `to_fifo` (opened for
// writing, which waits for the reader) or, with a null `to_fifo`, into a pipe that becomes
// standard input, as `cat from |` would. It ends when the reader goes away.
void feed(const char* from, const char* to_fifo) {
  int ends[2] = { -1, -1 };
  if (to_fifo == nullptr && pipe(ends) != 0)
    _exit(122);
  const pid_t feeder = fork();
  if (feeder < 0)
    _exit(122);
  if (feeder == 0) {
    alarm(RUN_SECONDS);
    if (ends[0] >= 0)
      close(ends[0]);
    const int out = to_fifo != nullptr ? open(to_fifo, O_WRONLY) : ends[1];
    const int in = open(from, O_RDONLY);
    static char buffer[1 << 16];
    ssize_t got;
    while (in >= 0 && out >= 0 && (got = read(in, buffer, sizeof buffer)) > 0) {
      if (write(out, buffer, static_cast<std::size_t>(got)) != got)
        break;
    }
    _exit(0);
  }
  if (to_fifo == nullptr) {
    dup2(ends[0], 0);
    close(ends[0]);
    close(ends[1]);
  }
}

// Bounds a run's memory: its address space outside AddressSanitizer, whose shadow memory rules
// such a limit out; inside it, the size of one allocation, beyond which malloc fails as it
// would under the limit. Lives for the runs it bounds.
class MemoryBound {
 public:
  explicit MemoryBound(std::size_t mebibytes) : mebibytes_(mebibytes) {
#if defined(__SANITIZE_ADDRESS__)
    const char* options = std::getenv("ASAN_OPTIONS");
    saved_ = options != nullptr ? options : "";
    setenv("ASAN_OPTIONS",
           (saved_ +
            ":allocator_may_return_null=1:max_allocation_size_mb=" + std::to_string(mebibytes))
               .c_str(),
           1);
#endif
  }
  ~MemoryBound() {
#if defined(__SANITIZE_ADDRESS__)
    setenv("ASAN_OPTIONS", saved_.c_str(), 1);
#endif
  }
  MemoryBound(const MemoryBound&) = delete;
  MemoryBound& operator=(const MemoryBound&) = delete;

  // To call in the child.
  void apply() const {
#if !defined(__SANITIZE_ADDRESS__)
    const rlim_t bytes = static_cast<rlim_t>(mebibytes_) << 20;
    const struct rlimit limit = { bytes, bytes };
    if (setrlimit(RLIMIT_AS, &limit) != 0)
      _exit(121);
#endif
  }

 private:
  std::size_t mebibytes_;
  std::string saved_;
};

// A run that ended by itself with status 0 or 1: no signal, no hang.
void expect_ended(const RunResult& result) {
  EXPECT_EQ(result.signal, 0) << "ended by signal " << result.signal << " (" << result.err << ")";
  EXPECT_TRUE(result.status == 0 || result.status == 1) << "status " << result.status;
}

}  // namespace

TEST(E2eFault, FullDeviceIsAnErrorNamingTheOutput) {
  // 8000 objects make 1.2 MB of output: more than the output buffer, so the device fails while
  // the file is written, not only when it is flushed at the end.
  const Files files = { { "in.zvb", text(example_input()) },
                        { "wide.zvb", text(wide_input(8000)) } };
  struct Row {
    Words args;
    const char* stdout_path;
    const char* err;
  };
  const Row rows[] = {
    { { "in.zvb", "time", "x", "y" }, "/dev/full", "\"-\": No space left on device" },
    { { "wide.zvb", "time", "x", "y" }, "/dev/full", "\"-\": No space left on device" },
    { { "-a", "-", "in.zvb", "time", "x", "y" }, "/dev/full", "\"-\": No space left on device" },
    { { "-o", "/dev/full", "in.zvb", "time", "x", "y" },
      "",
      "\"/dev/full\": No space left on device" },
    { { "-o", "/dev/full", "wide.zvb", "time", "x", "y" },
      "",
      "\"/dev/full\": No space left on device" },
    { { "-a", "/dev/full", "in.zvb", "time", "x", "y" },
      "",
      "\"/dev/full\": No space left on device" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args) + " > " + row.stdout_path);
    TempDir dir;
    write_files(dir.path(), files);
    RunOptions options;
    options.stdout_path = row.stdout_path;
    options.in_child = in_child();
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, coded(row.err));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(directory_files(dir.path()), files);
  }
}

// A file system mounted for the test with little room, and unmounted after it.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& path) : path_(path) {
    std::filesystem::create_directory(path_);
    if (mount("zvbtest", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") == 0)
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

TEST(E2eFault, FullFileSystemLeavesTheInputAndTheAppendedFileAsTheyWere) {
  TempDir dir;
  SmallFileSystem small(dir.file("small"));
  if (!small.mounted())
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << small.error() << ")";
  // 2000 objects: a 48 KB input, a 300 KB output, and 256 KB of room.
  const std::string input = text(wide_input(2000));
  const std::string previous = text(example_output()) + std::string(64 << 10, 'p');
  struct Row {
    const char* name;
    Words args;  // run in the small file system, which holds in.zvb and old.zvb
    const char* err;
    bool onto_old;  // standard output is old.zvb, opened to append (`>> old.zvb`)
  };
  const Row rows[] = {
    { "AppendToAFile", { "-a", "old.zvb", "in.zvb", "time", "x", "y" }, "\"old.zvb\"", false },
    { "OntoTheInput", { "-o", "in.zvb", "in.zvb", "time", "x", "y" }, "\"in.zvb\"", false },
    { "StandardOutputAppending", { "in.zvb", "time", "x", "y" }, "\"-\"", true },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Files files = { { "in.zvb", input }, { "old.zvb", previous } };
    write_files(dir.file("small"), files);
    RunOptions options;
    const bool onto_old = row.onto_old;
    options.in_child = in_child([onto_old] {
      const int old = onto_old ? open("old.zvb", O_WRONLY | O_APPEND) : -1;
      if (onto_old && (old < 0 || dup2(old, 1) < 0))
        _exit(122);
    });
    const RunResult result = run_zvbtrack(row.args, options, dir.file("small"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, coded(std::string(row.err) + ": No space left on device"));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(directory_files(dir.file("small")), files);  // no temporary file left either
    for (const auto& [name, bytes] : files)
      std::filesystem::remove(dir.file("small/" + name));
  }
}

TEST(E2eFault, FileSizeLimitLeavesTheInputAndTheAppendedFileAsTheyWere) {
  // The limit lets the old file and the input be, but not the 300 KB of output.
  const std::string input = text(wide_input(2000));
  const std::string previous = text(example_output());
  const Files files = { { "in.zvb", input }, { "old.zvb", previous } };
  struct Row {
    Words args;
    const char* written;  // a file the run makes, which may hold a part of the output
    const char* err;
  };
  const Row rows[] = {
    { { "-a", "old.zvb", "in.zvb", "time", "x", "y" }, "", "\"old.zvb\"" },
    { { "-o", "in.zvb", "in.zvb", "time", "x", "y" }, "", "\"in.zvb\"" },
    { { "-o", "./in.zvb", "-", "time", "x", "y" }, "", "\"./in.zvb\"" },
    { { "-o", "new.zvb", "in.zvb", "time", "x", "y" }, "", "\"new.zvb\"" },
    { { "in.zvb", "time", "x", "y" }, "stdout.zvb", "\"-\"" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    TempDir dir;
    write_files(dir.path(), files);
    RunOptions options;
    options.stdin_path = dir.file("in.zvb");
    if (std::string(row.written) == "stdout.zvb")
      options.stdout_path = dir.file("stdout.zvb");
    options.in_child = in_child([] {
      const struct rlimit limit = { 64 << 10, 64 << 10 };
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        _exit(121);
    });
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, coded(std::string(row.err) + ": File too large"));
    Files after = directory_files(dir.path());
    if (row.written[0] != '\0') {
      EXPECT_LE(after[row.written].size(), std::size_t{ 64 } << 10);
      after.erase(row.written);
    }
    EXPECT_EQ(after, files);
  }
}

TEST(E2eFault, ExhaustedMemoryEndsWithNotEnoughMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit does not go with AddressSanitizer's shadow memory";
#else
  // A step whose x holds 64 MiB of doubles (a hole in the file), in either byte order.
  constexpr std::uint32_t ARRAY_SIZE = 64 << 20;
  const auto huge_step = [](bool reversed) {
    ZvbBuilder b(reversed);
    b.file_header().group_f64("time", 0);
    return b.element_sized("x", FLAG_ARRAY | TYPE_DOUBLE, ARRAY_SIZE, {}).bytes();
  };
  struct Row {
    const char* name;
    bool reversed;   // a reversed file is read whole at once; a host-order one on lookup
    bool from_pipe;  // standard input is a pipe, read whole as the bytes arrive
    Words args;
  };
  const Row rows[] = {
    { "LookedUpFromFile", false, false, { "big.zvb", "time", "x" } },
    { "ReadWholeReversed", true, false, { "big.zvb", "time", "x" } },
    { "ReadWholeFromPipe", false, true, { "-", "time", "x" } },
    { "ThroughTheOutputTree", false, false, { "big.zvb", "time", "x", "x" } },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string big = dir.file("big.zvb");
    const Bytes head = huge_step(row.reversed);
    ZvbBuilder tail(row.reversed);
    tail.end();
    write_sparse_file(big, head, static_cast<std::int64_t>(head.size() + ARRAY_SIZE + 24),
                      tail.bytes());
    const std::string before = read_file_bytes(big);
    MemoryBound bound(48);
    RunOptions options;
    const bool from_pipe = row.from_pipe;
    options.in_child = in_child([&bound, from_pipe, big] {
      if (from_pipe)
        feed(big.c_str(), nullptr);
      bound.apply();
    });
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.err == coded("Not enough memory") ||
                result.err == "Error: Not enough memory\n")
        << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(read_file_bytes(big) == before);
  }
#endif
}

TEST(E2eFault, MillionNestedGroupsAreTooDeep) {
  TempDir dir;
  std::string deep = text(ZvbBuilder().file_header().bytes());
  const std::string group = text(ZvbBuilder().group("g").bytes());
  deep.reserve(deep.size() + 1000000 * group.size());
  for (int i = 0; i < 1000000; i++)
    deep += group;
  const Files files = { { "deep.zvb", deep } };
  write_files(dir.path(), files);
  struct Row {
    Words args;
    bool from_pipe;
    const char* err;
  };
  const Row rows[] = {
    { { "deep.zvb", "time", "x" }, false, "\"deep.zvb\": Groups nested too deeply" },
    { { "-", "time", "x" }, true, "\"-\": Groups nested too deeply" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.err);
    MemoryBound bound(MEMORY_BOUND_MIB);
    RunOptions options;
    const std::string path = dir.file("deep.zvb");
    const bool from_pipe = row.from_pipe;
    options.in_child = in_child([&bound, from_pipe, path] {
      if (from_pipe)
        feed(path.c_str(), nullptr);
      bound.apply();
    });
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, coded(row.err));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(directory_files(dir.path()), files);
  }
}

TEST(E2eFault, HostileSizesAreTheEndOfTheFileWhateverTheRunNeeds) {
  constexpr std::uint32_t HOSTILE = 0xFFFFFFFFu;
  // The example file, then an element claiming 4 GiB; `x_claims` puts the claim on the first
  // step's x instead, cutting the file there.
  struct Row {
    const char* name;
    bool reversed;
    std::uint32_t type;   // of the element that claims 4 GiB
    bool x_claims;        // that element is x in the first step, which the run looks up
    std::int64_t length;  // the file is padded with a hole to this length; 0: no padding
    bool from_pipe;       // standard input is a pipe fed with the file
  };
  const Row rows[] = {
    { "SmallFileArray", false, FLAG_ARRAY | TYPE_DOUBLE, true, 0, false },
    { "SmallFileSingle", false, FLAG_SINGLE | TYPE_DOUBLE, false, 0, false },
    { "SmallFileGroup", false, FLAG_GROUP | TYPE_DOUBLE, false, 0, false },
    { "SmallReversedFile", true, FLAG_ARRAY | TYPE_DOUBLE, false, 0, false },
    { "SmallFileFromPipe", false, FLAG_ARRAY | TYPE_DOUBLE, false, 0, true },
    { "LargeFileArrayLookedUp", false, FLAG_ARRAY | TYPE_DOUBLE, true, LARGE, false },
    { "LargeFileArrayNeverLookedUp", false, FLAG_ARRAY | TYPE_S32, false, LARGE, false },
    { "LargeFileSingle", false, FLAG_SINGLE | TYPE_DOUBLE, false, LARGE, false },
    { "LargeFileGroup", false, FLAG_GROUP | TYPE_NULL, false, LARGE, false },
    { "LargeReversedFile", true, FLAG_ARRAY | TYPE_DOUBLE, false, LARGE, false },
    { "LargeFileFromPipe", false, FLAG_ARRAY | TYPE_DOUBLE, false, LARGE, true },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    ZvbBuilder b(row.reversed);
    b.file_header();
    if (row.x_claims) {
      b.group_f64("time", 0).array_f64("y", { 3, 4 }).array_f64("ID", { 7, 8 });
      b.element_sized("x", row.type, HOSTILE, b.f64({ 1, 2 }));
    } else {
      const Bytes example = example_input(row.reversed);
      b.raw(Bytes(example.begin() + sizeof(FileHeader), example.end()));
      b.element_sized("unused", row.type, HOSTILE, b.f64({ 1, 2 }));
    }
    const std::string path = dir.file("in.zvb");
    if (row.length != 0)
      write_sparse_file(path, b.bytes(), row.length);
    else
      write_file_bytes(path, b.bytes());
    const std::string before = read_file_bytes(path);

    MemoryBound bound(MEMORY_BOUND_MIB);
    RunOptions options;
    const bool from_pipe = row.from_pipe;
    options.in_child = in_child([&bound, from_pipe, path] {
      if (from_pipe)
        feed(path.c_str(), nullptr);
      bound.apply();
    });
    const std::string input = row.from_pipe ? "-" : "in.zvb";
    const RunResult result = run_zvbtrack({ input, "time", "x", "y" }, options, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, coded("\"" + input + "\": Unexpected end of file"));
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(read_file_bytes(path) == before);
  }
}

// Whether a file cut at `length` still reads: its header is whole, and the cut does not fall
// among the data of an element whose header is whole (a cut inside a header ends the tree).
bool cut_reads(const Bytes& whole, std::size_t length, bool reversed) {
  if (length < sizeof(FileHeader))
    return false;
  std::size_t offset = sizeof(FileHeader);
  while (offset + sizeof(ElementHeader) <= whole.size()) {
    const std::size_t data = offset + sizeof(ElementHeader);
    const std::size_t size = decode_element_header(whole.data() + offset, reversed).size;
    if (length >= data && length < data + size)
      return false;
    offset = data + size;
  }
  return true;
}

TEST(E2eFault, FileCutAtEveryLengthEndsCleanly) {
  // Steps inside and outside an enclosing group, of several value types, in both byte orders.
  for (bool reversed : { false, true }) {
    ZvbBuilder b(reversed);
    b.file_header().group_s32("run", 1);
    b.group_f64("time", 0).array_f64("x", { 1, 2 }).array_s32("y", { 3, 4 });
    b.array_f64("ID", { 7, 8 }).end();
    b.end();
    b.group_f64("time", 1).array_f32("x", { 5, 6 }).array_f64("y", { 7, 8 });
    b.array_f64("ID", { 8, 7 }).end();
    const Bytes whole = b.bytes();
    TempDir dir;
    const std::string path = dir.file("cut.zvb");
    // Under the sanitizers, which slow every run tenfold, a cut at every fifth length and at
    // both sides of every element boundary (where the reading changes) will do.
    const bool sampled = std::getenv("ZVB_UNDER_SANITIZERS") != nullptr;
    for (std::size_t length = 0; length <= whole.size(); length++) {
      if (sampled && length % 5 != 0 &&
          cut_reads(whole, length, reversed) == cut_reads(whole, length - 1, reversed))
        continue;
      SCOPED_TRACE((reversed ? "reversed, cut at " : "cut at ") + std::to_string(length));
      const std::string cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
      write_file_bytes(path, cut);
      RunOptions options;
      options.in_child = in_child();
      const RunResult result = run_zvbtrack({ "cut.zvb", "time", "x", "y" }, options, dir.path());
      expect_ended(result);
      if (cut_reads(whole, length, reversed)) {
        EXPECT_EQ(result.status, 0);
        // A file cut before its first complete step holds no trajectory, and says so.
        if (result.out.size() > sizeof(FileHeader))
          EXPECT_EQ(result.err, "");
        else
          EXPECT_EQ(result.err.rfind("zvbtrack: Warning: The output holds no trajectory", 0), 0u);
        ASSERT_GE(result.out.size(), sizeof(FileHeader));
        EXPECT_EQ(load_u32(reinterpret_cast<const unsigned char*>(result.out.data()), false),
                  ZVB_MAGIC);
      } else {
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, coded("\"cut.zvb\": Unexpected end of file"));
        EXPECT_EQ(result.out, "");
      }
      EXPECT_TRUE(read_file_bytes(path) == cut);
      if (HasFailure())
        break;  // one cut shown is enough
    }
  }
}

TEST(E2eFault, InputsThatAreNotFilesEndCleanly) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("dir"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  const Bytes whole = example_input();
  const Files sources = { { "whole.src", text(whole) },
                          { "cut.src", text(whole).substr(0, whole.size() - 30) } };
  write_files(dir.path(), sources);
  struct Row {
    const char* name;
    Words args;
    const char* stdin_path;  // relative to the run's directory; "" for /dev/null
    const char* fed;         // the FIFO is fed with this file; "" for none
    const char* err;         // "" for success with the example's output
  };
  const Row rows[] = {
    { "Directory", { "dir", "time", "x", "y" }, "", "", "\"dir\": Is a directory" },
    { "DirectoryAsStandardInput", { "-", "time", "x", "y" }, "dir", "", "\"-\": Is a directory" },
    { "NullDevice",
      { "/dev/null", "time", "x", "y" },
      "",
      "",
      "\"/dev/null\": Unexpected end of file" },
    { "NullDeviceAsStandardInput",
      { "-", "time", "x", "y" },
      "",
      "",
      "\"-\": Unexpected end of file" },
    { "Fifo", { "fifo", "time", "x", "y" }, "", "whole.src", "" },
    { "FifoCutShort",
      { "fifo", "time", "x", "y" },
      "",
      "cut.src",
      "\"fifo\": Unexpected end of file" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunOptions options;
    if (row.stdin_path[0] != '\0')
      options.stdin_path = dir.file(row.stdin_path);
    const std::string fed = row.fed[0] != '\0' ? dir.file(row.fed) : "";
    const std::string fifo = dir.file("fifo");
    options.in_child = in_child([fed, fifo] {
      if (!fed.empty())
        feed(fed.c_str(), fifo.c_str());
    });
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    if (row.err[0] == '\0') {
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.err, "");
      EXPECT_TRUE(SameOutput(result.out, example_output()));
    } else {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, coded(row.err));
      EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(directory_files(dir.path()), sources);
  }
}

TEST(E2eFault, TerminalIsNeitherReadNorWritten) {
  Terminal terminal;
  if (!terminal.ready())
    GTEST_SKIP() << "no pseudo-terminal here";
  TempDir dir;
  const Files files = { { "in.zvb", text(example_input()) } };
  write_files(dir.path(), files);
  struct Row {
    Words args;
    int descriptor;  // the standard stream that is the terminal
  };
  const Row rows[] = {
    { { "-", "time", "x" }, 0 },
    { { "-o", "out.zvb", "-", "time", "x" }, 0 },
    { { "in.zvb", "time", "x" }, 1 },
    { { "-o", "-", "in.zvb", "time", "x" }, 1 },
    { { "-a", "-", "in.zvb", "time", "x" }, 1 },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    ASSERT_TRUE(terminal.type("typed\n"));
    RunOptions options;
    const std::string path = terminal.path();
    const int descriptor = row.descriptor;
    options.in_child = in_child([path, descriptor] {
      const int opened = open(path.c_str(), O_RDWR | O_NOCTTY);
      if (opened < 0 || dup2(opened, descriptor) < 0)
        _exit(123);
      close(opened);
    });
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, coded("ZVB output can not be read from or written to a terminal"));
    EXPECT_EQ(terminal.unread(), "typed\n");
    EXPECT_EQ(terminal.shown(), "");
    EXPECT_EQ(directory_files(dir.path()), files);
  }
}

TEST(E2eFault, ReaderThatStopsEarlyEndsTheRun) {
  TempDir dir;
  const Files files = { { "in.zvb", text(wide_input(2000)) } };
  write_files(dir.path(), files);
  // 300 KB of output into a pipe that holds 64 KB, whose reader takes 10 bytes and goes:
  // zvbtrack is ended by SIGPIPE (status 141 in the shell), or, where SIGPIPE is ignored,
  // fails with the broken pipe. The status and the 10 bytes are kept for the test.
  const std::string script =
      "{ \"$0\" in.zvb time x y 2>err.txt; echo $? >status.txt; } | head -c 10 >head.zvb";
  RunOptions options;
  const std::string path = dir.path();
  options.in_child = in_child([path] {
    if (chdir(path.c_str()) != 0)
      _exit(124);
  });
  const RunResult shell = run_program("/bin/sh", { "-c", script, ZVBTRACK_BIN }, options);
  ASSERT_EQ(shell.signal, 0) << "the pipeline did not end in time";
  ASSERT_EQ(shell.status, 0) << shell.err;
  const std::string status = read_file_bytes(dir.file("status.txt"));
  const std::string err = read_file_bytes(dir.file("err.txt"));
  EXPECT_TRUE((status == "141\n" && err.empty()) ||
              (status == "1\n" && err == coded("\"-\": Broken pipe")))
      << "status " << status << err;
  const std::string head = read_file_bytes(dir.file("head.zvb"));
  ASSERT_EQ(head.size(), 10u);
  EXPECT_EQ(load_u32(reinterpret_cast<const unsigned char*>(head.data()), false), ZVB_MAGIC);
  EXPECT_EQ(head.substr(8), "ZV");
  Files after = directory_files(dir.path());
  for (const char* name : { "status.txt", "err.txt", "head.zvb" })
    after.erase(name);
  EXPECT_EQ(after, files);
}
