// The VTK writer: the XML header from the layout, then each array's place in the appended
// data, filled column by column as the trajectories are read, the points last.
#include "export/vtk.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/report.h"
#include "data/format.h"
#include "dump/values.h"
#include "export/columns.h"

namespace {

struct TypeRow {
  std::uint32_t code;  // the value type in a ZVB file
  const char* name;    // VTK's name of the same type
};

constexpr TypeRow TYPE_ROWS[] = {
  { TYPE_U8, "UInt8" },      { TYPE_S8, "Int8" },        { TYPE_U16, "UInt16" },
  { TYPE_S16, "Int16" },     { TYPE_S32, "Int32" },      { TYPE_U32, "UInt32" },
  { TYPE_FLOAT, "Float32" }, { TYPE_DOUBLE, "Float64" },
};

const char* vtk_type(std::uint32_t code) {
  for (const TypeRow& row : TYPE_ROWS) {
    if (row.code == code)
      return row.name;
  }
  return "";  // the layout holds numbers only
}

// One array of the appended data: its 8-byte count of bytes, then its values.
struct Region {
  std::string name;
  std::uint32_t type;  // a ZVB value type; TYPE_NULL for the 64-bit integers of the cells
  const char* vtk_name;
  int components;
  std::uint64_t bytes;
  std::uint64_t offset;  // of the count, from the start of the appended data
};

struct VtkExport {
  const ExportSettings* settings;
  std::int64_t data_start;  // where the appended data begin in the file
  std::vector<Region> regions;
  std::vector<Column> point_columns;   // the arrays
  std::vector<Column> vertex_columns;  // the identifier and enclosing values of vertices
  std::vector<Column> line_columns;    // and of polylines
  Column vertex_connectivity;
  Column vertex_offsets;
  Column line_connectivity;
  Column line_offsets;
  std::uint64_t points_so_far;
  std::uint64_t vertices_so_far;
  std::uint64_t line_points_so_far;
};

// Where a column writes: the first value of its region.
struct RegionTarget {
  const VtkExport* out;
  std::int64_t values_start;
  std::size_t value_size;
};

[[noreturn]] void report_write_error(const VtkExport* out) {
  report_error(error_table, ERR_FILE, out->settings->output_name, std::strerror(errno));
}

void put(const VtkExport* out, const void* bytes, std::size_t size, std::int64_t offset) {
  if (write_at(out->settings->descriptor, bytes, size, offset) != 0)
    report_write_error(out);
}

void write_block(void* context, std::uint64_t first, const unsigned char* bytes,
                 std::uint64_t count) {
  const RegionTarget* target = static_cast<const RegionTarget*>(context);
  put(target->out, bytes, count * target->value_size,
      target->values_start + static_cast<std::int64_t>(first * target->value_size));
}

// A name as an XML attribute value; a name with a control byte cannot be one.
std::string attribute_text(const VtkExport* out, const std::string& name) {
  std::string text;
  for (const char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      std::string shown;
      append_escaped(shown, name.data(), name.size());
      error_exit(
          "The name \"%s\" in \"%s\" holds a control character, which a VTK file "
          "cannot hold\n",
          shown.c_str(), out->settings->input_name);
    }
    if (c == '&')
      text += "&amp;";
    else if (c == '<')
      text += "&lt;";
    else if (c == '>')
      text += "&gt;";
    else if (c == '"')
      text += "&quot;";
    else
      text += c;
  }
  return text;
}

void add_region(VtkExport* out, const std::string& name, std::uint32_t type, const char* vtk_name,
                int components, std::uint64_t values) {
  const std::uint64_t offset =
      out->regions.empty() ? 0 : out->regions.back().offset + 8 + out->regions.back().bytes;
  const std::uint64_t width = type == TYPE_NULL ? 8 : static_cast<std::uint64_t>(value_size(type));
  out->regions.push_back({ name, type, vtk_name, components, values * width, offset });
}

std::string data_array(const VtkExport* out, const Region& region) {
  std::string text = std::string("        <DataArray type=\"") + region.vtk_name + "\"";
  text += " Name=\"" + attribute_text(out, region.name) + "\"";
  if (region.components != 1)
    text += " NumberOfComponents=\"" + std::to_string(region.components) + "\"";
  return text + " format=\"appended\" offset=\"" + std::to_string(region.offset) + "\"/>\n";
}

// The type of the points: the coordinates' own when they share a floating-point type, else
// double, which holds every coordinate of the other types exactly.
std::uint32_t point_type(const TrajectoryLayout& layout, const int coordinates[3]) {
  if (coordinates[0] < 0)
    return TYPE_DOUBLE;
  const std::uint32_t type = layout.arrays[static_cast<std::size_t>(coordinates[0])].type;
  for (int axis = 1; axis < 3; axis++) {
    if (coordinates[axis] >= 0 &&
        layout.arrays[static_cast<std::size_t>(coordinates[axis])].type != type)
      return TYPE_DOUBLE;
  }
  return type == TYPE_FLOAT ? TYPE_FLOAT : TYPE_DOUBLE;
}

// The regions in file order and the XML header that points at them. The cells' connectivity
// and offsets carry TYPE_NULL: 64-bit integers, which no ZVB type names.
std::string lay_out(VtkExport* out, const TrajectoryLayout& layout, std::uint32_t points_type) {
  const std::uint64_t samples = layout.sample_count;
  const std::uint64_t vertices = layout.single_count;
  const std::uint64_t lines = layout.trajectory_count - vertices;
  for (const Field& field : layout.arrays)
    add_region(out, field.name, field.type, vtk_type(field.type), 1, samples);
  std::vector<Field> cell_fields = { layout.identifier };
  cell_fields.insert(cell_fields.end(), layout.enclosing.begin(), layout.enclosing.end());
  for (const Field& field : cell_fields)
    add_region(out, field.name, field.type, vtk_type(field.type), 1, layout.trajectory_count);
  add_region(out, "Points", points_type, vtk_type(points_type), 3, 3 * samples);
  add_region(out, "connectivity", TYPE_NULL, "Int64", 1, vertices);
  add_region(out, "offsets", TYPE_NULL, "Int64", 1, vertices);
  add_region(out, "connectivity", TYPE_NULL, "Int64", 1, samples - vertices);
  add_region(out, "offsets", TYPE_NULL, "Int64", 1, lines);

  const char* order = std::endian::native == std::endian::little ? "LittleEndian" : "BigEndian";
  std::string text = "<?xml version=\"1.0\"?>\n";
  text += std::string("<VTKFile type=\"PolyData\" version=\"0.1\" byte_order=\"") + order +
          "\" header_type=\"UInt64\">\n  <PolyData>\n";
  text += "    <Piece NumberOfPoints=\"" + std::to_string(samples) + "\" NumberOfVerts=\"" +
          std::to_string(vertices) + "\" NumberOfLines=\"" + std::to_string(lines) +
          "\" NumberOfStrips=\"0\" NumberOfPolys=\"0\">\n";
  const std::size_t array_count = layout.arrays.size();
  text += "      <PointData";
  if (array_count != 0)
    text += " Scalars=\"" + attribute_text(out, layout.arrays.back().name) + "\"";
  text += ">\n";
  std::size_t k = 0;
  for (; k < array_count; k++)
    text += data_array(out, out->regions[k]);
  text += "      </PointData>\n      <CellData>\n";
  for (; k < array_count + cell_fields.size(); k++)
    text += data_array(out, out->regions[k]);
  text += "      </CellData>\n      <Points>\n";
  text += data_array(out, out->regions[k++]);
  text += "      </Points>\n      <Verts>\n";
  text += data_array(out, out->regions[k++]);
  text += data_array(out, out->regions[k++]);
  text += "      </Verts>\n      <Lines>\n";
  text += data_array(out, out->regions[k++]);
  text += data_array(out, out->regions[k++]);
  text += "      </Lines>\n    </Piece>\n  </PolyData>\n  <AppendedData encoding=\"raw\">\n   _";
  return text;
}

std::int64_t values_start(const VtkExport* out, std::size_t region) {
  return out->data_start + static_cast<std::int64_t>(out->regions[region].offset + 8);
}

void start_column(VtkExport* out, Column* column, std::size_t region, std::uint64_t first,
                  std::uint64_t block, std::vector<RegionTarget>* targets) {
  const Region& where = out->regions[region];
  const std::size_t width = where.type == TYPE_NULL ? 8 : value_size(where.type);
  targets->push_back({ out, values_start(out, region), width });
  init_column(column, width, block, write_block, &targets->back());
  column->first = first;
}

// Appends the 64-bit integers first, first + 1, ... up to first + count - 1.
void append_counting(Column* column, std::uint64_t first, std::uint64_t count) {
  unsigned char bytes[512 * 8];
  while (count > 0) {
    const std::uint64_t taken = std::min<std::uint64_t>(count, 512);
    for (std::uint64_t k = 0; k < taken; k++) {
      const std::int64_t value = static_cast<std::int64_t>(first + k);
      std::memcpy(bytes + 8 * k, &value, sizeof value);
    }
    append_to_column(column, bytes, 8 * taken);
    first += taken;
    count -= taken;
  }
}

void begin_trajectory(void* context, const std::vector<std::vector<unsigned char>>& values,
                      std::uint64_t samples) {
  VtkExport* out = static_cast<VtkExport*>(context);
  const bool is_vertex = samples == 1;
  std::vector<Column>& cells = is_vertex ? out->vertex_columns : out->line_columns;
  for (std::size_t i = 0; i < values.size(); i++)
    append_to_column(&cells[i], values[i].data(), values[i].size());
  const std::uint64_t first_point = out->points_so_far;
  out->points_so_far += samples;
  // A cell's offset is where its points end in the connectivity.
  if (is_vertex) {
    append_counting(&out->vertex_connectivity, first_point, 1);
    append_counting(&out->vertex_offsets, ++out->vertices_so_far, 1);
    return;
  }
  append_counting(&out->line_connectivity, first_point, samples);
  out->line_points_so_far += samples;
  append_counting(&out->line_offsets, out->line_points_so_far, 1);
}

void take_values(void* context, std::size_t array, const unsigned char* bytes, std::size_t size) {
  VtkExport* out = static_cast<VtkExport*>(context);
  append_to_column(&out->point_columns[array], bytes, size);
}

// The points, read back from the coordinate arrays already written and interleaved; a
// coordinate without an array (z of a plane) is 0.
void write_points(const VtkExport* out, const TrajectoryLayout& layout, const int coordinates[3],
                  std::size_t points_region) {
  const std::uint32_t type = out->regions[points_region].type;
  const std::size_t width = static_cast<std::size_t>(value_size(type));
  const std::uint64_t block = block_length(3 * (8 + width), layout.sample_count);
  std::vector<unsigned char> read(3 * block * 8);
  std::vector<unsigned char> points(3 * block * width);
  for (std::uint64_t first = 0; first < layout.sample_count; first += block) {
    const std::uint64_t count = std::min(block, layout.sample_count - first);
    std::fill(points.begin(), points.end(), 0);
    for (int axis = 0; axis < 3; axis++) {
      if (coordinates[axis] < 0)
        continue;
      const std::size_t array = static_cast<std::size_t>(coordinates[axis]);
      const std::uint32_t stored = layout.arrays[array].type;
      const std::size_t stored_width = static_cast<std::size_t>(value_size(stored));
      unsigned char* values = read.data() + axis * block * 8;
      if (read_at(out->settings->descriptor, values, count * stored_width,
                  values_start(out, array) + static_cast<std::int64_t>(first * stored_width)) != 0)
        report_write_error(out);
      for (std::uint64_t k = 0; k < count; k++) {
        unsigned char* point = points.data() + (3 * k + axis) * width;
        if (stored == type) {
          std::memcpy(point, values + k * stored_width, width);
          continue;
        }
        double number = 0;
        read_single_number(stored, values + k * stored_width, stored_width, &number);
        std::memcpy(point, &number, sizeof number);
      }
    }
    put(out, points.data(), count * 3 * width,
        values_start(out, points_region) + static_cast<std::int64_t>(first * 3 * width));
  }
}

}  // namespace

void write_vtk(const TrajectoryLayout& layout, const ExportSettings& settings) {
  check_names(layout, settings, {});
  int coordinates[3];
  find_coordinates(layout, settings, coordinates);
  for (int axis = 0; axis < 2; axis++) {
    if (coordinates[axis] < 0 && layout.trajectory_count != 0)
      report_missing_coordinate(layout, settings, axis);
  }
  VtkExport out;
  out.settings = &settings;
  const std::string header = lay_out(&out, layout, point_type(layout, coordinates));
  out.data_start = static_cast<std::int64_t>(header.size());
  put(&out, header.data(), header.size(), 0);
  for (std::size_t i = 0; i < out.regions.size(); i++) {
    const std::uint64_t bytes = out.regions[i].bytes;
    put(&out, &bytes, sizeof bytes, values_start(&out, i) - 8);
  }

  // Every column's blocks, of the samples and of the trajectories alike, within the budget.
  const std::size_t array_count = layout.arrays.size();
  const std::size_t cell_count = 1 + layout.enclosing.size();
  std::uint64_t row = 16 + 8;
  for (std::size_t i = 0; i < array_count + cell_count; i++)
    row += static_cast<std::uint64_t>(value_size(out.regions[i].type)) * (i < array_count ? 1 : 2);
  const std::uint64_t block = block_length(row, std::max(layout.sample_count, std::uint64_t{ 1 }));
  // Reserved whole: the columns point at their targets.
  std::vector<RegionTarget> targets;
  targets.reserve(array_count + 2 * cell_count + 4);
  out.point_columns.resize(array_count);
  for (std::size_t i = 0; i < array_count; i++)
    start_column(&out, &out.point_columns[i], i, 0, block, &targets);
  out.vertex_columns.resize(cell_count);
  out.line_columns.resize(cell_count);
  for (std::size_t i = 0; i < cell_count; i++) {
    start_column(&out, &out.vertex_columns[i], array_count + i, 0, block, &targets);
    start_column(&out, &out.line_columns[i], array_count + i, layout.single_count, block, &targets);
  }
  const std::size_t points_region = array_count + cell_count;
  start_column(&out, &out.vertex_connectivity, points_region + 1, 0, block, &targets);
  start_column(&out, &out.vertex_offsets, points_region + 2, 0, block, &targets);
  start_column(&out, &out.line_connectivity, points_region + 3, 0, block, &targets);
  start_column(&out, &out.line_offsets, points_region + 4, 0, block, &targets);
  out.points_so_far = 0;
  out.vertices_so_far = 0;
  out.line_points_so_far = 0;
  const TrajectorySink sink = { begin_trajectory, take_values, &out };
  read_trajectories(settings.input_name, layout, sink);
  for (std::vector<Column>* columns :
       { &out.point_columns, &out.vertex_columns, &out.line_columns })
    for (Column& column : *columns)
      finish_column(&column);
  for (Column* column :
       { &out.vertex_connectivity, &out.vertex_offsets, &out.line_connectivity, &out.line_offsets })
    finish_column(column);
  write_points(&out, layout, coordinates, points_region);
  static const char trailer[] = "\n  </AppendedData>\n</VTKFile>\n";
  const Region& last = out.regions.back();
  put(&out, trailer, sizeof trailer - 1,
      out.data_start + static_cast<std::int64_t>(last.offset + 8 + last.bytes));
}
