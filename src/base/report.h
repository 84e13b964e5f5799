// Error table and the two ways a failure is reported: by code and directly.
#ifndef ZVBTRACK_BASE_REPORT_H_
#define ZVBTRACK_BASE_REPORT_H_

#include <cstdint>

// The program's name as it begins every coded error line and the help text: the first
// command-line word after its last '/'. Set once by parse_options; points into argv.
extern const char* program_name;

// A pair of reporting functions. on_error ends the process; on_warning returns.
struct ReportSink {
  void (*on_error)(const char* format, ...);
  void (*on_warning)(const char* format, ...);
};

// The one sink of the program: { fatal_error, warning }. Not const so that a fuzzing
// harness can route failures back to itself; the program never changes it.
extern ReportSink default_sink;

struct ErrorEntry {
  const ReportSink* sink;  // shared, not owned
  const char* format;      // printf-style, no line end
};

enum : std::uint32_t {
  ERR_FILE = 0,             // "\"%s\": %s": file name, strerror(errno)
  ERR_MEMORY = 1,           // "Not enough memory"
  ERR_EOF = 2,              // "\"%s\": Unexpected end of file": input name
  ERR_MAGIC = 3,            // "\"%s\": Not a ZV-File": input name
  ERR_VERSION = 4,          // "\"%s\": Invalid ZVB-version": input name
  ERR_REPRESENTATION = 5,   // no raiser
  ERR_TYPE_FILE = 6,        // no raiser
  ERR_TYPE_MEMORY = 7,      // "Writing unknown data type to memory"
  ERR_OPTION_COUNT = 8,     // no raiser
  ERR_OUTPUT_CONFLICT = 9,  // -o name, -a name
  ERR_TERMINAL = 10,        // a terminal where a data file is expected
  ERR_DEPTH = 11,           // "\"%s\": Groups nested too deeply": input name
  ERR_ARRAY_SIZE = 12,      // "\"%s\": Array of 4 GiB or more": element name
  ERR_APPEND_ORDER = 13,    // a file in the other byte order given to -a: its name
  ERR_OUTPUT_CHANGED = 14,  // the output file cut or grown by someone else: its name
  ERR_INPUT_CHANGED = 15,   // "\"%s\": Input changed while being read": input name
  ERR_OUTPUT_LOCKED = 16,   // a file to append to that another holds a lock on: its name
  ERR_OUTPUT_GREW = 17,     // the output file added to by another writer: its name, the offset
  ERROR_CODE_COUNT = 18,
};

extern const ErrorEntry error_table[ERROR_CODE_COUNT];

// Formats row `code` of `table` with the values (once: a '%' inside a value reaches the
// output unchanged) and hands the text to the row's sink. Does not return.
[[noreturn]] void report_error(const ErrorEntry* table, std::uint32_t code, ...);

// Flushes standard output, then standard error; writes "<program_name>: Error: ", the
// message and a line end; ends the process with status 1. Does not return.
[[noreturn, gnu::format(printf, 1, 2)]] void fatal_error(const char* format, ...);

// As fatal_error with "Warning: " in place of "Error: ", then returns.
[[gnu::format(printf, 1, 2)]] void warning(const char* format, ...);

// Writes "Error: " and the message (which carries its own line end) without flushing
// anything first and without the program's name; ends the process with status 1.
[[noreturn, gnu::format(printf, 1, 2)]] void error_exit(const char* format, ...);

// What must happen when a run fails after the output was opened (an appended file cut back
// to its old length, a temporary output removed). Called once by fatal_error and error_exit
// just before the process ends; null clears it.
using FailureCleanup = void (*)();
void set_failure_cleanup(FailureCleanup cleanup);

#endif  // ZVBTRACK_BASE_REPORT_H_
