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
#include <initializer_list>

#include "base/report.h"
#include "base/platform.h"

constexpr std::size_t OUTPUT_BUFFER_SIZE = 1 << 20;

// The writer whose target must be restored should the run fail.
static DataWriter* guarded_writer = nullptr;

// Async-signal-safe part of the restore: cut an appended file back, remove a temporary one.
static void restore_target(const DataWriter* writer) {
  if (writer->guard_descriptor >= 0)
    (void)ftruncate(writer->guard_descriptor, static_cast<off_t>(writer->append_start));
  if (writer->temp_name != nullptr)
    unlink(writer->temp_name);
}

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
  restore_target(writer);
}

static void restore_on_signal(int signal_number) {
  if (guarded_writer != nullptr)
    restore_target(guarded_writer);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

static void guard_target(DataWriter* writer) {
  guarded_writer = writer;
  set_failure_cleanup(restore_on_failure);
  for (int signal_number : { SIGHUP, SIGINT, SIGTERM })
    std::signal(signal_number, restore_on_signal);
}

static void release_guard(DataWriter* writer) {
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

static bool is_same_file(const char* name, const DataReader* input) {
  if (input == nullptr || input->stream == nullptr)
    return false;
  struct stat output_status;
  struct stat input_status;
  return stat(name, &output_status) == 0 &&
         fstat(stream_descriptor(input->stream), &input_status) == 0 &&
         output_status.st_dev == input_status.st_dev && output_status.st_ino == input_status.st_ino;
}

// Output onto the input itself: a temporary file in the input's directory, renamed over it
// when complete, so the input survives any failure before that.
static void open_replacement(DataWriter* writer, const DataReader* input) {
  writer->final_name = realpath(writer->file_name, nullptr);
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
  struct stat input_status;
  if (fstat(stream_descriptor(input->stream), &input_status) == 0)
    (void)fchmod(descriptor, input_status.st_mode & 07777);
  writer->stream = fdopen(descriptor, "wb");
  if (writer->stream == nullptr) {
    close(descriptor);
    report_output_error(writer);
  }
}

static void open_append(DataWriter* writer) {
  writer->stream = std::fopen(writer->file_name, "r+b");
  if (writer->stream == nullptr)
    report_output_error(writer);
  // A device or a FIFO has no end to reach and nothing to cut back: it is written as it is.
  if (file_length(stream_descriptor(writer->stream)) < 0)
    return;
  if (set_position(writer->stream, 0, SEEK_END) != 0)
    report_output_error(writer);
  writer->append_start = get_position(writer->stream);
  writer->guard_descriptor = dup(stream_descriptor(writer->stream));
  if (writer->append_start < 0 || writer->guard_descriptor < 0)
    report_output_error(writer);
  guard_target(writer);
}

void open_output(const char* output_name, const char* append_name, DataWriter* writer,
                 const DataReader* input) {
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
    if (writer->append != 0) {
      open_append(writer);
    } else if (is_same_file(name, input)) {
      open_replacement(writer, input);
    } else {
      writer->stream = std::fopen(name, "wb");
      if (writer->stream == nullptr)
        report_output_error(writer);
    }
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

// The program has one thread, so the stream needs no lock around each item.
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
    unmap_file(writer->mapping, writer->mapping_length);
    writer->mapping = nullptr;
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

void write_output_bytes(DataWriter* writer, const unsigned char* bytes, std::uint64_t size) {
  if (size != 0)
    write_item(writer, bytes, size);
}

void finish_file(DataWriter* writer) {
  finish_output(writer);
}
