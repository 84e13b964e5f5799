// End-to-end: zvbgen refuses what it cannot make before it opens its output.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "support/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZVB_ADDRESS_SANITIZER 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZVB_ADDRESS_SANITIZER 1
#endif
#endif

TEST(Tools, ZvbgenRefusesSizesItCannotMake) {
  const std::string hint = " (\"zvbgen -h\" lists the options)\n";
  struct Row {
    std::vector<std::string> args;
    bool address_limit;  // run with 256 MiB of address space
    std::string err;
  };
  const Row rows[] = {
    { { "-N", "99999999999" },
      false,
      "zvbgen: Error: Invalid -N 99999999999: at most 536870911 objects, so that each array stays "
      "below 4 GiB" +
          hint },
    { { "-f", "-N", "1073741824" },
      false,
      "zvbgen: Error: Invalid -N 1073741824: at most 1073741823 objects, so that each array "
      "stays below 4 GiB" +
          hint },
    { { "-n", "-T", "2147483648" },
      false,
      "zvbgen: Error: Invalid -T 2147483648 with -r 0: at most 2147483647 steps in all, and "
      "2147483647 runs" +
          hint },
    { { "-r", "99999999999", "-T", "99999999999" },
      false,
      "zvbgen: Error: Invalid -T 99999999999 with -r 99999999999: at most 2147483647 steps in "
      "all, and 2147483647 runs" +
          hint },
    { { "-N", "1000000", "-T", "1000", "-c", "0.5" },
      false,
      "zvbgen: Error: Invalid sizes: 1000000 objects over 1000 steps with churn 0.5 could take "
      "identifiers past 2147483647" +
          hint },
    { { "-N", "100000000", "-T", "1", "-c", "0" }, true, "zvbgen: Error: Not enough memory\n" },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.err);
#if defined(ZVB_ADDRESS_SANITIZER)
    if (row.address_limit)
      continue;  // AddressSanitizer reserves terabytes of address space: no limit can apply
#endif
    TempDir dir;
    write_file_bytes(dir.file("kept.zvb"), "old");
    std::vector<std::string> args = row.args;
    args.insert(args.end(), { "-o", dir.file("kept.zvb") });
    RunOptions options;
    const bool limited = row.address_limit;
    options.in_child = [limited] {
      // Bounds for a zvbgen that set about what it was refused: it fails at once.
      const rlimit file_size = { 1u << 20, 1u << 20 };
      const rlimit address = { 256u << 20, 256u << 20 };
      if (setrlimit(RLIMIT_FSIZE, &file_size) != 0 ||
          (limited && setrlimit(RLIMIT_AS, &address) != 0))
        _exit(124);
      alarm(60);
    };
    const RunResult result = run_program(ZVBGEN_BIN, args, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(read_file_bytes(dir.file("kept.zvb")), "old");  // not even opened
  }
}
