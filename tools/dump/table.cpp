// zvbdump's CSV tables, written from a stream of elements through one large output buffer.
#include "dump/table.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "base/report.h"
#include "dump/elements.h"
#include "dump/values.h"

namespace {

constexpr std::size_t OUTPUT_BLOCK = std::size_t{ 1 } << 20;

// Standard output in blocks of a megabyte; every write is checked.
class CsvOutput {
 public:
  CsvOutput() : buffer_(OUTPUT_BLOCK) { at_ = buffer_.data(); }
  ~CsvOutput() { flush(); }
  CsvOutput(const CsvOutput&) = delete;
  CsvOutput& operator=(const CsvOutput&) = delete;

  // Makes room for `size` more bytes at `at`.
  char* need(std::size_t size) {
    if (size > static_cast<std::size_t>(buffer_.data() + buffer_.size() - at_))
      make_room(size);
    return at_;
  }
  void put(char c) {
    need(1);
    *at_++ = c;
  }
  void put(const std::string& text) {
    need(text.size());
    std::memcpy(at_, text.data(), text.size());
    at_ += text.size();
  }
  void advance_to(char* end) { at_ = end; }
  void flush() {
    const std::size_t size = static_cast<std::size_t>(at_ - buffer_.data());
    if (size != 0 && std::fwrite(buffer_.data(), 1, size, stdout) != size)
      report_error(error_table, ERR_FILE, "-", std::strerror(errno));
    at_ = buffer_.data();
  }

 private:
  void make_room(std::size_t size) {
    flush();
    if (size > buffer_.size()) {
      buffer_.resize(size);
      at_ = buffer_.data();
    }
  }
  std::vector<char> buffer_;
  char* at_;
};

// One array of numbers or text with its data in memory.
struct Column {
  std::string name;  // the bytes of the name field before its NUL
  std::uint32_t type;
  std::vector<unsigned char> data;
  std::uint64_t count;
  NumberWriter writer;   // null for text
  std::size_t width;     // bytes of one number
  std::size_t position;  // of the next text in the data
};

// A group on the way from the trajectory group down to the arrays, and its cell.
struct Key {
  std::string name;
  std::string cell;
};

struct Table {
  ElementStream stream;
  CsvOutput out;
  const char* path;
  std::vector<Key> keys;  // the trajectory group first
  // The columns found so far at each level below the trajectory group, kept for the next
  // trajectory so that their memory is taken once.
  std::deque<std::vector<Column>> levels;
  std::vector<std::string> layout;  // the names of the first trajectory's columns
  std::int64_t trajectory_offset;
  std::vector<unsigned char> value;  // a group's own value
  std::string scratch;
};

bool is_column(std::uint32_t type) {
  return (type & (FLAG_ARRAY | FLAG_GROUP)) == FLAG_ARRAY && has_csv_cells(type);
}

std::string name_of(const Element& element) {
  return std::string(element.header.name, name_length(element.header.name));
}

void read_column(Table* table, const Element& element, Column* column) {
  read_element_data(&table->stream, element, &column->data);
  column->name = name_of(element);
  column->type = element.header.type;
  column->count = count_values(column->type, column->data.data(), element.header.size);
  column->writer = number_writer(column->type);
  column->width = static_cast<std::size_t>(value_size(column->type));
  column->position = 0;
}

// A group's own value as a cell: its first number or text, else the bytes as the tree shows
// them; empty when it has none.
std::string value_cell(std::uint32_t type, const std::vector<unsigned char>& value) {
  std::string cell;
  if (value.empty())
    return cell;
  if (has_csv_cells(type)) {
    append_csv_value(cell, type, value.data(), value.size());
    return cell;
  }
  std::string shown;
  append_values(shown, type, value.data(), static_cast<std::uint32_t>(value.size()), 0,
                [](std::string&) {});
  append_csv_field(cell, shown.data(), shown.size());
  return cell;
}

Key key_of(Table* table, const Element& element) {
  read_element_data(&table->stream, element, &table->value);
  return { name_of(element), value_cell(element.header.type, table->value) };
}

// Names for a message, escaped as the tree shows them.
std::string list_text(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (&name != &names.front())
      text += ',';
    append_escaped(text, name.data(), name.size());
  }
  return text;
}

void write_names(Table* table, const std::vector<std::string>& names) {
  std::string line;
  for (const std::string& name : names) {
    if (&name != &names.front())
      line += ',';
    append_csv_field(line, name.data(), name.size());
  }
  line += '\n';
  table->out.put(line);
}

// A row per index: `prefix`, then a cell of each column (empty past its end), comma-separated.
void write_rows(Table* table, Column* const* columns, std::size_t column_count,
                const std::string& prefix) {
  std::uint64_t row_count = 0;
  for (std::size_t i = 0; i < column_count; i++) {
    columns[i]->position = 0;
    if (columns[i]->count > row_count)
      row_count = columns[i]->count;
  }
  CsvOutput& out = table->out;
  for (std::uint64_t row = 0; row < row_count; row++) {
    out.put(prefix);
    for (std::size_t i = 0; i < column_count; i++) {
      Column* column = columns[i];
      if (i != 0)
        out.put(',');
      if (row >= column->count)
        continue;  // a shorter array: an empty cell
      if (column->writer != nullptr) {
        char* at = out.need(NUMBER_TEXT_SIZE);
        out.advance_to(column->writer(at, column->data.data() + row * column->width));
        continue;
      }
      table->scratch.clear();
      column->position +=
          append_csv_value(table->scratch, column->type, column->data.data() + column->position,
                           column->data.size() - column->position);
      out.put(table->scratch);
    }
    out.put('\n');
  }
}

// The rows of the `used` arrays found at one level of a trajectory: the keys, the last array,
// then the others.
void write_samples(Table* table, std::vector<Column>& found, std::size_t used) {
  std::vector<Column*> ordered = { &found[used - 1] };
  for (std::size_t i = 0; i + 1 < used; i++)
    ordered.push_back(&found[i]);
  std::vector<std::string> names;
  std::string prefix;
  for (const Key& key : table->keys) {
    names.push_back(key.name);
    prefix += key.cell;
    prefix += ',';
  }
  for (const Column* column : ordered)
    names.push_back(column->name);
  if (table->layout.empty()) {
    table->layout = names;
    write_names(table, names);
  } else if (names != table->layout) {
    const std::string has = list_text(names);
    const std::string first = list_text(table->layout);
    table->out.flush();
    error_exit("Trajectory group at offset %" PRId64
               " in \"%s\" has the columns %s, not %s as the first: select one kind with -p\n",
               table->trajectory_offset, table->stream.reader.file_name, has.c_str(),
               first.c_str());
  }
  write_rows(table, ordered.data(), ordered.size(), prefix);
}

void read_trajectory_level(Table* table, std::uint32_t depth, std::size_t level);

// One element inside a trajectory, standing at `depth` and `level` levels below the
// trajectory group; `used` counts the arrays kept at that level. Returns true when the
// element ended its level.
bool take_trajectory_element(Table* table, const Element& element, std::uint32_t depth,
                             std::size_t level, std::size_t* used) {
  const std::uint32_t type = element.header.type;
  if ((type & FLAG_GROUP) != 0) {
    table->keys.push_back(key_of(table, element));
    check_depth(table->stream, depth);
    read_trajectory_level(table, depth + 1, level + 1);
    table->keys.pop_back();
    return (type & FLAG_END_GROUP) != 0;
  }
  if (!is_column(type)) {
    skip_element_data(&table->stream, element);
    return false;
  }
  while (table->levels.size() <= level)
    table->levels.emplace_back();
  std::vector<Column>& found = table->levels[level];
  if (found.size() <= *used)
    found.emplace_back();
  read_column(table, element, &found[(*used)++]);
  return false;
}

void write_level(Table* table, std::size_t level, std::size_t used) {
  if (used != 0)
    write_samples(table, table->levels[level], used);
}

// Recursion bounded by the nesting limit that check_depth enforces.
void read_trajectory_level(Table* table, std::uint32_t depth, std::size_t level) {
  std::size_t used = 0;
  Element element;
  while (next_element(&table->stream, &element)) {
    if (take_trajectory_element(table, element, depth, level, &used))
      break;
  }
  write_level(table, level, used);
}

// A trajectory group standing at `depth`, its data not yet read.
void read_trajectory(Table* table, const Element& group, std::uint32_t depth) {
  table->trajectory_offset = group.offset;
  table->keys.assign(1, key_of(table, group));
  check_depth(table->stream, depth);
  read_trajectory_level(table, depth + 1, 0);
}

[[noreturn]] void report_no_arrays(Table* table) {
  table->out.flush();
  error_exit("No arrays of numbers or text at \"%s\" in \"%s\"\n", table->path,
             table->stream.reader.file_name);
}

void write_columns(Table* table, std::size_t used) {
  std::vector<Column>& found = table->levels[0];
  std::vector<std::string> names;
  std::vector<Column*> columns;
  for (std::size_t i = 0; i < used; i++) {
    names.push_back(found[i].name);
    columns.push_back(&found[i]);
  }
  write_names(table, names);
  write_rows(table, columns.data(), columns.size(), "");
}

// The level of the selected group (the root: `selection` null), whose elements stand at
// `depth`; `selection` is the group's own key when it carries a value.
void print_group(Table* table, std::uint32_t depth, const Key* selection,
                 std::int64_t selection_offset) {
  enum { UNDECIDED, COLUMNS, TRAJECTORIES, ONE_TRAJECTORY } shape = UNDECIDED;
  table->levels.emplace_back();
  std::size_t used = 0;
  Element element;
  while (next_element(&table->stream, &element)) {
    const std::uint32_t type = element.header.type;
    const bool is_group = (type & FLAG_GROUP) != 0;
    if (shape == UNDECIDED && is_column(type))
      shape = COLUMNS;
    if (shape == UNDECIDED && is_group && element.header.size != 0) {
      shape = selection != nullptr ? ONE_TRAJECTORY : TRAJECTORIES;
      if (shape == ONE_TRAJECTORY) {
        table->trajectory_offset = selection_offset;
        table->keys.assign(1, *selection);
      }
    }
    if (shape == ONE_TRAJECTORY) {
      if (take_trajectory_element(table, element, depth, 0, &used))
        break;
      continue;
    }
    if (is_group) {
      if (shape == TRAJECTORIES && element.header.size != 0) {
        read_trajectory(table, element, depth);
      } else {
        skip_element_data(&table->stream, element);
        check_depth(table->stream, depth);
        skip_level(&table->stream, depth + 1);
      }
      if ((type & FLAG_END_GROUP) != 0)
        break;
      continue;
    }
    if (shape == COLUMNS && is_column(type)) {
      std::vector<Column>& found = table->levels[0];
      if (found.size() <= used)
        found.emplace_back();
      read_column(table, element, &found[used++]);
      continue;
    }
    skip_element_data(&table->stream, element);
  }
  if (shape == COLUMNS)
    write_columns(table, used);
  else if (shape == ONE_TRAJECTORY)
    write_level(table, 0, used);
  if (table->layout.empty() && shape != COLUMNS)
    report_no_arrays(table);
}

// Every match of a range among the elements of a level standing at `depth`.
void print_range(Table* table, const PathStep& step, std::uint32_t depth) {
  bool matched = false;
  Element element;
  while (next_element(&table->stream, &element)) {
    const std::uint32_t type = element.header.type;
    if ((type & FLAG_GROUP) != 0) {
      read_element_data(&table->stream, element, &table->value);
      if (step_matches(step, element.header.name, type, table->value.data(), element.header.size)) {
        matched = true;
        table->trajectory_offset = element.offset;
        table->keys.assign(1, { name_of(element), value_cell(type, table->value) });
        check_depth(table->stream, depth);
        read_trajectory_level(table, depth + 1, 0);
      } else {
        check_depth(table->stream, depth);
        skip_level(&table->stream, depth + 1);
      }
      if ((type & FLAG_END_GROUP) != 0)
        break;
      continue;
    }
    if ((type & FLAG_ARRAY) == 0) {
      read_element_data(&table->stream, element, &table->value);
      matched = matched || step_matches(step, element.header.name, type, table->value.data(),
                                        element.header.size);
    } else {
      skip_element_data(&table->stream, element);
    }
  }
  if (!matched) {
    table->out.flush();
    report_no_match(step, table->stream.reader.file_name);
  }
  if (table->layout.empty())
    report_no_arrays(table);
}

}  // namespace

// Finds the selection while reading, then reads on only as far as it reaches.
void print_csv(const char* file_name, const std::vector<PathStep>& steps, const char* path) {
  Table table;
  table.path = path;
  FileHeader header;
  open_elements(file_name, &table.stream, &header);
  std::uint32_t depth = 0;
  for (std::size_t i = 0; i < steps.size(); i++) {
    const PathStep& step = steps[i];
    if (step.is_range) {
      print_range(&table, step, depth);
      break;
    }
    Element element;
    bool found = false;
    std::uint32_t matches = 0;
    while (!found && next_element(&table.stream, &element)) {
      const std::uint32_t type = element.header.type;
      const bool is_array = (type & (FLAG_ARRAY | FLAG_GROUP)) == FLAG_ARRAY;
      table.value.clear();
      if (!is_array)
        read_element_data(&table.stream, element, &table.value);
      if (step_matches(step, element.header.name, type, table.value.data(),
                       static_cast<std::uint32_t>(table.value.size())) &&
          matches++ == step.index) {
        found = true;
        break;
      }
      if (is_array)
        skip_element_data(&table.stream, element);
      if ((type & FLAG_GROUP) == 0)
        continue;
      check_depth(table.stream, depth);
      skip_level(&table.stream, depth + 1);
      if ((type & FLAG_END_GROUP) != 0)
        break;
    }
    if (!found)
      report_no_match(step, file_name);
    const std::uint32_t type = element.header.type;
    const bool is_last = i + 1 == steps.size();
    if ((type & FLAG_GROUP) == 0) {
      if (!is_last)
        report_no_match(steps[i + 1], file_name);  // only a group has children
      if (!is_column(type))
        report_no_arrays(&table);
      table.levels.emplace_back(1);
      read_column(&table, element, &table.levels[0][0]);
      write_columns(&table, 1);
      break;
    }
    check_depth(table.stream, depth);
    depth++;
    if (is_last) {
      const Key key = { name_of(element), value_cell(type, table.value) };
      print_group(&table, depth, element.header.size != 0 ? &key : nullptr, element.offset);
    }
  }
  if (steps.empty())
    print_group(&table, 0, nullptr, 0);
  table.out.flush();
  close_elements(&table.stream);
}
