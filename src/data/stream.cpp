// Positioning of an input stream and the on-demand loading of file-backed data.
#include "data/stream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "base/report.h"
#include "data/tree.h"

unsigned char skip_buffer[SKIP_BUFFER_SIZE];

std::int64_t get_position(std::FILE* stream) {
  const off_t position = ftello(stream);
  return position < 0 ? -1 : static_cast<std::int64_t>(position);
}

// The failure is left in errno too, where the callers' messages take it from.
static int position_failure(int code) {
  errno = code;
  return code;
}

int set_position(std::FILE* stream, std::int64_t offset, int origin) {
  std::int64_t base;
  switch (origin) {
  case SEEK_SET:
    base = 0;
    break;
  case SEEK_CUR:
    base = get_position(stream);
    if (base < 0)
      return position_failure(errno != 0 ? errno : EINVAL);
    break;
  case SEEK_END:
    base = file_length(stream_descriptor(stream));
    if (base < 0)
      return position_failure(EBADF);
    break;
  default:
    return position_failure(EINVAL);
  }
  const std::int64_t target = base + offset;
  if (target < 0)
    return position_failure(EINVAL);
  return fseeko(stream, static_cast<off_t>(target), SEEK_SET);
}

[[noreturn]] static void report_short_read(DataReader* reader) {
  if (std::ferror(reader->stream))
    report_error(error_table, ERR_FILE, reader->file_name, std::strerror(errno));
  report_error(error_table, ERR_EOF, reader->file_name);
}

void read_exact(DataReader* reader, void* buffer, std::size_t size) {
  if (size > 0 && std::fread(buffer, size, 1, reader->stream) != 1)
    report_short_read(reader);
}

// Bytes between the stream's position and the end of a regular file; -1 when unknown.
static std::int64_t bytes_left(DataReader* reader, bool refresh) {
  if (refresh && reader->length >= 0)
    reader->length = file_length(stream_descriptor(reader->stream));
  if (reader->length < 0)
    return -1;
  const std::int64_t position = get_position(reader->stream);
  return position < 0 ? -1 : reader->length - position;
}

static unsigned char* take_block(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size));
  if (block == nullptr)
    report_error(error_table, ERR_MEMORY);
  return block;
}

// First block taken for data from a stream of unknown length; it doubles as bytes arrive.
constexpr std::size_t FIRST_CHUNK = 64 * 1024;

void read_data(DataReader* reader, DataNode* node) {
  const std::uint32_t size = node->stored_size;
  if (size == 0)
    return;
  std::int64_t left = bytes_left(reader, false);
  if (left >= 0 && size > left)
    left = bytes_left(reader, true);  // the file may have grown since it was measured
  if (left >= 0) {
    if (size > left)
      report_error(error_table, ERR_EOF, reader->file_name);
    node->data = take_block(size);
    read_exact(reader, node->data, size);
    return;
  }
  // A pipe may claim any size: take memory only for what actually arrives.
  std::size_t capacity = size < FIRST_CHUNK ? size : FIRST_CHUNK;
  node->data = take_block(capacity);
  std::size_t filled = 0;
  for (;;) {
    const std::size_t got = std::fread(node->data + filled, 1, capacity - filled, reader->stream);
    filled += got;
    if (filled == size)
      return;
    if (filled < capacity)
      report_short_read(reader);
    const std::size_t grown = capacity > size / 2 ? size : capacity * 2;
    auto* block = static_cast<unsigned char*>(std::realloc(node->data, grown));
    if (block == nullptr)
      report_error(error_table, ERR_MEMORY);
    node->data = block;
    capacity = grown;
  }
}

void load_data(DataNode* node) {
  if (node == nullptr || node->stored_size == 0 || node->data != nullptr)
    return;
  DataReader* reader = node->source;
  if (reader == nullptr)
    return;  // not file-backed: nothing on file to bring in
  // Walking a large file in order costs reads through short gaps rather than moves of the
  // buffered stream.
  const std::int64_t position = get_position(reader->stream);
  const std::int64_t gap = node->data_offset - position;
  if (position >= 0 && gap > 0 && gap <= static_cast<std::int64_t>(SKIP_BUFFER_SIZE)) {
    read_exact(reader, skip_buffer, static_cast<std::size_t>(gap));
  } else if (set_position(reader->stream, node->data_offset, SEEK_SET) != 0) {
    report_error(error_table, ERR_FILE, reader->file_name, std::strerror(errno));
  }
  // The file may have been cut since it was read: its length now bounds the memory taken for
  // a large block (a small one is taken anyway, and the read finds the end of the file).
  constexpr std::uint32_t LARGE_BLOCK = 1 << 20;
  if (reader->length >= 0 && node->stored_size > LARGE_BLOCK)
    reader->length = file_length(stream_descriptor(reader->stream));
  read_data(reader, node);
  node->size = node->stored_size;
  node->type = node->stored_type;
}

// The bytes of the input read last by read_data_part, a block at a time: the small arrays of
// a group lie side by side, and one read for many of them costs far less than one each.
namespace {
struct ReadAhead {
  const DataReader* reader = nullptr;  // whose bytes these are; null when none are held
  std::int64_t start = 0;
  std::size_t length = 0;
  unsigned char* bytes = nullptr;  // READ_AHEAD_SIZE bytes, taken once
};
ReadAhead read_ahead;
constexpr std::size_t READ_AHEAD_SIZE = 256 * 1024;
}  // namespace

void forget_read_ahead() {
  read_ahead.reader = nullptr;
}

// Up to READ_AHEAD_SIZE bytes from `at` (fewer at the end of the file); false with errno set
// on a read error or when not even `wanted` bytes are there.
static bool fill_read_ahead(const DataReader* reader, std::int64_t at, std::size_t wanted) {
  if (read_ahead.bytes == nullptr) {
    read_ahead.bytes = static_cast<unsigned char*>(std::malloc(READ_AHEAD_SIZE));
    if (read_ahead.bytes == nullptr)
      report_error(error_table, ERR_MEMORY);
  }
  read_ahead.reader = nullptr;
  const std::int64_t length =
      read_up_to(stream_descriptor(reader->stream), read_ahead.bytes, READ_AHEAD_SIZE, at);
  if (length < 0)
    return false;
  if (static_cast<std::size_t>(length) < wanted) {
    errno = EIO;
    return false;
  }
  read_ahead.reader = reader;
  read_ahead.start = at;
  read_ahead.length = static_cast<std::size_t>(length);
  return true;
}

void read_data_part(const DataNode* node, std::uint64_t offset, std::size_t size, void* bytes) {
  DataReader* reader = node->source;
  if (offset + size > node->stored_size)
    report_error(error_table, ERR_EOF, reader->file_name);
  const std::int64_t at = node->data_offset + static_cast<std::int64_t>(offset);
  const bool held = read_ahead.reader == reader && at >= read_ahead.start &&
                    at + static_cast<std::int64_t>(size) <=
                        read_ahead.start + static_cast<std::int64_t>(read_ahead.length);
  if (held || (size <= READ_AHEAD_SIZE / 4 && fill_read_ahead(reader, at, size))) {
    if (size > 0)
      std::memcpy(bytes, read_ahead.bytes + (at - read_ahead.start), size);
    return;
  }
  if (size > READ_AHEAD_SIZE / 4 &&
      read_at(stream_descriptor(reader->stream), bytes, size, at) == 0)
    return;
  if (errno == EIO)  // no byte where one should be: the file was cut
    report_error(error_table, ERR_EOF, reader->file_name);
  report_error(error_table, ERR_FILE, reader->file_name, std::strerror(errno));
}

void check_data(DataNode* node) {
  DataReader* reader = node->source;
  if (reader == nullptr || node->data != nullptr || node->stored_size == 0 || reader->length < 0)
    return;
  const std::int64_t end = node->data_offset + std::int64_t{ node->stored_size };
  if (end <= reader->length)
    return;
  reader->length = file_length(stream_descriptor(reader->stream));  // it may have grown
  if (reader->length >= 0 && end > reader->length)
    report_error(error_table, ERR_EOF, reader->file_name);
}
