// The file writer: choosing the output, the file header, and the element stream.
#include "data/writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/platform.h"
#include "base/report.h"
#include "data/output_file.h"
#include "data/output_guard.h"

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

// Counted before it is written: an item that fails partway counts as this run's whole.
static void write_item(DataWriter* writer, const void* bytes, std::size_t size) {
  count_output_bytes(size);
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

// The last buffered part counts as much as the rest: flush and close are tested too, a file
// written at its end holds exactly what this run put there, and a replacement goes in place
// only once it is complete.
static void finish_output(DataWriter* writer) {
  if (std::fflush(writer->stream) != 0)
    report_output_error(writer);
  if (writer->guard_descriptor >= 0) {
    const std::int64_t end =
        writer->output_end >= 0
            ? writer->output_end
            : writer->append_start + static_cast<std::int64_t>(counted_output_bytes());
    check_output_length(writer, end);
  }
  if (writer->stream != stdout) {
    std::FILE* stream = writer->stream;
    forget_output_stream();
    writer->stream = nullptr;
    if (std::fclose(stream) != 0)
      report_output_error(writer);
  }
  put_output_in_place(writer);
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
  // From here on a failed run cuts the file back to where the output begins. A file appended
  // to that grew since it was opened holds another writer's bytes, which stay.
  if (writer->guard_descriptor < 0) {
    writer->append_start = length;
    writer->guard_descriptor = dup(file);
    if (writer->guard_descriptor < 0) {
      close(file);
      return nullptr;
    }
    guard_target(writer);
  } else {
    const std::int64_t written =
        writer->append_start + static_cast<std::int64_t>(counted_output_bytes());
    if (length != written) {
      close(file);
      check_output_length(writer, written);
    }
  }
  reserve_output_end(length + static_cast<std::int64_t>(total));
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
    reserve_output_end(-1);
    return nullptr;
  }
  guard_mapping(mapping, static_cast<std::size_t>(map_length));
  writer->mapping = mapping;
  writer->mapping_length = static_cast<std::size_t>(map_length);
  writer->mapped_output = mapping + (length - map_start);
  writer->output_end = length + static_cast<std::int64_t>(total);
  return writer->mapped_output + (total - size);
}

bool write_into_room(DataWriter* writer, unsigned char* elements, std::uint64_t size) {
  if (writer->mapping == nullptr)
    return false;
  const int file = reopen_read_write(stream_descriptor(writer->stream));
  if (file < 0)
    return false;
  // Writes to a descriptor open for appending go to the end whatever their offset.
  const int flags = fcntl(file, F_GETFL);
  if (flags < 0 || (flags & O_APPEND) != 0) {
    close(file);
    return false;
  }
  // The room reaches the output's end until someone else cuts the file.
  const int error = write_out_plain_block(file, elements, static_cast<std::size_t>(size),
                                          writer->output_end - static_cast<std::int64_t>(size),
                                          writer->output_end);
  close(file);
  if (error == ECANCELED)
    report_error(error_table, ERR_OUTPUT_CHANGED, writer->file_name);
  if (error != 0) {
    errno = error;
    report_output_error(writer);
  }
  return true;
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
    // The stream goes on after the output, as if it had written it; finishing checks that the
    // file holds the output and nothing else.
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
  count_output_bytes(size);
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
  const std::int64_t file_offset = writer->output_end -
                                   static_cast<std::int64_t>(writer->mapping_length) +
                                   static_cast<std::int64_t>((elements - writer->mapping) + start);
  release_mapped_range(stream_descriptor(writer->stream), file_offset, elements + start,
                       static_cast<std::size_t>(length));
}
