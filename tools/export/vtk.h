// The trajectories as a VTK XML PolyData file (.vtp) written directly: the samples as points
// (from the coordinate arrays), each trajectory a polyline through its samples in order (a
// trajectory of one sample a vertex: VTK has no line of one point), every array as point data
// and the identifier and enclosing values as cell data, all in their stored types; the data
// appended raw after the XML header, each array after its 64-bit byte count.
//
// The cells are the vertices first, then the polylines, as a PolyData orders them: cell k is
// the k-th trajectory of one sample for k below their number, else the (k - that number)-th of
// the longer ones, each kind in file order.
#ifndef ZVBTRACK_TOOLS_EXPORT_VTK_H_
#define ZVBTRACK_TOOLS_EXPORT_VTK_H_

#include "export/settings.h"
#include "export/trajectories.h"

// Writes the file on settings.descriptor, reading the input a second time and then reading
// the coordinates back from the output to interleave them as points. Does not return on
// failure.
void write_vtk(const TrajectoryLayout& layout, const ExportSettings& settings);

#endif  // ZVBTRACK_TOOLS_EXPORT_VTK_H_
