// The selection's texts: what -i and -w accept, what they keep, and the line that refuses the
// rest.
#include "transpose/selection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/temp_dir.h"
#include "support/zvb_builder.h"

namespace {

using testing::ExitedWithCode;

const double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

TEST(Selection, IdentifiersKeptAreTheDoublesTheListNames) {
  struct Row {
    const char* list;
    double id;
    bool kept;
  };
  const Row rows[] = {
    { "7", 7.0, true },
    { "7", 7.5, false },
    { "7.0", 7.0, true },
    { "0", -0.0, true },
    { "-0", 0.0, true },
    { "nan", NAN_VALUE, true },
    { "NaN", -NAN_VALUE, true },
    { "1..3", NAN_VALUE, false },
    { "1..3", 1.0, true },
    { "1..3", 3.0, true },
    { "1..3", 2.5, true },
    { "1..3", 3.0000001, false },
    { "1..3", 0.999, false },
    { "..3", -INF, true },
    { "3..", INF, true },
    { "3..", 2.0, false },
    { "..", -1e300, true },
    { "1,5..6,9", 5.5, true },
    { "1,5..6,9", 7.0, false },
    { "1..4,2..3", 4.0, true },
    { "5..6,1..2", 1.5, true },
    { "1e3", 1000.0, true },
    { "inf", INF, true },
    { "-inf..-1", -2.0, true },
    { "4294967295", 4294967295.0, true },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.list) + " with " + std::to_string(row.id));
    EXPECT_EQ(selects_id(parse_id_selection(row.list), row.id), row.kept);
  }
}

TEST(Selection, IdentifiersFromAFileSeparatedByCommasBlanksAndLines) {
  TempDir dir;
  const std::string path = dir.file("ids");
  write_file_bytes(path, std::string("1, 2\n\n 4..5\t7,\r\n"));
  const IdSelection ids = parse_id_selection(("@" + path).c_str());
  for (double id : { 1.0, 2.0, 4.5, 7.0 })
    EXPECT_TRUE(selects_id(ids, id)) << id;
  for (double id : { 3.0, 6.0, 0.0 })
    EXPECT_FALSE(selects_id(ids, id)) << id;
}

TEST(Selection, WindowKeepsItsEndsAndOpenEndsKeepEverything) {
  struct Row {
    const char* window;
    double value;
    bool kept;
  };
  const Row rows[] = {
    { "1..2", 1.0, true },  { "1..2", 2.0, true },        { "1..2", 2.0000001, false },
    { "1..2", 0.5, false }, { "1..2", NAN_VALUE, false }, { "..2", -INF, true },
    { "1..", 1e300, true }, { "1..", NAN_VALUE, false },  { "..", NAN_VALUE, true },
    { "-0..0", 0.0, true }, { "2.5..2.5", 2.5, true },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.window) + " with " + std::to_string(row.value));
    EXPECT_EQ(selects_loop_value(parse_loop_window(row.window), row.value), row.kept);
  }
}

TEST(Selection, TextsThatCannotBeReadEndTheRunNamingTheOption) {
  struct Row {
    bool is_window;
    const char* text;
    const char* message;
  };
  const Row rows[] = {
    { false, "", "Error: -i \"\": no identifier given\n" },
    { false, "1,,2", "Error: -i \"1,,2\": an empty item\n" },
    { false, "1,", "Error: -i \"1,\": an empty item\n" },
    { false, "x", "Error: -i \"x\": \"x\" is not a number or a range a..b\n" },
    { false, " 1", "Error: -i \" 1\": \" 1\" is not a number or a range a..b\n" },
    { false, "0x10", "Error: -i \"0x10\": \"0x10\" is not a number or a range a..b\n" },
    { false, "1e999", "Error: -i \"1e999\": \"1e999\" is not a number or a range a..b\n" },
    { false, "nan..3", "Error: -i \"nan..3\": \"nan..3\" is not a number or a range a..b\n" },
    { false, "5..1", "Error: -i \"5..1\": the range \"5..1\" ends below its start\n" },
    { false, "@/no/such/file", "Error: -i \"@/no/such/file\": No such file or directory\n" },
    { true, "3", "Error: -w \"3\": give LO..HI, either end may be left out\n" },
    { true, "a..b", "Error: -w \"a..b\": give LO..HI, either end may be left out\n" },
    { true, "5..1", "Error: -w \"5..1\": LO is above HI\n" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    if (row.is_window)
      EXPECT_EXIT(parse_loop_window(row.text), ExitedWithCode(1), testing::Eq(row.message));
    else
      EXPECT_EXIT(parse_id_selection(row.text), ExitedWithCode(1), testing::Eq(row.message));
  }
}

}  // namespace
