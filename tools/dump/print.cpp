// zvbdump's output: the header line or fields, the element tree, and CSV columns.
#include "dump/print.h"

#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/report.h"
#include "data/stream.h"
#include "dump/values.h"

static void write_text(std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
    report_error(error_table, ERR_FILE, "-", std::strerror(errno));
  text.clear();
}

static void write_line(std::string line) {
  line += '\n';
  write_text(line);
}

void finish_output() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    report_error(error_table, ERR_FILE, "-", std::strerror(errno));
}

[[gnu::format(printf, 1, 2)]] static std::string format_text(const char* format, ...) {
  char text[256];
  va_list values;
  va_start(values, format);
  std::vsnprintf(text, sizeof text, format, values);
  va_end(values);
  return text;
}

static std::string utc_date(std::uint32_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts;
  char text[64];
  if (gmtime_r(&time, &parts) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
    return "?";
  return text;
}

// A file is in its writer's byte order; read_file left the magic as the file holds it.
static std::string byte_order(const FileHeader& header) {
  const bool is_reversed = header.magic != ZVB_MAGIC;
  const bool is_little = (std::endian::native == std::endian::little) != is_reversed;
  return std::string(is_reversed ? "reversed" : "host") + " byte order (" +
         (is_little ? "little" : "big") + "-endian)";
}

// A 16-byte text field of the header, quoted.
static std::string quoted_field(const char* field) {
  return '"' + name_text(field) + '"';
}

void print_header_line(const char* file_name, const FileHeader& header) {
  write_line(std::string(file_name) + ": ZVB format " +
             format_text("%u.%u", header.format_major, header.format_minor) + ", " +
             byte_order(header) + ", creator " + quoted_field(header.creator) +
             format_text(" %u.%u", header.creator_major, header.creator_minor) + ", destination " +
             quoted_field(header.destination) +
             format_text(" %u.%u", header.destination_major, header.destination_minor) +
             ", created " + utc_date(header.creation_time));
}

namespace {

struct HeaderField {
  const char* name;
  std::size_t offset;
  std::size_t size;
  std::string (*value)(const FileHeader& header);
  const char* meaning;
};

#define FIELD_AT(field) offsetof(FileHeader, field), sizeof(FileHeader::field)

const HeaderField header_fields[] = {
  { "magic", FIELD_AT(magic),
    [](const FileHeader& h) { return format_text("0x%08" PRIX32, h.magic) + ": " + byte_order(h); },
    "marks a ZVB file; its byte order is the whole file's" },
  { "creation_time", FIELD_AT(creation_time),
    [](const FileHeader& h) {
      return format_text("%" PRIu32, h.creation_time) + ": " + utc_date(h.creation_time);
    },
    "seconds since 1970-01-01 UTC when the file was written" },
  { "creator", FIELD_AT(creator), [](const FileHeader& h) { return quoted_field(h.creator); },
    "the program that wrote the file" },
  { "destination", FIELD_AT(destination),
    [](const FileHeader& h) { return quoted_field(h.destination); },
    "a second name with its own version" },
  { "format_major", FIELD_AT(format_major),
    [](const FileHeader& h) { return format_text("%u", h.format_major); },
    "format version, major; only 1 is read" },
  { "format_minor", FIELD_AT(format_minor),
    [](const FileHeader& h) { return format_text("%u", h.format_minor); },
    "format version, minor; any is read" },
  { "creator_major", FIELD_AT(creator_major),
    [](const FileHeader& h) { return format_text("%u", h.creator_major); },
    "creator version, major" },
  { "creator_minor", FIELD_AT(creator_minor),
    [](const FileHeader& h) { return format_text("%u", h.creator_minor); },
    "creator version, minor" },
  { "destination_major", FIELD_AT(destination_major),
    [](const FileHeader& h) { return format_text("%u", h.destination_major); },
    "destination version, major" },
  { "destination_minor", FIELD_AT(destination_minor),
    [](const FileHeader& h) { return format_text("%u", h.destination_minor); },
    "destination version, minor" },
  { "reserved", FIELD_AT(reserved),
    [](const FileHeader& h) { return format_text("%02x %02x", h.reserved[0], h.reserved[1]); },
    "no meaning" },
};

#undef FIELD_AT

}  // namespace

void print_header_fields(const FileHeader& header) {
  write_line(
      format_text("%6s %4s  %-17s  %-44s  %s", "offset", "size", "field", "value", "meaning"));
  for (const HeaderField& field : header_fields) {
    write_line(format_text("%6zu %4zu  %-17s  %-44s  %s", field.offset, field.size, field.name,
                           field.value(header).c_str(), field.meaning));
  }
}

static const char* kind_name(std::uint32_t type) {
  if ((type & FLAG_GROUP) != 0)
    return "group";
  if ((type & FLAG_END_GROUP) != 0)
    return "end";
  if ((type & FLAG_ARRAY) != 0)
    return "array";
  if ((type & FLAG_SINGLE) != 0)
    return "single";
  return "plain";  // data without a value structure
}

// Bytes that an element takes in the file: its header, then its data.
static std::int64_t element_bytes(const DataNode* node) {
  return static_cast<std::int64_t>(sizeof(ElementHeader)) + node->stored_size;
}

// The element after `node` in file order within the subtree of `top`, or null: a group's
// children follow its data, and a list that runs out continues after its parent. `depth`
// follows the steps down and up. Without recursion, so any nesting walks in constant stack.
static DataNode* next_in_file_order(DataNode* node, const DataNode* top, int* depth) {
  if (node->first_child != nullptr) {
    ++*depth;
    return node->first_child;
  }
  while (node != top && node->next == nullptr) {
    node = node->parent;
    --*depth;
  }
  return node == top ? nullptr : node->next;
}

static void print_element(DataNode* node, std::int64_t offset, int depth, std::uint64_t limit) {
  load_data(node);
  const std::uint32_t type = node->type;
  const std::uint32_t size = node->size;
  std::string line = format_text(
      "%9" PRId64 "  0x%-4" PRIX32 " %-6s %-6s %9" PRIu32 " %9" PRIu64 "  ", offset, type,
      kind_name(type), value_type_name(type).c_str(), size, count_values(type, node->data, size));
  line.append(2 * static_cast<std::size_t>(depth), ' ');
  const std::string name = name_text(node->name);
  line += name.empty() ? "\"\"" : name;
  if (size != 0) {
    line += " = ";
    append_values(line, type, node->data, size, (type & FLAG_SINGLE) != 0 ? 0 : limit, write_text);
  }
  release_data(node);
  write_line(line);
}

void print_tree(DataNode* root, const std::vector<DataNode*>& tops, std::uint64_t limit) {
  write_line(format_text("%9s  %-6s %-6s %-6s %9s %9s  %s", "offset", "type", "kind", "value",
                         "bytes", "values", "name = values"));
  std::int64_t offset = sizeof(FileHeader);
  if (tops.size() == 1 && tops.front() == root) {
    int depth = -1;  // the root is no element: its children stand at depth 0
    for (DataNode* node = next_in_file_order(root, root, &depth); node != nullptr;
         node = next_in_file_order(node, root, &depth)) {
      print_element(node, offset, depth, limit);
      offset += element_bytes(node);
    }
    return;
  }
  // One walk over the file in order, printing the subtree of each top as it comes.
  int ignored = 0;
  std::size_t next_top = 0;
  DataNode* node = root->first_child;
  while (node != nullptr && next_top < tops.size()) {
    if (node != tops[next_top]) {
      offset += element_bytes(node);
      node = next_in_file_order(node, root, &ignored);
      continue;
    }
    int depth = 0;
    DataNode* top = node;
    for (; node != nullptr; node = next_in_file_order(node, top, &depth)) {
      print_element(node, offset, depth, limit);
      offset += element_bytes(node);
    }
    next_top++;
    // Past the top's subtree: its next sibling, or the next sibling of an ancestor.
    node = top;
    while (node != root && node->next == nullptr)
      node = node->parent;
    node = node == root ? nullptr : node->next;
  }
}
