// The suite's main guard: on random inputs over every axis of the format, every way zvbtrack
// transposes (at once, by windows at several tiny budgets, through pipes) gives the reference
// build's bytes, messages and status, and zvbdump's long table of every output is the Python
// reader's. ZVB_GENERATED_CASES sets how many inputs (from seed ZVB_GENERATED_FIRST, default
// 1); a failure names its seed, which reruns alone with ZVB_GENERATED_FIRST=seed and
// ZVB_GENERATED_CASES=1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "support/random_input.h"
#include "support/temp_dir.h"

namespace {

using Words = std::vector<std::string>;

std::uint64_t setting(const char* name, std::uint64_t otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : otherwise;
}

// Bytes of a trajectory file apart from its creation time.
std::string without_time(std::string bytes) {
  if (bytes.size() >= 8)
    bytes.replace(4, 4, 4, '\0');
  return bytes;
}

void expect_same_run(const RunResult& run, const RunResult& reference) {
  EXPECT_EQ(run.status, reference.status);
  EXPECT_EQ(run.err, reference.err);
  EXPECT_TRUE(without_time(run.out) == without_time(reference.out))
      << "outputs differ; the reference's:\n"
      << describe_zvb(reference.out) << "this one's:\n"
      << describe_zvb(run.out);
}

// Every program runs under the one name, so that messages compare.
RunResult run_with_memory(const std::string& program, const Words& args,
                          const std::string& memory) {
  Words words{ "-c", "ZVBTRACK_MEMORY=$1 exec -a zvbtrack \"$2\" \"${@:3}\"", "sh", memory,
               program };
  words.insert(words.end(), args.begin(), args.end());
  return run_program("/bin/bash", words);
}

// The input through a pipe and the output into one: the same messages name the input "-".
RunResult run_piped(const std::string& program, const std::string& input, Words args,
                    const std::string& memory) {
  std::string command = "cat \"$1\" | ZVBTRACK_MEMORY=$2 exec -a zvbtrack \"$3\"";
  for (std::size_t i = 0; i < args.size(); i++)
    command += " \"${" + std::to_string(i + 4) + "}\"";
  command += " | cat";
  Words words{ "-c", command, "sh", input, memory, program };
  words.insert(words.end(), args.begin(), args.end());
  return run_program("/bin/bash", words);
}

// Budgets that cut even a small output into many windows, and one picked by the seed.
Words budgets_for(std::uint64_t seed) {
  return { "", "1", std::to_string(200 + seed * 7919 % 20000) };
}

// The long table of each output, as the Python tests' long_table_differences checks it:
// against the Python reader's tree, and against zvbdump's long table where it writes one.
void expect_same_long_tables(const std::vector<std::string>& outputs) {
  const std::string script =
      "import sys, test_scale\n"
      "print(*test_scale.long_table_differences(sys.argv[1:]), sep='\\n', end='')\n";
  Words checked{ "PYTHONPATH=" ZVB_SOURCE_DIR "/python:" ZVB_SOURCE_DIR "/python/tests",
                 "/usr/bin/python3", "-c", script };
  std::size_t tables = 0;
  for (const std::string& out : outputs) {
    const RunResult dump = run_program(ZVBDUMP_BIN, { "-c", out });
    if (dump.status != 0) {
      // Only trajectories of more than one kind of columns keep zvbdump from a long table of
      // a file that zvbtrack wrote: it asks for -p.
      EXPECT_NE(dump.err.find("select one kind with -p"), std::string::npos)
          << out << ": " << dump.err;
      continue;
    }
    write_file_bytes(out + ".csv", dump.out);
    tables++;
  }
  checked.insert(checked.end(), outputs.begin(), outputs.end());
  const RunResult python = run_program("/usr/bin/env", checked);
  EXPECT_EQ(python.status, 0) << python.err;
  EXPECT_EQ(python.out, "");
  EXPECT_GE(tables * 4, outputs.size()) << "too few outputs made a long table to compare";
}

}  // namespace

TEST(Generated, EveryWayOfTransposingGivesTheReferenceOutput) {
  const std::uint64_t first = setting("ZVB_GENERATED_FIRST", 1);
  const std::uint64_t count = setting("ZVB_GENERATED_CASES", 200);
  TempDir dir;
  std::vector<std::string> outputs;
  for (std::uint64_t seed = first; seed < first + count && !HasFailure(); seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ": rerun with ZVB_GENERATED_FIRST=" +
                 std::to_string(seed) + " ZVB_GENERATED_CASES=1");
    const RandomInput input = random_input(seed);
    const std::string path = dir.file("in" + std::to_string(seed) + ".zvb");
    write_random_input(path, input);
    const Words args = random_input_args(input, path);
    const RunResult reference = run_with_memory(ZVBTRACK_TREE_BIN, args, "");
    for (const std::string& memory : budgets_for(seed)) {
      SCOPED_TRACE("ZVBTRACK_MEMORY=" + memory);
      expect_same_run(run_with_memory(ZVBTRACK_BIN, args, memory), reference);
    }
    if (reference.status == 0 && reference.out.size() > sizeof(FileHeader)) {
      outputs.push_back(dir.file("out" + std::to_string(seed) + ".zvb"));
      write_file_bytes(outputs.back(), reference.out);
    }
    // Through pipes the input is read whole (so its size does not matter), and an output is
    // filled in memory, at once (also one large for the seed's budget) or by windows.
    if (input.hole_size != 0)
      continue;
    const Words piped_args = random_input_args(input, "-");
    const std::string memory = budgets_for(seed)[seed % 3];
    SCOPED_TRACE("piped, ZVBTRACK_MEMORY=" + memory);
    expect_same_run(run_piped(ZVBTRACK_BIN, path, piped_args, memory),
                    run_piped(ZVBTRACK_TREE_BIN, path, piped_args, ""));
  }
  if (!HasFailure())
    expect_same_long_tables(outputs);
}

// With -i and -w, every way of transposing gives what the reference build gives for the input
// with everything not selected left out; and a dry run tells that output's size.
TEST(Generated, ASelectionGivesWhatTheInputWithoutTheRestGives) {
  const std::uint64_t first = setting("ZVB_GENERATED_FIRST", 1);
  const std::uint64_t count = setting("ZVB_GENERATED_CASES", 200) / 2;
  TempDir dir;
  for (std::uint64_t seed = first; seed < first + count && !HasFailure(); seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ": rerun with ZVB_GENERATED_FIRST=" +
                 std::to_string(seed) + " ZVB_GENERATED_CASES=2");
    const RandomInput input = random_input(seed, true);
    const std::string path = dir.file("in" + std::to_string(seed) + ".zvb");
    const std::string left = dir.file("left" + std::to_string(seed) + ".zvb");
    write_random_input(path, input);
    write_filtered_input(left, input);
    Words selection;
    if (!input.id_items.empty()) {
      std::string items;
      for (const std::string& item : input.id_items)
        items += (items.empty() ? "" : seed % 2 == 0 ? "," : "\n ") + item;
      if (seed % 2 == 0) {
        selection = { "-i", items };
      } else {
        write_file_bytes(dir.file("ids"), items + "\n");
        selection = { "-i", "@" + dir.file("ids") };
      }
    }
    if (!input.window.empty())
      selection.insert(selection.end(), { "-w", input.window });
    Words args = selection;
    const Words rest = random_input_args(input, path);
    args.insert(args.end(), rest.begin(), rest.end());
    SCOPED_TRACE("selection: " + selection[0] + " " + selection[1] +
                 (selection.size() > 2 ? " " + selection[2] + " " + selection[3] : ""));
    RunResult reference = run_with_memory(ZVBTRACK_TREE_BIN, random_input_args(input, left), "");
    // Messages name the input file: the reference's names the file left.
    for (std::size_t at = reference.err.find(left); at != std::string::npos;
         at = reference.err.find(left))
      reference.err.replace(at, left.size(), path);
    // Where the input left holds no group to transpose, the run with the selection says that
    // none of its samples is selected, unless the full input has none either.
    const std::string none = "zvbtrack: Warning: The output holds no trajectory: no group has";
    const std::string unselected =
        "zvbtrack: Warning: The output holds no trajectory: no sample of the input is selected "
        "by -i or -w\n";
    bool none_selected = false;
    if (reference.err.compare(0, none.size(), none) == 0) {
      const RunResult whole = run_with_memory(ZVBTRACK_BIN, random_input_args(input, path), "");
      none_selected = whole.err.compare(0, none.size(), none) != 0;
      if (none_selected)
        reference.err = unselected;
    }
    for (const std::string& memory : budgets_for(seed)) {
      SCOPED_TRACE("ZVBTRACK_MEMORY=" + memory);
      expect_same_run(run_with_memory(ZVBTRACK_BIN, args, memory), reference);
    }
    Words dry_run = { "-n" };
    dry_run.insert(dry_run.end(), args.begin(), args.end());
    const RunResult told = run_with_memory(ZVBTRACK_BIN, dry_run, "");
    EXPECT_EQ(told.out, "");
    if (reference.status == 0) {
      EXPECT_EQ(told.status, 0) << told.err;
      const std::string bytes =
          " " + std::to_string(reference.out.size() - 48) + " bytes of output";
      EXPECT_NE(told.err.find(bytes), std::string::npos) << told.err << "\nexpected" << bytes;
    }
    if (input.hole_size != 0)
      continue;
    Words piped = selection;
    const Words piped_rest = random_input_args(input, "-");
    piped.insert(piped.end(), piped_rest.begin(), piped_rest.end());
    SCOPED_TRACE("piped");
    RunResult piped_reference = run_piped(ZVBTRACK_TREE_BIN, left, piped_rest, "");
    if (none_selected)
      piped_reference.err = unselected;
    expect_same_run(run_piped(ZVBTRACK_BIN, path, piped, seed % 2 == 0 ? "" : "1"),
                    piped_reference);
  }
}
