// The memory budget: the sizes ZVBTRACK_MEMORY takes, and what the system lets the process
// use, read from cgroup files of either version and from the available memory.
#include "base/memory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"
#include "support/zvb_builder.h"

namespace {

TEST(Memory, SizesTakeEitherCaseOfEverySuffixAndRefuseTheRest) {
  struct Row {
    const char* text;
    bool valid;
    std::uint64_t bytes;
  };
  const Row rows[] = {
    { "1", true, 1 },
    { "4096", true, 4096 },
    { "4K", true, 4096 },
    { "4k", true, 4096 },
    { "4KB", true, 4096 },
    { "4kb", true, 4096 },
    { "4KiB", true, 4096 },
    { "4kib", true, 4096 },
    { "3M", true, 3u << 20 },
    { "3m", true, 3u << 20 },
    { "3MiB", true, 3u << 20 },
    { "2G", true, std::uint64_t{ 2 } << 30 },
    { "2g", true, std::uint64_t{ 2 } << 30 },
    { "2gB", true, std::uint64_t{ 2 } << 30 },
    { "18446744073709551615", true, UINT64_MAX },
    { "17179869183G", true, std::uint64_t{ 17179869183 } << 30 },
    { "18446744073709551616", false, 0 },  // one past the largest
    { "17179869184G", false, 0 },          // 2^64 bytes
    { "0", false, 0 },
    { "0K", false, 0 },
    { "", false, 0 },
    { "K", false, 0 },
    { "-1", false, 0 },
    { " 4K", false, 0 },
    { "4K ", false, 0 },
    { "4T", false, 0 },
    { "4KK", false, 0 },
    { "4iB", false, 0 },
    { "1.5G", false, 0 },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::uint64_t bytes = 7;
    EXPECT_EQ(parse_memory_size(row.text, &bytes), row.valid);
    EXPECT_EQ(bytes, row.valid ? row.bytes : 7u);
  }
}

// A tree of the files the limits are read from, in place of the system's.
class SystemFiles {
 public:
  SystemFiles() { memory_files_root = root_.c_str(); }
  ~SystemFiles() { memory_files_root = ""; }
  void put(const std::string& path, const std::string& text) {
    const std::string full = root_ + path;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    write_file_bytes(full, text);
  }

 private:
  TempDir dir_;
  std::string root_ = dir_.path();
};

TEST(Memory, LimitIsTheLeastOfTheCgroupsOfEitherVersionAndTheAvailableMemory) {
  const std::string meminfo = "MemTotal: 8000000 kB\nMemAvailable: 6000000 kB\n";
  struct Row {
    const char* name;
    const char* cgroup;                    // /proc/self/cgroup
    std::vector<std::string> limit_files;  // path=value
    const char* meminfo;
    std::uint64_t limit;
  };
  const Row rows[] = {
    { "v1, an ancestor's limit is less",
      "12:cpu:/x\n5:memory,other:/a/b\n",
      { "/sys/fs/cgroup/memory/a/b/memory.limit_in_bytes=400000000",
        "/sys/fs/cgroup/memory/a/memory.limit_in_bytes=300000000",
        "/sys/fs/cgroup/memory/memory.limit_in_bytes=9223372036854771712" },
      meminfo.c_str(),
      300000000 },
    { "v1 unlimited: the available memory",
      "5:memory:/a\n",
      { "/sys/fs/cgroup/memory/a/memory.limit_in_bytes=9223372036854771712" },
      meminfo.c_str(),
      6000000ull * 1024 },
    { "v2, max above a limit",
      "0::/s/t\n",
      { "/sys/fs/cgroup/s/t/memory.max=max", "/sys/fs/cgroup/s/memory.max=200000000" },
      meminfo.c_str(),
      200000000 },
    { "v2, less available than the limit",
      "0::/s\n",
      { "/sys/fs/cgroup/s/memory.max=9000000000" },
      "MemAvailable: 1000 kB\n",
      1024000 },
    { "no cgroup file", nullptr, {}, meminfo.c_str(), 6000000ull * 1024 },
    { "nothing to read", nullptr, {}, nullptr, 0 },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SystemFiles files;
    if (row.cgroup != nullptr)
      files.put("/proc/self/cgroup", row.cgroup);
    for (const std::string& setting : row.limit_files) {
      const std::size_t equals = setting.find('=');
      files.put(setting.substr(0, equals), setting.substr(equals + 1) + "\n");
    }
    if (row.meminfo != nullptr)
      files.put("/proc/meminfo", row.meminfo);
    EXPECT_EQ(system_memory_limit(), row.limit);
    unsetenv("ZVBTRACK_MEMORY");
    EXPECT_EQ(memory_budget(), row.limit / 4);
  }
}

TEST(Memory, HeadroomIsWhatTheCgroupLeavesBesideTheResidentMemory) {
  SystemFiles files;
  files.put("/proc/self/cgroup", "0::/job\n");
  files.put("/sys/fs/cgroup/job/memory.max", "100000000\n");
  files.put("/proc/meminfo", "MemAvailable: 90000 kB\n");
  const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  files.put("/proc/self/statm", "5000 1000 300 20 0 900 0\n");
  EXPECT_EQ(memory_headroom(), std::min<std::uint64_t>(100000000 - 1000 * page, 90000 * 1024));
  files.put("/proc/meminfo", "MemAvailable: 9000000 kB\n");
  EXPECT_EQ(memory_headroom(), 100000000 - 1000 * page);
  files.put("/proc/self/statm", "90000 30000 0 0 0 0 0\n");  // more resident than the limit
  EXPECT_EQ(memory_headroom(), 0u);
}

TEST(Memory, BudgetFromTheEnvironmentOrTheEndOfTheRun) {
  setenv("ZVBTRACK_MEMORY", "64m", 1);
  EXPECT_EQ(memory_budget(), 64u << 20);
  setenv("ZVBTRACK_MEMORY", "64 MB", 1);
  EXPECT_EXIT(memory_budget(), testing::ExitedWithCode(1),
              testing::HasSubstr("Error: ZVBTRACK_MEMORY=\"64 MB\" is not a size: give bytes, or a "
                                 "number with K, M or G\n"));
  unsetenv("ZVBTRACK_MEMORY");
}

}  // namespace
