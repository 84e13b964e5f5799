// The netCDF writer: the variables defined from the layout, then filled column by column in
// whole chunks as the trajectories are read.
#include "export/netcdf.h"

#include <netcdf.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "base/report.h"
#include "data/format.h"
#include "data/output_guard.h"
#include "dump/values.h"
#include "export/columns.h"

namespace {

struct TypeRow {
  std::uint32_t code;  // the value type in a ZVB file
  nc_type type;
};

// The same numbers in netCDF-4's types: nothing is widened.
constexpr TypeRow TYPE_ROWS[] = {
  { TYPE_U8, NC_UBYTE },    { TYPE_S8, NC_BYTE },       { TYPE_U16, NC_USHORT },
  { TYPE_S16, NC_SHORT },   { TYPE_S32, NC_INT },       { TYPE_U32, NC_UINT },
  { TYPE_FLOAT, NC_FLOAT }, { TYPE_DOUBLE, NC_DOUBLE },
};

nc_type netcdf_type(std::uint32_t code) {
  for (const TypeRow& row : TYPE_ROWS) {
    if (row.code == code)
      return row.type;
  }
  return NC_NAT;  // the layout holds numbers only
}

// A variable and the column that fills it.
struct Variable {
  int id;
  Column column;
};

struct NetcdfExport {
  const ExportSettings* settings;
  int file;
  std::vector<Variable> arrays;  // the layout's arrays, in order
  Variable identifier;
  std::vector<Variable> enclosing;
  Variable row_size;
  bool row_size_is_64;
};

// A failed run removes the temporary file, as the writer's cleanup would, and ends at once:
// the library's own exit handler would close its file again, and after a close that failed
// (a full disk) its state is broken and it crashes.
void end_failed_run() {
  undo_output();
  _exit(1);
}

// The library's text, after the system's when a write of the library's own failed.
[[noreturn]] void report_netcdf(const NetcdfExport* out, int status, int system_error) {
  std::string text = nc_strerror(status);
  if (system_error != 0)
    text = std::string(std::strerror(system_error)) + " (" + text + ")";
  report_error(error_table, ERR_FILE, out->settings->output_name, text.c_str());
}

// Runs one call of the library; errno, cleared before it, tells whether the system failed it.
template <typename Call>
void call_netcdf(const NetcdfExport* out, Call call) {
  errno = 0;
  const int status = call();
  if (status != NC_NOERR)
    report_netcdf(out, status, errno);
}

void put_text(const NetcdfExport* out, int variable, const char* name, const std::string& text) {
  call_netcdf(out,
              [&] { return nc_put_att_text(out->file, variable, name, text.size(), text.data()); });
}

// Writes a whole block of a variable: the columns' blocks are its chunks.
struct BlockTarget {
  const NetcdfExport* out;
  int variable;
};

void write_block(void* context, std::uint64_t first, const unsigned char* bytes,
                 std::uint64_t count) {
  const BlockTarget* target = static_cast<const BlockTarget*>(context);
  const std::size_t start = first;
  const std::size_t length = count;
  call_netcdf(target->out, [&] {
    return nc_put_vara(target->out->file, target->variable, &start, &length, bytes);
  });
}

// One variable on `dimension`, chunked in `chunk` values, compressed when asked.
int define_variable(NetcdfExport* out, const std::string& name, nc_type type,
                    std::size_t value_bytes, int dimension, std::size_t chunk) {
  int id = 0;
  const int status = nc_def_var(out->file, name.c_str(), type, 1, &dimension, &id);
  if (status == NC_EBADNAME) {
    std::string shown;
    append_escaped(shown, name.data(), name.size());
    error_exit("The name \"%s\" in \"%s\" cannot name a netCDF variable (%s)\n", shown.c_str(),
               out->settings->input_name, nc_strerror(status));
  }
  call_netcdf(out, [&] { return status; });
  call_netcdf(out, [&] { return nc_def_var_chunking(out->file, id, NC_CHUNKED, &chunk); });
  const int level = out->settings->compression;
  if (level > 0)
    call_netcdf(out, [&] { return nc_def_var_deflate(out->file, id, 1, 1, level); });
  // Each write covers whole chunks: a cache of one chunk lets the library take it without
  // filling it first, and keeps no more of them.
  const std::size_t chunk_bytes = chunk * value_bytes;
  call_netcdf(out, [&] { return nc_set_var_chunk_cache(out->file, id, chunk_bytes, 1, 1.0f); });
  return id;
}

void start_column(Variable* variable, std::size_t value_size, std::uint64_t block,
                  std::vector<BlockTarget>* targets, std::size_t target) {
  init_column(&variable->column, value_size, block, write_block, &(*targets)[target]);
  (*targets)[target].variable = variable->id;
}

std::string coordinates_text(const TrajectoryLayout& layout, const int coordinates[3]) {
  std::string text = layout.arrays.back().name;
  for (int axis = 0; axis < 3; axis++) {
    const int index = coordinates[axis];
    bool listed = index < 0 || static_cast<std::size_t>(index) + 1 == layout.arrays.size();
    for (int other = 0; other < axis; other++)
      listed = listed || coordinates[other] == index;
    if (!listed)
      text += " " + layout.arrays[static_cast<std::size_t>(index)].name;
  }
  return text;
}

// The attributes that say what each variable is: the identifier, the counts, the loop
// variable as time, the coordinates as axes, and the others as data on those coordinates.
void describe(NetcdfExport* out, const TrajectoryLayout& layout, const int coordinates[3]) {
  put_text(out, out->identifier.id, "cf_role", "trajectory_id");
  put_text(out, out->row_size.id, "long_name", "number of observations for this trajectory");
  put_text(out, out->row_size.id, "sample_dimension", "obs");
  if (layout.arrays.empty())
    return;
  const std::size_t loop = layout.arrays.size() - 1;
  put_text(out, out->arrays[loop].id, "axis", "T");
  if (out->settings->time_units != nullptr)
    put_text(out, out->arrays[loop].id, "units", out->settings->time_units);
  const std::string on = coordinates_text(layout, coordinates);
  for (std::size_t i = 0; i < loop; i++) {
    const char* axis = nullptr;
    for (int k = 2; k >= 0; k--) {
      if (coordinates[k] == static_cast<int>(i))
        axis = k == 0 ? "X" : k == 1 ? "Y" : "Z";
    }
    if (axis != nullptr)
      put_text(out, out->arrays[i].id, "axis", axis);
    else
      put_text(out, out->arrays[i].id, "coordinates", on);
  }
}

void define_file(NetcdfExport* out, const TrajectoryLayout& layout,
                 std::vector<BlockTarget>* targets) {
  const ExportSettings& settings = *out->settings;
  call_netcdf(
      out, [&] { return nc_create(settings.temporary_name, NC_NETCDF4 | NC_CLOBBER, &out->file); });
  int old_mode = 0;
  // Every value is written, so nothing needs filling first.
  call_netcdf(out, [&] { return nc_set_fill(out->file, NC_NOFILL, &old_mode); });
  // A length of 0 makes a dimension unlimited: the one way netCDF has to say "none".
  int trajectory = 0;
  int obs = 0;
  call_netcdf(out, [&] {
    return nc_def_dim(out->file, "trajectory", layout.trajectory_count, &trajectory);
  });
  call_netcdf(out, [&] { return nc_def_dim(out->file, "obs", layout.sample_count, &obs); });

  std::uint64_t obs_row = 0;
  for (const Field& field : layout.arrays)
    obs_row += static_cast<std::uint64_t>(value_size(field.type));
  std::uint64_t trajectory_row = value_size(layout.identifier.type) + 8;
  for (const Field& field : layout.enclosing)
    trajectory_row += static_cast<std::uint64_t>(value_size(field.type));
  const std::uint64_t obs_block = block_length(obs_row + trajectory_row, layout.sample_count);
  const std::uint64_t trajectory_block =
      block_length(obs_row + trajectory_row, layout.trajectory_count);

  targets->assign(layout.arrays.size() + layout.enclosing.size() + 2, { out, 0 });
  std::size_t target = 0;
  out->identifier.id =
      define_variable(out, layout.identifier.name, netcdf_type(layout.identifier.type),
                      value_size(layout.identifier.type), trajectory, trajectory_block);
  start_column(&out->identifier, value_size(layout.identifier.type), trajectory_block, targets,
               target++);
  out->enclosing.resize(layout.enclosing.size());
  for (std::size_t i = 0; i < layout.enclosing.size(); i++) {
    const Field& field = layout.enclosing[i];
    out->enclosing[i].id = define_variable(out, field.name, netcdf_type(field.type),
                                           value_size(field.type), trajectory, trajectory_block);
    start_column(&out->enclosing[i], value_size(field.type), trajectory_block, targets, target++);
  }
  out->row_size_is_64 = layout.longest > static_cast<std::uint64_t>(INT32_MAX);
  out->row_size.id = define_variable(out, "rowSize", out->row_size_is_64 ? NC_INT64 : NC_INT,
                                     out->row_size_is_64 ? 8 : 4, trajectory, trajectory_block);
  start_column(&out->row_size, out->row_size_is_64 ? 8 : 4, trajectory_block, targets, target++);
  out->arrays.resize(layout.arrays.size());
  for (std::size_t i = 0; i < layout.arrays.size(); i++) {
    const Field& field = layout.arrays[i];
    out->arrays[i].id = define_variable(out, field.name, netcdf_type(field.type),
                                        value_size(field.type), obs, obs_block);
    start_column(&out->arrays[i], value_size(field.type), obs_block, targets, target++);
  }
}

void put_global_attributes(NetcdfExport* out) {
  put_text(out, NC_GLOBAL, "Conventions", "CF-1.10");
  put_text(out, NC_GLOBAL, "featureType", "trajectory");
  put_text(out, NC_GLOBAL, "history", out->settings->history);
}

void begin_trajectory(void* context, const std::vector<std::vector<unsigned char>>& values,
                      std::uint64_t samples) {
  NetcdfExport* out = static_cast<NetcdfExport*>(context);
  append_to_column(&out->identifier.column, values[0].data(), values[0].size());
  for (std::size_t i = 0; i < out->enclosing.size(); i++)
    append_to_column(&out->enclosing[i].column, values[i + 1].data(), values[i + 1].size());
  unsigned char count[8];
  if (out->row_size_is_64) {
    const std::int64_t wide = static_cast<std::int64_t>(samples);
    std::memcpy(count, &wide, sizeof wide);
  } else {
    const std::int32_t narrow = static_cast<std::int32_t>(samples);
    std::memcpy(count, &narrow, sizeof narrow);
  }
  append_to_column(&out->row_size.column, count, out->row_size_is_64 ? 8 : 4);
}

void take_values(void* context, std::size_t array, const unsigned char* bytes, std::size_t size) {
  NetcdfExport* out = static_cast<NetcdfExport*>(context);
  append_to_column(&out->arrays[array].column, bytes, size);
}

}  // namespace

void write_netcdf(const TrajectoryLayout& layout, const ExportSettings& settings) {
  check_names(layout, settings, { "rowSize", "trajectory", "obs" });
  int coordinates[3];
  find_coordinates(layout, settings, coordinates);
  NetcdfExport out;
  out.settings = &settings;
  set_failure_cleanup(end_failed_run);
  std::vector<BlockTarget> targets;
  define_file(&out, layout, &targets);
  describe(&out, layout, coordinates);
  put_global_attributes(&out);
  call_netcdf(&out, [&] { return nc_enddef(out.file); });

  const TrajectorySink sink = { begin_trajectory, take_values, &out };
  read_trajectories(settings.input_name, layout, sink);
  finish_column(&out.identifier.column);
  for (Variable& variable : out.enclosing)
    finish_column(&variable.column);
  finish_column(&out.row_size.column);
  for (Variable& variable : out.arrays)
    finish_column(&variable.column);
  call_netcdf(&out, [&] { return nc_close(out.file); });
}
