// The two passes over a trajectory file: one walk that checks the shape, learning the layout
// from the first trajectory in the first pass and handing the values on in the second.
#include "export/trajectories.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "base/progress.h"
#include "base/report.h"
#include "dump/elements.h"
#include "dump/values.h"

namespace {

// The creator that zvbtrack (and zvbtrack-mpi) stamp into their files.
constexpr char TRAJECTORY_CREATOR[] = "ZVBTRACK";

struct Walk {
  ElementStream stream;
  bool is_scan;             // learning the layout; else handing values to `sink`
  TrajectoryLayout layout;  // learned by the scan, expected by the reading
  bool has_layout;          // the first trajectory has set what every other one holds
  const TrajectorySink* sink;
  // The groups from the trajectory group down to the level being read, and their values.
  std::vector<Field> path;
  std::vector<std::vector<unsigned char>> values;
  std::vector<Field> block;     // the arrays of the trajectory being read
  std::uint64_t block_samples;  // the length of each of them
  std::int64_t block_offset;    // where its first array stands
  std::int64_t group_offset;    // where its trajectory group stands
  std::uint64_t trajectories;   // so far
  std::uint64_t samples;
  std::uint64_t longest;
  std::uint64_t single_count;
  std::uint64_t elements;
};

// The array a piece of values belongs to.
struct PieceTarget {
  Walk* walk;
  std::size_t array;
};

std::string field_name(const Element& element) {
  return std::string(element.header.name, name_length(element.header.name));
}

std::string quoted(const std::string& name) {
  std::string text = "\"";
  append_escaped(text, name.data(), name.size());
  return text + "\"";
}

// Ends the run: what is wrong with the file, and where. Met while writing, it means that the
// file changed after it was checked.
[[noreturn]] void refuse(const Walk* walk, std::int64_t offset, const std::string& what) {
  const char* name = walk->stream.reader.file_name;
  if (!walk->is_scan)
    report_error(error_table, ERR_INPUT_CHANGED, name);
  error_exit("\"%s\" is not a trajectory file as zvbtrack writes it: %s at offset %" PRId64 "\n",
             name, what.c_str(), offset);
}

[[noreturn]] void report_changed(const Walk* walk) {
  report_error(error_table, ERR_INPUT_CHANGED, walk->stream.reader.file_name);
}

bool is_number_type(std::uint32_t type) {
  return value_size(type) > 0;
}

// A trajectory group or a copy of an enclosing group: a group whose value is one number.
bool is_valued_group(const ElementHeader& header) {
  const std::int32_t size = value_size(header.type);
  return (header.type & FLAG_GROUP) != 0 && (header.type & FLAG_END_GROUP) == 0 && size > 0 &&
         header.size == static_cast<std::uint32_t>(size);
}

bool same_fields(const std::vector<Field>& one, const std::vector<Field>& other) {
  if (one.size() != other.size())
    return false;
  for (std::size_t i = 0; i < one.size(); i++) {
    if (one[i].name != other[i].name || one[i].type != other[i].type)
      return false;
  }
  return true;
}

void count_element(Walk* walk) {
  if ((++walk->elements & 255) == 0 && progress_enabled())
    show_progress(static_cast<std::uint64_t>(walk->stream.position),
                  static_cast<std::uint64_t>(walk->stream.position));
}

void take_piece(void* context, const unsigned char* bytes, std::size_t size) {
  const PieceTarget* target = static_cast<const PieceTarget*>(context);
  const TrajectorySink* sink = target->walk->sink;
  sink->values(sink->context, target->array, bytes, size);
}

// The first array of a trajectory: when writing, the trajectory is handed on before its values.
void begin_block(Walk* walk, const Element& element, std::uint64_t samples) {
  walk->block.clear();
  walk->block_samples = samples;
  walk->block_offset = element.offset;
  if (walk->is_scan)
    return;
  const TrajectoryLayout& layout = walk->layout;
  const std::vector<Field> enclosing(walk->path.begin() + 1, walk->path.end());
  if (walk->trajectories == layout.trajectory_count ||
      samples > layout.sample_count - walk->samples || !same_fields(enclosing, layout.enclosing))
    report_changed(walk);
  walk->sink->begin(walk->sink->context, walk->values, samples);
}

void take_array(Walk* walk, const Element& element) {
  const ElementHeader& header = element.header;
  const std::uint32_t width = static_cast<std::uint32_t>(value_size(header.type));
  const Field field = { field_name(element), header.type & TYPE_MASK };
  if (header.size % width != 0)
    refuse(walk, element.offset,
           "the array " + quoted(field.name) + " of " + std::to_string(header.size) +
               " bytes, not a whole number of " + value_type_name(header.type) + " values");
  const std::uint64_t samples = header.size / width;
  if (samples == 0)
    refuse(walk, element.offset, "the empty array " + quoted(field.name));
  if (walk->block.empty())
    begin_block(walk, element, samples);
  if (samples != walk->block_samples) {
    if (!walk->is_scan)
      report_changed(walk);
    error_exit("\"%s\": the trajectory at offset %" PRId64
               " has arrays of unequal length: %s holds %" PRIu64 " values, %s %" PRIu64 "\n",
               walk->stream.reader.file_name, walk->group_offset,
               quoted(walk->block.front().name).c_str(), walk->block_samples,
               quoted(field.name).c_str(), samples);
  }
  const std::size_t index = walk->block.size();
  walk->block.push_back(field);
  if (walk->is_scan) {
    skip_element_data(&walk->stream, element);
    return;
  }
  const std::vector<Field>& arrays = walk->layout.arrays;
  if (index >= arrays.size() || arrays[index].name != field.name ||
      arrays[index].type != field.type)
    report_changed(walk);
  PieceTarget target = { walk, index };
  read_element_pieces(&walk->stream, element, take_piece, &target);
}

// The arrays of one trajectory are all read: the first sets what the others must hold.
void end_block(Walk* walk) {
  TrajectoryLayout& layout = walk->layout;
  const Field& identifier = walk->path.front();
  const std::vector<Field> enclosing(walk->path.begin() + 1, walk->path.end());
  if (walk->is_scan && !walk->has_layout) {
    layout.identifier = identifier;
    layout.enclosing = enclosing;
    layout.arrays = walk->block;
    walk->has_layout = true;
  } else if (identifier.name != layout.identifier.name ||
             identifier.type != layout.identifier.type ||
             !same_fields(enclosing, layout.enclosing) ||
             !same_fields(walk->block, layout.arrays)) {
    if (!walk->is_scan)
      report_changed(walk);
    const std::string has = layout_text(identifier, enclosing, walk->block);
    const std::string first = layout_text(layout.identifier, layout.enclosing, layout.arrays);
    error_exit("\"%s\": the trajectory at offset %" PRId64
               " holds %s, not %s as the first: export one kind at a time\n",
               walk->stream.reader.file_name, walk->group_offset, has.c_str(), first.c_str());
  }
  walk->block.clear();
  walk->trajectories++;
  walk->samples += walk->block_samples;
  if (walk->block_samples > walk->longest)
    walk->longest = walk->block_samples;
  if (walk->block_samples == 1)
    walk->single_count++;
}

// The level inside a trajectory group or a copy (the group standing at `group_offset`), whose
// elements stand at `depth`: arrays of numbers, which make a trajectory, or copies, each
// leading on. Recursion bounded by the nesting limit that check_depth enforces.
void read_level(Walk* walk, std::uint32_t depth, std::int64_t group_offset) {
  enum { EMPTY, ARRAYS, GROUPS } kind = EMPTY;
  Element element;
  while (next_element(&walk->stream, &element)) {
    count_element(walk);
    const ElementHeader& header = element.header;
    if ((header.type & FLAG_GROUP) != 0) {
      if (kind == ARRAYS)
        refuse(walk, element.offset, "a group after arrays");
      if (!is_valued_group(header))
        refuse(walk, element.offset, "a group whose value is not one number");
      kind = GROUPS;
      walk->path.push_back({ field_name(element), header.type & TYPE_MASK });
      walk->values.emplace_back();
      read_element_data(&walk->stream, element, &walk->values.back());
      check_depth(walk->stream, depth);
      read_level(walk, depth + 1, element.offset);
      walk->path.pop_back();
      walk->values.pop_back();
      continue;
    }
    if ((header.type & FLAG_ARRAY) == 0 || !is_number_type(header.type))
      refuse(walk, element.offset, "an element that is neither an array of numbers nor a group");
    if (kind == GROUPS)
      refuse(walk, element.offset, "an array after groups");
    kind = ARRAYS;
    take_array(walk, element);
  }
  // Only an end marker closes a group: the file ended inside it.
  if (walk->stream.at_end)
    report_error(error_table, ERR_EOF, walk->stream.reader.file_name);
  if (kind == EMPTY)
    refuse(walk, group_offset, "a group without arrays");
  if (kind == ARRAYS)
    end_block(walk);
}

// The top level: trajectory groups only, up to the end of the file.
void read_top_level(Walk* walk) {
  ElementStream* stream = &walk->stream;
  Element element;
  while (next_element(stream, &element)) {
    count_element(walk);
    if ((element.header.type & FLAG_GROUP) == 0)
      refuse(walk, element.offset, "an element beside the trajectory groups");
    if (!is_valued_group(element.header))
      refuse(walk, element.offset, "a group whose value is not one number");
    walk->group_offset = element.offset;
    walk->path.assign(1, { field_name(element), element.header.type & TYPE_MASK });
    walk->values.resize(1);
    read_element_data(stream, element, &walk->values.front());
    check_depth(*stream, 0);
    read_level(walk, 1, element.offset);
  }
  // An end marker at the top level ends the file as zvbtrack reads it; zvbtrack writes none.
  if (!stream->at_end && next_element(stream, &element))
    refuse(walk, element.offset, "an element after the end of the top level");
  if (stream->begin != stream->end)
    report_error(error_table, ERR_EOF, stream->reader.file_name);  // a header cut short
}

void open_walk(Walk* walk, const char* file_name) {
  FileHeader header;
  open_elements(file_name, &walk->stream, &header);
  // Read twice, by name: a pipe or a device cannot be read again.
  if (walk->stream.reader.length < 0)
    error_exit("\"%s\" is not a regular file: zvbexport reads its input twice\n", file_name);
  if (!name_equals(header.creator, TRAJECTORY_CREATOR))
    error_exit(
        "\"%s\" was written by %s, not by zvbtrack: export the trajectories that "
        "zvbtrack makes of it\n",
        file_name, quoted(std::string(header.creator, name_length(header.creator))).c_str());
  walk->path.clear();
  walk->values.clear();
  walk->block.clear();
  walk->trajectories = 0;
  walk->samples = 0;
  walk->longest = 0;
  walk->single_count = 0;
  walk->elements = 0;
}

}  // namespace

std::string layout_text(const Field& identifier, const std::vector<Field>& enclosing,
                        const std::vector<Field>& arrays) {
  std::string text;
  auto append = [&text](const Field& field) {
    append_escaped(text, field.name.data(), field.name.size());
    text += "(" + value_type_name(field.type) + ")";
  };
  append(identifier);
  for (const Field& field : enclosing) {
    text += ' ';
    append(field);
  }
  text += ':';
  for (const Field& field : arrays) {
    text += ' ';
    append(field);
  }
  return text;
}

TrajectoryLayout scan_trajectories(const char* file_name) {
  Walk walk;
  walk.is_scan = true;
  walk.has_layout = false;
  walk.sink = nullptr;
  walk.layout.identifier = { "ID", TYPE_DOUBLE };
  open_walk(&walk, file_name);
  start_progress("checking", static_cast<std::uint64_t>(walk.stream.reader.length));
  read_top_level(&walk);
  end_progress();
  close_elements(&walk.stream);
  walk.layout.trajectory_count = walk.trajectories;
  walk.layout.sample_count = walk.samples;
  walk.layout.longest = walk.longest;
  walk.layout.single_count = walk.single_count;
  walk.layout.file_length = walk.stream.reader.length;
  return walk.layout;
}

void read_trajectories(const char* file_name, const TrajectoryLayout& layout,
                       const TrajectorySink& sink) {
  Walk walk;
  walk.is_scan = false;
  walk.has_layout = true;
  walk.layout = layout;
  walk.sink = &sink;
  open_walk(&walk, file_name);
  if (walk.stream.reader.length != layout.file_length)
    report_changed(&walk);
  start_progress("writing", static_cast<std::uint64_t>(walk.stream.reader.length));
  read_top_level(&walk);
  end_progress();
  if (walk.trajectories != layout.trajectory_count || walk.samples != layout.sample_count)
    report_changed(&walk);
  close_elements(&walk.stream);
}
