// The file writer: choosing the output, the file header, and the element stream.
#include "data/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "base/report.h"
#include "data/output_guard.h"

constexpr std::size_t OUTPUT_BUFFER_SIZE = 1 << 20;

// The writer whose target must be restored should the run fail.
static DataWriter* guarded_writer = nullptr;

static void restore_on_failure() {
  DataWriter* writer = guarded_writer;
  guarded_writer = nullptr;
  if (writer == nullptr)
    return;
  // Closed first, so that nothing left in the stream's buffer reaches the file afterwards.
  if (writer->stream != nullptr) {
    std::fclose(writer->stream);
    writer->stream = nullptr;
  }
  undo_output();
}

// From here on a failed run, or a signal that ends it, leaves the target as it found it.
static void guard_target(DataWriter* writer) {
  guarded_writer = writer;
  set_failure_cleanup(restore_on_failure);
  if (writer->guard_descriptor >= 0)
    guard_cut_back(writer->guard_descriptor, writer->append_start);
  if (writer->temp_name != nullptr)
    guard_temporary(writer->temp_name);
}

static void release_guard(DataWriter* writer) {
  release_output_guard();
  guarded_writer = nullptr;
  set_failure_cleanup(nullptr);
  if (writer->guard_descriptor >= 0)
    close(writer->guard_descriptor);
  writer->guard_descriptor = -1;
  std::free(writer->temp_name);
  std::free(writer->final_name);
  writer->temp_name = nullptr;
  writer->final_name = nullptr;
}

[[noreturn]] static void report_output_error(const DataWriter* writer) {
  report_error(error_table, ERR_FILE, writer->file_name, std::strerror(errno));
}

// A regular file is written as a temporary file beside it, which is renamed over it once the
// output is complete: a failed run leaves the file as it was, or absent. A file that is there
// (`existing`: its status) is found through its links, so that they stay links, and its mode,
// owner and group pass to the new file as far as the process may set them; a new file gets
// the mode that creating it would give.
static void open_replacement(DataWriter* writer, const struct stat* existing) {
  writer->final_name =
      existing != nullptr ? realpath(writer->file_name, nullptr) : strdup(writer->file_name);
  if (writer->final_name == nullptr)
    report_output_error(writer);
  static const char suffix[] = ".zvbtrack-XXXXXX";
  const std::size_t length = std::strlen(writer->final_name);
  writer->temp_name = static_cast<char*>(std::malloc(length + sizeof suffix));
  if (writer->temp_name == nullptr)
    report_error(error_table, ERR_MEMORY);
  std::memcpy(writer->temp_name, writer->final_name, length);
  std::memcpy(writer->temp_name + length, suffix, sizeof suffix);
  const int descriptor = mkstemp(writer->temp_name);
  if (descriptor < 0) {
    const int error = errno;
    std::free(writer->temp_name);
    writer->temp_name = nullptr;
    errno = error;
    report_output_error(writer);
  }
  guard_target(writer);
  if (existing != nullptr) {
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

// -o: a regular file, there or not, is replaced once complete; anything else (a device, a
// FIFO) is opened and written as it is, and what cannot be opened is reported as opening it
// reports. A file that is there but may not be written is refused, as opening it would be.
static void open_named_output(DataWriter* writer) {
  const char* name = writer->file_name;
  struct stat status;
  if (stat(name, &status) == 0) {
    if (S_ISREG(status.st_mode)) {
      const int probe = open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (probe < 0)
        report_output_error(writer);
      close(probe);
      open_replacement(writer, &status);
      return;
    }
  } else if (errno == ENOENT) {
    open_replacement(writer, nullptr);
    return;
  }
  writer->stream = std::fopen(name, "wb");
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

static void open_append(DataWriter* writer) {
  writer->stream = std::fopen(writer->file_name, "r+b");
  if (writer->stream == nullptr)
    report_output_error(writer);
  // A device or a FIFO has no end to reach and nothing to cut back: it is written as it is.
  const std::int64_t length = file_length(stream_descriptor(writer->stream));
  if (length < 0)
    return;
  check_append_target(writer, stream_descriptor(writer->stream), length);
  if (set_position(writer->stream, 0, SEEK_END) != 0)
    report_output_error(writer);
  writer->append_start = get_position(writer->stream);
  writer->guard_descriptor = dup(stream_descriptor(writer->stream));
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

static void copy_text(char* field, const char* text) {
  const std::size_t length = std::strlen(text);
  std::memcpy(field, text, length < NAME_SIZE ? length + 1 : NAME_SIZE);
}

static void stamp_header(FileHeader* header) {
  header->magic = ZVB_MAGIC;
  header->creation_time = static_cast<std::uint32_t>(current_time());
  header->format_major = 1;
  header->format_minor = 1;
}

void init_file_header(FileHeader* header, const char* creator, std::uint8_t creator_major,
                      std::uint8_t creator_minor, const char* destination,
                      std::uint8_t destination_major, std::uint8_t destination_minor) {
  stamp_header(header);
  copy_text(header->creator, creator);
  copy_text(header->destination, destination);
  header->creator_major = creator_major;
  header->creator_minor = creator_minor;
  header->destination_major = destination_major;
  header->destination_minor = destination_minor;
}

// One thread at a time writes the stream, so it needs no lock around each item.
#if defined(__GLIBC__)
#define WRITE_ITEM fwrite_unlocked
#else
#define WRITE_ITEM std::fwrite
#endif

static void write_item(DataWriter* writer, const void* bytes, std::size_t size) {
  if (WRITE_ITEM(bytes, size, 1, writer->stream) != 1)
    report_output_error(writer);
}

void write_element(DataWriter* writer, DataNode* node) {
  ElementHeader header;
  std::memcpy(header.name, node->name, NAME_SIZE);
  header.type = node->type;
  header.size = node->size;
  unsigned char bytes[sizeof(ElementHeader)];
  encode_element_header(header, bytes);
  write_item(writer, bytes, sizeof bytes);
  if (node->data != nullptr) {
    if (node->size != 0)
      write_item(writer, node->data, node->size);
    return;
  }
  // The header is out: a node converted to no values (size 0) must not be followed by the
  // bytes that loading would bring back from file.
  if (node->size == 0)
    return;
  load_data(node);
  if (node->size != 0 && node->data != nullptr)
    write_item(writer, node->data, node->size);
  release_data(node);
}

// Without recursion: a node's subtree is written before its next sibling, and an
// end-of-group marker ends its level, as does a list that runs out.
void write_children(DataWriter* writer, DataNode* group) {
  DataNode* child = group->first_child;
  while (child != nullptr) {
    write_element(writer, child);
    if ((child->type & FLAG_GROUP) != 0 && child->first_child != nullptr) {
      child = child->first_child;
      continue;
    }
    while ((child->type & FLAG_END_GROUP) != 0 || child->next == nullptr) {
      child = child->parent;
      if (child == group)
        return;
    }
    child = child->next;
  }
}

// The last buffered part counts as much as the rest: flush and close are tested too, and a
// replacement goes in place only once it is complete.
static void finish_output(DataWriter* writer) {
  if (std::fflush(writer->stream) != 0)
    report_output_error(writer);
  if (writer->stream != stdout) {
    std::FILE* stream = writer->stream;
    writer->stream = nullptr;
    if (std::fclose(stream) != 0)
      report_output_error(writer);
  }
  if (writer->temp_name != nullptr && std::rename(writer->temp_name, writer->final_name) != 0)
    report_output_error(writer);
  release_guard(writer);
}

void write_file(DataWriter* writer, DataFile* data_file) {
  stamp_header(&data_file->header);
  if (writer->append == 0) {
    unsigned char bytes[sizeof(FileHeader)];
    encode_file_header(data_file->header, bytes);
    write_item(writer, bytes, sizeof bytes);
  }
  write_children(writer, &data_file->root);
  finish_output(writer);
}

// Where the next byte written to the descriptor lands: its position, or with O_APPEND its end.
static std::int64_t next_write_offset(int descriptor, std::int64_t length) {
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags < 0)
    return -1;
  if ((flags & O_APPEND) != 0)
    return length;
  return static_cast<std::int64_t>(lseek(descriptor, 0, SEEK_CUR));
}

unsigned char* map_output(DataWriter* writer, std::uint64_t size) {
  const int descriptor = stream_descriptor(writer->stream);
  const std::int64_t length = file_length(descriptor);
  // Only a file written at its end: writing into the middle of one keeps what follows.
  if (length < 0 || std::fflush(writer->stream) != 0 ||
      next_write_offset(descriptor, length) != length)
    return nullptr;
  const std::uint64_t total = size + (writer->append == 0 ? sizeof(FileHeader) : 0);
  const std::int64_t granularity = map_granularity();
  const std::int64_t map_start = length - length % granularity;
  const std::uint64_t map_length = static_cast<std::uint64_t>(length - map_start) + total;
  if (total > static_cast<std::uint64_t>(INT64_MAX - length) || map_length > SIZE_MAX)
    return nullptr;
  const int file = reopen_read_write(descriptor);
  if (file < 0)
    return nullptr;
  // From here on a failed run cuts the file back to where the output begins.
  if (writer->guard_descriptor < 0) {
    writer->append_start = length;
    writer->guard_descriptor = dup(file);
    if (writer->guard_descriptor < 0) {
      close(file);
      return nullptr;
    }
    guard_target(writer);
  }
  // Whatever keeps the file from growing (no room, a size limit, a file system that cannot
  // allocate ahead, an append-only file) is left to writing, which meets it again and reports
  // it as it always has.
  unsigned char* mapping = nullptr;
  if (allocate_file_space(file, length, static_cast<std::int64_t>(total)) == 0)
    mapping = map_file(file, map_start, static_cast<std::size_t>(map_length));
  const bool grown = file_length(file) != length;
  close(file);
  if (mapping == nullptr) {
    if (grown && ftruncate(writer->guard_descriptor, static_cast<off_t>(length)) != 0)
      report_output_error(writer);
    return nullptr;
  }
  guard_mapping(mapping, static_cast<std::size_t>(map_length));
  writer->mapping = mapping;
  writer->mapping_length = static_cast<std::size_t>(map_length);
  writer->mapped_output = mapping + (length - map_start);
  writer->output_end = length + static_cast<std::int64_t>(total);
  return writer->mapped_output + (total - size);
}

void write_laid_out(DataWriter* writer, FileHeader* header, const unsigned char* elements,
                    std::uint64_t size) {
  stamp_header(header);
  if (writer->mapping != nullptr) {
    if (writer->append == 0)
      encode_file_header(*header, writer->mapped_output);
    // Someone else cut or grew the file while it was filled: what it holds is not the output.
    if (output_mapping_cut())
      report_error(error_table, ERR_OUTPUT_CHANGED, writer->file_name);
    unguard_mapping();
    unmap_file(writer->mapping, writer->mapping_length);
    writer->mapping = nullptr;
    if (file_length(stream_descriptor(writer->stream)) != writer->output_end)
      report_error(error_table, ERR_OUTPUT_CHANGED, writer->file_name);
    // The stream goes on after the output, as if it had written it.
    if (set_position(writer->stream, writer->output_end, SEEK_SET) != 0)
      report_output_error(writer);
    finish_output(writer);
    return;
  }
  if (writer->append == 0) {
    unsigned char bytes[sizeof(FileHeader)];
    encode_file_header(*header, bytes);
    write_item(writer, bytes, sizeof bytes);
  }
  if (size != 0)
    write_item(writer, elements, size);
  finish_output(writer);
}

void write_file_header(DataWriter* writer, FileHeader* header) {
  stamp_header(header);
  if (writer->append == 0) {
    unsigned char bytes[sizeof(FileHeader)];
    encode_file_header(*header, bytes);
    write_item(writer, bytes, sizeof bytes);
  }
}

int write_output_bytes(DataWriter* writer, const unsigned char* bytes, std::uint64_t size) {
  if (size != 0 && WRITE_ITEM(bytes, size, 1, writer->stream) != 1)
    return errno != 0 ? errno : EIO;
  return 0;
}

void finish_file(DataWriter* writer) {
  finish_output(writer);
}

void release_output_part(DataWriter* writer, std::uint64_t start, std::uint64_t length) {
  const std::uint64_t header = writer->append == 0 ? sizeof(FileHeader) : 0;
  unsigned char* elements = writer->mapped_output + header;
  const std::int64_t file_offset =
      writer->output_end - static_cast<std::int64_t>(writer->mapping_length) +
      static_cast<std::int64_t>((elements - writer->mapping) + start);
  release_mapped_range(stream_descriptor(writer->stream), file_offset, elements + start,
                       static_cast<std::size_t>(length));
}
