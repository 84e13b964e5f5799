// Error table and reporting: every failure ends the process with one line on standard error.
#include "base/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "base/progress.h"

const char* program_name = "";

ReportSink default_sink = { fatal_error, warning };

const ErrorEntry error_table[ERROR_CODE_COUNT] = {
  { &default_sink, "\"%s\": %s" },
  { &default_sink, "Not enough memory" },
  { &default_sink, "\"%s\": Unexpected end of file" },
  { &default_sink, "\"%s\": Not a ZV-File" },
  { &default_sink, "\"%s\": Invalid ZVB-version" },
  { &default_sink, "Invalid memory representation of datafile" },
  { &default_sink, "Writing unknown data type to \"%s\"" },
  { &default_sink, "Writing unknown data type to memory" },
  { &default_sink, "Invalid number of command line options" },
  { &default_sink, "Output cannot be written to \"%s\" and appended to \"%s\" at the same time" },
  { &default_sink, "ZVB output can not be read from or written to a terminal" },
  { &default_sink, "\"%s\": Groups nested too deeply" },
  { &default_sink, "\"%s\": Array of 4 GiB or more" },
  { &default_sink, "\"%s\": Cannot append to a file in the other byte order" },
  { &default_sink, "\"%s\": Output file changed while being written" },
  { &default_sink, "\"%s\": Input changed while being read" },
  { &default_sink,
    "\"%s\": Locked by another process writing to it: run again once it has finished" },
  { &default_sink,
    "\"%s\": Another process wrote to the file during the run: nothing is cut back, and from byte %s on it holds their bytes and what this run wrote" },
};

static FailureCleanup failure_cleanup = nullptr;

void set_failure_cleanup(FailureCleanup cleanup) {
  failure_cleanup = cleanup;
}

static void run_failure_cleanup() {
  FailureCleanup cleanup = failure_cleanup;
  failure_cleanup = nullptr;  // once only, even if the cleanup itself fails and reports
  if (cleanup != nullptr)
    cleanup();
}

// The exit path shared by every failure: the registered cleanup, then the normal exit, which
// runs the exit handlers and flushes and closes the open streams.
[[noreturn]] static void exit_failed() {
  run_failure_cleanup();
  std::exit(1);
}

void report_error(const ErrorEntry* table, std::uint32_t code, ...) {
  const ErrorEntry& entry = table[code];
  // A message is written whole however long a file name makes it; the small buffer serves
  // when memory itself has run out.
  char small[512];
  char* message = small;
  va_list values;
  va_start(values, code);
  va_list again;
  va_copy(again, values);
  int length = std::vsnprintf(small, sizeof small, entry.format, values);
  va_end(values);
  if (length >= static_cast<int>(sizeof small)) {
    char* large = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
    if (large != nullptr) {
      std::vsnprintf(large, static_cast<std::size_t>(length) + 1, entry.format, again);
      message = large;
    }
  }
  va_end(again);
  entry.sink->on_error("%s", message);
  // A sink that returns has not ended the process; a failure still must.
  exit_failed();
}

static void write_report_line(const char* kind, const char* format, va_list values) {
  end_progress();
  std::fflush(stdout);
  std::fflush(stderr);
  std::fprintf(stderr, "%s: %s: ", program_name, kind);
  std::vfprintf(stderr, format, values);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void fatal_error(const char* format, ...) {
  va_list values;
  va_start(values, format);
  write_report_line("Error", format, values);
  va_end(values);
  exit_failed();
}

void warning(const char* format, ...) {
  va_list values;
  va_start(values, format);
  write_report_line("Warning", format, values);
  va_end(values);
}

void error_exit(const char* format, ...) {
  end_progress();
  std::fputs("Error: ", stderr);
  va_list values;
  va_start(values, format);
  std::vfprintf(stderr, format, values);
  va_end(values);
  exit_failed();
}
