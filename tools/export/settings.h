// What an export is asked to do, and the checks of the arrays it names that both formats share.
#ifndef ZVBTRACK_TOOLS_EXPORT_SETTINGS_H_
#define ZVBTRACK_TOOLS_EXPORT_SETTINGS_H_

#include <string>
#include <vector>

#include "export/trajectories.h"

struct ExportSettings {
  const char* input_name;
  const char* output_name;     // the target as given, for messages
  const char* temporary_name;  // where the output is written until it is complete
  int descriptor;              // open for writing on the temporary file
  // The arrays of the x, y and z coordinates, and whether the command line named them.
  const char* coordinate_names[3];
  bool coordinates_named[3];
  const char* time_units;  // the loop variable's units; null for none
  int compression;         // zlib level for netCDF, 0 for none
  std::string history;     // the command line, for the output's record
};

// The index among the layout's arrays of each coordinate array, -1 for one the trajectories
// lack. A lacking array that the command line named ends the run, with the arrays the file
// holds. Any array may be a coordinate, the loop variable too.
void find_coordinates(const TrajectoryLayout& layout, const ExportSettings& settings, int found[3]);

// Ends the run naming the coordinate array `axis` (0 to 2) lacks, and the arrays there are.
[[noreturn]] void report_missing_coordinate(const TrajectoryLayout& layout,
                                            const ExportSettings& settings, int axis);

// Every value of a trajectory becomes a variable or data array of its own: a name given twice
// (or among `reserved`, the format's own names) ends the run.
void check_names(const TrajectoryLayout& layout, const ExportSettings& settings,
                 const std::vector<std::string>& reserved);

#endif  // ZVBTRACK_TOOLS_EXPORT_SETTINGS_H_
