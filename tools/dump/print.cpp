// zvbdump's output: the header line or fields, the element tree, and CSV columns.
#include "dump/print.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/report.h"
#include "data/stream.h"
#include "dump/elements.h"
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

// One element's line: its header's offset, its type word, kind, value type, size and number of
// values, its name indented by `depth`, and its values.
static void print_line(std::int64_t offset, int depth, std::uint64_t limit, const char* name_field,
                       std::uint32_t type, const unsigned char* data, std::uint32_t size) {
  std::string line = format_text(
      "%9" PRId64 "  0x%-4" PRIX32 " %-6s %-6s %9" PRIu32 " %9" PRIu64 "  ", offset, type,
      kind_name(type), value_type_name(type).c_str(), size, count_values(type, data, size));
  line.append(2 * static_cast<std::size_t>(depth), ' ');
  const std::string name = name_text(name_field);
  line += name.empty() ? "\"\"" : name;
  if (size != 0) {
    line += " = ";
    append_values(line, type, data, size, (type & FLAG_SINGLE) != 0 ? 0 : limit, write_text);
  }
  write_line(line);
}

static void print_element(DataNode* node, std::int64_t offset, int depth, std::uint64_t limit) {
  load_data(node);
  print_line(offset, depth, limit, node->name, node->type, node->data, node->size);
  release_data(node);
}

static void print_heading() {
  write_line(format_text("%9s  %-6s %-6s %-6s %9s %9s  %s", "offset", "type", "kind", "value",
                         "bytes", "values", "name = values"));
}

void print_tree(DataNode* root, const std::vector<DataNode*>& tops, std::uint64_t limit) {
  print_heading();
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

namespace {

constexpr std::size_t NO_STEP = SIZE_MAX;

// What the steps of a path select in a file read element by element: the offsets of the
// selected elements, in file order, and how many steps found their element.
struct Selection {
  const std::vector<PathStep>* steps;
  std::vector<std::int64_t> tops;
  std::size_t reached;
  std::vector<unsigned char> value;
};

// True when the element closes the level it stands in, its children (for a group) read.
bool ends_level(std::uint32_t type) {
  return (type & FLAG_END_GROUP) != 0;
}

// Reads a level standing at `depth` to its end, every level inside it too, so that what the
// file holds is checked as reading it into a tree would. The level's elements are matched
// against step `step` (NO_STEP: none), and the children of the one it selects against the
// next. Recursion bounded by the nesting limit that check_depth enforces.
void scan_level(ElementStream* stream, std::uint32_t depth, std::size_t step, Selection* found) {
  std::uint32_t matches = 0;
  bool chosen = false;
  Element element;
  while (next_entry(stream, &element)) {
    const std::uint32_t type = element.header.type;
    std::size_t child_step = NO_STEP;
    if (step != NO_STEP && !chosen) {
      const PathStep& wanted = (*found->steps)[step];
      // Only an element's own value can match: an array's data are passed over.
      found->value.clear();
      if ((type & (FLAG_ARRAY | FLAG_GROUP)) == FLAG_ARRAY)
        skip_element_data(stream, element);
      else
        read_element_data(stream, element, &found->value);
      if (step_matches(wanted, element.header.name, type, found->value.data(),
                       static_cast<std::uint32_t>(found->value.size())) &&
          (wanted.is_range || matches++ == wanted.index)) {
        chosen = !wanted.is_range;
        found->reached = std::max(found->reached, step + 1);
        if (step + 1 == found->steps->size())
          found->tops.push_back(element.offset);
        else
          child_step = step + 1;
      }
    } else {
      skip_element_data(stream, element);
    }
    if ((type & FLAG_GROUP) != 0) {
      check_depth(*stream, depth);
      scan_level(stream, depth + 1, child_step, found);
    }
    if (ends_level(type))
      return;
  }
}

struct Printing {
  const std::vector<std::int64_t>* tops;
  std::size_t next_top;
  std::uint64_t limit;
  std::vector<unsigned char> data;
};

// Prints a level standing at `depth`: every element when `indent` is 0 or more (its indent),
// else only the selected elements and their subtrees. Returns false once the last of them is
// printed, so that nothing more is read. Recursion bounded as in scan_level.
bool print_level(ElementStream* stream, std::uint32_t depth, int indent, Printing* printing) {
  Element element;
  while (next_entry(stream, &element)) {
    const std::uint32_t type = element.header.type;
    int own = indent;
    if (own < 0 && printing->next_top < printing->tops->size() &&
        element.offset == (*printing->tops)[printing->next_top]) {
      own = 0;
      printing->next_top++;
    }
    if (own >= 0) {
      read_element_data(stream, element, &printing->data);
      print_line(element.offset, own, printing->limit, element.header.name, type,
                 printing->data.empty() ? nullptr : printing->data.data(), element.header.size);
    } else {
      skip_element_data(stream, element);
    }
    if ((type & FLAG_GROUP) != 0) {
      check_depth(*stream, depth);
      if (!print_level(stream, depth + 1, own >= 0 ? own + 1 : -1, printing))
        return false;
    }
    if (ends_level(type))
      return true;
    if (indent < 0 && printing->next_top == printing->tops->size())
      return false;
  }
  return true;
}

}  // namespace

void print_file_tree(const char* file_name, const std::vector<PathStep>& steps, std::uint64_t limit,
                     bool header_fields) {
  ElementStream stream;
  FileHeader header;
  open_elements(file_name, &stream, &header);
  Selection found = { &steps, {}, 0, {} };
  scan_level(&stream, 0, steps.empty() ? NO_STEP : 0, &found);
  if (found.reached < steps.size())
    report_no_match(steps[found.reached], stream.reader.file_name);
  found.value = std::vector<unsigned char>();
  if (header_fields)
    print_header_fields(header);
  else
    print_header_line(stream.reader.file_name, header);
  print_heading();
  rewind_elements(&stream);
  Printing printing = { &found.tops, 0, limit, {} };
  print_level(&stream, 0, steps.empty() ? 0 : -1, &printing);
  close_elements(&stream);
}
