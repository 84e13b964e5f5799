// Choosing and opening the output (open_output of writer.h), and what a run that does not
// complete must leave of its target.
#include "data/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/files.h"
#include "base/platform.h"
#include "base/report.h"
#include "data/output_guard.h"

constexpr std::size_t OUTPUT_BUFFER_SIZE = 1 << 20;

// Links followed from an output's name before it counts as a loop, as the system counts them.
constexpr int MAX_LINK_STEPS = 40;

// The writer whose target must be restored should the run fail.
static DataWriter* guarded_writer = nullptr;

static void restore_on_failure() {
  DataWriter* writer = guarded_writer;
  guarded_writer = nullptr;
  if (writer == nullptr)
    return;
  // Closed first, so that nothing left in the stream's buffer reaches the file afterwards.
  if (writer->stream != nullptr) {
    forget_output_stream();
    std::fclose(writer->stream);
    writer->stream = nullptr;
  }
  undo_output();
}

void guard_target(DataWriter* writer) {
  guarded_writer = writer;
  set_failure_cleanup(restore_on_failure);
  if (writer->guard_descriptor >= 0)
    guard_cut_back(writer->guard_descriptor, writer->append_start, writer->stream);
}

void report_output_error(const DataWriter* writer) {
  report_error(error_table, ERR_FILE, writer->file_name, std::strerror(errno));
}

void check_output_length(const DataWriter* writer, std::int64_t expected) {
  const std::int64_t length = file_length(writer->guard_descriptor);
  if (length > expected)
    report_error(error_table, ERR_OUTPUT_GREW, writer->file_name,
                 std::to_string(writer->append_start).c_str());
  if (length != expected)
    report_error(error_table, ERR_OUTPUT_CHANGED, writer->file_name);
}

void put_output_in_place(DataWriter* writer) {
  if (writer->temp_name != nullptr &&
      renameat(writer->directory, writer->temp_name, writer->directory, writer->final_name) != 0)
    report_output_error(writer);
  release_output_guard();
  guarded_writer = nullptr;
  set_failure_cleanup(nullptr);
  if (writer->guard_descriptor >= 0)
    close(writer->guard_descriptor);
  if (writer->directory >= 0)
    close(writer->directory);
  writer->guard_descriptor = -1;
  writer->directory = -1;
  std::free(writer->temp_name);
  std::free(writer->final_name);
  writer->temp_name = nullptr;
  writer->final_name = nullptr;
}

// A name of one of the process's own descriptors: written there as standard output is, never
// replaced by a temporary file, which would take the place of whatever the descriptor is on.
static void open_own_descriptor(DataWriter* writer, int own) {
  if (is_terminal(own))
    report_error(error_table, ERR_TERMINAL);
  const int flags = fcntl(own, F_GETFL);
  if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY) {
    errno = EBADF;  // open only for reading: never written
    report_output_error(writer);
  }
  const int descriptor = flags < 0 ? -1 : fcntl(own, F_DUPFD_CLOEXEC, 0);
  if (descriptor < 0)
    report_output_error(writer);
  writer->stream = fdopen(descriptor, "wb");
  if (writer->stream == nullptr) {
    close(descriptor);
    report_output_error(writer);
  }
}

// A regular file at `target` is written as a temporary file beside it, which is renamed over
// it once the output is complete: a failed run leaves the file as it was, or absent. The
// directory is kept open, so that the temporary file is found wherever the directory goes. A
// file that is there (`existing`: its status) passes its mode, owner and group to the new file
// as far as the process may set them; a new file gets the mode that creating it would give.
static void open_replacement(DataWriter* writer, const std::string& target,
                             const struct stat* existing) {
  const std::size_t slash = target.rfind('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  writer->directory = open(directory_of(target.c_str()).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (writer->directory < 0)
    report_output_error(writer);
  // A name as long as the directory takes leaves no room for the suffix: its start serves.
  static const char suffix[] = ".zvbtrack-XXXXXX";
  const std::size_t limit = name_limit(writer->directory);
  const std::size_t kept =
      base.size() + sizeof suffix - 1 <= limit ? base.size() : limit - (sizeof suffix - 1);
  writer->final_name = strdup(base.c_str());
  writer->temp_name = static_cast<char*>(std::malloc(kept + sizeof suffix));
  if (writer->final_name == nullptr || writer->temp_name == nullptr)
    report_error(error_table, ERR_MEMORY);
  std::memcpy(writer->temp_name, base.data(), kept);
  std::memcpy(writer->temp_name + kept, suffix, sizeof suffix);
  const int descriptor = create_guarded_temporary(writer->directory, writer->temp_name);
  if (descriptor < 0) {
    const int error = errno;
    std::free(writer->temp_name);
    writer->temp_name = nullptr;
    errno = error;
    report_output_error(writer);
  }
  guard_target(writer);
  if (existing != nullptr) {
    let_go_of_cached_pages(writer->directory, writer->final_name);
    writer->let_go_bytes = static_cast<std::uint64_t>(existing->st_size);
    // Owner before mode: a change of owner clears the set-user-ID and set-group-ID bits.
    if (fchown(descriptor, existing->st_uid, existing->st_gid) != 0)
      (void)fchown(descriptor, static_cast<uid_t>(-1), existing->st_gid);
    (void)fchmod(descriptor, existing->st_mode & 07777);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(descriptor, 0666 & ~mask);
  }
  writer->stream = fdopen(descriptor, "wb");
  if (writer->stream == nullptr) {
    close(descriptor);
    report_output_error(writer);
  }
}

// -o: the name's symbolic links are followed to the file they end at, there or not, so that
// they stay links; a name of one of the process's descriptors, as a link or on the way, is
// that descriptor. A regular file, there or not, is replaced once complete; anything else (a
// device, a FIFO) is opened and written as it is, and what cannot be opened is reported as
// opening it reports. A file that is there but may not be written is refused, as opening it
// would be.
static void open_named_output(DataWriter* writer) {
  std::string target = writer->file_name;
  for (int step = 0;; step++) {
    const int own = named_descriptor(target.c_str());
    if (own >= 0) {
      open_own_descriptor(writer, own);
      return;
    }
    std::string next;
    if (read_link(target, &next) <= 0)
      break;  // what cannot be read is left to opening the name, which reports it
    if (step == MAX_LINK_STEPS) {
      errno = ELOOP;
      report_output_error(writer);
    }
    target = next;
  }
  struct stat status;
  if (stat(target.c_str(), &status) == 0) {
    if (S_ISREG(status.st_mode)) {
      const int probe = open(target.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (probe < 0)
        report_output_error(writer);
      close(probe);
      open_replacement(writer, target, &status);
      return;
    }
  } else if (errno == ENOENT) {
    open_replacement(writer, target, nullptr);
    return;
  }
  writer->stream = std::fopen(writer->file_name, "wb");
  if (writer->stream == nullptr)
    report_output_error(writer);
}

// A file appended to must be a ZVB file in this machine's byte order, or empty, in which case
// it gets the file header first. Refused before anything is written.
static void check_append_target(DataWriter* writer, int descriptor, std::int64_t length) {
  if (length == 0) {
    writer->append = 0;
    return;
  }
  unsigned char bytes[sizeof(FileHeader)];
  const std::size_t wanted = sizeof bytes;
  const ssize_t got =
      length < static_cast<std::int64_t>(wanted) ? 0 : pread(descriptor, bytes, wanted, 0);
  if (got < 0)
    report_output_error(writer);
  if (static_cast<std::size_t>(got) != wanted)
    report_error(error_table, ERR_MAGIC, writer->file_name);
  const FileHeader header = decode_file_header(bytes);
  if (header.magic == swap32(ZVB_MAGIC))
    report_error(error_table, ERR_APPEND_ORDER, writer->file_name);
  if (header.magic != ZVB_MAGIC)
    report_error(error_table, ERR_MAGIC, writer->file_name);
  if (header.format_major != 1)
    report_error(error_table, ERR_VERSION, writer->file_name);
}

// -a: every write lands at the end of the file, so that nothing another writer adds during the
// run is written over; and a regular file is locked for the run, so that a second run
// appending to it is refused at once instead of mixing its output with this one's.
static void open_append(DataWriter* writer) {
  const int descriptor = open(writer->file_name, O_RDWR | O_APPEND | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0)
    report_output_error(writer);
  writer->stream = fdopen(descriptor, "r+b");
  if (writer->stream == nullptr) {
    close(descriptor);
    report_output_error(writer);
  }
  // A device or a FIFO has no end to reach and nothing to cut back: it is written as it is.
  if (file_length(descriptor) < 0)
    return;
  if (lock_whole_file(descriptor) != 0)
    report_error(error_table, ERR_OUTPUT_LOCKED, writer->file_name);
  // The length is taken before the header is read: what is added after it is another's.
  const std::int64_t length = file_length(descriptor);
  check_append_target(writer, descriptor, length);
  writer->append_start = length;
  writer->guard_descriptor = dup(descriptor);
  if (writer->append_start < 0 || writer->guard_descriptor < 0)
    report_output_error(writer);
  guard_target(writer);
}

void open_output(const char* output_name, const char* append_name, DataWriter* writer) {
  if (output_name != nullptr && append_name != nullptr)
    report_error(error_table, ERR_OUTPUT_CONFLICT, output_name, append_name);
  writer->stream = nullptr;
  writer->append = append_name != nullptr ? 1 : 0;
  writer->append_start = -1;
  writer->guard_descriptor = -1;
  writer->directory = -1;
  writer->temp_name = nullptr;
  writer->final_name = nullptr;
  writer->mapping = nullptr;
  writer->mapping_length = 0;
  writer->mapped_output = nullptr;
  writer->output_end = -1;
  const char* name = append_name != nullptr ? append_name : output_name;
  // A write beyond a file-size limit fails with EFBIG and is reported like any other.
  std::signal(SIGXFSZ, SIG_IGN);

  if (name == nullptr || std::strcmp(name, "-") == 0) {
    if (is_terminal(1))
      report_error(error_table, ERR_TERMINAL);
    writer->file_name = "-";
    writer->stream = stdout;
    set_binary_mode(stream_descriptor(stdout));
  } else {
    writer->file_name = name;
    if (writer->append != 0)
      open_append(writer);
    else
      open_named_output(writer);
  }
  std::setvbuf(writer->stream, nullptr, _IOFBF, OUTPUT_BUFFER_SIZE);
}
