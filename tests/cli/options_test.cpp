// The option parser and the help texts.
#include "cli/options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/report.h"

using testing::Eq;
using testing::ExitedWithCode;

namespace {

struct Parsed {
  int result;
  std::vector<std::string> operands;
  std::string warnings;
  int short_help, long_help, verbose;
  std::string top_group, output, append;  // "(null)" when not set
  std::string name;
};

std::string text_or_null(const char* text) {
  return text != nullptr ? text : "(null)";
}

Parsed parse(std::vector<std::string> words) {
  opt_short_help = opt_long_help = opt_verbose = 0;
  opt_top_group = opt_output = opt_append = nullptr;
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());
  char** vector = argv.data();
  testing::internal::CaptureStderr();
  const int result = parse_options(&argc, &vector, option_table);
  Parsed parsed;
  parsed.warnings = testing::internal::GetCapturedStderr();
  parsed.result = result;
  for (int i = 0; i < argc; i++)
    parsed.operands.push_back(vector[i]);
  parsed.short_help = opt_short_help;
  parsed.long_help = opt_long_help;
  parsed.verbose = opt_verbose;
  parsed.top_group = text_or_null(opt_top_group);
  parsed.output = text_or_null(opt_output);
  parsed.append = text_or_null(opt_append);
  parsed.name = program_name;
  return parsed;
}

using Words = std::vector<std::string>;

}  // namespace

TEST(Options, TableHasItsRows) {
  const char letters[] = { ' ', 'h', 'H', 'v', 'n', 's', 'o', 'a', 'i', 'w', '\0' };
  for (int i = 0; i < OPTION_ROWS; i++)
    EXPECT_EQ(option_table[i].letter, letters[i]) << i;
  EXPECT_EQ(option_table[4].target, &opt_dry_run);
  EXPECT_EQ(option_table[5].target, &opt_top_group);
  EXPECT_EQ(option_table[6].target, &opt_output);
  EXPECT_EQ(option_table[7].target, &opt_append);
  EXPECT_EQ(option_table[8].target, &opt_ids);
  EXPECT_EQ(option_table[9].target, &opt_window);
  EXPECT_EQ(option_table[10].handler, warn_unknown_option);
  EXPECT_STREQ(banner, "zvbtrack - Aug 25 2019");
}

TEST(Options, FlagsShareAWordAndUnknownLettersWarn) {
  const Parsed p = parse({ "zvbtrack", "-vxh", "in", "time", "x" });
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.verbose, 1);
  EXPECT_EQ(p.short_help, 1);
  EXPECT_EQ(p.warnings, "Warning: unknown option -xh\n");
  EXPECT_EQ(p.operands, (Words{ "in", "time", "x" }));
}

TEST(Options, DoubleDashIsAnUnknownLetter) {
  const Parsed p = parse({ "zvbtrack", "--", "-v", "in" });
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.warnings, "Warning: unknown option --\n");
  EXPECT_EQ(p.verbose, 1);
  EXPECT_EQ(p.operands, (Words{ "in" }));
}

TEST(Options, ArgumentFromRestOfWordOrNextWord) {
  struct Row {
    Words words;
    std::string output;
    Words operands;
  };
  const Row rows[] = {
    { { "z", "-ofile", "in" }, "file", { "in" } },
    { { "z", "-o file", "in" }, "file", { "in" } },
    { { "z", "-o", "file", "in" }, "file", { "in" } },
    { { "z", "-o  file", "in" }, " file", { "in" } },
    { { "z", "-o", "-v", "in" }, "-v", { "in" } },
    { { "z", "-vofile", "in" }, "file", { "in" } },
    { { "z", "-o", "first", "-o", "second", "in" }, "second", { "in" } },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.words[1] + "|" + row.output);
    const Parsed p = parse(row.words);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.output, row.output);
    EXPECT_EQ(p.operands, row.operands);
    EXPECT_EQ(p.warnings, "");
  }
  EXPECT_EQ(parse({ "z", "-o", "-v", "in" }).verbose, 0);
}

TEST(Options, MissingArgumentReturnsOneWithNoWordsLeft) {
  Parsed p = parse({ "zvbtrack", "-o" });
  EXPECT_EQ(p.result, 1);
  EXPECT_TRUE(p.operands.empty());
  p = parse({ "zvbtrack", "-vo" });
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.verbose, 1);
  EXPECT_TRUE(p.operands.empty());
  EXPECT_EQ(p.warnings, "");
}

TEST(Options, OptionsEndAtTheFirstOperand) {
  Parsed p = parse({ "zvbtrack", "-", "time", "-v" });
  EXPECT_EQ(p.operands, (Words{ "-", "time", "-v" }));
  EXPECT_EQ(p.verbose, 0);
  p = parse({ "zvbtrack", "-v", "in", "-s", "x" });
  EXPECT_EQ(p.operands, (Words{ "in", "-s", "x" }));
  EXPECT_EQ(p.top_group, "(null)");
  EXPECT_EQ(p.verbose, 1);
}

TEST(Options, RepeatedFlagsStaySetAndAllStringsAreKept) {
  const Parsed p = parse({ "zvbtrack", "-vv", "-h", "-H", "-s", "key", "-a", "old", "in" });
  EXPECT_EQ(p.verbose, 1);
  EXPECT_EQ(p.short_help, 1);
  EXPECT_EQ(p.long_help, 1);
  EXPECT_EQ(p.top_group, "key");
  EXPECT_EQ(p.append, "old");
  EXPECT_EQ(p.output, "(null)");
}

TEST(Options, ProgramNameIsTheTextAfterTheLastSlash) {
  EXPECT_EQ(parse({ "/usr/local/bin/zvbtrack" }).name, "zvbtrack");
  EXPECT_EQ(parse({ "zvbtrack" }).name, "zvbtrack");
  EXPECT_EQ(parse({ "/opt/tools/" }).name, "");
  EXPECT_EQ(parse({ "dir\\zvbtrack" }).name, "dir\\zvbtrack");
  EXPECT_TRUE(parse({ "/usr/local/bin/zvbtrack" }).operands.empty());
}

TEST(Options, LongUnknownOptionWordIsWarnedWhole) {
  const std::string word = "-" + std::string(400, 'x');
  const Parsed p = parse({ "zvbtrack", word, "in" });
  EXPECT_EQ(p.result, 400);
  // One line per letter, each with the rest of the word from that letter on.
  EXPECT_EQ(p.warnings.substr(0, 25 + 400 + 1),
            "Warning: unknown option -" + std::string(400, 'x') + "\n");
}

TEST(Options, ShortHelpIsOneLine) {
  program_name = "zvbtrack";
  EXPECT_EXIT(
      print_help(option_table, 0, write_stderr), ExitedWithCode(0),
      Eq("usage: zvbtrack [-hHvn] [-s array] [-o outfile] [-a outfile] [-i ids] [-w lo..hi] "
         "infile loop_var arrays ...\n"));
}

TEST(Options, LongHelpPutsDescriptionsInColumnThirty) {
  program_name = "zvbtrack";
  EXPECT_EXIT(print_help(option_table, 1, write_stderr), ExitedWithCode(0),
              Eq("zvbtrack - ZVB-Trajectory / transpose\n"
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
                 " -w lo..hi                   Keep only loop values from lo to hi\n"));
}

TEST(Options, HelpWithALongProgramNameIsWrittenWhole) {
  const std::string name(600, 'p');
  program_name = name.c_str();
  EXPECT_EXIT(print_help(option_table, 1, write_stderr), ExitedWithCode(0),
              testing::StartsWith(name + " - ZVB-Trajectory / transpose\nusage: " + name));
}

TEST(Options, BannerIsItsTextAndALineEnd) {
  testing::internal::CaptureStderr();
  print_banner(banner, write_stderr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "zvbtrack - Aug 25 2019\n");
}
