// Operating-system services for the data layer, on POSIX.
#include "data/platform.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

int stream_descriptor(std::FILE* stream) {
  return fileno(stream);
}

bool is_terminal(int descriptor) {
  return isatty(descriptor) != 0;
}

void set_binary_mode(int) {}

std::int64_t file_length(int descriptor) {
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
    return -1;
  return status.st_size;
}

void* take_large_block(std::size_t size) {
  if (size == 0)
    return nullptr;
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED)
    return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(block, size, MADV_HUGEPAGE);  // advice only: without it the block works the same
#endif
  return block;
}

void free_large_block(void* block, std::size_t size) {
  if (block != nullptr)
    munmap(block, size);
}

std::int64_t current_time() {
  return static_cast<std::int64_t>(std::time(nullptr));
}
