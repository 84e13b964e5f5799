// The file writer: the bytes written, the choice of output, and what a failure leaves behind.
#include "data/writer.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "base/report.h"
#include "support/temp_dir.h"
#include "support/tree_fixture.h"
#include "support/zvb_builder.h"

using testing::ElementsAre;
using testing::Eq;
using testing::ExitedWithCode;

namespace {

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The header this program writes, its time (bytes 4 to 7) left zero.
std::string program_header() {
  Bytes header(sizeof(FileHeader), 0);
  store_u32(header.data(), ZVB_MAGIC);                          // magic, in host order
  std::memcpy(header.data() + 8, "ZVBTRACK", 8);                // creator, zero-filled
  const unsigned char versions[] = { 1, 1, 1, 0, 0, 0, 0, 0 };  // format 1.1, creator 1.0
  std::memcpy(header.data() + 40, versions, sizeof versions);
  return text(header);
}

std::string without_time(std::string bytes) {
  return bytes.size() < 8 ? bytes : bytes.replace(4, 4, 4, '\0');
}

std::uint32_t creation_time_of(const std::string& bytes) {
  return load_u32(reinterpret_cast<const unsigned char*>(bytes.data()) + 4, false);
}

// Writes `file` to a new file at `path`, or appends it there.
void write_to(const std::string& path, DataFile* file, bool append = false) {
  DataWriter writer;
  open_output(append ? nullptr : path.c_str(), append ? path.c_str() : nullptr, &writer);
  write_file(&writer, file);
}

DataNode* add_value_group(DataNode* parent, const char* name, double value) {
  DataNode templ{};
  set_name(templ.name, name);
  templ.type = FLAG_SINGLE | TYPE_DOUBLE;
  templ.size = sizeof value;
  templ.data = reinterpret_cast<unsigned char*>(&value);
  return add_group(parent, &templ);
}

// An array too large for the stream to keep back until the end.
void add_large_array(DataNode* parent) {
  const std::vector<double> values(20000, 1.0);
  add_array(parent, "large", 20000, TYPE_DOUBLE, values.data());
}

void limit_file_size(rlim_t bytes) {
  const struct rlimit limit = { bytes, bytes };
  setrlimit(RLIMIT_FSIZE, &limit);
}

std::vector<std::string> entries_of(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  return names;
}

}  // namespace

TEST(Writer, OneTrajectoryGroupIsWrittenByteForByte) {
  BuiltFile output;
  const double samples[] = { 0.5, 1.5, 2.5 };
  add_array(add_value_group(output.root(), "ID", 17), "x", 3, TYPE_DOUBLE, samples);
  init_file_header(&output.file.header, "ZVBTRACK", 1, 0, "", 0, 0);
  TempDir dir;
  const std::string path = dir.file("out.zvb");
  const auto before = static_cast<std::uint32_t>(std::time(nullptr));
  write_to(path, &output.file);
  const auto after = static_cast<std::uint32_t>(std::time(nullptr));

  // The group's header and value, its array, its end marker: 152 bytes with the header.
  const std::string written = read_file_bytes(path);
  EXPECT_EQ(
      without_time(written),
      program_header() +
          text(ZvbBuilder().group_f64("ID", 17).array_f64("x", { 0.5, 1.5, 2.5 }).end().bytes()));
  ASSERT_EQ(written.size(), 152u);
  EXPECT_GE(creation_time_of(written), before);
  EXPECT_LE(creation_time_of(written), after);

  ReadTree tree(path);
  EXPECT_EQ(shape_of(tree.root()), "ID{x .}");
  const DataNode* group = tree.root()->first_child;
  EXPECT_EQ(group->type, 0x503u);
  EXPECT_EQ(group->child_count, 2);
  EXPECT_EQ(data_of(group), host_f64({ 17 }));
  EXPECT_EQ(group->first_child->type, 0x803u);
  EXPECT_EQ(data_of(group->first_child), host_f64({ 0.5, 1.5, 2.5 }));
  EXPECT_EQ(group->first_child->next->type, 0x610u);
}

TEST(Writer, EndMarkerInTheRootListStopsTheWriting) {
  BuiltFile output;
  const double one = 1;
  add_array(output.root(), "a", 1, TYPE_DOUBLE, &one);
  DataNode* marker = add_array(output.root(), "", 0, TYPE_NULL, nullptr);
  add_array(output.root(), "after", 1, TYPE_DOUBLE, &one);
  marker->type = END_MARKER_TYPE;
  TempDir dir;
  write_to(dir.file("out.zvb"), &output.file);
  EXPECT_EQ(read_file_bytes(dir.file("out.zvb")).substr(48),
            text(ZvbBuilder().array_f64("a", { 1 }).end().bytes()));
}

TEST(Writer, FileBackedArraysAreWrittenAsTheyAreInMemory) {
  TempDir dir;
  const Bytes input = ZvbBuilder()
                          .file_header()
                          .group_f64("g", 1)
                          .array_f64("x", { 1, 2, 3 })
                          .array_s32("s", { -1, 2 })
                          .element("u", FLAG_ARRAY | TYPE_U32, { 1, 2, 3 })
                          .end()
                          .bytes();
  write_file_bytes(dir.file("in.zvb"), input);
  ReadTree tree(dir.file("in.zvb"), READ_ON_FILE);
  const std::vector<DataNode*> arrays = children_of(tree.root()->first_child);
  // On file, an array is loaded for its writing and back on file afterwards.
  write_to(dir.file("same.zvb"), &tree.file());
  EXPECT_EQ(without_time(read_file_bytes(dir.file("same.zvb"))), without_time(text(input)));
  for (const DataNode* array : arrays) {
    EXPECT_EQ(array->data, nullptr);
    EXPECT_EQ(array->type, array->stored_type);
  }
  // Converted in memory, it is written converted; three bytes of u32 are no value at all.
  for (DataNode* array : { arrays[1], arrays[2] }) {
    load_data(array);
    ASSERT_EQ(convert_to_double(array), 0);
  }
  write_to(dir.file("converted.zvb"), &tree.file());
  EXPECT_EQ(read_file_bytes(dir.file("converted.zvb")).substr(48 + 32),
            text(ZvbBuilder()
                     .array_f64("x", { 1, 2, 3 })
                     .array_f64("s", { -1, 2 })
                     .element("u", FLAG_ARRAY | TYPE_DOUBLE, {})
                     .end()
                     .bytes()));
}

TEST(Writer, EmptyRootIsAStampedHeaderAloneOrNothingWhenAppended) {
  BuiltFile output;
  FileHeader& header = output.file.header;
  header.creation_time = 5;
  header.format_major = 9;
  header.format_minor = 9;
  std::memcpy(header.creator, "MINE", 5);  // the other fields stay as the caller set them
  header.reserved[1] = 7;
  TempDir dir;
  const std::string path = dir.file("out.zvb");
  const auto before = static_cast<std::uint32_t>(std::time(nullptr));
  write_to(path, &output.file);
  const auto after = static_cast<std::uint32_t>(std::time(nullptr));
  const std::string written = read_file_bytes(path);
  EXPECT_GE(creation_time_of(written), before);
  EXPECT_LE(creation_time_of(written), after);
  std::string expected(48, '\0');
  store_u32(reinterpret_cast<unsigned char*>(expected.data()), ZVB_MAGIC);
  expected.replace(8, 4, "MINE");
  expected[40] = expected[41] = 1;  // format 1.1
  expected[47] = 7;
  EXPECT_EQ(without_time(written), expected);

  write_to(path, &output.file, true);  // appending nothing leaves the file as it was
  EXPECT_EQ(read_file_bytes(path), written);
}

TEST(Writer, NameBeginningWithADashIsAPlainFile) {
  TempDir dir;
  EXPECT_EXIT(
      {
        if (chdir(dir.path().c_str()) != 0)
          std::exit(2);
        BuiltFile output;
        write_to("-x", &output.file);
        std::exit(0);
      },
      ExitedWithCode(0), Eq(""));
  EXPECT_EQ(read_file_bytes(dir.file("-x")).size(), 48u);
}

TEST(Writer, AppendKeepsTheFileAndAddsNoSecondHeader) {
  TempDir dir;
  const std::string path = dir.file("old.zvb");
  const Bytes existing = ZvbBuilder().file_header().group_f64("ID", 1).end().bytes();
  write_file_bytes(path, existing);
  BuiltFile output;
  add_value_group(output.root(), "ID", 2);
  write_to(path, &output.file, true);
  EXPECT_EQ(read_file_bytes(path),
            text(existing) + text(ZvbBuilder().group_f64("ID", 2).end().bytes()));
}

TEST(Writer, OutputOntoItsOwnInputReplacesItOnlyWhenComplete) {
  TempDir dir;
  const std::string path = dir.file("data.zvb");
  const Bytes input = ZvbBuilder()
                          .file_header()
                          .group_f64("g", 1)
                          .array_f64("x", std::vector<double>(1000, 4.0))
                          .bytes();
  write_file_bytes(path, input);
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  program_name = "zvbtrack";
  // A failure leaves the input as it was and no temporary file beside it.
  EXPECT_EXIT(
      {
        ReadTree tree(path, READ_ON_FILE);
        limit_file_size(100);
        DataWriter writer;
        open_output(path.c_str(), nullptr, &writer);
        add_large_array(tree.root());
        write_file(&writer, &tree.file());
      },
      ExitedWithCode(1), Eq(file_error(path, "File too large")));
  EXPECT_EQ(read_file_bytes(path), text(input));
  EXPECT_THAT(entries_of(dir.path()), ElementsAre("data.zvb"));
  // The arrays are still read whole from the input while the output is written.
  {
    ReadTree tree(path, READ_ON_FILE);
    DataWriter writer;
    open_output(path.c_str(), nullptr, &writer);
    write_file(&writer, &tree.file());
  }
  EXPECT_EQ(without_time(read_file_bytes(path)), without_time(text(input)));
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_THAT(entries_of(dir.path()), ElementsAre("data.zvb"));
}

TEST(Writer, FailedAppendCutsTheFileBackToItsLength) {
  TempDir dir;
  const std::string path = dir.file("old.zvb");
  const Bytes existing = ZvbBuilder().file_header().array_f64("x", { 1 }).bytes();
  write_file_bytes(path, existing);
  program_name = "zvbtrack";
  // The limit lets part of the new elements reach the file before the write fails.
  EXPECT_EXIT(
      {
        limit_file_size(existing.size() + 1000);
        BuiltFile output;
        add_large_array(output.root());
        write_to(path, &output.file, true);
      },
      ExitedWithCode(1), Eq(file_error(path, "File too large")));
  EXPECT_EQ(read_file_bytes(path), text(existing));
}

// A failure that follows bytes still in the stream's buffer (the header of an empty file, or
// elements after an existing file's end) leaves the file as it was: the buffer is dropped with
// the stream before the file is cut back or removed, so that nothing reaches the file after.
TEST(Writer, FailureAfterBufferedBytesLeavesTheFileAsItWas) {
  struct Row {
    const char* name;
    bool exists;
    bool append;
  };
  const Row rows[] = {
    { "empty file appended to", true, true },
    { "file appended to", true, false },
    { "new file", false, false },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string path = dir.file("out.zvb");
    const Bytes existing =
        row.append ? Bytes{} : ZvbBuilder().file_header().array_f64("x", { 1 }).bytes();
    if (row.exists)
      write_file_bytes(path, existing);
    program_name = "zvbtrack";
    EXPECT_EXIT(
        {
          DataWriter writer;
          const bool appending = row.exists;
          open_output(appending ? nullptr : path.c_str(), appending ? path.c_str() : nullptr,
                      &writer);
          FileHeader header{};
          write_file_header(&writer, &header);
          const unsigned char elements[100] = {};
          (void)write_output_bytes(&writer, elements, sizeof elements);
          error_exit("Not all arrays terminate at length %d\n", 3);
        },
        ExitedWithCode(1), Eq("Error: Not all arrays terminate at length 3\n"));
    if (row.exists) {
      EXPECT_EQ(read_file_bytes(path), text(existing));
      EXPECT_THAT(entries_of(dir.path()), ElementsAre("out.zvb"));
    } else {
      EXPECT_TRUE(entries_of(dir.path()).empty());
    }
  }
}

TEST(Writer, EveryOutputFailureHasItsExactMessage) {
  TempDir dir;
  program_name = "zvbtrack";
  DataWriter writer;
  EXPECT_EXIT(
      open_output("out.dat", "old.dat", &writer), ExitedWithCode(1),
      Eq(error_line(
          "Output cannot be written to \"out.dat\" and appended to \"old.dat\" at the same time")));
  const std::string unreachable = dir.file("missing/out.zvb");
  EXPECT_EXIT(open_output(unreachable.c_str(), nullptr, &writer), ExitedWithCode(1),
              Eq(file_error(unreachable, "No such file or directory")));
  const std::string absent = dir.file("absent.zvb");
  EXPECT_EXIT(open_output(nullptr, absent.c_str(), &writer), ExitedWithCode(1),
              Eq(file_error(absent, "No such file or directory")));
  EXPECT_FALSE(std::filesystem::exists(absent));
  // The last buffered part fails only when it is flushed; a device is appended to as it is.
  BuiltFile output;
  add_value_group(output.root(), "g", 1);
  for (const bool append : { false, true }) {
    EXPECT_EXIT(write_to("/dev/full", &output.file, append), ExitedWithCode(1),
                Eq(file_error("/dev/full", "No space left on device")));
  }
  EXPECT_EXIT(
      {
        write_to("/dev/null", &output.file, true);
        std::exit(0);
      },
      ExitedWithCode(0), Eq(""));
  EXPECT_EXIT(
      {
        dup2(open("/dev/full", O_WRONLY), 1);
        open_output(nullptr, nullptr, &writer);
        write_file(&writer, &output.file);
      },
      ExitedWithCode(1), Eq(file_error("-", "No space left on device")));
}

TEST(Writer, TerminalIsRefusedAsStandardOutput) {
  const int controller = posix_openpt(O_RDWR | O_NOCTTY);
  if (controller < 0 || grantpt(controller) != 0 || unlockpt(controller) != 0)
    GTEST_SKIP() << "no pseudo-terminal here";
  const int terminal = open(ptsname(controller), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  program_name = "zvbtrack";
  for (const char* name : { static_cast<const char*>(nullptr), "-" }) {
    SCOPED_TRACE(name != nullptr ? name : "no name");
    EXPECT_EXIT(
        {
          dup2(terminal, 1);
          DataWriter writer;
          open_output(name, nullptr, &writer);
        },
        ExitedWithCode(1),
        Eq(error_line("ZVB output can not be read from or written to a terminal")));
  }
  close(terminal);
  close(controller);
}

TEST(Writer, DeepTreeIsWrittenInConstantStack) {
  constexpr int DEPTH = 100000;
  BuiltFile output;
  DataNode* group = output.root();
  for (int i = 0; i < DEPTH; i++)
    group = add_value_group(group, "g", i);
  TempDir dir;
  write_to(dir.file("deep.zvb"), &output.file);
  ZvbBuilder expected;
  for (int i = 0; i < DEPTH; i++)
    expected.group_f64("g", i);
  for (int i = 0; i < DEPTH; i++)
    expected.end();
  EXPECT_TRUE(read_file_bytes(dir.file("deep.zvb")).substr(48) == text(expected.bytes()));
}
