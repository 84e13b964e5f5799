// Operating-system services for the data layer, on POSIX.
#include "base/platform.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

int stream_descriptor(std::FILE* stream) {
  return fileno(stream);
}

bool is_terminal(int descriptor) {
  return isatty(descriptor) != 0;
}

void set_binary_mode(int) {}

void open_standard_descriptors() {
  for (int descriptor = 0; descriptor <= 2; descriptor++) {
    if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF)
      continue;
    // The lowest free number is this one, since those below it are open.
    const int opened = open("/dev/null", descriptor == 0 ? O_WRONLY : O_RDONLY);
    if (opened != descriptor)
      _exit(1);
  }
}

std::int64_t file_length(int descriptor) {
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
    return -1;
  return status.st_size;
}

unsigned usable_processors() {
  static const unsigned count = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
      return static_cast<unsigned>(CPU_COUNT(&set));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1u;
  }();
  return count;
}

// Zero-filled anonymous memory with the advice given (advice only: without it the block
// works the same); null when there is none.
static void* take_advised_block(std::size_t size, int advice) {
  if (size == 0)
    return nullptr;
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED)
    return nullptr;
  if (advice >= 0)
    madvise(block, size, advice);
  return block;
}

void* take_large_block(std::size_t size) {
#ifdef MADV_HUGEPAGE
  return take_advised_block(size, MADV_HUGEPAGE);
#else
  return take_advised_block(size, -1);
#endif
}

void* take_plain_block(std::size_t size) {
  // Where the system gives huge pages unasked, ordinary ones are asked for.
#ifdef MADV_NOHUGEPAGE
  return take_advised_block(size, MADV_NOHUGEPAGE);
#else
  return take_advised_block(size, -1);
#endif
}

// Advice for every page that holds a byte of the `length` bytes at `bytes`.
static void advise_pages_holding(unsigned char* bytes, std::size_t length, int advice) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(bytes) & ~(page - 1);
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(bytes) + length;
  if (length > 0)
    madvise(reinterpret_cast<void*>(first), end - first, advice);
}

void bring_in_block_part(void* block, std::size_t offset, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
  advise_pages_holding(static_cast<unsigned char*>(block) + offset, length, MADV_POPULATE_WRITE);
#else
  (void)block;
  (void)offset;
  (void)length;
#endif
}

void let_go_of_block_part(void* block, std::size_t offset, std::size_t length) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(block) + offset;
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t last = (begin + length) & ~(page - 1);
  if (last > first)
    madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

int write_out_plain_block(int descriptor, unsigned char* block, std::size_t size,
                          std::int64_t offset, std::int64_t length) {
  constexpr std::size_t PIECE = 256 << 10;
  constexpr std::size_t LET_GO = 8 << 20;  // the block's memory goes back this much at a time
  std::size_t kept_from = 0;
  for (std::size_t done = 0; done < size;) {
    if (file_length(descriptor) < length)
      return ECANCELED;
    const std::size_t piece = std::min(PIECE, size - done);
    if (write_at(descriptor, block + done, piece, offset + static_cast<std::int64_t>(done)) != 0)
      return errno;
    done += piece;
    if (done - kept_from >= LET_GO || done == size) {
      let_go_of_block_part(block, kept_from, done - kept_from);
      kept_from = done;
    }
  }
  return 0;
}

void free_large_block(void* block, std::size_t size) {
  if (block != nullptr)
    munmap(block, size);
}

void* grow_large_block(void* block, std::size_t size, std::size_t new_size) {
  if (block == nullptr)
    return take_large_block(new_size);
  // The pages move from one place to the other in the address space: nothing is copied, and
  // no more memory than the grown block is ever held.
  void* grown = mremap(block, size, new_size, MREMAP_MAYMOVE);
  if (grown == MAP_FAILED)
    return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(grown, new_size, MADV_HUGEPAGE);
#endif
  return grown;
}

int reopen_read_write(int descriptor) {
  struct stat status;
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags < 0 || fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
    return -1;
  // A descriptor opened for reading only was not meant to be written: it stays so.
  if ((flags & O_ACCMODE) == O_RDONLY)
    return -1;
  if ((flags & O_ACCMODE) == O_RDWR)
    return fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  // The descriptor's own entry under /proc opens the file it is open on, whatever its name.
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor);
  const int reopened = open(path, O_RDWR | O_CLOEXEC);
  if (reopened < 0)
    return -1;
  struct stat reopened_status;
  if (fstat(reopened, &reopened_status) != 0 || reopened_status.st_dev != status.st_dev ||
      reopened_status.st_ino != status.st_ino) {
    close(reopened);
    return -1;
  }
  return reopened;
}

int allocate_file_space(int descriptor, std::int64_t offset, std::int64_t length) {
  int result;
  do {
    result = fallocate(descriptor, 0, static_cast<off_t>(offset), static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result;
}

void let_go_of_cached_pages(int directory, const char* name) {
  // Never waits for a writer at the other end of a FIFO put there meanwhile.
  const int descriptor = openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0)
    return;
  struct stat status;
  if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode))
    (void)posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
  close(descriptor);
}

unsigned char* map_file(int descriptor, std::int64_t offset, std::size_t length) {
  void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor,
                       static_cast<off_t>(offset));
  return mapping == MAP_FAILED ? nullptr : static_cast<unsigned char*>(mapping);
}

void unmap_file(unsigned char* mapping, std::size_t length) {
  if (mapping != nullptr)
    munmap(mapping, length);
}

void advise_scattered_stores(unsigned char* bytes, std::size_t length) {
  advise_pages_holding(bytes, length, MADV_RANDOM);
}

void release_mapped_range(int descriptor, std::int64_t offset, unsigned char* bytes,
                          std::size_t length) {
  (void)sync_file_range(descriptor, static_cast<off_t>(offset), static_cast<off_t>(length),
                        SYNC_FILE_RANGE_WRITE);
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  // The page that holds the first byte may hold bytes before them too, done already.
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(bytes) & ~(page - 1);
  const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(bytes) + length) & ~(page - 1);
  if (last > first)
    madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

std::int64_t map_granularity() {
  return sysconf(_SC_PAGESIZE);
}

std::string directory_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr)
    return ".";
  if (slash == path)
    return "/";
  return std::string(path, static_cast<std::size_t>(slash - path));
}

static int open_scratch_in(const std::string& directory) {
  std::string name = directory.empty() ? "." : directory;
  name += "/.zvbtrack-scratch-XXXXXX";
  const int descriptor = mkostemp(name.data(), O_CLOEXEC);
  if (descriptor >= 0)
    unlink(name.c_str());
  return descriptor;
}

int open_scratch_file(const char* directory) {
  int descriptor = -1;
  if (directory != nullptr)
    descriptor = open_scratch_in(directory);
  if (descriptor < 0) {
    const char* temporary = std::getenv("TMPDIR");
    descriptor = open_scratch_in(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp");
  }
  return descriptor;
}

std::int64_t read_up_to(int descriptor, void* bytes, std::size_t size, std::int64_t offset) {
  auto* at = static_cast<unsigned char*>(bytes);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(descriptor, at + done, size - done, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return -1;
    if (got == 0)
      break;
    done += static_cast<std::size_t>(got);
    offset += got;
  }
  return static_cast<std::int64_t>(done);
}

int read_at(int descriptor, void* bytes, std::size_t size, std::int64_t offset) {
  const std::int64_t got = read_up_to(descriptor, bytes, size, offset);
  if (got < 0)
    return -1;
  if (static_cast<std::size_t>(got) < size) {
    errno = EIO;
    return -1;
  }
  return 0;
}

int write_at(int descriptor, const void* bytes, std::size_t size, std::int64_t offset) {
  const auto* at = static_cast<const unsigned char*>(bytes);
  while (size > 0) {
    const ssize_t put = pwrite(descriptor, at, size, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR)
      continue;
    if (put < 0)
      return -1;
    at += put;
    size -= static_cast<std::size_t>(put);
    offset += put;
  }
  return 0;
}

std::int64_t current_time() {
  return static_cast<std::int64_t>(std::time(nullptr));
}
