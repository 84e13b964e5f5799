// End-to-end tests of zvbdump on files made in code, of the installation and of the man pages.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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
#include "data/reader.h"
#include "e2e/e2e.h"
#include "gtest/gtest.h"
#include "support/run.h"
#include "support/temp_dir.h"
#include "support/terminal.h"
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
    { "/time=0.5..1", { "time = 0.5", "  x = 11", "  \"\"", "time = 1", "  x = 12", "  \"\"" } },
  };
  RunOptions piped;
  piped.stdin_path = path;
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path);
    const RunResult result = dump({ "-p", c.path, path });
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(rests(element_rows(result.out)), c.shown);
    // The file read element by element, and read whole from standard input, alike.
    EXPECT_EQ(result.out.substr(path.size()), dump({ "-p", c.path, "-" }, piped).out.substr(1));
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

TEST(Dump, CsvQuotesEscapesAndDisarmsNamesAndTexts) {
  ZvbBuilder b;
  b.file_header().array_f64("-1.5", { -1.5, -2e-300 });
  const std::string texts[] = {
    "=1+2", "-1.5", "@SUM(A1)", "a\"b,c", "x\r\ny", "\tz", "+", "-1e5"
  };
  Bytes text_bytes;
  for (const std::string& text : texts) {
    text_bytes.insert(text_bytes.end(), text.begin(), text.end());
    text_bytes.push_back(0);
  }
  b.element("=cmd", FLAG_ARRAY | TYPE_ASCII, text_bytes);
  b.array_s32("q\"x", { -7 }).array_u8("\x1b[2J", { 200 });
  // A trajectory named and valued as text, in the long table.
  b.element("@id", FLAG_GROUP | FLAG_SINGLE | TYPE_ASCII, { '-', 'x', ',', 0 });
  b.group_s32("a,b", -3).array_f64("t", { -0.5 }).end().end();
  TempDir dir;
  const std::string path = dir.file("text.zvb");
  write_file_bytes(path, b.bytes());
  struct QuoteCase {
    std::vector<std::string> args;
    std::string out;
  };
  const QuoteCase cases[] = {
    // Numbers stay plain, also negative ones; texts that a spreadsheet would run get a quote,
    // those that read as numbers do not; control bytes are escaped, never written raw.
    { { "-c", path },
      "-1.5,'=cmd,\"q\"\"x\",\\x1b[2J\n"
      "-1.5,'=1+2,-7,200\n"
      "-2e-300,-1.5,,\n"
      ",'@SUM(A1),,\n"
      ",\"a\"\"b,c\",,\n"
      ",x\\r\\ny,,\n"
      ",'\\tz,,\n"
      ",'+,,\n"
      ",-1e5,,\n" },
    { { "-c", "-p", "/q\"x", path }, "\"q\"\"x\"\n-7\n" },
    { { "-c", "-p", "/@id", path }, "'@id,\"a,b\",t\n\"'-x,\",-3,-0.5\n" },
  };
  for (const QuoteCase& c : cases) {
    SCOPED_TRACE(c.args[c.args.size() - 2]);
    const RunResult result = dump(c.args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, c.out);
  }
}

// Steps enclosed in run groups, as restarted simulations write them: zvbtrack copies the runs
// under each trajectory.
Bytes runs_input() {
  ZvbBuilder b;
  b.file_header().group_s32("run", 1);
  b.group_f64("time", 0).array_s32("ID", { 5, 7 }).array_f64("x", { 0.5, 0.25 }).end();
  b.group_f64("time", 1).array_s32("ID", { 7 }).array_f64("x", { -1.5 }).end();
  b.end().group_s32("run", 2);
  b.group_f64("time", 0).array_s32("ID", { 5 }).array_f64("x", { 1e300 }).end();
  return b.end().bytes();
}

// Trajectories of arrays of several types, one shorter than the others, and a single value
// that is no column.
Bytes typed_trajectories(bool reversed) {
  ZvbBuilder b(reversed);
  b.file_header().group_f64("ID", 3).array_f32("x", { 0.1f, 2 }).array_s32("n", { -1, 2 });
  b.single_s32("skip", 9).array_f64("time", { 0, 0.30000000000000004 }).end();
  b.group_f64("ID", -2.5).array_f32("x", { 1e-45f }).array_s32("n", {});
  return b.array_f64("time", { 7 }).end().bytes();
}

TEST(DumpCsv, LongTableOfTrajectories) {
  TempDir dir;
  write_file_bytes(dir.file("runs.zvb"), runs_input());
  const RunResult track =
      run_zvbtrack({ "-o", dir.file("traj.zvb"), dir.file("runs.zvb"), "time", "x" });
  ASSERT_EQ(track.status, 0) << track.err;
  write_file_bytes(dir.file("typed.zvb"), typed_trajectories(false));
  write_file_bytes(dir.file("reversed.zvb"), typed_trajectories(true));
  // A run group that also ends the top level: each trajectory's copy of it closes the
  // trajectory with its own end marker.
  ZvbBuilder flagged;
  flagged.file_header().element("run", FLAG_GROUP | FLAG_END_GROUP | FLAG_SINGLE | TYPE_S32,
                                flagged.s32({ 1 }));
  flagged.group_f64("time", 0).array_s32("ID", { 5, 7 }).array_f64("x", { 0.5, 0.25 }).end();
  flagged.group_f64("time", 1).array_s32("ID", { 7 }).array_f64("x", { -1.5 }).end().end();
  write_file_bytes(dir.file("flagged-steps.zvb"), flagged.bytes());
  ASSERT_EQ(run_zvbtrack({ "-o", dir.file("flagged.zvb"), dir.file("flagged-steps.zvb"), "time",
                           "x" }).status, 0);
  ZvbBuilder mixed;
  mixed.file_header().group_f64("ID", 1).array_f64("x", { 1 }).array_f64("time", { 0 }).end();
  mixed.group_f64("ID", 2).array_f64("y", { 2 }).array_f64("time", { 0 }).end();
  write_file_bytes(dir.file("mixed.zvb"), mixed.bytes());
  const std::string typed = "ID,time,x,n\n3,0,0.1,-1\n3,0.30000000000000004,2,2\n-2.5,7,1e-45,\n";
  struct LongCase {
    std::string file;  // "-": traj.zvb on standard input
    std::string path;  // empty: no -p
    std::string out;
    std::string err;  // empty: status 0
  };
  const LongCase cases[] = {
    { "traj.zvb", "", "ID,run,time,x\n5,1,0,0.5\n5,2,0,1e+300\n7,1,0,0.25\n7,1,1,-1.5\n", "" },
    { "-", "", "ID,run,time,x\n5,1,0,0.5\n5,2,0,1e+300\n7,1,0,0.25\n7,1,1,-1.5\n", "" },
    { "traj.zvb", "/ID=6..7", "ID,run,time,x\n7,1,0,0.25\n7,1,1,-1.5\n", "" },
    // One trajectory that holds copies is itself the table; a group of arrays, its columns.
    { "traj.zvb", "/ID=5", "ID,run,time,x\n5,1,0,0.5\n5,2,0,1e+300\n", "" },
    { "traj.zvb", "/ID=5/run=2", "x,time\n1e+300,0\n", "" },
    { "flagged.zvb", "", "ID,run,time,x\n5,1,0,0.5\n7,1,0,0.25\n7,1,1,-1.5\n", "" },
    { "typed.zvb", "", typed, "" },
    { "reversed.zvb", "", typed, "" },
    { "typed.zvb", "/ID=-3..0", "ID,time,x,n\n-2.5,7,1e-45,\n", "" },
    { "mixed.zvb", "", "ID,time,x\n1,0,1\n",
      "Error: Trajectory group at offset 168 in \"" + dir.file("mixed.zvb") +
          "\" has the columns ID,time,y, not ID,time,x as the first: select one kind with -p\n" },
  };
  for (const LongCase& c : cases) {
    SCOPED_TRACE(c.file + " " + c.path);
    std::vector<std::string> args = { "-c" };
    if (!c.path.empty())
      args.insert(args.end(), { "-p", c.path });
    RunOptions options;
    if (c.file == "-")
      options.stdin_path = dir.file("traj.zvb");
    args.push_back(c.file == "-" ? c.file : dir.file(c.file));
    const RunResult result = dump(args, options);
    EXPECT_EQ(result.status, c.err.empty() ? 0 : 1);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, c.out);
  }
}

// What the long table must show of a trajectory group read into a tree: a row of doubles per
// sample, the values of the copies on the way first.
void expected_rows(const DataNode* group, std::vector<double> keys,
                   std::vector<std::vector<double>>* rows) {
  std::vector<const DataNode*> arrays;
  for (const DataNode* child = group->first_child; child != nullptr; child = child->next) {
    if ((child->type & FLAG_ARRAY) != 0)
      arrays.push_back(child);
    if ((child->type & FLAG_GROUP) == 0)
      continue;
    std::int32_t value;
    std::memcpy(&value, child->data, sizeof value);  // zvbgen's copies are S32
    std::vector<double> inner = keys;
    inner.push_back(value);
    expected_rows(child, inner, rows);
  }
  if (arrays.empty())
    return;
  std::rotate(arrays.begin(), arrays.end() - 1, arrays.end());  // the loop variable first
  for (std::size_t k = 0; k < arrays[0]->size / sizeof(double); k++) {
    std::vector<double> row = keys;
    for (const DataNode* array : arrays) {
      double value;
      std::memcpy(&value, array->data + k * sizeof value, sizeof value);
      row.push_back(value);
    }
    rows->push_back(row);
  }
}

TEST(DumpCsv, LongTableReadsBackEveryValueExactly) {
  struct GenCase {
    std::vector<std::string> args;
    std::string header;
  };
  const GenCase cases[] = {
    { { "-T", "40", "-N", "50", "-c", "0.1", "-f" }, "ID,time,x,y,z" },
    { { "-r", "3", "-T", "8", "-N", "30", "-c", "0.2", "-S", "7" }, "ID,run,time,x,y,z" },
  };
  for (const GenCase& c : cases) {
    SCOPED_TRACE(c.header);
    TempDir dir;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), { "-o", dir.file("in.zvb") });
    run_zvbgen(args);
    const std::string path = dir.file("traj.zvb");
    ASSERT_EQ(run_zvbtrack({ "-o", path, dir.file("in.zvb"), "time", "x", "y", "z" }).status, 0);
    const RunResult result = dump({ "-c", path });
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> lines = split_lines(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], c.header);

    DataReader reader;
    open_input(path.c_str(), &reader);
    DataFile file{};
    read_file(&reader, &file, READ_REPORT | READ_LOAD_ALL);
    std::vector<std::vector<double>> rows;
    std::size_t trajectories = 0;
    for (const DataNode* group = file.root.first_child; group != nullptr; group = group->next) {
      if ((group->type & FLAG_GROUP) == 0)
        continue;
      trajectories++;
      double id;
      std::memcpy(&id, group->data, sizeof id);
      expected_rows(group, { id }, &rows);
    }
    close_input(&reader);
    free_tree(&file.root);
    EXPECT_GT(trajectories, 50u);
    ASSERT_EQ(lines.size(), rows.size() + 1);
    for (std::size_t i = 0; i < rows.size(); i++) {
      const std::vector<std::string> cells = split_cells(lines[i + 1]);
      ASSERT_EQ(cells.size(), rows[i].size()) << lines[i + 1];
      for (std::size_t k = 0; k < cells.size(); k++) {
        const double read_back = std::strtod(cells[k].c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(read_back), std::bit_cast<std::uint64_t>(rows[i][k]))
            << "row " << i + 1 << ": " << lines[i + 1];
      }
    }
  }
}

TEST(Tools, HelpAndVersionGoToStandardOutput) {
  const std::vector<std::string> dump_lines = {
    "\n -h ",      "\n -H ",         "\n -c ",    "\n -f ",        "\n -n count ",
    "\n -p path ", "--help (as -h)", "--version", "name=low..high"
  };
  const std::vector<std::string> gen_lines = {
    "\n -p preset ", "\n -T steps ",  "\n -N objects ", "\n -c churn ",     "\n -f ",
    "\n -n ",        "\n -r runs ",   "\n -S seed ",    "\n -o outfile ",   "\n -h ",
    "--help",        "\n --version ", "\n runs ",       "in 10 run groups",
  };
  struct HelpCase {
    const char* program;
    std::vector<std::string> args;
    std::vector<std::string> shown;  // parts of the help; none: the version line
    std::string version;
  };
  const HelpCase cases[] = {
    { ZVBDUMP_BIN, { "-h" }, dump_lines, "" },
    { ZVBDUMP_BIN, { "--help" }, dump_lines, "" },
    { ZVBDUMP_BIN, { "-c", "-H", "file" }, dump_lines, "" },
    { ZVBDUMP_BIN, { "--version" }, {}, "zvbdump 1.0\n" },
    { ZVBGEN_BIN, { "-h" }, gen_lines, "" },
    { ZVBGEN_BIN, { "-p", "demo", "--help" }, gen_lines, "" },
    { ZVBGEN_BIN, { "--version" }, {}, "zvbgen 1.0\n" },
  };
  for (const HelpCase& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.args[0]);
    const RunResult result = run_program(c.program, c.args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    if (c.shown.empty()) {
      EXPECT_EQ(result.out, c.version);
    }
    for (const std::string& part : c.shown)
      EXPECT_NE(result.out.find(part), std::string::npos) << part << " in\n" << result.out;
  }
  // Without a file, zvbdump gives its usage line on standard error, as zvbtrack does.
  const RunResult usage = dump({});
  EXPECT_EQ(usage.status, 0);
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.err, "usage: zvbdump [-hHcf] [-n count] [-p path] file\n");
}

TEST(Tools, ZvbgenRefusesATerminal) {
  Terminal terminal;
  if (!terminal.ready())
    GTEST_SKIP() << "no pseudo-terminal here";
  TempDir dir;
  RunOptions options;
  const std::string tty = terminal.path();
  options.in_child = [tty] {
    const int opened = open(tty.c_str(), O_RDWR | O_NOCTTY);
    if (opened < 0 || dup2(opened, 1) < 0)
      _exit(123);
    close(opened);
  };
  const RunResult refused = run_program(ZVBGEN_BIN, { "-T", "1", "-N", "1" }, options);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "zvbgen: Error: ZVB output can not be read from or written to a terminal\n");
  EXPECT_EQ(terminal.shown(), "");
  const std::string path = dir.file("g.zvb");
  const RunResult to_file = run_program(ZVBGEN_BIN, { "-T", "1", "-N", "1", "-o", path }, options);
  EXPECT_EQ(to_file.status, 0) << to_file.err;
  EXPECT_EQ(terminal.shown(), "");
  EXPECT_EQ(read_file_bytes(path).substr(8, 7), std::string("ZVBGEN\0", 7));
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

TEST(DumpCsv, ManyTrajectoriesNeedLittleMemory) {
#if defined(ZVB_ADDRESS_SANITIZER)
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space: no limit can apply";
#endif
  // 150,000 trajectories in 28 MB: their tree alone would not fit the limit below.
  TempDir dir;
  run_zvbgen({ "-T", "2", "-N", "100000", "-c", "0.5", "-o", dir.file("in.zvb") });
  const std::string path = dir.file("traj.zvb");
  ASSERT_EQ(run_zvbtrack({ "-o", path, dir.file("in.zvb"), "time", "x", "y", "z" }).status, 0);
  RunOptions limited;
  limited.in_child = [] {
    const rlimit limit = { 32u << 20, 32u << 20 };
    setrlimit(RLIMIT_AS, &limit);
  };
  const RunResult table = dump({ "-c", path }, limited);
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.err, "");
  EXPECT_EQ(table.out, dump({ "-c", path }).out);
  EXPECT_EQ(split_lines(table.out).size(), 200001u);  // the names, then two steps of 100,000
  // The tree view of a named file is read element by element too: it needs no more, and shows
  // what the tree read from standard input shows.
  const RunResult tree = dump({ "-n", "1", path }, limited);
  EXPECT_EQ(tree.status, 0) << tree.err;
  RunOptions piped;
  piped.stdin_path = path;
  const std::string whole = dump({ "-n", "1", "-" }, piped).out;
  EXPECT_TRUE(tree.out.substr(path.size()) == whole.substr(1));
  EXPECT_GT(tree.out.size(), 100000u * 6 * 60);  // six lines for each trajectory at least
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
    { { "-c", "-p", "/ID=4..17", good },
      "Error: No arrays of numbers or text at \"/ID=4..17\" in \"" + good + "\"\n" },
    { { "-c", "-p", "/ID=100..200", good },
      "Error: No element matches \"/ID=100..200\" in \"" + good + "\"\n" },
    { { "-p", "/ID=1..x", good },
      "Error: Invalid range \"/ID=1..x\": give name=low..high with two numbers, as the last step\n" },
    { { "-c", "-p", "/ID=1..20/n", good },
      "Error: Invalid range \"/ID=1..20/n\": give name=low..high with two numbers, as the last step\n" },
    { { "--csv", good }, "Error: Unknown option --csv (\"zvbdump -h\" lists the options)\n" },
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
  EXPECT_EQ(dump_help.out.rfind("zvbdump - ", 0), 0u) << dump_help.out;
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
    { "zvbtrack-mpi.1", "zvbtrack's transposition shared among MPI ranks" },
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
      while (i + 1 < format.size() && std::strchr("lzh", format[i]) != nullptr)
        i++;  // a length before the conversion: %zu, %llu
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
        ERR_TERMINAL, ERR_DEPTH, ERR_ARRAY_SIZE, ERR_APPEND_ORDER, ERR_OUTPUT_CHANGED,
        ERR_INPUT_CHANGED, ERR_OUTPUT_LOCKED, ERR_OUTPUT_GREW },
      { "Error: Not enough memory\n", "Error: \"%s\" should be directory only\n",
        "Error: Not all arrays terminate at length %d\n",
        "Error: ID array shorter than data arrays\n",
        "Error: Array \"%s\" would reach 4 GiB in the output\n", "Warning: unknown option -%s\n",
        "Reading inputfile: \"%s\"\n", "%s: Calculating...\n", "%s: Writing output\n",
        "Error: Not enough memory: the index of the trajectories (%zu met so far) would take %llu "
        "MiB, and the system lets this process have %llu MiB more\n",
        "Error: -i \"%s\": \"%s\" is not a number or a range a..b\n",
        "Error: -i \"%s\": the range \"%s\" ends below its start\n",
        "Error: -i \"%s\": an empty item\n", "Error: -i \"%s\": no identifier given\n",
        "Error: -w \"%s\": give LO..HI, either end may be left out\n",
        "Error: -w \"%s\": LO is above HI\n", "%s: %llu %s, %llu %s, %llu bytes of output\n",
        "%s: memory budget %llu bytes: filled at once\n",
        "%s: memory budget %llu bytes: filled in %llu windows of %llu bytes, through temporary "
        "files\n",
        "%s: no memory budget known: filled at once\n" } },
    { "zvbdump.1",
      "zvbdump",
      { ERR_FILE, ERR_MEMORY, ERR_EOF, ERR_MAGIC, ERR_VERSION, ERR_TERMINAL, ERR_DEPTH },
      { "Error: Unknown option -%c (\"zvbdump -h\" lists the options)\n",
        "Error: Option -%c needs an argument\n",
        "Error: Invalid count \"%s\" for -n: give a whole number, 0 for all\n",
        "Error: One file at a time: \"%s\" is one too many\n",
        "Error: Invalid path \"%s\": steps are name, name[k] or name=value, separated by /\n",
        "Error: No element matches \"%s\" in \"%s\"\n",
        "Error: No arrays of numbers or text at \"%s\" in \"%s\"\n",
        "Error: Unknown option %s (\"zvbdump -h\" lists the options)\n",
        "Error: Invalid range \"%s\": give name=low..high with two numbers, as the last step\n",
        "Error: Trajectory group at offset %s in \"%s\" has the columns %s, not %s as the first: "
        "select one kind with -p\n" } },
    // Its own lines; the rest are zvbtrack's, which its page refers to.
    { "zvbtrack-mpi.1",
      "zvbtrack-mpi",
      {},
      { "Error: %s cannot append (-a): write a new file with -o outfile\n",
        "Error: %s writes a named file (-o outfile), not standard output\n",
        "Error: %s reads a named file that every rank can open, not standard input\n",
        "Error: \"%s\" is not a regular file: every rank of %s reads the input itself\n",
        "Reading inputfile: \"%s\"\n", "%s: Calculating...\n", "%s: %d %s\n",
        "%s: %d %s, each holding its share of the output\n",
        "%s: Writing output\n" } },
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
