// The element-by-element reader: large reads from the descriptor, checked sizes, byte order.
#include "dump/elements.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/platform.h"
#include "base/report.h"
#include "data/reader.h"
#include "data/tree.h"

constexpr std::size_t STREAM_BLOCK = std::size_t{ 1 } << 20;

[[noreturn]] static void report_read_error(const ElementStream* stream) {
  report_error(error_table, ERR_FILE, stream->reader.file_name, std::strerror(errno));
}

// Reads up to `size` bytes at `into`; returns how many, 0 at the end of the file.
static std::size_t read_some(ElementStream* stream, unsigned char* into, std::size_t size) {
  for (;;) {
    const ssize_t got = read(stream->descriptor, into, size);
    if (got >= 0)
      return static_cast<std::size_t>(got);
    if (errno != EINTR)
      report_read_error(stream);
  }
}

// Makes at least `wanted` bytes (at most a block) wait in the buffer, fewer only at the end.
static void fill(ElementStream* stream, std::size_t wanted) {
  std::size_t waiting = stream->end - stream->begin;
  if (waiting >= wanted)
    return;
  std::memmove(stream->buffer.data(), stream->buffer.data() + stream->begin, waiting);
  stream->begin = 0;
  stream->end = waiting;
  while (stream->end < wanted) {
    const std::size_t got =
        read_some(stream, stream->buffer.data() + stream->end, stream->buffer.size() - stream->end);
    if (got == 0)
      return;
    stream->end += got;
  }
}

static std::size_t waiting(const ElementStream* stream) {
  return stream->end - stream->begin;
}

void open_elements(const char* name, ElementStream* stream, FileHeader* header) {
  open_input(name, &stream->reader);
  stream->descriptor = stream_descriptor(stream->reader.stream);
  stream->position = 0;
  stream->buffer.resize(STREAM_BLOCK);
  stream->begin = 0;
  stream->end = 0;
  stream->at_end = false;
  fill(stream, sizeof(FileHeader));
  if (waiting(stream) < sizeof(FileHeader))
    report_error(error_table, ERR_EOF, stream->reader.file_name);
  *header = decode_file_header(stream->buffer.data());
  stream->begin += sizeof(FileHeader);
  stream->position += sizeof(FileHeader);
  stream->is_reversed = header->magic == swap32(ZVB_MAGIC);
  if (stream->is_reversed)
    header->creation_time = swap32(header->creation_time);
  if (header->magic != ZVB_MAGIC && !stream->is_reversed)
    report_error(error_table, ERR_MAGIC, stream->reader.file_name);
  if (header->format_major != 1)
    report_error(error_table, ERR_VERSION, stream->reader.file_name);
}

bool next_entry(ElementStream* stream, Element* element) {
  if (stream->at_end)
    return false;
  fill(stream, sizeof(ElementHeader));
  if (waiting(stream) < sizeof(ElementHeader)) {
    stream->at_end = true;  // the end of the file ends every open level
    return false;
  }
  element->header =
      decode_element_header(stream->buffer.data() + stream->begin, stream->is_reversed);
  element->offset = stream->position;
  stream->begin += sizeof(ElementHeader);
  stream->position += sizeof(ElementHeader);
  return true;
}

bool next_element(ElementStream* stream, Element* element) {
  if (!next_entry(stream, element))
    return false;
  const std::uint32_t type = element->header.type;
  if ((type & FLAG_END_GROUP) == 0 || (type & FLAG_GROUP) != 0)
    return true;
  skip_element_data(stream, *element);  // an end marker may carry data too
  return false;
}

void rewind_elements(ElementStream* stream) {
  if (lseek(stream->descriptor, sizeof(FileHeader), SEEK_SET) < 0)
    report_read_error(stream);
  stream->position = sizeof(FileHeader);
  stream->begin = stream->end = 0;
  stream->at_end = false;
}

// Refuses a size that passes the end of a regular file, before anything is taken for it.
static void check_size(ElementStream* stream, std::uint32_t size) {
  DataReader& reader = stream->reader;
  if (reader.length < 0 || stream->position + size <= reader.length)
    return;
  reader.length = file_length(stream->descriptor);  // it may have grown
  if (reader.length >= 0 && stream->position + size > reader.length)
    report_error(error_table, ERR_EOF, reader.file_name);
}

void read_element_data(ElementStream* stream, const Element& element,
                       std::vector<unsigned char>* data) {
  const std::uint32_t size = element.header.size;
  check_size(stream, size);
  const std::size_t buffered = std::min<std::size_t>(waiting(stream), size);
  // From a pipe the size is only a claim: memory follows the bytes that arrive.
  data->resize(stream->reader.length >= 0
                   ? size
                   : std::min<std::size_t>(size, std::max(buffered, std::size_t{ 64 } << 10)));
  if (buffered != 0)
    std::memcpy(data->data(), stream->buffer.data() + stream->begin, buffered);
  stream->begin += buffered;
  std::size_t filled = buffered;
  while (filled < size) {
    if (filled == data->size())
      data->resize(std::min<std::size_t>(size, 2 * filled));
    const std::size_t got = read_some(stream, data->data() + filled, data->size() - filled);
    if (got == 0)
      report_error(error_table, ERR_EOF, stream->reader.file_name);
    filled += got;
  }
  data->resize(size);
  stream->position += size;
  if (stream->is_reversed)
    reverse_values(data->data(), size, element.header.type);
}

void read_element_pieces(ElementStream* stream, const Element& element, PieceSink take,
                         void* context) {
  std::size_t left = element.header.size;
  check_size(stream, element.header.size);
  const std::int32_t size_of_value = value_size(element.header.type);
  const std::size_t width = size_of_value > 0 ? static_cast<std::size_t>(size_of_value) : 1;
  while (left > 0) {
    fill(stream, std::min(left, stream->buffer.size()));
    std::size_t piece = std::min(waiting(stream), left);
    if (piece == 0)
      report_error(error_table, ERR_EOF, stream->reader.file_name);
    // A value cut by the end of the buffer waits for the next piece.
    if (piece >= width && piece != left)
      piece -= piece % width;
    unsigned char* bytes = stream->buffer.data() + stream->begin;
    if (stream->is_reversed)
      reverse_values(bytes, static_cast<std::uint32_t>(piece), element.header.type);
    stream->begin += piece;
    stream->position += static_cast<std::int64_t>(piece);
    left -= piece;
    take(context, bytes, piece);
  }
}

void skip_element_data(ElementStream* stream, const Element& element) {
  std::size_t left = element.header.size;
  check_size(stream, element.header.size);
  stream->position += left;
  const std::size_t buffered = std::min(waiting(stream), left);
  stream->begin += buffered;
  left -= buffered;
  if (left == 0)
    return;
  stream->begin = stream->end = 0;
  if (stream->reader.length >= 0) {
    if (lseek(stream->descriptor, stream->position, SEEK_SET) < 0)
      report_read_error(stream);
    return;
  }
  while (left > 0) {
    const std::size_t got =
        read_some(stream, stream->buffer.data(), std::min(left, stream->buffer.size()));
    if (got == 0)
      report_error(error_table, ERR_EOF, stream->reader.file_name);
    left -= got;
  }
}

void check_depth(const ElementStream& stream, std::uint32_t depth) {
  if (depth + 1 > MAX_GROUP_DEPTH)
    report_error(error_table, ERR_DEPTH, stream.reader.file_name);
}

// Recursion bounded by the nesting limit that check_depth enforces.
void skip_level(ElementStream* stream, std::uint32_t depth) {
  Element element;
  while (next_element(stream, &element)) {
    skip_element_data(stream, element);
    if ((element.header.type & FLAG_GROUP) == 0)
      continue;
    check_depth(*stream, depth);
    skip_level(stream, depth + 1);
    if ((element.header.type & FLAG_END_GROUP) != 0)
      return;
  }
}

void close_elements(ElementStream* stream) {
  close_input(&stream->reader);
}
