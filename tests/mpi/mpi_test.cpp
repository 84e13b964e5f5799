// zvbtrack-mpi against zvbtrack: for 1, 2, 3 and 5 ranks, the same file on every input shape
// and the same line and status on every failing input.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "e2e/e2e.h"
#include "mpi/mpi_run.h"
#include "support/temp_dir.h"

namespace {

const int RANK_COUNTS[] = { 1, 2, 3, 5 };

// The line as zvbtrack would print it: the program names its errors after itself.
// An input written into the directory as in.zvb, and the operands after -o OUT.
struct Case {
  const char* name;
  std::function<void(const std::string& path)> make;
  Words operands;
};

void write_built(const std::string& path, const ZvbBuilder& b) {
  write_file_bytes(path, b.bytes());
}

std::function<void(const std::string&)> generated(Words options) {
  return [options](const std::string& path) {
    Words args = options;
    args.push_back("-o");
    args.push_back(path);
    run_zvbgen(args);
  };
}

ZvbBuilder& step(ZvbBuilder& b, double time, const std::vector<double>& x,
                 const std::vector<double>& ids) {
  return b.group_f64("time", time).array_f64("x", x).array_f64("ID", ids).end();
}

std::vector<Case> shapes() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<Case> cases;
  cases.push_back({ "Flat",
                    generated({ "-T", "30", "-N", "50", "-c", "0.1" }),
                    { "in.zvb", "time", "x", "y", "z" } });
  // An array named "" in a step the end of the file cuts before its end marker: requested,
  // its values go to each trajectory group's end marker, so the groups are counted in walk
  // order, not in parts.
  cases.push_back({ "EmptyNameMeetsTheEndMarker",
                    [](const std::string& path) {
                      ZvbBuilder b;
                      b.file_header();
                      for (int t = 0; t < 6; t++)
                        step(b, t, { t + 0.5, t + 1.5 }, { t % 3 + 1.0, 9 });
                      b.group_f64("time", 6).array_f64("x", { 3, 4 }).array_f64("", { 5, 6 });
                      write_built(path, b);
                    },
                    { "in.zvb", "time", "x", "" } });
  cases.push_back({ "StepsInValuedGroups",
                    generated({ "-n", "-T", "25", "-N", "40", "-f" }),
                    { "in.zvb", "time", "z", "x" } });
  // Over 16 MiB: the reader leaves the arrays on file and each rank loads its own.
  cases.push_back({ "ArraysLeftOnFile",
                    generated({ "-T", "12", "-N", "100000", "-f" }),
                    { "in.zvb", "time", "x", "y" } });
  cases.push_back({ "RunsRepeatedNames",
                    [](const std::string& path) {
                      ZvbBuilder b;
                      b.file_header();
                      for (int run : { 1, 2, 1 }) {
                        b.group_s32("run", run);
                        for (int t = 0; t < 3; t++)
                          b.group_f64("time", t)
                              .array_f64("x", { run + t + 0.5, run * 10.0 + t })
                              .array_f64("y", { -1.0 * t, 2.0 * run })
                              .array_s32("ID", { t % 2 == 0 ? 4 : 6, 5 })
                              .end();
                        b.end();
                      }
                      step(b, 9, { 99 }, { 5 });  // outside any run
                      write_built(path, b);
                    },
                    { "in.zvb", "time", "x", "y", "x" } });
  // An enclosing group named like a requested array, among arrays it appends to: such places
  // are built as nodes while counting, on every rank.
  cases.push_back({ "CopyNamedLikeAnArray",
                    [](const std::string& path) {
                      ZvbBuilder b;
                      b.file_header();
                      step(b, 0, { 1, 2 }, { 1, 2 });
                      b.group_s32("x", 7);
                      step(b, 1, { 3, 4 }, { 2, 1 });
                      b.end();
                      step(b, 2, { 5, 6 }, { 1, 3 });
                      write_built(path, b);
                    },
                    { "in.zvb", "time", "x" } });
  cases.push_back({ "NanAndSignedZeroIds",
                    [nan](const std::string& path) {
                      ZvbBuilder b;
                      b.file_header();
                      step(b, 0, { 1, 2, 3 }, { nan, -0.0, 7 });
                      step(b, 1, { 4, 5, 6 }, { 0.0, nan, -nan });
                      step(b, 2, { 7, 8 }, { 7, -0.0 });
                      write_built(path, b);
                    },
                    { "in.zvb", "time", "x" } });
  cases.push_back({ "GroupsWithoutIdArray",
                    [](const std::string& path) {
                      ZvbBuilder b;
                      b.file_header();
                      b.group_f64("time", 0).array_f64("x", { 1, 2, 3 }).end();
                      step(b, 1, { 4, 5 }, { 2, 40 });
                      b.group_f64("time", 2).array_f64("x", { 6 }).end();
                      write_built(path, b);
                    },
                    { "in.zvb", "time", "x" } });
  cases.push_back({ "OtherIdName",
                    [](const std::string& path) {
                      ZvbBuilder b;
                      b.file_header();
                      b.group_f64("t", 0).array_f64("x", { 1, 2 }).array_s32("key", { 3, 4 });
                      b.end();
                      b.group_f64("t", 1).array_f64("x", { 5 }).end();  // no key: skipped
                      b.group_f64("t", 2).array_f64("x", { 6, 7 }).array_s32("key", { 4, 8 });
                      b.end();
                      write_built(path, b);
                    },
                    { "-s", "key", "in.zvb", "t", "x" } });
  return cases;
}

std::vector<Case> failures() {
  std::vector<Case> cases;
  cases.push_back({ "UnequalArrayLengths",
                    [](const std::string& path) {
                      ZvbBuilder b;
                      b.file_header();
                      step(b, 0, { 1, 2 }, { 1, 2 });
                      b.group_f64("time", 1).array_f64("x", { 1, 2, 3 });
                      b.array_f64("y", { 1, 2 }).array_f64("ID", { 1, 2, 3 }).end();
                      write_built(path, b);
                    },
                    { "in.zvb", "time", "x", "y" } });
  // The first failure in walk order is reported, not the later one.
  cases.push_back({ "IdArrayShorterBeforeUnequalLengths",
                    [](const std::string& path) {
                      ZvbBuilder b;
                      b.file_header();
                      for (int t = 0; t < 40; t++)
                        step(b, t, { 1, 2, 3 }, { 1, 2, 3 });
                      step(b, 40, { 1, 2, 3 }, { 1, 2 });
                      b.group_f64("time", 41).array_f64("x", { 1 }).array_f64("y", { 1, 2 });
                      b.end();
                      write_built(path, b);
                    },
                    { "in.zvb", "time", "x" } });
  cases.push_back({ "CutFile",
                    [](const std::string& path) {
                      run_zvbgen({ "-T", "20", "-N", "30", "-o", path });
                      const std::string whole = read_file_bytes(path);
                      write_file_bytes(path, whole.substr(0, whole.size() * 2 / 3 + 5));
                    },
                    { "in.zvb", "time", "x", "y" } });
  cases.push_back({ "MissingInput", [](const std::string&) {}, { "in.zvb", "time", "x" } });
  cases.push_back(
      { "OutputDirectoryMissing", generated({ "-T", "3", "-N", "4" }), { "in.zvb", "time", "x" } });
  return cases;
}

TEST(Mpi, EveryShapeWritesZvbtracksBytesForEveryRankCount) {
  for (const Case& c : shapes()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    c.make(dir.file("in.zvb"));
    Words args = { "-o", "ref.zvb" };
    args.insert(args.end(), c.operands.begin(), c.operands.end());
    const RunResult reference = run_zvbtrack(args, {}, dir.path());
    ASSERT_EQ(reference.status, 0) << reference.err;
    std::string expected = file_bytes(dir.file("ref.zvb"));
    expected.replace(4, 4, 4, '\0');
    // Each rank count with the shares mapped from the file; one through MPI-IO; and one with
    // a budget so small that the records travel in many rounds and what a rank receives
    // goes through its temporary file.
    const std::pair<int, Words> runs[] = { { 1, {} },
                                           { 2, {} },
                                           { 3, {} },
                                           { 5, {} },
                                           { 3, { "ZVBTRACK_MPI_IO=1" } },
                                           { 3, { "ZVBTRACK_MEMORY=4K" } } };
    for (const auto& [ranks, environment] : runs) {
      SCOPED_TRACE(std::to_string(ranks) + " ranks " +
                   (environment.empty() ? std::string() : environment[0]));
      args[1] = "out.zvb";
      const RunResult run = run_mpi(ranks, args, dir.path(), environment);
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.err, "");
      EXPECT_TRUE(
          SameOutput(file_bytes(dir.file("out.zvb")), Bytes(expected.begin(), expected.end())));
      EXPECT_EQ(directory_entries(dir.path()), Words({ "in.zvb", "out.zvb", "ref.zvb" }));
      unlink(dir.file("out.zvb").c_str());
    }
  }
}

TEST(Mpi, EveryFailureIsZvbtracksLinePrintedOnceAndLeavesNoFile) {
  for (const Case& c : failures()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    c.make(dir.file("in.zvb"));
    const std::string output =
        std::string(c.name) == "OutputDirectoryMissing" ? "none/out.zvb" : "out.zvb";
    Words args = { "-o", output };
    args.insert(args.end(), c.operands.begin(), c.operands.end());
    const RunResult reference = run_zvbtrack(args, {}, dir.path());
    ASSERT_EQ(reference.status, 1);
    ASSERT_NE(reference.err, "");
    unlink(dir.file("out.zvb").c_str());
    const std::vector<std::string> before = directory_entries(dir.path());
    for (int ranks : RANK_COUNTS) {
      SCOPED_TRACE(std::to_string(ranks) + " ranks");
      const RunResult run = run_mpi(ranks, args, dir.path());
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(as_zvbtrack(run.err), reference.err);
      EXPECT_EQ(directory_entries(dir.path()), before);
    }
  }
}

// Shares begin 2 MiB into the file. Here the last byte of one trajectory's arrays is the
// first byte of the second share (the blocks made odd-sized by a copy of a one-byte group
// value): the rank whose share that byte opens must still write it.
TEST(Mpi, ABlockWhoseLastByteOpensAShareIsWrittenWhole) {
  TempDir dir;
  // 1800 objects over 145 steps inside a group "run" of one byte. Every trajectory block
  // takes 153 + 16 * samples bytes; objects 0..8 come once and object 9 in 53 steps, so that
  // object 856's arrays end at the file's byte 2 MiB.
  ZvbBuilder b;
  b.file_header().element("run", FLAG_GROUP | FLAG_SINGLE | TYPE_U8, { 3 });
  for (int t = 0; t < 145; t++) {
    std::vector<std::int32_t> ids;
    std::vector<double> x;
    for (std::int32_t id = 0; id < 1800; id++) {
      if (t == 0 || id >= 10 || (id == 9 && t < 53)) {
        ids.push_back(id);
        x.push_back(std::sin(id + t));
      }
    }
    b.group("step").single_f64("time", t * 0.5).array_s32("ID", ids).array_f64("x", x).end();
  }
  write_built(dir.file("in.zvb"), b.end());
  const Words args = { "-o", "ref.zvb", "in.zvb", "time", "x" };
  ASSERT_EQ(run_zvbtrack(args, {}, dir.path()).status, 0);
  std::string expected = file_bytes(dir.file("ref.zvb"));
  constexpr std::size_t SHARE_START = std::size_t{ 2 } << 20;
  ASSERT_GT(expected.size(), 2 * SHARE_START);
  // The byte after it starts the copy's end marker.
  std::uint32_t type = 0;
  std::memcpy(&type, expected.data() + SHARE_START + 1 + 16, sizeof type);
  ASSERT_EQ(type, END_MARKER_TYPE) << "the layout moved: the test no longer meets a share start";
  expected.replace(4, 4, 4, '\0');
  for (const int ranks : { 2, 3 }) {
    SCOPED_TRACE(std::to_string(ranks) + " ranks");
    const RunResult run = run_mpi(ranks, { "-o", "out.zvb", "in.zvb", "time", "x" }, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(
        SameOutput(file_bytes(dir.file("out.zvb")), Bytes(expected.begin(), expected.end())));
  }
}

TEST(Mpi, WhatThisModeCannotDoIsRefusedWithOneLine) {
  TempDir dir;
  run_zvbgen({ "-T", "3", "-N", "4", "-o", dir.file("in.zvb") });
  const struct {
    Words args;
    const char* message;
  } rows[] = {
    { { "-o", "out.zvb", "-", "time", "x" },
      "Error: zvbtrack-mpi reads a named file that every rank can open, not standard input\n" },
    { { "in.zvb", "time", "x" },
      "Error: zvbtrack-mpi writes a named file (-o outfile), not standard output\n" },
    { { "-o", "-", "in.zvb", "time", "x" },
      "Error: zvbtrack-mpi writes a named file (-o outfile), not standard output\n" },
    { { "-a", "in.zvb", "in.zvb", "time", "x" },
      "Error: zvbtrack-mpi cannot append (-a): write a new file with -o outfile\n" },
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args[1]);
    const RunResult run = run_mpi(2, row.args, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, row.message);
    EXPECT_EQ(directory_entries(dir.path()), Words({ "in.zvb" }));
  }
}

TEST(Mpi, VerboseLinesAreZvbtracksWithTheRankCount) {
  TempDir dir;
  run_zvbgen({ "-T", "3", "-N", "4", "-o", dir.file("in.zvb") });
  const RunResult run = run_mpi(3, { "-v", "-o", "out.zvb", "in.zvb", "time", "x" }, dir.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err,
            "Reading inputfile: \"in.zvb\"\nin.zvb: Calculating...\nin.zvb: 3 ranks\n"
            "in.zvb: Writing output\n");
}

}  // namespace
