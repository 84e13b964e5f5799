// Output file services on POSIX: descriptor names, links, temporary files, locks.
#include "base/files.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/platform.h"

// The number that ends `text` after `prefix`, if the text is exactly that: digits only.
static int number_after(const char* text, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (std::strncmp(text, prefix, length) != 0)
    return -1;
  const char* digits = text + length;
  long number = 0;
  for (const char* p = digits; *p != '\0'; p++) {
    if (*p < '0' || *p > '9' || number > INT_MAX / 10)
      return -1;
    number = number * 10 + (*p - '0');
  }
  return digits[0] != '\0' && number <= INT_MAX ? static_cast<int>(number) : -1;
}

int named_descriptor(const char* path) {
  static const char* const standard[] = { "/dev/stdin", "/dev/stdout", "/dev/stderr" };
  for (int descriptor = 0; descriptor < 3; descriptor++) {
    if (std::strcmp(path, standard[descriptor]) == 0)
      return descriptor;
  }
  for (const char* prefix : { "/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/" }) {
    const int descriptor = number_after(path, prefix);
    if (descriptor >= 0)
      return descriptor;
  }
  const std::string own = "/proc/" + std::to_string(getpid()) + "/fd/";
  return number_after(path, own.c_str());
}

int read_link(const std::string& path, std::string* target) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
    return 0;
  std::string text(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
  for (;;) {
    const ssize_t length = readlink(path.c_str(), text.data(), text.size());
    if (length < 0)
      return -1;
    if (static_cast<std::size_t>(length) < text.size()) {
      text.resize(static_cast<std::size_t>(length));
      break;
    }
    text.resize(2 * text.size());  // the link grew since lstat
  }
  const std::string directory = directory_of(path.c_str());
  if (text.empty() || text[0] == '/' || path.find('/') == std::string::npos)
    *target = text;
  else
    *target = (directory == "/" ? "" : directory) + "/" + text;
  return 1;
}

std::size_t name_limit(int directory) {
  const long limit = fpathconf(directory, _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
}

int create_temporary_at(int directory, char* name) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const std::size_t length = std::strlen(name);
  if (length < 6 || std::strcmp(name + length - 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return -1;
  }
  std::uint64_t mixed = static_cast<std::uint64_t>(getpid()) * 0x9E3779B97F4A7C15ULL ^
                        static_cast<std::uint64_t>(std::time(nullptr));
  for (int attempt = 0; attempt < 1000; attempt++) {
    std::uint64_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
      mixed = mixed * 6364136223846793005ULL + 1442695040888963407ULL;
      random = mixed;
    }
    for (std::size_t i = length - 6; i < length; i++) {
      name[i] = letters[random % (sizeof letters - 1)];
      random /= sizeof letters - 1;
    }
    const int descriptor =
        openat(directory, name, O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
    if (descriptor >= 0 || errno != EEXIST)
      return descriptor;
  }
  errno = EEXIST;
  return -1;
}

int lock_whole_file(int descriptor) {
  // A lock of the open file, not of the process: closing another descriptor of the same file
  // (as mapping it does) keeps it.
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  if (fcntl(descriptor, F_OFD_SETLK, &lock) == 0)
    return 0;
  return errno == EAGAIN || errno == EACCES ? -1 : 0;
}

std::size_t unwritten_bytes(std::FILE* stream) {
  return __fpending(stream);
}
