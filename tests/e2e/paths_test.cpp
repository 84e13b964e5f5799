// The two ways of transposing agree: the common case is laid out as the file's bytes in two
// walks, everything else builds the output tree. Every input here goes through both (the
// tree-only build of the same program stands for the second) and must give the same bytes,
// messages and status, also when the file is large enough for its arrays to stay on file,
// where the first walk only checks what loading would find.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "support/temp_dir.h"

namespace {

using Doubles = std::vector<double>;
using Words = std::vector<std::string>;

// Files of this size and more leave their arrays on file.
constexpr std::size_t LARGE = std::size_t{ 16 } << 20;

// A file header, then, for a large file, a top-level array nobody asks for that makes the
// file large.
ZvbBuilder start(bool large) {
  ZvbBuilder b;
  b.file_header();
  if (large)
    b.element("padding", FLAG_ARRAY | TYPE_U8, Bytes(LARGE));
  return b;
}

// Steps whose objects come and go, with S32 identifiers, float x and U16 y.
Bytes churn(bool large) {
  ZvbBuilder b = start(large);
  for (int step = 0; step < 6; step++) {
    std::vector<std::int32_t> ids;
    std::vector<float> x;
    std::vector<std::uint16_t> y;
    for (int object = step; object < step + 4 + step % 3; object++) {
      ids.push_back(object * 3 % 11);
      x.push_back(static_cast<float>(object) + 0.25f * static_cast<float>(step));
      y.push_back(static_cast<std::uint16_t>(65535 - object));
    }
    b.group_f64("time", 0.5 * step).array_s32("ID", ids).array_f32("x", x);
    b.element("y", FLAG_ARRAY | TYPE_U16, b.u16(y)).end();
  }
  return b.bytes();
}

// Odd shapes that change a group's samples: a trailing byte, a short loop variable, an S32
// loop variable inside the group, signed bytes, NaN, -0.0 and repeated identifiers.
Bytes odd_shapes(bool large) {
  ZvbBuilder b = start(large);
  Bytes seven = b.u16({ 1, 2, 3 });
  seven.push_back(9);  // three values and a byte left over
  b.group("step").single_s32("time", 4).element("x", FLAG_ARRAY | TYPE_U16, seven);
  b.element("y", FLAG_ARRAY | TYPE_S8, { 0x80, 0x7F, 0xFF }).end();
  b.group("step").element("time", FLAG_SINGLE | TYPE_DOUBLE, { 1, 2, 3, 4 });
  b.array_f64("x", { 1 }).array_f64("y", { 2 }).end();  // loop variable of 4 bytes: skipped
  const double nan = std::numeric_limits<double>::quiet_NaN();
  b.group_f64("time", 2).array_f64("ID", { nan, -0.0, 0.0, -nan, 5, 5 });
  b.array_f64("x", { 1, 2, 3, 4, 5, 6 }).array_f64("y", { 6, 5, 4, 3, 2, 1 }).end();
  return b.bytes();
}

// Arrays of one step end at different lengths after two good steps.
Bytes unequal_lengths(bool large) {
  ZvbBuilder b = start(large);
  b.group_f64("time", 0).array_f64("x", { 1, 2 }).array_f64("y", { 1, 2 }).end();
  b.group_f64("time", 1).array_f64("x", { 3, 4 }).array_f64("y", { 3, 4 }).end();
  b.group_f64("time", 2).array_f64("x", { 5, 6, 7 }).array_f64("y", { 5 }).end();
  return b.bytes();
}

// The identifiers run out before the arrays in the second step.
Bytes short_ids(bool large) {
  ZvbBuilder b = start(large);
  b.group_f64("time", 0).array_s32("ID", { 4, 5 }).array_f64("x", { 1, 2 });
  b.array_f64("y", { 1, 2 }).end();
  b.group_f64("time", 1).array_s32("ID", { 5 }).array_f64("x", { 3, 4 });
  b.array_f64("y", { 3, 4 }).end();
  return b.bytes();
}

// Steps without enclosing groups first, then steps inside S32-valued groups, whose copies
// only the tree can hold.
Bytes enclosed_later(bool large) {
  ZvbBuilder b = start(large);
  b.group_f64("time", 0).array_f64("ID", { 1, 2 }).array_f64("x", { 1, 2 });
  b.array_f64("y", { 1, 2 }).end();
  for (int run = 1; run <= 2; run++) {
    b.group_s32("run", run).group_f64("time", run).array_f64("ID", { 2, 1 });
    b.array_f64("x", { 3, 4 }).array_f64("y", { 5, 6 }).end().end();
  }
  return b.bytes();
}

// The loop variable and the arrays in the root's own scope, with index identifiers.
Bytes root_scope(bool large) {
  ZvbBuilder b = start(large);
  b.single_f64("time", 9).array_f64("x", { 1, 2, 3 }).array_f64("y", { 4, 5, 6 });
  return b.bytes();
}

// The last step's x array runs past the end of the file, and only some steps get so far as
// to look it up. Arrays of a large file are only read when looked up, so the failure comes
// from the walk; in a small file it comes from reading.
Bytes cut_short(bool large) {
  ZvbBuilder b = start(large);
  b.group_f64("time", 0).array_f64("x", { 1 }).array_f64("y", { 1 }).end();
  b.group_f64("time", 1).array_f64("y", { 2 }).array_f64("x", Doubles(1000, 2.0));
  Bytes bytes = b.bytes();
  bytes.resize(bytes.size() - 100);
  return bytes;
}

// A top-level x that the end of the file cuts short serves the first step from its
// enclosing scope; the second step has arrays of unequal lengths. The failure met first is
// the cut array's.
Bytes cut_short_in_scope(bool large) {
  ZvbBuilder b = start(large);
  b.group_f64("time", 0).array_f64("y", { 1 }).end();
  b.group_f64("time", 1).array_f64("x", { 1, 2 }).array_f64("y", { 1 }).end();
  b.array_f64("x", Doubles(1000, 3.0));
  Bytes bytes = b.bytes();
  bytes.resize(bytes.size() - 100);
  return bytes;
}

struct Case {
  const char* name;
  Bytes (*input)(bool large);
  Words args;  // "IN" stands for the input file
};

const Case cases[] = {
  { "Churn", churn, { "IN", "time", "x", "y" } },
  { "ChurnWithTopGroup", churn, { "-s", "ID", "IN", "time", "y", "x" } },
  { "ChurnVerbose", churn, { "-v", "IN", "time", "x" } },
  { "ChurnNameTwice", churn, { "IN", "time", "x", "x" } },
  { "ChurnEmptyName", churn, { "IN", "time", "x", "" } },
  { "ChurnLoopVariableRequested", churn, { "IN", "time", "time", "x" } },
  { "ChurnMissingTopGroup", churn, { "-s", "key", "IN", "time", "x" } },
  { "OddShapes", odd_shapes, { "IN", "time", "x", "y" } },
  { "OddShapesIdRequested", odd_shapes, { "IN", "time", "ID", "x" } },
  { "UnequalLengths", unequal_lengths, { "IN", "time", "x", "y" } },
  { "ShortIds", short_ids, { "IN", "time", "x", "y" } },
  { "EnclosedLater", enclosed_later, { "IN", "time", "x", "y" } },
  { "RootScope", root_scope, { "IN", "time", "y", "x" } },
  { "CutShortLookedUp", cut_short, { "IN", "time", "x", "y" } },
  { "CutShortAfterAFailedEntry", cut_short, { "IN", "time", "z", "x" } },
  { "CutShortNeverLookedUp", cut_short, { "IN", "time", "y" } },
  { "CutShortInEnclosingScope", cut_short_in_scope, { "IN", "time", "x", "y" } },
};

Words with_input(const Words& args, const std::string& input) {
  Words words = args;
  for (std::string& word : words) {
    if (word == "IN")
      word = input;
  }
  return words;
}

// Bytes of a trajectory file apart from its creation time.
std::string without_time(std::string bytes) {
  if (bytes.size() >= 8)
    bytes.replace(4, 4, 4, '\0');
  return bytes;
}

void expect_same_runs(const Words& args) {
  const RunResult laid_out = run_zvbtrack(args);
  const RunResult tree = run_zvbtrack_tree(args);
  EXPECT_EQ(laid_out.status, tree.status);
  EXPECT_EQ(laid_out.err, tree.err);
  EXPECT_EQ(laid_out.out.size(), tree.out.size());
  EXPECT_TRUE(without_time(laid_out.out) == without_time(tree.out))
      << "outputs differ; the tree's:\n"
      << describe_zvb(tree.out);
}

}  // namespace

TEST(E2ePaths, LaidOutAndTreeOutputsAgreeInSmallAndLargeFiles) {
  for (const bool large : { false, true }) {
    for (const Case& test : cases) {
      SCOPED_TRACE(std::string(test.name) + (large ? " (large file)" : ""));
      TempDir dir;
      const std::string input = dir.file("in.zvb");
      write_file_bytes(input, test.input(large));
      expect_same_runs(with_input(test.args, input));
    }
  }
}

TEST(E2ePaths, LaidOutAndTreeOutputsAgreeOnGeneratedSteps) {
  struct Generated {
    Words options;
    Words operands;
  };
  const Generated runs[] = {
    { { "-p", "demo" }, { "time", "x", "y", "z" } },
    { { "-T", "40", "-N", "300", "-c", "0.2", "-S", "7" }, { "time", "z", "x" } },
    { { "-T", "20", "-N", "50", "-n", "-f" }, { "time", "x", "y", "z" } },
    // Large enough for the arrays to stay on file.
    { { "-T", "30", "-N", "20000", "-S", "3" }, { "time", "x", "y", "z" } },
    // Enough objects and samples per step for the layout and the values to be written in two
    // parts at once.
    { { "-T", "4", "-N", "70000", "-S", "5" }, { "time", "y", "x" } },
  };
  for (const Generated& run : runs) {
    TempDir dir;
    const std::string input = dir.file("in.zvb");
    Words options = run.options;
    options.insert(options.end(), { "-o", input });
    run_zvbgen(options);
    Words args{ input };
    args.insert(args.end(), run.operands.begin(), run.operands.end());
    SCOPED_TRACE(args[1] + " from zvbgen " + run.options[0] + " " + run.options[1]);
    expect_same_runs(args);
  }
}
