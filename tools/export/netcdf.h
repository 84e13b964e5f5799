// The trajectories as a netCDF-4 file of the contiguous ragged array layout for trajectories:
// the dimensions `trajectory` and `obs`, per trajectory the identifier (cf_role
// "trajectory_id"), the enclosing values and the count `rowSize` (sample_dimension "obs"),
// per sample every array in its stored type; chunked, with optional zlib compression.
#ifndef ZVBTRACK_TOOLS_EXPORT_NETCDF_H_
#define ZVBTRACK_TOOLS_EXPORT_NETCDF_H_

#include "export/settings.h"
#include "export/trajectories.h"

// Writes the file at settings.temporary_name through the netCDF library, reading the input a
// second time. Does not return on failure.
void write_netcdf(const TrajectoryLayout& layout, const ExportSettings& settings);

#endif  // ZVBTRACK_TOOLS_EXPORT_NETCDF_H_
