// End-to-end transposition: input files made in code, the trajectory file compared byte by
// byte, in both byte orders of the input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "support/temp_dir.h"

namespace {

using Doubles = std::vector<double>;
using Words = std::vector<std::string>;

// One loop step as most rows have it: a group named time valued by its time, holding x and
// an ID array of doubles.
ZvbBuilder& time_step(ZvbBuilder& b, double time, const Doubles& x, const Doubles& ids) {
  return b.group_f64("time", time).array_f64("x", x).array_f64("ID", ids).end();
}

// A trajectory group as zvbtrack writes it, holding x and time.
ZvbBuilder& trajectory(ZvbBuilder& b, double id, const Doubles& x, const Doubles& times) {
  return b.group_f64("ID", id).array_f64("x", x).array_f64("time", times).end();
}

struct Row {
  const char* name;
  Bytes (*input)(bool reversed);  // file content in either byte order
  Words args;                     // "IN" stands for the input file
  Bytes expected;
};

// Step 0 has an ID array, step 1 has none.
Bytes partly_identified(bool reversed) {
  ZvbBuilder b(reversed);
  b.file_header();
  time_step(b, 0, { 1 }, { 7 });
  b.group_f64("time", 1).array_f64("x", { 2 }).end();
  return b.bytes();
}

std::vector<Row> rows() {
  std::vector<Row> table;
  table.push_back({ "TimeGroupsBecomeOneGroupPerId",
                    example_input,
                    { "IN", "time", "x", "y" },
                    example_output() });
  {
    ZvbBuilder e = expected_output();
    e.group_f64("ID", 7).array_f64("x", { 1, 1, 6, 6 }).array_f64("time", { 0, 1 }).end();
    e.group_f64("ID", 8).array_f64("x", { 2, 2, 5, 5 }).array_f64("time", { 0, 1 }).end();
    table.push_back({ "NameGivenTwiceFillsOneArrayTwice",
                      example_input,
                      { "IN", "time", "x", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 1, { 10, 12 }, { 0, 2 });
    trajectory(e, 2, { 20 }, { 0 });
    trajectory(e, 3, { 30, 31 }, { 0, 1 });
    trajectory(e, 4, { 40, 41 }, { 1, 2 });
    trajectory(e, 0.5, { 50 }, { 2 });
    table.push_back({ "ObjectsComeAndGoInFirstMetOrder",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        time_step(b, 0, { 10, 20, 30 }, { 1, 2, 3 });
                        time_step(b, 1, { 31, 40 }, { 3, 4, 99 });  // 99 has no sample
                        time_step(b, 2, { 41, 12, 50 }, { 4, 1, 0.5 });
                        return b.bytes();
                      },
                      { "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 5, { 1, 3, 4 }, { 0, 0, 1 });
    trajectory(e, 6, { 2 }, { 0 });
    table.push_back({ "DuplicateIdsInOneStepBothAppend",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        time_step(b, 0, { 1, 2, 3 }, { 5, 6, 5 });
                        time_step(b, 1, { 4 }, { 5 });
                        return b.bytes();
                      },
                      { "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 3, { 1, 3, 4, 5 }, { 0, 1, 2, 3 });
    trajectory(e, -1, { 2, 6 }, { 0, 3 });
    table.push_back({ "IdsOfEveryTypeMeetAsDoubles",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        b.group_f64("time", 0).array_f64("x", { 1, 2 });
                        b.array_s32("ID", { 3, -1 }).end();
                        b.group_f64("time", 1).array_f64("x", { 3 }).array_u8("ID", { 3 }).end();
                        b.group_f64("time", 2).array_f64("x", { 4 }).array_f32("ID", { 3 }).end();
                        time_step(b, 3, { 5, 6 }, { 3, -1 });
                        return b.bytes();
                      },
                      { "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 0, { 10, 30 }, { 0, 1 });
    trajectory(e, 1, { 20 }, { 0 });
    table.push_back({ "WithoutIdArrayTheIndexIsTheId",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        b.group_f64("time", 0).array_f64("x", { 10, 20 }).end();
                        b.group_f64("time", 1).array_f64("x", { 30 }).end();
                        return b.bytes();
                      },
                      { "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 7, { 1 }, { 0 });
    trajectory(e, 0, { 2 }, { 1 });
    table.push_back(
        { "GroupWithoutIdArrayUsesIndices", partly_identified, { "IN", "time", "x" }, e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 7, { 1 }, { 0 });
    table.push_back({ "SNamingIdSkipsGroupsWithoutIt",
                      partly_identified,
                      { "-s", "ID", "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    e.group_f64("obj", 9).array_f64("x", { 1 }).array_f64("time", { 0 }).end();
    table.push_back({ "SNamesTheIdArrayAndTheGroups",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        b.group_f64("time", 0).array_f64("obj", { 9 });
                        b.array_f64("x", { 1 }).array_f64("ID", { 4 }).end();
                        time_step(b, 1, { 2 }, { 4 });  // no obj
                        b.group_f64("time", 2).single_f64("obj", 9).array_f64("x", { 3 }).end();
                        b.group_f64("time", 3).text("obj", "9").array_f64("x", { 4 }).end();
                        return b.bytes();
                      },
                      { "-s", "obj", "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 1, { 1, 2 }, { 10, -20 });
    table.push_back({ "LoopVariableAsSingleValueInside",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        for (int step = 0; step < 2; step++) {
                          b.group("step").single_s32("time", step == 0 ? 10 : -20);
                          b.array_f64("x", { step + 1.0 }).array_f64("ID", { 1 }).end();
                        }
                        return b.bytes();
                      },
                      { "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 1, { 1, 2 }, { 1.5, 1.5 });
    table.push_back({ "LoopVariableInAnEnclosingGroup",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        b.group_f64("time", 1.5);
                        b.group("part").array_f64("x", { 1 }).array_f64("ID", { 1 }).end();
                        b.group("part").array_f64("x", { 2 }).array_f64("ID", { 1 }).end();
                        b.end();
                        return b.bytes();
                      },
                      { "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    e.group_f64("ID", 1);
    e.group_s32("run", 1).array_f64("x", { 1, 3 }).array_f64("time", { 0, 1 }).end();
    e.group_s32("run", 2).array_f64("x", { 2 }).array_f64("time", { 0 }).end();
    e.end();
    table.push_back({ "EnclosingS32GroupsAreCopiedOncePerValue",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        const std::int32_t runs[] = { 1, 2, 1 };
                        for (int i = 0; i < 3; i++) {
                          b.group_s32("run", runs[i]);
                          time_step(b, i / 2, { i + 1.0 }, { 1 }).end();
                        }
                        return b.bytes();
                      },
                      { "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 1, { 1, 2, 3 }, { 0, 0, 1 });
    table.push_back({ "EnclosingFloatGroupsArePassedOver",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        const float runs[] = { 1, 2, 1 };
                        for (int i = 0; i < 3; i++) {
                          b.group_f32("run", runs[i]);
                          time_step(b, i / 2, { i + 1.0 }, { 1 }).end();
                        }
                        return b.bytes();
                      },
                      { "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 4, { 1 }, { 2 });
    trajectory(e, 5, { 2 }, { 2 });
    table.push_back({ "RootIsTransposedWhenItsScopeHoldsEverything",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header().single_f64("time", 2);
                        b.array_f64("x", { 1, 2 }).array_f64("ID", { 4, 5 });
                        return b.bytes();
                      },
                      { "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    trajectory(e, 2, { 5 }, { 3 });
    table.push_back({ "IncompleteGroupsAreSkippedQuietly",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        time_step(b, 0, {}, {});  // empty arrays
                        b.group("other").array_f64("x", { 1 }).array_f64("ID", { 1 }).end();
                        b.group_f64("time", 1).text("x", "1").array_f64("ID", { 1 }).end();
                        b.group_f64("time", 2).single_f64("x", 1).array_f64("ID", { 1 }).end();
                        time_step(b, 3, { 5 }, { 2 });
                        return b.bytes();
                      },
                      { "IN", "time", "x" },
                      e.bytes() });
  }
  {
    ZvbBuilder e = expected_output();
    e.group_f64("ID", 1).array_f64("abcdefghijklmnop", { 8 }).array_f64("time", { 0 }).end();
    table.push_back({ "SixteenCharacterNameMatchesAField",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header().group_f64("time", 0);
                        b.array_f64("abcdefghijklmnop", { 8 }).array_f64("ID", { 1 }).end();
                        return b.bytes();
                      },
                      { "IN", "time", "abcdefghijklmnop" },
                      e.bytes() });
  }
  {
    // An end-of-group element that carries doubles is found under the empty name; its values
    // go into the data of the trajectory group's own end-of-group marker.
    ZvbBuilder e = expected_output();
    e.group_f64("ID", 5).array_f64("x", { 1, 2 }).array_f64("time", { 0, 1 });
    e.element("", END_MARKER_TYPE, e.f64({ 42, 43 }));
    table.push_back({ "EmptyNameGrowsTheEndMarker",
                      [](bool reversed) {
                        ZvbBuilder b(reversed);
                        b.file_header();
                        for (int step = 0; step < 2; step++) {
                          b.group_f64("time", step).array_f64("x", { step + 1.0 });
                          b.array_f64("ID", { 5 });
                          b.element("", FLAG_END_GROUP | FLAG_ARRAY | TYPE_DOUBLE,
                                    b.f64({ 42.0 + step }));
                        }
                        return b.bytes();
                      },
                      { "IN", "time", "x", "" },
                      e.bytes() });
  }
  table.push_back({ "LongerNameMatchesNothing",
                    [](bool reversed) {
                      ZvbBuilder b(reversed);
                      b.file_header().group_f64("time", 0);
                      b.array_f64("abcdefghijklmnop", { 8 }).array_f64("ID", { 1 }).end();
                      return b.bytes();
                    },
                    { "IN", "time", "abcdefghijklmnopq" },
                    output_header() });
  return table;
}

// The warning of a run whose output holds no trajectory, for operands IN loop_var arrays...
std::string no_trajectory(const Words& args) {
  std::size_t first = 0;
  while (args[first] != "IN")
    first++;
  std::string arrays;
  for (std::size_t i = first + 2; i < args.size(); i++)
    arrays += (i == first + 2 ? "\"" : ", \"") + args[i] + "\"";
  return "zvbtrack: Warning: The output holds no trajectory: no group has the loop variable \"" +
         args[first + 1] + "\" and the arrays " + arrays + " in its scope\n";
}

Words with_input(const Words& args, const std::string& input) {
  Words words = args;
  for (std::string& word : words) {
    if (word == "IN")
      word = input;
  }
  return words;
}

}  // namespace

TEST(E2eTranspose, WritesTheTrajectoriesOfEachInputInBothByteOrders) {
  for (const Row& row : rows()) {
    for (const bool reversed : { false, true }) {
      SCOPED_TRACE(std::string(row.name) + (reversed ? " (reversed input)" : ""));
      TempDir dir;
      const std::string input = dir.file("in.zvb");
      const Bytes content = row.input(reversed);
      write_file_bytes(input, content);
      const RunResult result = run_zvbtrack(with_input(row.args, input));
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.err,
                row.expected.size() == sizeof(FileHeader) ? no_trajectory(row.args) : "");
      EXPECT_TRUE(SameOutput(result.out, row.expected));
      EXPECT_EQ(file_bytes(input), std::string(content.begin(), content.end()));
    }
  }
}

TEST(E2eTranspose, InconsistentLengthsEndTheRunWithNothingWritten) {
  struct ErrorRow {
    const char* name;
    void (*arrays)(ZvbBuilder& b);  // the arrays of the second step
    const char* message;
  };
  const ErrorRow error_rows[] = {
    { "Lengths553",
      [](ZvbBuilder& b) {
        b.array_f64("x", { 1, 2, 3, 4, 5 }).array_f64("y", { 1, 2, 3, 4, 5 });
        b.array_f64("z", { 1, 2, 3 }).array_f64("ID", { 1, 2, 3, 4, 5 });
      },
      "Error: Not all arrays terminate at length 3\n" },
    { "IdArrayShorter",
      [](ZvbBuilder& b) {
        b.array_f64("x", { 1, 2 }).array_f64("y", { 1, 2 }).array_f64("z", { 1, 2 });
        b.array_f64("ID", { 1 });
      },
      "Error: ID array shorter than data arrays\n" },
    { "EmptyDoubleIdArray",
      [](ZvbBuilder& b) {
        b.array_f64("x", { 1 }).array_f64("y", { 1 }).array_f64("z", { 1 }).array_f64("ID", {});
      },
      "Error: ID array shorter than data arrays\n" },
    { "EmptyS32IdArray",
      [](ZvbBuilder& b) {
        b.array_f64("x", { 1 }).array_f64("y", { 1 }).array_f64("z", { 1 }).array_s32("ID", {});
      },
      "Error: ID array shorter than data arrays\n" },
  };
  for (const ErrorRow& row : error_rows) {
    for (const bool reversed : { false, true }) {
      SCOPED_TRACE(std::string(row.name) + (reversed ? " (reversed input)" : ""));
      TempDir dir;
      ZvbBuilder b(reversed);
      b.file_header().group_f64("time", 0).array_f64("x", { 1 }).array_f64("y", { 1 });
      b.array_f64("z", { 1 }).array_f64("ID", { 1 }).end();
      b.group_f64("time", 1);
      row.arrays(b);
      b.end();
      write_file_bytes(dir.file("in.zvb"), b.bytes());
      const RunResult result = run_zvbtrack({ dir.file("in.zvb"), "time", "x", "y", "z" });
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, row.message);
      EXPECT_EQ(result.out, "");
    }
  }
}
