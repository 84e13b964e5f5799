// End-to-end tests of zvbdump on files made in code, of the installation and of the man pages.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/report.h"
#include "gtest/gtest.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "support/zvb_builder.h"

namespace {

RunResult dump(const std::vector<std::string>& args, const RunOptions& options = {}) {
  return run_program(ZVBDUMP_BIN, args, options);
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);)
    lines.push_back(line);
  return lines;
}

// One element line of the tree, taken apart at its columns.
struct ElementRow {
  std::int64_t offset;
  std::string type;  // the type word as printed, "0x503"
  std::string kind;
  std::string value_type;
  std::uint64_t bytes;
  std::uint64_t count;
  std::string rest;  // indentation, name and values
};

// The element lines of a tree dump: every line after the header line and the heading.
std::vector<ElementRow> element_rows(const std::string& out) {
  static const std::regex row_pattern(
      R"(^ *(\d+)  (0x[0-9A-F]+) +(\S+) +(\S+) +(\d+) +(\d+)  (.*)$)");
  std::vector<ElementRow> rows;
  const std::vector<std::string> lines = split_lines(out);
  for (std::size_t i = 2; i < lines.size(); i++) {
    std::smatch match;
    EXPECT_TRUE(std::regex_match(lines[i], match, row_pattern)) << lines[i];
    if (match.empty())
      continue;
    rows.push_back({ std::stoll(match[1]), match[2], match[3], match[4], std::stoull(match[5]),
                     std::stoull(match[6]), match[7] });
  }
  return rows;
}

std::vector<std::string> rests(const std::vector<ElementRow>& rows) {
  std::vector<std::string> texts;
  for (const ElementRow& row : rows)
    texts.push_back(row.rest);
  return texts;
}

const char* host_endian() {
  return std::endian::native == std::endian::little ? "little-endian" : "big-endian";
}
const char* other_endian() {
  return std::endian::native == std::endian::little ? "big-endian" : "little-endian";
}

// The data of a case in the builder's byte order.
using CaseData = Bytes (*)(const ZvbBuilder& b);

struct ValueCase {
  const char* name;
  std::uint32_t type;
  CaseData data;
  const char* kind;
  const char* value_type;
  std::uint64_t count;
  const char* shown;  // the name and values as printed
};

// One element of every value type and shape.
const ValueCase value_cases[] = {
  { "s32", FLAG_SINGLE | TYPE_S32, [](const ZvbBuilder& b) { return b.s32({ -7 }); }, "single",
    "s32", 1, "s32 = -7" },
  { "f64", FLAG_ARRAY | TYPE_DOUBLE,
    [](const ZvbBuilder& b) {
      return b.f64({ 0.1, -2.5e-300, 1e300, -0.0 });
    },
    "array", "double", 4, "f64 = 0.1, -2.5e-300, 1e+300, -0" },
  { "f32", FLAG_ARRAY | TYPE_FLOAT,
    [](const ZvbBuilder& b) {
      return b.f32({ 0.1f, 3.0f, 16777216.0f });
    },
    "array", "float", 3, "f32 = 0.1, 3, 16777216" },
  { "u8", FLAG_ARRAY | TYPE_U8,
    [](const ZvbBuilder&) {
      return Bytes{ 0, 255 };
    },
    "array", "u8", 2, "u8 = 0, 255" },
  { "s8", FLAG_ARRAY | TYPE_S8,
    [](const ZvbBuilder&) {
      return Bytes{ 0x80, 0x7F };
    },
    "array", "s8", 2, "s8 = -128, 127" },
  { "u16", FLAG_ARRAY | TYPE_U16,
    [](const ZvbBuilder& b) {
      return b.u16({ 65535, 1 });
    },
    "array", "u16", 2, "u16 = 65535, 1" },
  { "s16", FLAG_ARRAY | TYPE_S16,
    [](const ZvbBuilder& b) {
      return b.u16({ 0x8000, 0x7FFF });
    },
    "array", "s16", 2, "s16 = -32768, 32767" },
  { "u32", FLAG_ARRAY | TYPE_U32,
    [](const ZvbBuilder& b) {
      return b.u32({ 4294967295u, 0 });
    },
    "array", "u32", 2, "u32 = 4294967295, 0" },
  { "text", FLAG_SINGLE | TYPE_ASCII,
    [](const ZvbBuilder&) { return Bytes{ 'h', 'i', ' ', '"', 'y', 'o', 'u', '"', '\n', 1, 0 }; },
    "single", "ascii", 1, R"(text = "hi \"you\"\n\x01")" },
  { "texts", FLAG_ARRAY | TYPE_ASCII,
    [](const ZvbBuilder&) {
      return Bytes{ 'a', 0, 'b', 'c', 0 };
    },
    "array", "ascii", 2, R"(texts = "a", "bc")" },
  { "none", FLAG_SINGLE | TYPE_NULL, [](const ZvbBuilder&) { return Bytes{}; }, "single", "null", 0,
    "none" },
  { "undef", FLAG_ARRAY | TYPE_UNDEF,
    [](const ZvbBuilder&) {
      return Bytes{ 0x01, 0xFF };
    },
    "array", "undef", 2, "undef = 0x01, 0xff" },
  { "code70", FLAG_ARRAY | 0x70, [](const ZvbBuilder&) { return Bytes{ 0xAB }; }, "array", "0x70",
    1, "code70 = 0xab" },
  { "short", FLAG_SINGLE | TYPE_DOUBLE,
    [](const ZvbBuilder&) {
      return Bytes{ 1, 2, 3 };
    },
    "single", "double", 0, "short = +3 bytes <01 02 03>" },
  // Two bytes that make no whole value, never reversed.
  { "tail", FLAG_ARRAY | TYPE_S32,
    [](const ZvbBuilder& b) {
      Bytes data = b.s32({ 1, 2 });
      data.insert(data.end(), { 9, 8 });
      return data;
    },
    "array", "s32", 2, "tail = 1, 2 +2 bytes <09 08>" },
  { "plain", TYPE_U16, [](const ZvbBuilder& b) { return b.u16({ 7 }); }, "plain", "u16", 1,
    "plain = 7" },
  { "group", FLAG_GROUP | FLAG_SINGLE | TYPE_S32, [](const ZvbBuilder& b) { return b.s32({ 5 }); },
    "group", "s32", 1, "group = 5" },
  // Closes the group: one level in.
  { "", END_MARKER_TYPE, [](const ZvbBuilder&) { return Bytes{}; }, "end", "null", 0, "  \"\"" },
};

// The file of all value cases in one byte order, with each element header's offset.
Bytes value_case_file(bool reversed, std::vector<std::int64_t>* offsets) {
  ZvbBuilder b(reversed);
  b.file_header();
  for (const ValueCase& c : value_cases) {
    offsets->push_back(static_cast<std::int64_t>(b.bytes().size()));
    b.element(c.name, c.type, c.data(b));
  }
  return b.bytes();
}

TEST(Dump, ShowsEveryValueTypeInBothByteOrders) {
  for (const bool reversed : { false, true }) {
    SCOPED_TRACE(reversed ? "reversed" : "host order");
    TempDir dir;
    const std::string path = dir.file("types.zvb");
    std::vector<std::int64_t> offsets;
    write_file_bytes(path, value_case_file(reversed, &offsets));
    const RunResult result = dump({ path });
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(split_lines(result.out)[0],
              path + ": ZVB format 1.1, " + (reversed ? "reversed" : "host") + " byte order (" +
                  (reversed ? other_endian() : host_endian()) +
                  "), creator \"TEST\" 2.3, destination \"\" 4.5, created 1970-07-15 16:57:40 UTC");
    const std::vector<ElementRow> rows = element_rows(result.out);
    ASSERT_EQ(rows.size(), std::size(value_cases));
    for (std::size_t i = 0; i < rows.size(); i++) {
      const ValueCase& c = value_cases[i];
      SCOPED_TRACE(c.name);
      char type[16];
      std::snprintf(type, sizeof type, "0x%X", c.type);
      EXPECT_EQ(rows[i].offset, offsets[i]);
      EXPECT_EQ(rows[i].type, type);
      EXPECT_EQ(rows[i].kind, c.kind);
      EXPECT_EQ(rows[i].value_type, c.value_type);
      EXPECT_EQ(rows[i].bytes, c.data(ZvbBuilder()).size());
      EXPECT_EQ(rows[i].count, c.count);
      EXPECT_EQ(rows[i].rest, c.shown);
    }
  }
}

TEST(Dump, HeaderFieldsShowOffsetsAndByteOrder) {
  for (const bool reversed : { false, true }) {
    SCOPED_TRACE(reversed ? "reversed" : "host order");
    TempDir dir;
    const std::string path = dir.file("h.zvb");
    write_file_bytes(path, ZvbBuilder(reversed).file_header(1, 7).bytes());
    const RunResult result = dump({ "-f", path });
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), 13u);  // heading, 11 fields, tree heading
    // Offset, size, name and the start of the value of each field.
    std::vector<std::string> fields;
    for (std::size_t i = 1; i <= 11; i++) {
      std::istringstream words(lines[i]);
      std::string offset, size, name, value;
      words >> offset >> size >> name >> value;
      fields.push_back(offset + " " + size + " " + name + " " + value);
    }
    const std::vector<std::string> expected_fields = {
      std::string("0 4 magic ") + (reversed ? "0x754C9F05:" : "0x059F4C75:"),
      "4 4 creation_time 16909060:",
      "8 16 creator \"TEST\"",
      "24 16 destination \"\"",
      "40 1 format_major 1",
      "41 1 format_minor 7",
      "42 1 creator_major 2",
      "43 1 creator_minor 3",
      "44 1 destination_major 4",
      "45 1 destination_minor 5",
      "46 2 reserved 00",
    };
    EXPECT_EQ(fields, expected_fields);
    const std::string order = reversed ? "reversed byte order (" + std::string(other_endian())
                                       : "host byte order (" + std::string(host_endian());
    EXPECT_NE(lines[1].find(order), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("16909060: 1970-07-15 16:57:40 UTC"), std::string::npos) << lines[2];
  }
}

TEST(Dump, NestedGroupsAndOddNamesAreIndentedAndEscaped) {
  ZvbBuilder b;
  b.file_header();
  b.group_s32("outer", 5).group("inner").array_f64("x", { 1.5 }).end().end();
  b.single_s32("abcdefghijklmnop", 1);  // 16 bytes: no NUL
  b.element(std::string_view("t\x01\xFF\\ 2", 6), FLAG_SINGLE | TYPE_S32, b.s32({ 2 }));
  b.element(std::string_view("ab\0zz", 5), FLAG_SINGLE | TYPE_S32, b.s32({ 3 }));
  TempDir dir;
  const std::string path = dir.file("nested.zvb");
  write_file_bytes(path, b.bytes());
  const RunResult result = dump({ path });
  ASSERT_EQ(result.status, 0) << result.err;
  const std::vector<std::string> expected = {
    "outer = 5",
    "  inner",
    "    x = 1.5",
    "    \"\"",
    "  \"\"",
    "abcdefghijklmnop = 1",
    R"(t\x01\xff\\ 2 = 2)",
    "ab = 3",
  };
  EXPECT_EQ(rests(element_rows(result.out)), expected);
}

TEST(Dump, ValueLimitShowsTheFirstValuesOfArraysOnly) {
  ZvbBuilder b;
  b.file_header().array_s32("a", { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 });
  b.element("one", FLAG_SINGLE | TYPE_S32, b.s32({ 1, 2, 3 }));  // a single shows all it holds
  Bytes tail = b.s32({ 1, 2 });
  tail.insert(tail.end(), { 9, 8 });
  b.element("tail", FLAG_ARRAY | TYPE_S32, tail);
  TempDir dir;
  const std::string path = dir.file("limit.zvb");
  write_file_bytes(path, b.bytes());
  struct LimitCase {
    std::vector<std::string> options;
    std::vector<std::string> shown;
  };
  const LimitCase cases[] = {
    { {}, { "a = 0, 1, 2, 3, 4, 5, 6, 7, ...", "one = 1, 2, 3", "tail = 1, 2 +2 bytes <09 08>" } },
    { { "-n", "2" }, { "a = 0, 1, ...", "one = 1, 2, 3", "tail = 1, 2 +2 bytes <09 08>" } },
    { { "-n1" }, { "a = 0, ...", "one = 1, 2, 3", "tail = 1, ..." } },
    { { "-n10" },
      { "a = 0, 1, 2, 3, 4, 5, 6, 7, 8, 9", "one = 1, 2, 3", "tail = 1, 2 +2 bytes <09 08>" } },
    { { "-n", "0" },
      { "a = 0, 1, 2, 3, 4, 5, 6, 7, 8, 9", "one = 1, 2, 3", "tail = 1, 2 +2 bytes <09 08>" } },
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.shown[0]);
    std::vector<std::string> args = c.options;
    args.push_back(path);
    const RunResult result = dump(args);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(rests(element_rows(result.out)), c.shown);
  }
}

// Steps of three kinds: names, numbered names and valued groups.
Bytes selection_file(std::vector<std::int64_t>* offsets) {
  ZvbBuilder b;
  b.file_header();
  for (int step = 0; step < 3; step++) {
    offsets->push_back(static_cast<std::int64_t>(b.bytes().size()));
    b.group_f64("time", 0.5 * step).array_f64("x", { 10.0 + step }).end();
  }
  b.group_s32("ID", 17).single_s32("n", 1).end();
  b.group_f64("ID", 17).single_s32("n", 2).end();
  b.group_f64("ID", 4).end();
  b.element("label", FLAG_GROUP | FLAG_SINGLE | TYPE_ASCII, { 'a', '=', 'b', 0 });
  b.end();
  b.group("na/me").end();
  return b.bytes();
}

TEST(Dump, PathSelectsASubtree) {
  std::vector<std::int64_t> time_offsets;
  TempDir dir;
  const std::string path = dir.file("select.zvb");
  write_file_bytes(path, selection_file(&time_offsets));
  struct PathCase {
    const char* path;
    std::vector<std::string> shown;
  };
  const PathCase cases[] = {
    { "/time[1]", { "time = 0.5", "  x = 11", "  \"\"" } },
    { "/time[2]/x", { "x = 12" } },
    { "time/", { "time = 0", "  x = 10", "  \"\"" } },
    { "/time=1/x", { "x = 12" } },
    { "/ID=17", { "ID = 17", "  n = 1", "  \"\"" } },
    { "/ID=17[1]/n", { "n = 2" } },
    { "/ID=4.0", { "ID = 4", "  \"\"" } },
    { "/label=a\\=b", { "label = \"a=b\"", "  \"\"" } },
    { "/na\\/me", { "na/me", "  \"\"" } },
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path);
    const RunResult result = dump({ "-p", c.path, path });
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(rests(element_rows(result.out)), c.shown);
  }
  // Offsets stay those of the whole file.
  const std::vector<ElementRow> rows = element_rows(dump({ "-p", "/time[2]", path }).out);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0].offset, time_offsets[2]);
  // "/" is the whole file, as without -p.
  EXPECT_EQ(dump({ "-p", "/", path }).out, dump({ path }).out);
}

// Doubles with every kind of bit pattern but NaN: each must come back bit for bit.
std::vector<double> hard_doubles() {
  std::vector<double> values = { 0.1,
                                 1.0 / 3,
                                 -0.0,
                                 5e-324,
                                 2.2250738585072014e-308,
                                 1.7976931348623157e308,
                                 3.141592653589793,
                                 1e23,
                                 0.30000000000000004 };
  std::mt19937_64 random(42);
  while (values.size() < 200) {
    const double value = std::bit_cast<double>(random());
    if (value == value)
      values.push_back(value);
  }
  return values;
}

std::vector<std::string> split_cells(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  std::istringstream stream(line);
  while (std::getline(stream, cell, ','))
    cells.push_back(cell);
  if (!line.empty() && line.back() == ',')
    cells.push_back("");
  return cells;
}

TEST(Dump, CsvColumnsReadBackExactly) {
  const std::vector<double> xs = hard_doubles();
  for (const bool reversed : { false, true }) {
    SCOPED_TRACE(reversed ? "reversed" : "host order");
    ZvbBuilder b(reversed);
    b.file_header().group_f64("ID", 17);
    b.array_f64("x", xs).array_s32("n", { -1, 2 }).single_s32("skip", 9);
    b.element("w", FLAG_ARRAY | TYPE_FLOAT, b.f32({ 0.1f }));
    b.group("nested").array_f64("x", { 1 }).end();
    b.end();
    TempDir dir;
    const std::string path = dir.file("traj.zvb");
    write_file_bytes(path, b.bytes());
    const RunResult result = dump({ "-c", "-p", "/ID=17", path });
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), xs.size() + 1);
    EXPECT_EQ(lines[0], "x,n,w");
    for (std::size_t i = 0; i < xs.size(); i++) {
      const std::vector<std::string> cells = split_cells(lines[i + 1]);
      ASSERT_EQ(cells.size(), 3u) << lines[i + 1];
      const double x = std::strtod(cells[0].c_str(), nullptr);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(x), std::bit_cast<std::uint64_t>(xs[i])) << cells[0];
      EXPECT_EQ(cells[1], i == 0 ? "-1" : i == 1 ? "2" : "");  // shorter: empty cells
      EXPECT_EQ(std::strtof(cells[2].c_str(), nullptr), i == 0 ? 0.1f : 0.0f);
      EXPECT_EQ(cells[2].empty(), i != 0);
    }
  }
}

TEST(Dump, CsvQuotesTextAndTakesASelectedArray) {
  ZvbBuilder b;
  b.file_header().element("a,b", FLAG_ARRAY | TYPE_ASCII,
                          { 'x', 0, 'y', '"', 'z', 0, 'p', ',', 0 });
  b.array_u8("u", { 200 });
  TempDir dir;
  const std::string path = dir.file("text.zvb");
  write_file_bytes(path, b.bytes());
  EXPECT_EQ(dump({ "-c", path }).out, "\"a,b\",u\nx,200\n\"y\"\"z\",\n\"p,\",\n");
  EXPECT_EQ(dump({ "-c", "-p", "/u", path }).out, "u\n200\n");
}

// A sparse file of 48 arrays of 2 MiB each, 96 MiB in all: far more than the memory limit
// below, so the dump passes only if each array leaves memory before the next one comes.
constexpr int LARGE_ARRAYS = 48;
constexpr std::uint32_t LARGE_ARRAY_BYTES = 2u << 20;

void write_large_file(const std::string& path) {
  const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(descriptor, 0);
  Bytes header = ZvbBuilder().file_header().bytes();
  off_t offset = 0;
  ASSERT_EQ(pwrite(descriptor, header.data(), header.size(), offset), ssize_t(header.size()));
  offset += static_cast<off_t>(header.size());
  for (int i = 0; i < LARGE_ARRAYS; i++) {
    ZvbBuilder element;
    // The first values tell the arrays apart; the rest of each is a hole that reads as zeros.
    Bytes first = element.f64({ i + 0.5, i + 1.5 });
    element.element_sized("a" + std::to_string(i), FLAG_ARRAY | TYPE_DOUBLE, LARGE_ARRAY_BYTES,
                          first);
    const Bytes& bytes = element.bytes();
    ASSERT_EQ(pwrite(descriptor, bytes.data(), bytes.size(), offset), ssize_t(bytes.size()));
    offset += static_cast<off_t>(sizeof(ElementHeader) + LARGE_ARRAY_BYTES);
  }
  ASSERT_EQ(ftruncate(descriptor, offset), 0);
  ASSERT_EQ(close(descriptor), 0);
}

std::vector<std::string> large_file_rows() {
  std::vector<std::string> rows;
  for (int i = 0; i < LARGE_ARRAYS; i++) {
    rows.push_back("a" + std::to_string(i) + " = " + std::to_string(i) + ".5, " +
                   std::to_string(i + 1) + ".5, 0, ...");
  }
  return rows;
}

TEST(Dump, LargeFileShowsEveryArray) {
  TempDir dir;
  const std::string path = dir.file("large.zvb");
  write_large_file(path);
  const RunResult result = dump({ "-n", "3", path });
  ASSERT_EQ(result.status, 0) << result.err;
  const std::vector<ElementRow> rows = element_rows(result.out);
  EXPECT_EQ(rests(rows), large_file_rows());
  ASSERT_EQ(rows.size(), std::size_t{ LARGE_ARRAYS });
  EXPECT_EQ(rows.back().offset,
            48 + (LARGE_ARRAYS - 1) * std::int64_t{ sizeof(ElementHeader) + LARGE_ARRAY_BYTES });
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZVB_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZVB_ADDRESS_SANITIZER 1
#endif

TEST(Dump, LargeFileNeedsLittleMemory) {
#if defined(ZVB_ADDRESS_SANITIZER)
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space: no limit can apply";
#endif
  TempDir dir;
  const std::string path = dir.file("large.zvb");
  write_large_file(path);
  RunOptions options;
  options.in_child = [] {
    const rlimit limit = { 32u << 20, 32u << 20 };  // a third of the file
    setrlimit(RLIMIT_AS, &limit);
  };
  const RunResult result = dump({ "-n", "3", path }, options);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(rests(element_rows(result.out)), large_file_rows());
}

TEST(Dump, ReadsStandardInput) {
  std::vector<std::int64_t> offsets;
  TempDir dir;
  const std::string path = dir.file("types.zvb");
  write_file_bytes(path, value_case_file(false, &offsets));
  RunOptions options;
  options.stdin_path = path;
  const RunResult piped = dump({ "-" }, options);
  ASSERT_EQ(piped.status, 0) << piped.err;
  const std::string named = dump({ path }).out;
  // Only the name in the header line differs.
  EXPECT_EQ(piped.out.substr(0, 3), "-: ");
  EXPECT_EQ(piped.out.substr(3), named.substr(path.size() + 2));
}

TEST(Dump, HelpGoesToStandardError) {
  const std::string usage = "usage: zvbdump [-hHcf] [-n count] [-p path] file\n";
  for (const std::vector<std::string>& args :
       { std::vector<std::string>{ "-h" }, std::vector<std::string>{} }) {
    const RunResult result = dump(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, usage);
  }
  const RunResult long_help = dump({ "-H" });
  EXPECT_EQ(long_help.status, 0);
  EXPECT_EQ(long_help.out, "");
  EXPECT_EQ(long_help.err.rfind("zvbdump - ", 0), 0u) << long_help.err;
  EXPECT_NE(long_help.err.find("\n -p path     Select an element: /time[3]/x, /ID=17\n"),
            std::string::npos)
      << long_help.err;
}

TEST(Dump, ErrorsEndWithOneLineAndStatusOne) {
  TempDir dir;
  const std::string good = dir.file("good.zvb");
  std::vector<std::int64_t> offsets;
  write_file_bytes(good, selection_file(&offsets));
  const std::string text = dir.file("text.txt");
  write_file_bytes(text, std::string(100, 'x'));
  const std::string old = dir.file("old.zvb");
  write_file_bytes(old, ZvbBuilder().file_header(2).bytes());
  const std::string cut = dir.file("cut.zvb");
  Bytes cut_bytes = ZvbBuilder().file_header().array_f64("x", { 1, 2 }).bytes();
  cut_bytes.resize(cut_bytes.size() - 1);
  write_file_bytes(cut, cut_bytes);
  const std::string missing = dir.file("missing.zvb");
  struct ErrorCase {
    std::vector<std::string> args;
    std::string message;
  };
  const ErrorCase cases[] = {
    { { missing }, "zvbdump: Error: \"" + missing + "\": No such file or directory\n" },
    { { text }, "zvbdump: Error: \"" + text + "\": Not a ZV-File\n" },
    { { old }, "zvbdump: Error: \"" + old + "\": Invalid ZVB-version\n" },
    { { cut }, "zvbdump: Error: \"" + cut + "\": Unexpected end of file\n" },
    { { "-p", "/time[5]", good }, "Error: No element matches \"/time[5]\" in \"" + good + "\"\n" },
    { { "-p", "/time/y/z", good }, "Error: No element matches \"/time/y\" in \"" + good + "\"\n" },
    { { "-p", "/ID=18", good }, "Error: No element matches \"/ID=18\" in \"" + good + "\"\n" },
    { { "-p", "/time[x]", good },
      "Error: Invalid path \"/time[x]\": steps are name, name[k] or name=value, separated by /\n" },
    { { "-p", "/time[1", good },
      "Error: Invalid path \"/time[1\": steps are name, name[k] or name=value, separated by /\n" },
    { { "-c", "-p", "/ID", good },
      "Error: No arrays of numbers or text at \"/ID\" in \"" + good + "\"\n" },
    { { "-x", good }, "Error: Unknown option -x (\"zvbdump -h\" lists the options)\n" },
    { { "-cz", good }, "Error: Unknown option -z (\"zvbdump -h\" lists the options)\n" },
    { { good, "-p" }, "Error: One file at a time: \"-p\" is one too many\n" },
    { { "-p" }, "Error: Option -p needs an argument\n" },
    { { "-n", "-1", good },
      "Error: Invalid count \"-1\" for -n: give a whole number, 0 for all\n" },
    { { "-n", "3x", good },
      "Error: Invalid count \"3x\" for -n: give a whole number, 0 for all\n" },
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.message);
    const RunResult result = dump(c.args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.message);
  }
}

TEST(Dump, WriteFailureIsAnError) {
  TempDir dir;
  const std::string path = dir.file("w.zvb");
  std::vector<std::int64_t> offsets;
  write_file_bytes(path, value_case_file(false, &offsets));
  RunOptions options;
  options.stdout_path = "/dev/full";
  const RunResult result = dump({ path }, options);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "zvbdump: Error: \"-\": No space left on device\n");
}

std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream directories(path != nullptr ? path : "");
  for (std::string directory; std::getline(directories, directory, ':');) {
    const std::string candidate = directory + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return "";
}

TEST(Install, PutsProgramsAndManPagesUnderThePrefix) {
  TempDir prefix;
  const RunResult install =
      run_program(ZVB_CMAKE, { "--install", ZVB_BUILD_DIR, "--prefix", prefix.path() });
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  for (const char* file :
       { "bin/zvbtrack", "bin/zvbdump", "share/man/man1/zvbtrack.1", "share/man/man1/zvbdump.1" }) {
    EXPECT_TRUE(std::filesystem::is_regular_file(prefix.file(file))) << file;
  }
  const RunResult dump_help = run_program(prefix.file("bin/zvbdump"), { "-h" });
  EXPECT_EQ(dump_help.status, 0);
  EXPECT_EQ(dump_help.err, "usage: zvbdump [-hHcf] [-n count] [-p path] file\n");
  const RunResult track_help = run_program(prefix.file("bin/zvbtrack"), { "-h" });
  EXPECT_EQ(track_help.status, 0);
  EXPECT_EQ(track_help.err.rfind("usage: zvbtrack ", 0), 0u) << track_help.err;
}

TEST(ManPages, RenderWithoutWarnings) {
  const std::string groff = find_program("groff");
  if (groff.empty())
    GTEST_SKIP() << "groff is not installed";
  struct Page {
    const char* file;
    const char* summary;  // from its NAME section, in plain text
  };
  const Page pages[] = {
    { "zvbtrack.1", "turn a ZVB file of time steps into one trajectory per object" },
    { "zvbdump.1", "show a ZVB file as a tree, or its arrays as CSV" },
  };
  for (const Page& page : pages) {
    SCOPED_TRACE(page.file);
    const RunResult result = run_program(
        groff, { "-man", "-Tutf8", "-ww", std::string(ZVB_SOURCE_DIR) + "/man/" + page.file });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find(page.summary), std::string::npos);
  }
}

// A printf format as a pattern: each conversion stands for any text.
std::string format_pattern(const std::string& format) {
  std::string pattern;
  for (std::size_t i = 0; i < format.size(); i++) {
    if (format[i] == '%' && i + 1 < format.size()) {
      pattern += ".+";
      i++;
    } else {
      if (std::strchr(R"(\^$.|?*+()[]{})", format[i]) != nullptr)
        pattern += '\\';
      pattern += format[i];
    }
  }
  return pattern;
}

TEST(ManPages, ListEveryMessage) {
  const std::string groff = find_program("groff");
  if (groff.empty())
    GTEST_SKIP() << "groff is not installed";
  struct PageMessages {
    const char* page;
    const char* program;
    std::vector<std::uint32_t> codes;  // rows of error_table the program can raise
    std::vector<std::string> formats;  // its other lines
  };
  const PageMessages pages[] = {
    { "zvbtrack.1",
      "zvbtrack",
      // Rows 5, 6 and 8 have no raiser.
      { ERR_FILE, ERR_MEMORY, ERR_EOF, ERR_MAGIC, ERR_VERSION, ERR_TYPE_MEMORY, ERR_OUTPUT_CONFLICT,
        ERR_TERMINAL, ERR_DEPTH, ERR_ARRAY_SIZE },
      { "Error: Not enough memory\n", "Error: \"%s\" should be directory only\n",
        "Error: Not all arrays terminate at length %d\n",
        "Error: ID array shorter than data arrays\n",
        "Error: Array \"%s\" would reach 4 GiB in the output\n", "Warning: unknown option -%s\n",
        "Reading inputfile: \"%s\"\n", "%s: Calculating...\n", "%s: Writing output\n" } },
    { "zvbdump.1",
      "zvbdump",
      { ERR_FILE, ERR_MEMORY, ERR_EOF, ERR_MAGIC, ERR_VERSION, ERR_TERMINAL, ERR_DEPTH },
      { "Error: Unknown option -%c (\"zvbdump -h\" lists the options)\n",
        "Error: Option -%c needs an argument\n",
        "Error: Invalid count \"%s\" for -n: give a whole number, 0 for all\n",
        "Error: One file at a time: \"%s\" is one too many\n",
        "Error: Invalid path \"%s\": steps are name, name[k] or name=value, separated by /\n",
        "Error: No element matches \"%s\" in \"%s\"\n",
        "Error: No arrays of numbers or text at \"%s\" in \"%s\"\n" } },
  };
  for (const PageMessages& page : pages) {
    SCOPED_TRACE(page.page);
    // Plain ASCII on lines long enough that no message is broken.
    const RunResult rendered =
        run_program(groff, { "-man", "-Tascii", "-rLL=300n", "-P-cbou",
                             std::string(ZVB_SOURCE_DIR) + "/man/" + page.page });
    ASSERT_EQ(rendered.status, 0) << rendered.err;
    std::vector<std::string> formats = page.formats;
    for (std::string& format : formats)
      format.pop_back();  // the line end
    for (std::uint32_t code : page.codes)
      formats.push_back(std::string(page.program) + ": Error: " + error_table[code].format);
    const std::vector<std::string> lines = split_lines(rendered.out);
    for (const std::string& format : formats) {
      SCOPED_TRACE(format);
      const std::regex message(" +" + format_pattern(format));
      bool found = false;
      for (const std::string& line : lines)
        found = found || std::regex_match(line, message);
      EXPECT_TRUE(found);
    }
  }
}

}  // namespace
