// End-to-end command line: help texts, warnings, progress lines and the error lines of a run,
// each with its exit status and with nothing on standard output.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "support/temp_dir.h"

namespace {

using Words = std::vector<std::string>;

const char LONG_HELP[] =
    "zvbtrack - Aug 25 2019\n"
    "zvbtrack - ZVB-Trajectory / transpose\n"
    "usage: zvbtrack [options] infile loop_var arrays ...\n"
    "\n"
    "options:\n"
    " -h                          Give short help and quit\n"
    " -H                          Give long help and quit\n"
    " -v                          Verbose mode\n"
    " -n                          Count only: tell the output's size, write nothing\n"
    " -s array                    Top level group\n"
    " -o outfile                  Write output to outfile\n"
    " -a outfile                  Append output to outfile\n"
    " -i ids                      Keep only these identifiers: a,b..c,... or @file\n"
    " -w lo..hi                   Keep only loop values from lo to hi\n";

// The files every error row runs among: one good input and one of each kind of bad one.
std::map<std::string, std::string> input_files() {
  const Bytes good = example_input();
  ZvbBuilder v2;
  v2.file_header(2);
  ZvbBuilder cut;
  cut.file_header().element_sized("x", FLAG_ARRAY | TYPE_DOUBLE, 16, cut.f64({ 1 }));
  ZvbBuilder deep;
  deep.file_header();
  for (int i = 0; i < 1001; i++)
    deep.group("g");
  const Bytes header = ZvbBuilder().file_header().bytes();
  return {
    { "in.zvb", std::string(good.begin(), good.end()) },
    { "text.zvb", std::string(100, 'z') },
    { "v2.zvb", std::string(v2.bytes().begin(), v2.bytes().end()) },
    { "short.zvb", std::string(header.begin(), header.begin() + 47) },
    { "cut.zvb", std::string(cut.bytes().begin(), cut.bytes().end()) },
    { "deep.zvb", std::string(deep.bytes().begin(), deep.bytes().end()) },
  };
}

std::map<std::string, std::string> directory_files(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    files[entry.path().filename().string()] = read_file_bytes(entry.path().string());
  return files;
}

}  // namespace

TEST(E2eCli, HelpGoesToStandardErrorWithStatusZero) {
  struct Row {
    const char* argv0;  // empty: the program's path, whose last part is zvbtrack
    Words args;
    std::string err;
  };
  const Row rows[] = {
    { "", {}, SHORT_HELP },
    { "", { "missing.zvb", "time" }, SHORT_HELP },  // two operands: the input is not opened
    { "", { "-h", "missing.zvb", "time", "x" }, SHORT_HELP },
    { "", { "-H" }, LONG_HELP },
    { "", { "-h", "-H", "missing.zvb", "time", "x" }, LONG_HELP },
    { "",
      { "-vxh", "missing.zvb", "time", "x" },
      "Warning: unknown option -xh\n\n" + std::string(SHORT_HELP) },
    { "", { "-o" }, "\n" + std::string(SHORT_HELP) },
    { "", { "-vo" }, "\n" + std::string(SHORT_HELP) },
    { "/usr/local/bin/zvbtrack", {}, SHORT_HELP },
    { "/opt/tools/",
      {},
      "usage:  [-hHvn] [-s array] [-o outfile] [-a outfile] [-i ids] [-w lo..hi] infile loop_var arrays ...\n" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.argv0) + " " + testing::PrintToString(row.args));
    RunOptions options;
    options.argv0 = row.argv0;
    const RunResult result = run_zvbtrack(row.args, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.out, "");
  }
}

TEST(E2eCli, UnknownLetterWarnsAndTheRunGoesOn) {
  TempDir dir;
  const Bytes input = example_input();
  write_file_bytes(dir.file("in.zvb"), input);
  const RunResult result = run_zvbtrack({ "--", "in.zvb", "time", "x", "y" }, {}, dir.path());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "Warning: unknown option --\n\n");
  EXPECT_TRUE(SameOutput(result.out, example_output()));
}

TEST(E2eCli, VerboseRunPrintsThreeLinesNamingTheInputAsTyped) {
  TempDir dir;
  const Bytes input = example_input();
  write_file_bytes(dir.file("in.zvb"), input);
  RunOptions from_stdin;
  from_stdin.stdin_path = dir.file("in.zvb");
  struct Row {
    Words args;
    RunOptions options;
    std::string err;
  };
  const Row rows[] = {
    { { "-v", "in.zvb", "time", "x", "y" },
      {},
      "Reading inputfile: \"in.zvb\"\nin.zvb: Calculating...\nin.zvb: Writing output\n" },
    { { "-v", "-", "time", "x", "y" },
      from_stdin,
      "Reading inputfile: \"-\"\n-: Calculating...\n-: Writing output\n" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[1]);
    const RunResult result = run_zvbtrack(row.args, row.options, dir.path());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, row.err);
    EXPECT_TRUE(SameOutput(result.out, example_output()));
  }
}

TEST(E2eCli, FailuresPrintOneLineAndTouchNoFile) {
  struct Row {
    const char* argv0;
    Words args;
    const char* err;
  };
  const Row rows[] = {
    { "",
      { "missing.zvb", "time", "x" },
      "zvbtrack: Error: \"missing.zvb\": No such file or directory\n" },
    { "",
      { "a%sb%d%%.zvb", "time", "x" },
      "zvbtrack: Error: \"a%sb%d%%.zvb\": No such file or directory\n" },
    { "/opt/tools/",
      { "missing.zvb", "time", "x" },
      ": Error: \"missing.zvb\": No such file or directory\n" },
    { "", { "text.zvb", "time", "x" }, "zvbtrack: Error: \"text.zvb\": Not a ZV-File\n" },
    { "", { "v2.zvb", "time", "x" }, "zvbtrack: Error: \"v2.zvb\": Invalid ZVB-version\n" },
    { "",
      { "short.zvb", "time", "x" },
      "zvbtrack: Error: \"short.zvb\": Unexpected end of file\n" },
    { "", { "cut.zvb", "time", "x" }, "zvbtrack: Error: \"cut.zvb\": Unexpected end of file\n" },
    { "",
      { "deep.zvb", "time", "x" },
      "zvbtrack: Error: \"deep.zvb\": Groups nested too deeply\n" },
    { "",
      { "-o", "a", "-a", "b", "in.zvb", "time", "x" },
      "zvbtrack: Error: Output cannot be written to \"a\" and appended to \"b\" at the same time\n" },
    { "",
      { "-a", "none.zvb", "in.zvb", "time", "x" },
      "zvbtrack: Error: \"none.zvb\": No such file or directory\n" },
    { "",
      { "-o", "no/such/dir.zvb", "in.zvb", "time", "x" },
      "zvbtrack: Error: \"no/such/dir.zvb\": No such file or directory\n" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.err);
    TempDir dir;
    const auto files = input_files();
    for (const auto& [name, bytes] : files)
      write_file_bytes(dir.file(name), bytes);
    RunOptions options;
    options.argv0 = row.argv0;
    const RunResult result = run_zvbtrack(row.args, options, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(directory_files(dir.path()), files);
  }
}

