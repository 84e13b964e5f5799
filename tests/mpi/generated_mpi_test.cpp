// zvbtrack-mpi against the reference build on random inputs over every axis of the format
// (the inputs of the generated comparison of zvbtrack's own ways of transposing), with 1, 2
// and 3 ranks, with a budget small enough for many rounds of exchange, and with selections.
// ZVB_MPI_CASES sets how many inputs (from seed ZVB_GENERATED_FIRST, default 1).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "mpi/mpi_run.h"
#include "support/random_input.h"
#include "support/temp_dir.h"

namespace {

using Words = std::vector<std::string>;

std::uint64_t setting(const char* name, std::uint64_t otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : otherwise;
}

std::string without_time(std::string bytes) {
  if (bytes.size() >= 8)
    bytes.replace(4, 4, 4, '\0');
  return bytes;
}

// The program names its errors after itself.
RunResult run_mpi(int ranks, const std::string& memory, const Words& args) {
  Words words = { "OMPI_ALLOW_RUN_AS_ROOT=1",
                  "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1",
                  MPIRUN_BIN,
                  "-q",
                  "--mca",
                  "odls_base_sigkill_timeout",
                  "0",
                  "--oversubscribe",
                  "--mca",
                  "pml",
                  "ob1",
                  "-np",
                  std::to_string(ranks),
                  "-x",
                  "ZVBTRACK_MEMORY=" + memory,
                  ZVBTRACK_MPI_BIN };
  words.insert(words.end(), args.begin(), args.end());
  return run_program("/usr/bin/env", words);
}

}  // namespace

TEST(GeneratedMpi, EveryRankCountGivesTheReferenceOutput) {
  const std::uint64_t first = setting("ZVB_GENERATED_FIRST", 1);
  const std::uint64_t count = setting("ZVB_MPI_CASES", 48);
  TempDir dir;
  for (std::uint64_t seed = first; seed < first + count && !HasFailure(); seed++) {
    const int ranks = 1 + static_cast<int>(seed % 3);
    const std::string memory = seed % 2 == 0 ? "" : "4K";
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(ranks) +
                 " ranks, ZVBTRACK_MEMORY=" + memory +
                 ": rerun with ZVB_GENERATED_FIRST=" + std::to_string(seed) + " ZVB_MPI_CASES=1");
    // Every other input with a selection: the reference transposes the input it leaves.
    const bool selecting = seed % 4 >= 2;
    const RandomInput input = random_input(seed, selecting);
    const std::string path = dir.file("in.zvb");
    const std::string left = dir.file("left.zvb");
    const std::string out = dir.file("out.zvb");
    write_random_input(path, input);
    Words args = { "-o", out };
    if (selecting) {
      write_filtered_input(left, input);
      std::string items;
      for (const std::string& item : input.id_items)
        items += (items.empty() ? "" : ",") + item;
      if (!items.empty())
        args.insert(args.end(), { "-i", items });
      if (!input.window.empty())
        args.insert(args.end(), { "-w", input.window });
    }
    RunOptions named;
    named.argv0 = "zvbtrack";
    RunResult reference =
        run_program(ZVBTRACK_TREE_BIN, random_input_args(input, selecting ? left : path), named);
    for (std::size_t at = reference.err.find(left); selecting && at != std::string::npos;
         at = reference.err.find(left))
      reference.err.replace(at, left.size(), path);
    // Where the input left holds no group to transpose but the whole input does, the run with
    // the selection says that none of its samples is selected.
    const std::string none = "zvbtrack: Warning: The output holds no trajectory: no group has";
    if (selecting && reference.err.compare(0, none.size(), none) == 0) {
      const RunResult whole = run_program(ZVBTRACK_TREE_BIN, random_input_args(input, path), named);
      if (whole.err.compare(0, none.size(), none) != 0)
        reference.err =
            "zvbtrack: Warning: The output holds no trajectory: no sample of the input is "
            "selected by -i or -w\n";
    }
    const Words rest = random_input_args(input, path);
    args.insert(args.end(), rest.begin(), rest.end());
    std::remove(out.c_str());
    const RunResult run = run_mpi(ranks, memory, args);
    EXPECT_EQ(run.status, reference.status);
    EXPECT_EQ(as_zvbtrack(run.err), reference.err);
    EXPECT_EQ(run.out, "");
    if (reference.status == 0) {
      EXPECT_TRUE(without_time(file_bytes(out)) == without_time(reference.out))
          << "outputs differ; the reference's:\n"
          << describe_zvb(reference.out) << "zvbtrack-mpi's:\n"
          << describe_zvb(file_bytes(out));
    }
  }
}
