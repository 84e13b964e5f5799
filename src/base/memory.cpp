// The memory limit of the process, from the cgroup files and /proc/meminfo.
#include "base/memory.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/report.h"

bool parse_memory_size(const char* text, std::uint64_t* bytes) {
  std::uint64_t value = 0;
  const char* at = text;
  if (!std::isdigit(static_cast<unsigned char>(*at)))
    return false;
  for (; std::isdigit(static_cast<unsigned char>(*at)); at++) {
    const std::uint64_t digit = static_cast<std::uint64_t>(*at - '0');
    if (value > (UINT64_MAX - digit) / 10)
      return false;
    value = value * 10 + digit;
  }
  int shift = 0;
  switch (std::toupper(static_cast<unsigned char>(*at))) {
  case 'K':
    shift = 10;
    break;
  case 'M':
    shift = 20;
    break;
  case 'G':
    shift = 30;
    break;
  default:
    break;
  }
  if (shift != 0) {
    at++;
    if (*at == 'i')
      at++;
  }
  if (*at == 'B' || *at == 'b')
    at++;
  if (*at != '\0' || value == 0 || value > (UINT64_MAX >> shift))
    return false;
  *bytes = value << shift;
  return true;
}

const char* memory_files_root = "";

static std::FILE* open_system_file(const std::string& path) {
  return std::fopen((std::string(memory_files_root) + path).c_str(), "r");
}

// The first number in a file; false when it holds none (such as "max").
static bool read_number(const std::string& path, std::uint64_t* number) {
  std::FILE* file = open_system_file(path);
  if (file == nullptr)
    return false;
  unsigned long long value = 0;
  const bool found = std::fscanf(file, "%llu", &value) == 1;
  std::fclose(file);
  if (found)
    *number = value;
  return found;
}

// The least limit found in `file` of the cgroup at `path` under `mount` and of its ancestors.
static std::uint64_t least_limit(const std::string& mount, std::string path, const char* file) {
  std::uint64_t least = UINT64_MAX;
  for (;;) {
    std::uint64_t limit;
    if (read_number(mount + path + "/" + file, &limit) && limit < least)
      least = limit;
    if (path.empty() || path == "/")
      break;
    const std::size_t slash = path.rfind('/');
    path = slash == std::string::npos ? "" : path.substr(0, slash);
  }
  return least;
}

static std::uint64_t cgroup_limit() {
  std::FILE* file = open_system_file("/proc/self/cgroup");
  if (file == nullptr)
    return UINT64_MAX;
  std::uint64_t least = UINT64_MAX;
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    line[std::strcspn(line, "\n")] = '\0';
    // hierarchy:controllers:path; the unified hierarchy has no controllers listed.
    char* controllers = std::strchr(line, ':');
    char* path = controllers != nullptr ? std::strchr(controllers + 1, ':') : nullptr;
    if (path == nullptr)
      continue;
    *path++ = '\0';
    controllers++;
    std::uint64_t limit = UINT64_MAX;
    if (*controllers == '\0') {
      limit = least_limit("/sys/fs/cgroup", path, "memory.max");
    } else {
      const std::string list = std::string(",") + controllers + ",";
      if (list.find(",memory,") != std::string::npos)
        limit = least_limit("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes");
    }
    if (limit < least)
      least = limit;
  }
  std::fclose(file);
  return least;
}

static std::uint64_t available_memory() {
  std::FILE* file = open_system_file("/proc/meminfo");
  if (file == nullptr)
    return UINT64_MAX;
  std::uint64_t available = UINT64_MAX;
  char line[256];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    unsigned long long kib = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
      available = static_cast<std::uint64_t>(kib) * 1024;
      break;
    }
  }
  std::fclose(file);
  return available;
}

std::uint64_t system_memory_limit() {
  // An unlimited v1 cgroup reports a number near 2^63: any limit past the machine's memory
  // is no limit, and the available memory decides.
  const std::uint64_t cgroup = cgroup_limit();
  const std::uint64_t available = available_memory();
  const std::uint64_t least = cgroup < available ? cgroup : available;
  return least == UINT64_MAX ? 0 : least;
}

// The process's resident memory; 0 when it cannot be read.
static std::uint64_t resident_memory() {
  std::FILE* file = open_system_file("/proc/self/statm");
  if (file == nullptr)
    return 0;
  unsigned long long pages = 0;
  unsigned long long resident = 0;
  const bool found = std::fscanf(file, "%llu %llu", &pages, &resident) == 2;
  std::fclose(file);
  const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  return found ? static_cast<std::uint64_t>(resident) * page : 0;
}

std::uint64_t memory_headroom() {
  const std::uint64_t cgroup = cgroup_limit();
  const std::uint64_t resident = resident_memory();
  const std::uint64_t beside = cgroup == UINT64_MAX ? UINT64_MAX
                               : cgroup > resident  ? cgroup - resident
                                                    : 0;
  const std::uint64_t available = available_memory();
  return beside < available ? beside : available;
}

std::uint64_t memory_budget() {
  const char* text = std::getenv("ZVBTRACK_MEMORY");
  if (text != nullptr && *text != '\0') {
    std::uint64_t bytes = 0;
    if (!parse_memory_size(text, &bytes))
      error_exit("ZVBTRACK_MEMORY=\"%s\" is not a size: give bytes, or a number with K, M or G\n",
                 text);
    return bytes;
  }
  return system_memory_limit() / 4;
}
