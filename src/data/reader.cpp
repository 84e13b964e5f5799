// The file reader: header checks, the length probe, and the element tree.
#include "data/reader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "base/progress.h"
#include "base/report.h"

constexpr std::size_t INPUT_BUFFER_SIZE = 4096;

void open_input(const char* name, DataReader* reader) {
  if (name != nullptr && std::strcmp(name, "-") != 0) {
    reader->file_name = name;
    reader->stream = std::fopen(name, "rb");
    if (reader->stream == nullptr)
      report_error(error_table, ERR_FILE, name, std::strerror(errno));
  } else {
    if (is_terminal(0))
      report_error(error_table, ERR_TERMINAL);
    reader->file_name = "-";
    reader->stream = stdin;
    set_binary_mode(stream_descriptor(stdin));
  }
  std::setvbuf(reader->stream, nullptr, _IOFBF, INPUT_BUFFER_SIZE);
  reader->length = file_length(stream_descriptor(reader->stream));
}

void close_input(DataReader* reader) {
  if (reader->stream == nullptr || reader->stream == stdin)
    return;
  forget_read_ahead();
  std::fclose(reader->stream);
  reader->stream = nullptr;
}

// True when the stream is a file of at least LARGE_FILE_SIZE bytes whose end can be reached.
static bool probe_large_file(std::FILE* stream) {
  const std::int64_t start = get_position(stream);
  if (set_position(stream, 0, SEEK_END) != 0)
    return false;
  const std::int64_t length = get_position(stream);
  if (set_position(stream, start, SEEK_SET) != 0)
    return false;
  return (length >> 20) >= 16;
}

int read_file(DataReader* reader, DataFile* data_file, int mode) {
  bool load_all = (mode & READ_LOAD_ALL) != 0;
  if ((mode & READ_NO_PROBE) == 0 && !probe_large_file(reader->stream))
    load_all = true;

  unsigned char bytes[sizeof(FileHeader)];
  if (std::fread(bytes, 1, sizeof bytes, reader->stream) != sizeof bytes) {
    if ((mode & READ_REPORT) == 0)
      return 1;
    if (std::ferror(reader->stream))
      report_error(error_table, ERR_FILE, reader->file_name, std::strerror(errno));
    report_error(error_table, ERR_EOF, reader->file_name);
  }
  FileHeader& header = data_file->header;
  header = decode_file_header(bytes);
  const bool reversed = header.magic == swap32(ZVB_MAGIC);
  if (reversed)
    header.creation_time = swap32(header.creation_time);
  // Data read later from file could not be reversed, so these load everything now.
  if (reader->stream == stdin || reversed)
    load_all = true;
  if (header.magic != ZVB_MAGIC && !reversed) {
    if ((mode & READ_REPORT) == 0)
      return 1;
    report_error(error_table, ERR_MAGIC, reader->file_name);
  }
  if (header.format_major != 1)
    report_error(error_table, ERR_VERSION, reader->file_name);

  DataNode& root = data_file->root;
  init_root(&root);
  root.stored_type = ROOT_TYPE;
  root.stored_size = 0;
  root.source = nullptr;
  root.data_offset = 0;
  root.data = nullptr;
  root.insert_after = nullptr;
  root.child_names = nullptr;
  read_elements(reader, &root, reversed, load_all);
  return 0;
}

// Brings in or passes over the data of a freshly read element.
static void read_element_data(DataReader* reader, DataNode* node, bool reversed, bool load_all) {
  if (node->size == 0)
    return;  // nothing to read, and nothing left on file: an empty array is not file-backed
  const bool at_once = (node->type & FLAG_GROUP) != 0 || load_all || (node->type & FLAG_ARRAY) == 0;
  if (at_once) {
    read_data(reader, node);
    if (reversed)
      reverse_values(node->data, node->size, node->type);
    return;
  }
  node->source = reader;
  node->data_offset = get_position(reader->stream);
  check_data(node);  // a size past the end of the file is refused now, as when read at once
  if (node->size <= SKIP_BUFFER_SIZE)
    read_exact(reader, skip_buffer, node->size);
  else if (set_position(reader->stream, node->size, SEEK_CUR) != 0)
    report_error(error_table, ERR_FILE, reader->file_name, std::strerror(errno));
}

// Without recursion: the open groups are found through the parent links, so the stack stays
// flat however deep the file nests; the depth limit bounds the walks over the tree.
void read_elements(DataReader* reader, DataNode* parent, bool reversed, bool load_all) {
  DataNode* level = parent;  // the group whose children are being read
  DataNode* last = nullptr;  // the last node linked into `level`
  std::uint32_t depth = 0;   // groups open below `parent`
  std::uint32_t elements = 0;
  level->child_count = 0;
  for (;;) {
    if ((++elements & 255) == 0 && progress_enabled()) {
      const std::int64_t position = get_position(reader->stream);
      show_progress(position > 0 ? static_cast<std::uint64_t>(position) : 0,
                    position > 0 ? static_cast<std::uint64_t>(position) : 0);
    }
    unsigned char bytes[sizeof(ElementHeader)];
    if (std::fread(bytes, 1, sizeof bytes, reader->stream) != sizeof bytes) {
      if (std::ferror(reader->stream))
        report_error(error_table, ERR_FILE, reader->file_name, std::strerror(errno));
      return;  // the end of the file ends every open level
    }
    const ElementHeader header = decode_element_header(bytes, reversed);
    level->child_count++;
    auto* node = static_cast<DataNode*>(std::malloc(sizeof(DataNode)));
    if (node == nullptr)
      report_error(error_table, ERR_MEMORY);
    node->child_count = 0;
    node->next = nullptr;
    node->first_child = nullptr;
    node->parent = level;
    std::memcpy(node->name, header.name, NAME_SIZE);
    node->type = header.type;
    node->size = header.size;
    node->stored_type = header.type;
    node->stored_size = header.size;
    node->source = nullptr;
    node->data_offset = 0;
    node->data = nullptr;
    node->insert_after = nullptr;
    node->child_names = nullptr;
    if (last != nullptr)
      last->next = node;
    else
      level->first_child = node;
    last = node;

    read_element_data(reader, node, reversed, load_all);
    if ((node->type & FLAG_GROUP) != 0) {
      if (depth + 1 > MAX_GROUP_DEPTH)
        report_error(error_table, ERR_DEPTH, reader->file_name);
      level = node;
      last = nullptr;
      depth++;
      continue;
    }
    // An end-of-group element closes its level; a group that carries the flag itself closes
    // the level around it once its own children are read. At the top, the tree ends.
    while ((node->type & FLAG_END_GROUP) != 0) {
      if (level == parent)
        return;
      node = level;
      last = level;
      level = level->parent;
      depth--;
    }
  }
}
