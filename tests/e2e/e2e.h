// Helpers shared by the end-to-end tests: running the built programs, and the bytes of the
// files that zvbtrack writes.
#ifndef ZVBTRACK_TESTS_E2E_E2E_H_
#define ZVBTRACK_TESTS_E2E_E2E_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run.h"
#include "support/zvb_builder.h"

// The short help as zvbtrack prints it when started under its own name.
extern const char SHORT_HELP[];

// Runs the built zvbtrack with `args`; with a nonempty `dir` it runs inside that directory,
// so that relative file names reach its messages as typed.
RunResult run_zvbtrack(const std::vector<std::string>& args, const RunOptions& options = {},
                       const std::string& dir = "");

// Runs the same program built to transpose through the output tree always, never laying the
// output out in advance: what it writes is what zvbtrack must write.
RunResult run_zvbtrack_tree(const std::vector<std::string>& args);

// Runs the built zvbgen with `args`; the test fails unless it succeeds.
void run_zvbgen(const std::vector<std::string>& args);

// The 48-byte header that zvbtrack writes, with a creation time of 0.
Bytes output_header();

// A builder that already holds output_header(); the expected trajectory file follows.
ZvbBuilder expected_output();

// The example input: two groups named time (0 and 1), each holding arrays x, y and "ID" of
// two doubles; and what zvbtrack makes of it with the operands time x y.
Bytes example_input(bool reversed = false);
Bytes example_output();
// example_output() without its file header, as -a adds it to a file.
Bytes example_elements();

// The file as bytes; the test fails when there is none.
std::string file_bytes(const std::string& path);

// Succeeds when `actual` is a file that zvbtrack wrote with the bytes of `expected`, apart
// from the creation time (bytes 4 to 7). On failure both files are listed element by element.
testing::AssertionResult SameOutput(const std::string& actual, const Bytes& expected);

// The file as one line per element ("name type size: values"), indented by nesting.
std::string describe_zvb(const std::string& bytes);

#endif  // ZVBTRACK_TESTS_E2E_E2E_H_
