// Error reporting: the exact lines, their order against standard output, and exit statuses.
#include "base/report.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/temp_dir.h"
#include "support/zvb_builder.h"

using testing::Eq;
using testing::ExitedWithCode;

TEST(Report, ErrorTableHoldsEveryMessageWordForWord) {
  const char* expected[] = {
    "\"%s\": %s",
    "Not enough memory",
    "\"%s\": Unexpected end of file",
    "\"%s\": Not a ZV-File",
    "\"%s\": Invalid ZVB-version",
    "Invalid memory representation of datafile",
    "Writing unknown data type to \"%s\"",
    "Writing unknown data type to memory",
    "Invalid number of command line options",
    "Output cannot be written to \"%s\" and appended to \"%s\" at the same time",
    "ZVB output can not be read from or written to a terminal",
    "\"%s\": Groups nested too deeply",
    "\"%s\": Array of 4 GiB or more",
    "\"%s\": Cannot append to a file in the other byte order",
    "\"%s\": Output file changed while being written",
    "\"%s\": Input changed while being read",
    "\"%s\": Locked by another process writing to it: run again once it has finished",
    "\"%s\": Another process wrote to the file during the run: nothing is cut back, and from "
    "byte %s on it holds their bytes and what this run wrote",
  };
  static_assert(sizeof expected / sizeof expected[0] == ERROR_CODE_COUNT);
  for (std::uint32_t code = 0; code < ERROR_CODE_COUNT; code++) {
    SCOPED_TRACE(code);
    EXPECT_STREQ(error_table[code].format, expected[code]);
    EXPECT_EQ(error_table[code].sink, &default_sink);
  }
}

TEST(Report, CodedErrorIsProgramNameErrorAndMessage) {
  program_name = "zvbtrack";
  EXPECT_EXIT(report_error(error_table, ERR_EOF, "in.zvb"), ExitedWithCode(1),
              Eq("zvbtrack: Error: \"in.zvb\": Unexpected end of file\n"));
  EXPECT_EXIT(report_error(error_table, ERR_MEMORY), ExitedWithCode(1),
              Eq("zvbtrack: Error: Not enough memory\n"));
  EXPECT_EXIT(report_error(error_table, ERR_OUTPUT_CONFLICT, "out.dat", "old.dat"),
              ExitedWithCode(1),
              Eq("zvbtrack: Error: Output cannot be written to \"out.dat\" and appended to "
                 "\"old.dat\" at the same time\n"));
}

TEST(Report, PercentInAFileNameReachesTheLineUnchanged) {
  program_name = "zvbtrack";
  EXPECT_EXIT(report_error(error_table, ERR_FILE, "a%sb%d%%.zvb", "No such file or directory"),
              ExitedWithCode(1),
              Eq("zvbtrack: Error: \"a%sb%d%%.zvb\": No such file or directory\n"));
}

TEST(Report, EmptyProgramNameLeavesTheColonFirst) {
  program_name = "";
  EXPECT_EXIT(report_error(error_table, ERR_TERMINAL), ExitedWithCode(1),
              Eq(": Error: ZVB output can not be read from or written to a terminal\n"));
}

TEST(Report, LongMessagesAreWrittenWhole) {
  program_name = "zvbtrack";
  const std::string name(3000, 'n');
  EXPECT_EXIT(report_error(error_table, ERR_MAGIC, name.c_str()), ExitedWithCode(1),
              Eq("zvbtrack: Error: \"" + name + "\": Not a ZV-File\n"));
  EXPECT_EXIT(error_exit("\"%s\" should be directory only\n", name.c_str()), ExitedWithCode(1),
              Eq("Error: \"" + name + "\" should be directory only\n"));
}

TEST(Report, DirectErrorHasNoProgramName) {
  program_name = "zvbtrack";
  EXPECT_EXIT(error_exit("Not enough memory\n"), ExitedWithCode(1),
              Eq("Error: Not enough memory\n"));
  EXPECT_EXIT(error_exit("Not all arrays terminate at length %d\n", 3), ExitedWithCode(1),
              Eq("Error: Not all arrays terminate at length 3\n"));
}

TEST(Report, WarningReturnsAfterItsLine) {
  program_name = "zvbtrack";
  testing::internal::CaptureStderr();
  warning("%s of %d", "two", 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "zvbtrack: Warning: two of 2\n");
}

// Both streams into one file shows which bytes left first.
static void send_both_streams_to(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, 1);
  dup2(fd, 2);
  close(fd);
}

TEST(Report, CodedErrorFlushesStandardOutputFirst) {
  TempDir dir;
  const std::string path = dir.file("both");
  program_name = "zvbtrack";
  EXPECT_EXIT(
      {
        send_both_streams_to(path);
        std::fputs("partial output", stdout);
        report_error(error_table, ERR_MEMORY);
      },
      ExitedWithCode(1), Eq(""));
  EXPECT_EQ(read_file_bytes(path), "partial outputzvbtrack: Error: Not enough memory\n");
}

TEST(Report, DirectErrorLeavesStandardOutputToTheExit) {
  TempDir dir;
  const std::string path = dir.file("both");
  EXPECT_EXIT(
      {
        send_both_streams_to(path);
        std::fputs("partial output", stdout);
        error_exit("Not enough memory\n");
      },
      ExitedWithCode(1), Eq(""));
  // Nothing is flushed before the line; the exit flushes standard output after it.
  EXPECT_EQ(read_file_bytes(path), "Error: Not enough memory\npartial output");
}

static int cleanup_calls = 0;
static void count_cleanup() {
  cleanup_calls++;
  std::fprintf(stderr, "cleanup %d\n", cleanup_calls);
}

TEST(Report, FailureCleanupRunsOnceBeforeEitherKindOfExit) {
  program_name = "zvbtrack";
  EXPECT_EXIT(
      {
        set_failure_cleanup(count_cleanup);
        report_error(error_table, ERR_MEMORY);
      },
      ExitedWithCode(1), Eq("zvbtrack: Error: Not enough memory\ncleanup 1\n"));
  EXPECT_EXIT(
      {
        set_failure_cleanup(count_cleanup);
        error_exit("Not enough memory\n");
      },
      ExitedWithCode(1), Eq("Error: Not enough memory\ncleanup 1\n"));
}
