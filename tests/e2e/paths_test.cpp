// The laid-out engine agrees with the output tree, the reference build of the same program:
// every input here goes through both and must give the same bytes, messages and status, when
// the output is filled at once and when a tiny memory budget cuts it into many windows, also
// when the file is large enough for its arrays to stay on file (where the first walk only
// checks what loading would find) and when it comes through a pipe.
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

// Steps inside valued groups: step groups valued S32 that hold the loop variable as a single
// value (each is copied below every trajectory), runs around them (copies inside copies,
// shared where equal), a run holding the loop variable itself, NaN and -0.0 identifiers, and
// steps without enclosing groups before and after, whose arrays then stand among the copies.
Bytes enclosed_steps(bool large) {
  ZvbBuilder b = start(large);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  b.group_f64("time", 0).array_f64("ID", { 2, 1 }).array_f64("x", { 1, 2 });
  b.array_f64("y", { 3, 4 }).end();
  for (int run = 1; run <= 2; run++) {
    b.group_s32("run", run);
    for (int step = 0; step < 3; step++) {
      b.group_s32("step", step).single_f64("time", 10 * run + step);
      b.array_f64("ID", { 1, nan, -0.0, static_cast<double>(step) });
      b.array_f64("x", { 1.5, 2.5, 3.5, 4.5 }).array_f64("y", { 5, 6, 7, 8 }).end();
    }
    b.end();
  }
  b.group_s32("run", 3).single_f64("time", 99).group_s32("step", 0).array_s32("ID", { 1, 0 });
  b.array_f64("x", { 9, 8 }).array_f64("y", { 7, 6 }).end().end();
  b.group_f64("time", 100).array_f64("ID", { 0.0, 1 }).array_f64("x", { 1, 2 });
  b.array_f64("y", { 3, 4 }).end();
  return b.bytes();
}

// Inside a valued group, the last requested array is the longest.
Bytes enclosed_unequal(bool large) {
  ZvbBuilder b = start(large);
  b.group_s32("run", 1).group_f64("time", 0).array_f64("x", { 1, 2 });
  b.array_f64("y", { 1, 2, 3 }).end().end();
  return b.bytes();
}

// An enclosing group named like a requested array: its copies stand among the arrays that
// steps without enclosing groups append to.
Bytes copy_named_like_array(bool large) {
  ZvbBuilder b = start(large);
  b.group_f64("time", 0).array_f64("x", { 1, 2 }).array_f64("y", { 3, 4 }).end();
  b.group_s32("x", 7).group_f64("time", 1).array_f64("x", { 5, 6 });
  b.array_f64("y", { 7, 8 }).end().end();
  b.group_f64("time", 2).array_f64("x", { 9, 10 }).array_f64("y", { 11, 12 }).end();
  b.group_s32("x", 7).group_f64("time", 3).array_f64("x", { 13, 14 });
  b.array_f64("y", { 15, 16 }).end().end();
  return b.bytes();
}

// The copy named like an array comes first: the next steps append to the copy itself, which
// then no longer equals its group, so that the group's later steps get a copy of their own.
Bytes copy_first(bool large) {
  ZvbBuilder b = start(large);
  b.group_s32("x", 7).group_f64("time", 0).array_f64("x", { 1, 2 });
  b.array_f64("y", { 3, 4 }).end().end();
  for (int step = 1; step <= 2; step++) {
    b.group_f64("time", step).array_f64("x", { 5, 6 }).array_f64("y", { 7, 8 }).end();
    b.group_s32("x", 7).group_f64("time", step + 0.5).array_f64("x", { 9, 10 });
    b.array_f64("y", { 11, 12 }).end().end();
  }
  return b.bytes();
}

// An array with the empty name in a step that the end of the file cuts before its end marker:
// requested, it is found there, and its values go to the end-of-group marker of the
// trajectory group, the one child there that bears the empty name.
Bytes empty_named_array(bool large) {
  ZvbBuilder b = start(large);
  b.group_f64("time", 0).array_f64("x", { 1, 2 }).end();
  b.group_f64("time", 1).array_f64("x", { 3, 4 }).array_f64("", { 5, 6 });
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
  { "EnclosedSteps", enclosed_steps, { "IN", "time", "x", "y" } },
  { "EnclosedStepsNameTwice", enclosed_steps, { "IN", "time", "y", "x", "y" } },
  { "EnclosedStepsTopGroup", enclosed_steps, { "-s", "ID", "IN", "time", "x" } },
  { "EnclosedStepsStepAsLoopVariable", enclosed_steps, { "IN", "step", "x" } },
  { "EnclosedUnequal", enclosed_unequal, { "IN", "time", "x", "y" } },
  { "CopyNamedLikeAnArray", copy_named_like_array, { "IN", "time", "x", "y" } },
  { "CopyNamedLikeNoArray", copy_named_like_array, { "IN", "time", "y" } },
  { "CopyNamedLikeAnArrayFirst", copy_first, { "IN", "time", "y", "x" } },
  { "EmptyNameMeetsTheEndMarker", empty_named_array, { "IN", "time", "x", "" } },
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

// The engine's run with the memory budget `memory` ("": the system's).
RunResult run_with_memory(const Words& args, const std::string& memory) {
  Words words{ "ZVBTRACK_MEMORY=" + memory, ZVBTRACK_BIN };
  words.insert(words.end(), args.begin(), args.end());
  return run_program("/usr/bin/env", words);
}

void expect_same_run(const RunResult& engine, const RunResult& tree) {
  EXPECT_EQ(engine.status, tree.status);
  EXPECT_EQ(engine.err, tree.err);
  EXPECT_EQ(engine.out.size(), tree.out.size());
  EXPECT_TRUE(without_time(engine.out) == without_time(tree.out)) << "outputs differ; the tree's:\n"
                                                                  << describe_zvb(tree.out);
}

// At once, and by windows of half of `window_memory`.
void expect_same_runs(const Words& args, const std::string& window_memory = "4K") {
  const RunResult tree = run_zvbtrack_tree(args);
  for (const std::string& memory : { std::string(), window_memory }) {
    SCOPED_TRACE("ZVBTRACK_MEMORY=" + memory);
    expect_same_run(run_with_memory(args, memory), tree);
  }
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
    // Few trajectories, each with many copied groups: the layout is in two parts all the same.
    { { "-T", "200", "-N", "400", "-n", "-S", "9" }, { "time", "x", "x", "z" } },
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
    expect_same_runs(args, "512K");
  }
}

// Arrays longer than the first block a pipe's data are read into, and not a power-of-two
// multiple of it, give through a pipe the bytes the same file gives; so do windows written
// to a pipe rather than filled in the output file's room.
TEST(E2ePaths, PipedInputAndOutputGiveTheFileBytes) {
  TempDir dir;
  const std::string input = dir.file("in.zvb");
  run_zvbgen({ "-T", "5", "-N", "9000", "-n", "-o", input });
  const RunResult tree = run_zvbtrack_tree({ input, "time", "x", "y" });
  for (const char* memory : { "", "64K" }) {
    SCOPED_TRACE(std::string("ZVBTRACK_MEMORY=") + memory);
    const RunResult piped =
        run_program("/bin/sh", { "-c", "cat \"$0\" | ZVBTRACK_MEMORY=$2 \"$1\" - time x y | cat",
                                 input, ZVBTRACK_BIN, memory });
    expect_same_run(piped, tree);
  }
}
