// Values kept in a temporary file laid out as the output.
#include "transpose/spanning.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/platform.h"
#include "base/report.h"

SpanningValues::SpanningValues(std::size_t run_count, std::size_t buffer_size,
                               const char* directory)
    : runs_(run_count), buffer_size_(buffer_size), directory_(directory) {}

SpanningValues::~SpanningValues() {
  if (file_ >= 0)
    close(file_);
}

[[noreturn]] static void report_scratch_error(const char* directory) {
  report_error(error_table, ERR_FILE, directory != nullptr ? directory : "temporary file",
               std::strerror(errno));
}

void SpanningValues::write(const void* bytes, std::size_t size, std::uint64_t at) {
  if (file_ < 0) {
    file_ = open_scratch_file(directory_);
    if (file_ < 0)
      report_scratch_error(directory_);
  }
  if (write_at(file_, bytes, size, static_cast<std::int64_t>(at)) == 0)
    return;
  if (!shared_)
    report_scratch_error(directory_);
  failure_ = errno;
}

void SpanningValues::flush(Run& run) {
  if (!run.buffer.empty())
    write(run.buffer.data(), run.buffer.size(), run.start);
  run.buffer.clear();
}

void SpanningValues::put(std::size_t run_number, std::uint64_t at, const void* bytes,
                         std::size_t size) {
  Run& run = runs_[run_number];
  if (!run.buffer.empty() &&
      (run.start + run.buffer.size() != at || run.buffer.size() + size > buffer_size_))
    flush(run);
  if (size >= buffer_size_) {
    write(bytes, size, at);
    return;
  }
  if (run.buffer.empty())
    run.start = at;
  const auto* from = static_cast<const unsigned char*>(bytes);
  run.buffer.insert(run.buffer.end(), from, from + size);
}

void SpanningValues::finish_sharing() {
  shared_ = false;
  if (failure_ != 0) {
    errno = failure_;
    report_scratch_error(directory_);
  }
}

void SpanningValues::flush() {
  for (Run& run : runs_) {
    flush(run);
    run.buffer = std::vector<unsigned char>();
  }
}

void SpanningValues::read(std::uint64_t at, void* bytes, std::size_t size) {
  if (size == 0)
    return;
  if (file_ < 0) {
    std::memset(bytes, 0, size);
    return;
  }
  // Past the file's end, the bytes were never put: they read as the hole's zeros.
  auto* into = static_cast<unsigned char*>(bytes);
  while (size > 0) {
    const ssize_t got = pread(file_, into, size, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      report_scratch_error(directory_);
    if (got == 0) {
      std::memset(into, 0, size);
      return;
    }
    into += got;
    size -= static_cast<std::size_t>(got);
    at += static_cast<std::uint64_t>(got);
  }
}
