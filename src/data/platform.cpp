// Operating-system services for the data layer, on POSIX.
#include "data/platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

int stream_descriptor(std::FILE* stream) { return fileno(stream); }

bool is_terminal(int descriptor) { return isatty(descriptor) != 0; }

void set_binary_mode(int) {}

std::int64_t file_length(int descriptor) {
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
    return -1;
  return status.st_size;
}

std::int64_t current_time() { return static_cast<std::int64_t>(std::time(nullptr)); }
