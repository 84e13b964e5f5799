// End-to-end: zvbdump's paths however long they are, in the tree view and the CSV table.
#include <gtest/gtest.h>
#include <sys/resource.h>

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

// A path of 65,000 steps, of which the first three find their group: each step's text for the
// message is a view of the path, not a copy of it so far (which would take gigabytes).
TEST(DumpPath, LongPathNeedsLittleMemory) {
#if defined(ZVB_ADDRESS_SANITIZER)
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space: no limit can apply";
#endif
  TempDir dir;
  const std::string path = dir.file("nested.zvb");
  ZvbBuilder b;
  b.file_header().group("a").group("a").group("a").array_f64("x", { 1 }).end().end().end();
  write_file_bytes(path, b.bytes());
  std::string steps;
  for (int i = 0; i < 65000; i++)
    steps += "/a";
  RunOptions limited;
  limited.in_child = [] {
    const rlimit limit = { 64u << 20, 64u << 20 };
    setrlimit(RLIMIT_AS, &limit);
  };
  for (const std::vector<std::string>& options :
       { std::vector<std::string>{}, std::vector<std::string>{ "-c" } }) {
    SCOPED_TRACE(options.empty() ? "tree" : "csv");
    std::vector<std::string> args = options;
    args.insert(args.end(), { "-p", steps, path });
    const RunResult result = run_program(ZVBDUMP_BIN, args, limited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: No element matches \"/a/a/a/a\" in \"" + path + "\"\n");
  }
}
