// The file reader: nesting, byte order, what large files leave on file, and every failure.
#include "data/reader.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/report.h"
#include "support/temp_dir.h"
#include "support/tree_fixture.h"
#include "support/zvb_builder.h"

using testing::Eq;
using testing::ExitedWithCode;

namespace {

constexpr std::int64_t SIXTEEN_MIB = 16 << 20;

Bytes concat(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// Every field that reading sets, node by node.
void expect_same_tree(const DataNode* expected, const DataNode* actual) {
  SCOPED_TRACE(name_of(expected));
  EXPECT_EQ(std::memcmp(actual->name, expected->name, NAME_SIZE), 0);
  EXPECT_EQ(actual->type, expected->type);
  EXPECT_EQ(actual->size, expected->size);
  EXPECT_EQ(actual->stored_type, expected->stored_type);
  EXPECT_EQ(actual->stored_size, expected->stored_size);
  EXPECT_EQ(actual->child_count, expected->child_count);
  EXPECT_EQ(data_of(actual), data_of(expected));
  EXPECT_EQ(actual->source, nullptr);
  const std::vector<DataNode*> expected_children = children_of(expected);
  const std::vector<DataNode*> actual_children = children_of(actual);
  ASSERT_EQ(actual_children.size(), expected_children.size());
  for (std::size_t i = 0; i < actual_children.size(); i++)
    expect_same_tree(expected_children[i], actual_children[i]);
}

// A file of `length` bytes in host order: a group holding arrays of 4096 and 4097 bytes, an
// empty array and a single value; then an array of zeros filling the file up to its end.
void write_large_file(const std::string& path, std::int64_t length) {
  ZvbBuilder builder;
  builder.file_header()
      .group_f64("step", 1.0)
      .element("a4096", FLAG_ARRAY | TYPE_U8, pattern(4096, 3))
      .element("a4097", FLAG_ARRAY | TYPE_U8, pattern(4097, 5))
      .array_f64("empty", {})
      .single_f64("single", 2.0)
      .end();
  const std::int64_t fill_offset = static_cast<std::int64_t>(builder.bytes().size()) + 24;
  const auto fill_size = static_cast<std::uint32_t>(length - fill_offset);
  builder.element_sized("fill", FLAG_ARRAY | TYPE_U8, fill_size, {});
  write_sparse_file(path, builder.bytes(), length);
}

// Where write_large_file puts the data of a4096, a4097 and fill.
constexpr std::int64_t A4096_OFFSET = 48 + 24 + 8 + 24;
constexpr std::int64_t A4097_OFFSET = A4096_OFFSET + 4096 + 24;
constexpr std::int64_t FILL_OFFSET = A4097_OFFSET + 4097 + 24 + 32 + 24 + 24;

}  // namespace

// The same content in either byte order.
static Bytes mixed_content(bool reversed) {
  ZvbBuilder builder(reversed);
  return builder.file_header(1, 1, 0x01020304)
      .group_f64("step", 2.5)
      .text("label", "abc")
      .array_u8("u8", { 1, 2, 255 })
      .element("s32+2", FLAG_ARRAY | TYPE_S32, concat(builder.s32({ -2, 70000 }), { 0xAA, 0xBB }))
      .element("u16", FLAG_ARRAY | TYPE_U16, builder.u16({ 0x1234, 0xFFFE }))
      .array_f32("f32", { 1.5f, -0.25f })
      .group_s32("inner", -7)
      .array_f64("f64", { 3.0, -1e300 })
      .end()
      .element("raw70", FLAG_ARRAY | 0x70, { 1, 2, 3, 4 })
      .end()
      .bytes();
}

TEST(Reader, ReversedFileReadsIntoTheSameTree) {
  TempDir dir;
  write_file_bytes(dir.file("host"), mixed_content(false));
  write_file_bytes(dir.file("reversed"), mixed_content(true));
  ASSERT_NE(read_file_bytes(dir.file("host")), read_file_bytes(dir.file("reversed")));
  ReadTree host(dir.file("host"), READ_REPORT | READ_LOAD_ALL);
  // Data read later could not be turned, so a reversed file loads everything at once.
  ReadTree reversed(dir.file("reversed"), READ_ON_FILE);
  EXPECT_EQ(reversed.file().header.creation_time, 0x01020304u);
  expect_same_tree(host.root(), reversed.root());

  // Text, 1-byte values, trailing bytes and unassigned types are left as they are.
  const std::vector<DataNode*> step = children_of(reversed.root()->first_child);
  ASSERT_EQ(step.size(), 8u);
  EXPECT_EQ(data_of(step[0]), Bytes({ 'a', 'b', 'c', 0 }));
  EXPECT_EQ(data_of(step[1]), Bytes({ 1, 2, 255 }));
  EXPECT_EQ(data_of(step[2]), concat(ZvbBuilder().s32({ -2, 70000 }), { 0xAA, 0xBB }));
  EXPECT_EQ(data_of(step[5]->first_child), host_f64({ 3.0, -1e300 }));
  EXPECT_EQ(data_of(step[6]), Bytes({ 1, 2, 3, 4 }));
}

TEST(Reader, LevelsCloseAtTheirMarkerOrAtTheEndOfTheFile) {
  struct Row {
    const char* what;
    Bytes bytes;
    std::string shape;
  };
  const Bytes complete = ZvbBuilder().file_header().group("ID").single_s32("x", 1).end().bytes();
  const Bytes open =
      ZvbBuilder().file_header().group("outer").group("inner").single_s32("v", 1).bytes();
  const std::uint32_t both = FLAG_GROUP | FLAG_END_GROUP | TYPE_NULL;
  const Row rows[] = {
    { "header alone", ZvbBuilder().file_header().bytes(), "" },
    { "appended elements", concat(complete, ZvbBuilder().group("ID").end().bytes()),
      "ID{x .} ID{.}" },
    { "top-level marker", concat(complete, ZvbBuilder().end().group("ignored").bytes()),
      "ID{x .} ." },
    { "end of file", open, "outer{inner{v}}" },
    { "1 stray byte", concat(open, Bytes(1, 0x55)), "outer{inner{v}}" },
    { "23 stray bytes", concat(open, Bytes(23, 0x55)), "outer{inner{v}}" },
    // A group that is also a marker closes the level it stands in after its own children.
    { "group and marker",
      ZvbBuilder()
          .file_header()
          .group("outer")
          .element("both", both, {})
          .single_s32("c", 1)
          .end()
          .single_s32("top", 2)
          .element("last", both, {})
          .end()
          .group("ignored")
          .bytes(),
      "outer{both{c .}} top last{.}" },
  };
  TempDir dir;
  const std::string path = dir.file("levels.zvb");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    write_file_bytes(path, row.bytes);
    ReadTree tree(path);
    EXPECT_EQ(shape_of(tree.root()), row.shape);
    EXPECT_EQ(tree.root()->child_count, static_cast<int>(children_of(tree.root()).size()));
    EXPECT_EQ(tree.root()->type, ROOT_TYPE);
    EXPECT_EQ(tree.root()->stored_type, ROOT_TYPE);
  }
}

TEST(Reader, ElementsAreCarriedAsStored) {
  TempDir dir;
  const std::string path = dir.file("odd.zvb");
  write_file_bytes(path, ZvbBuilder()
                             .file_header()
                             .element("short", FLAG_SINGLE | TYPE_DOUBLE, { 1, 2, 3 })
                             .element("high", 0xABC00000u | FLAG_ARRAY | 0x70, { 9, 8, 7 })
                             .array_f64("none", {})
                             .element("g", FLAG_GROUP | FLAG_ARRAY | TYPE_U16, { 1, 2 })
                             .element("", FLAG_END_GROUP | TYPE_U8, { 4, 4 })
                             .bytes());
  // Arrays stay on file here; what is not an array, and any group, is read at once.
  ReadTree tree(path, READ_ON_FILE);
  const std::vector<DataNode*> top = children_of(tree.root());
  ASSERT_EQ(shape_of(tree.root()), "short high none g{.}");
  EXPECT_EQ(data_of(top[0]), Bytes({ 1, 2, 3 }));
  EXPECT_EQ(top[1]->stored_type, 0xABC00870u);
  EXPECT_EQ(top[1]->data_offset, 48 + 24 + 3 + 24);
  load_data(top[1]);
  EXPECT_EQ(data_of(top[1]), Bytes({ 9, 8, 7 }));
  EXPECT_EQ(top[2]->data, nullptr);
  EXPECT_EQ(data_of(top[3]), Bytes({ 1, 2 }));
  EXPECT_EQ(data_of(top[3]->first_child), Bytes({ 4, 4 }));  // a marker's data are read too
}

TEST(Reader, ArraysOfFilesOf16MiBStayOnFile) {
  TempDir dir;
  const std::string path = dir.file("large.zvb");
  for (const std::int64_t length : { SIXTEEN_MIB - 1, SIXTEEN_MIB }) {
    SCOPED_TRACE(length);
    write_large_file(path, length);
    ReadTree tree(path);
    DataNode* step = tree.root()->first_child;
    const std::vector<DataNode*> arrays = { step->first_child, step->first_child->next,
                                            step->next };
    const std::int64_t offsets[] = { A4096_OFFSET, A4097_OFFSET, FILL_OFFSET };
    const bool on_file = length == SIXTEEN_MIB;
    for (std::size_t i = 0; i < arrays.size(); i++) {
      SCOPED_TRACE(name_of(arrays[i]));
      EXPECT_EQ(arrays[i]->data == nullptr, on_file);
      EXPECT_EQ(arrays[i]->source, on_file ? tree.reader() : nullptr);
      EXPECT_EQ(arrays[i]->data_offset, on_file ? offsets[i] : 0);
      EXPECT_EQ(arrays[i]->size, arrays[i]->stored_size);
    }
    // An empty array has nothing on file; groups and single values are read at once.
    const DataNode* empty = arrays[1]->next;
    EXPECT_EQ(empty->source, nullptr);
    EXPECT_EQ(empty->data_offset, 0);
    EXPECT_EQ(data_of(step), host_f64({ 1.0 }));
    EXPECT_EQ(data_of(empty->next), host_f64({ 2.0 }));
    load_data(arrays[1]);
    load_data(arrays[0]);
    EXPECT_EQ(data_of(arrays[0]), pattern(4096, 3));
    EXPECT_EQ(data_of(arrays[1]), pattern(4097, 5));
  }
}

TEST(Reader, LargeFileCutInsideAnArrayIsRefusedWhileRead) {
  // Up to 4096 bytes an array is passed over by reading, which finds the end; a longer one by
  // a move, which the length of the file bounds: either way the cut ends the reading.
  TempDir dir;
  const std::string path = dir.file("cut.zvb");
  const std::string end_of_file = file_error(path, "Unexpected end of file");
  program_name = "zvbtrack";
  for (const std::uint32_t size : { 4096u, 4097u }) {
    SCOPED_TRACE(size);
    const std::uint32_t present = size - 1;
    const auto fill_size = static_cast<std::uint32_t>(SIXTEEN_MIB - 96 - present);
    write_sparse_file(
        path,
        ZvbBuilder()
            .file_header()
            .element_sized("fill", FLAG_ARRAY | TYPE_U8, fill_size, {})
            .bytes(),
        SIXTEEN_MIB,
        ZvbBuilder().element_sized("cut", FLAG_ARRAY | TYPE_U8, size, pattern(present, 7)).bytes());
    EXPECT_EXIT({ ReadTree tree(path); }, ExitedWithCode(1), Eq(end_of_file));
  }
}

TEST(Reader, ModeChoosesWhatIsLoadedAtOnce) {
  struct Row {
    const char* what;
    const char* file;
    int mode;
    bool on_file;
  };
  const Row rows[] = {
    { "small file", "small", READ_REPORT, false },
    { "without the probe", "small", READ_ON_FILE, true },
    { "without the probe, load all", "small", READ_ON_FILE | READ_LOAD_ALL, false },
    { "reversed, without the probe", "reversed", READ_ON_FILE, false },
    { "large file", "large", READ_REPORT, true },
    { "large file, mode 0", "large", 0, true },
    { "large file, load all", "large", READ_REPORT | READ_LOAD_ALL, false },
  };
  TempDir dir;
  write_file_bytes(dir.file("small"),
                   ZvbBuilder(false).file_header().group("g").array_f64("x", { 1 }).bytes());
  write_file_bytes(dir.file("reversed"),
                   ZvbBuilder(true).file_header().group("g").array_f64("x", { 1 }).bytes());
  write_large_file(dir.file("large"), SIXTEEN_MIB);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ReadTree tree(dir.file(row.file), row.mode);
    ASSERT_EQ(tree.result(), 0);
    const DataNode* array = tree.root()->first_child->first_child;
    EXPECT_EQ(array->data == nullptr, row.on_file);
    EXPECT_EQ(array->source == tree.reader(), row.on_file);
  }
  // Standard input is read whole, even when it is a large regular file.
  EXPECT_EXIT(
      {
        dup2(open(dir.file("large").c_str(), O_RDONLY), 0);
        ReadTree tree("-", READ_REPORT);
        const DataNode* array = tree.root()->first_child->first_child;
        std::fprintf(stderr, "%s %s\n", tree.reader()->file_name,
                     array->data != nullptr ? "loaded" : "on file");
        std::exit(0);
      },
      ExitedWithCode(0), Eq("- loaded\n"));
}

TEST(Reader, ModeWithoutReportReturnsOneForAShortHeaderOrABadMagic) {
  const Bytes header = ZvbBuilder().file_header().bytes();
  Bytes bad_magic = header;
  bad_magic[0] ^= 0xFF;
  TempDir dir;
  const std::string path = dir.file("bad.zvb");
  for (const Bytes& bytes : { Bytes(), Bytes(header.begin(), header.begin() + 10),
                              Bytes(header.begin(), header.begin() + 47), bad_magic }) {
    SCOPED_TRACE(bytes.size());
    write_file_bytes(path, bytes);
    BuiltFile file;
    add_array(file.root(), "kept", 0, TYPE_DOUBLE, nullptr);
    DataReader reader;
    open_input(path.c_str(), &reader);
    EXPECT_EQ(read_file(&reader, &file.file, 0), 1);
    close_input(&reader);
    EXPECT_EQ(shape_of(file.root()), "kept");
  }
}

TEST(Reader, FormatMajorOtherThanOneIsRefusedInEveryMode) {
  TempDir dir;
  const std::string path = dir.file("version.zvb");
  program_name = "zvbtrack";
  for (const std::uint8_t major : { 0, 2 }) {
    write_file_bytes(path, ZvbBuilder().file_header(major).bytes());
    for (const int mode : { 0, 1, 2, 4, 7 }) {
      SCOPED_TRACE(testing::Message() << "major " << int{ major } << ", mode " << mode);
      EXPECT_EXIT({ ReadTree tree(path, mode); }, ExitedWithCode(1),
                  Eq(file_error(path, "Invalid ZVB-version")));
    }
  }
}

TEST(Reader, EveryFailureHasItsExactMessage) {
  Bytes bad_magic = ZvbBuilder().file_header().bytes();
  bad_magic[3] = 0;
  const std::pair<Bytes, const char*> rows[] = {
    { Bytes(10, 0), "Unexpected end of file" },
    { bad_magic, "Not a ZV-File" },
    { ZvbBuilder()
          .file_header()
          .element_sized("v", FLAG_SINGLE | TYPE_DOUBLE, 8, { 1, 2, 3 })
          .bytes(),
      "Unexpected end of file" },
    { ZvbBuilder()
          .file_header()
          .group("g")
          .element_sized("a", FLAG_ARRAY | TYPE_U8, 4096, pattern(4095, 1))
          .bytes(),
      "Unexpected end of file" },
  };
  TempDir dir;
  const std::string path = dir.file("in.zvb");
  program_name = "zvbtrack";
  for (const auto& [bytes, message] : rows) {
    SCOPED_TRACE(testing::Message() << bytes.size() << " bytes");
    write_file_bytes(path, bytes);
    EXPECT_EXIT({ ReadTree tree(path); }, ExitedWithCode(1), Eq(file_error(path, message)));
  }
  const std::string missing = dir.file("missing.zvb");
  EXPECT_EXIT({ ReadTree tree(missing); }, ExitedWithCode(1),
              Eq(file_error(missing, "No such file or directory")));
  // A directory opens, but the stream reports an error on the first read.
  EXPECT_EXIT({ ReadTree tree(dir.path()); }, ExitedWithCode(1),
              Eq(file_error(dir.path(), "Is a directory")));
}

TEST(Reader, CutAtEveryLengthReadsCleanlyOrReportsTheEnd) {
  ZvbBuilder builder;
  builder.file_header();
  std::vector<std::size_t> ends;  // where each element's data end
  builder.group_f64("g", 1);
  ends.push_back(builder.bytes().size());
  builder.array_f64("x", { 1, 2 });
  ends.push_back(builder.bytes().size());
  builder.end();
  ends.push_back(builder.bytes().size());
  builder.text("t", "ab");
  ends.push_back(builder.bytes().size());
  const Bytes whole = builder.bytes();

  TempDir dir;
  const std::string path = dir.file("cut.zvb");
  program_name = "zvbtrack";
  for (std::size_t length = 0; length <= whole.size(); length++) {
    SCOPED_TRACE(length);
    write_file_bytes(path, Bytes(whole.begin(), whole.begin() + length));
    int complete = 0;                // elements that end within the cut file
    bool cut_in_data = length < 48;  // the header counts as data here
    for (std::size_t i = 0, start = 48; i < ends.size(); start = ends[i++]) {
      complete += ends[i] <= length ? 1 : 0;
      cut_in_data = cut_in_data || (start + 24 <= length && length < ends[i]);
    }
    if (cut_in_data) {
      EXPECT_EXIT({ ReadTree tree(path); }, ExitedWithCode(1),
                  Eq(file_error(path, "Unexpected end of file")));
      continue;
    }
    ReadTree tree(path);
    const std::string shapes[] = { "", "g{}", "g{x}", "g{x .}", "g{x .} t" };
    EXPECT_EQ(shape_of(tree.root()), shapes[complete]);
  }
}

// `count` groups, each inside the one before.
static Bytes nested_groups(int count, const char* name = "g") {
  ZvbBuilder builder;
  for (int i = 0; i < count; i++)
    builder.group(name);
  return builder.bytes();
}

TEST(Reader, ThousandNestedGroupsAreRead) {
  // Two chains: closed levels give their depth back.
  ZvbBuilder closing;
  for (int i = 0; i < 1000; i++)
    closing.end();
  TempDir dir;
  const std::string path = dir.file("deep.zvb");
  write_file_bytes(path,
                   concat(concat(concat(ZvbBuilder().file_header().bytes(), nested_groups(1000)),
                                 closing.bytes()),
                          nested_groups(1000, "h")));
  ReadTree tree(path);
  ASSERT_EQ(tree.root()->child_count, 2);
  for (const DataNode* chain : children_of(tree.root())) {
    int depth = 1;
    for (; chain->first_child != nullptr && (chain->first_child->type & FLAG_GROUP) != 0;
         chain = chain->first_child)
      depth++;
    EXPECT_EQ(depth, 1000);
  }
}

TEST(Reader, GroupNestedDeeperThanAThousandIsRefused) {
  // The 1001st group's own data are read before its depth is judged, its children after.
  const std::pair<Bytes, const char*> rows[] = {
    { ZvbBuilder().group("g").end().bytes(), "Groups nested too deeply" },
    { ZvbBuilder().element_sized("g", FLAG_GROUP | TYPE_U8, 9, { 1 }).bytes(),
      "Unexpected end of file" },
    { ZvbBuilder().group("g").element_sized("c", FLAG_SINGLE | TYPE_U8, 9, {}).bytes(),
      "Groups nested too deeply" },
  };
  TempDir dir;
  const std::string path = dir.file("too_deep.zvb");
  program_name = "zvbtrack";
  for (const auto& [group_1001, message] : rows) {
    SCOPED_TRACE(message);
    write_file_bytes(
        path, concat(concat(ZvbBuilder().file_header().bytes(), nested_groups(1000)), group_1001));
    EXPECT_EXIT({ ReadTree tree(path); }, ExitedWithCode(1), Eq(file_error(path, message)));
  }
}

TEST(Reader, HostileSizeIsTheEndOfTheFileBeforeAnyMemoryIsTaken) {
  const Bytes bytes = ZvbBuilder()
                          .file_header()
                          .element_sized("huge", FLAG_ARRAY | TYPE_U8, 0xFFFFFFFFu, pattern(100, 1))
                          .bytes();
  TempDir dir;
  const std::string path = dir.file("huge.zvb");
  write_file_bytes(path, bytes);
  program_name = "zvbtrack";
  EXPECT_EXIT(
      {
        limit_address_space();
        ReadTree tree(path);
      },
      ExitedWithCode(1), Eq(file_error(path, "Unexpected end of file")));
  // Through a pipe the length is unknown: memory grows only with the bytes that arrive.
  EXPECT_EXIT(
      {
        int ends[2];
        if (pipe(ends) != 0 ||
            write(ends[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
          std::abort();
        close(ends[1]);
        dup2(ends[0], 0);
        limit_address_space();
        ReadTree tree("-");
      },
      ExitedWithCode(1), Eq(file_error("-", "Unexpected end of file")));
}
