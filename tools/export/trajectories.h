// The trajectories of a file that zvbtrack wrote, read element by element: first a pass that
// checks the file and learns what every trajectory holds and how many samples there are, then
// a pass that hands the values on in pieces. Memory stays that of the stream's buffer and of
// one trajectory's few group values, however large the file and its trajectories.
#ifndef ZVBTRACK_TOOLS_EXPORT_TRAJECTORIES_H_
#define ZVBTRACK_TOOLS_EXPORT_TRAJECTORIES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A value that every trajectory has: its name and value type.
struct Field {
  std::string name;    // the bytes of the name field before its NUL
  std::uint32_t type;  // a numeric value type (the low byte of the type word)
};

// What each trajectory holds, the same for all of them, and how many there are.
//
// A trajectory is a trajectory group at the top level (its own value is the identifier) or,
// when the group holds copies of enclosing groups, each path of copies down to arrays: the
// identifier and each copy's value on the path, and the arrays at its end.
struct TrajectoryLayout {
  Field identifier;              // the trajectory groups' name and value type
  std::vector<Field> enclosing;  // the copies on the path, outermost (next to the group) first
  std::vector<Field> arrays;     // in file order; the last is the loop variable
  std::uint64_t trajectory_count;
  std::uint64_t sample_count;  // over all trajectories
  std::uint64_t longest;       // samples of the longest trajectory
  std::uint64_t single_count;  // trajectories of one sample
  std::int64_t file_length;    // bytes of the file, for progress
};

// What reading hands on: each trajectory's start, then each array's values in pieces.
struct TrajectorySink {
  // `values` holds the identifier and then each enclosing value, one value each in host
  // order; `samples` is the length of every array of the trajectory.
  void (*begin)(void* context, const std::vector<std::vector<unsigned char>>& values,
                std::uint64_t samples);
  // Whole values of array `array` (an index into the layout's arrays), in host order.
  void (*values)(void* context, std::size_t array, const unsigned char* bytes, std::size_t size);
  void* context;
};

// Reads the file once without keeping its data and returns its layout. A file that zvbtrack
// did not write ends the run with one line saying what is wrong: another creator (a step
// file), another shape, trajectories that differ from the first, arrays of unequal length in
// one trajectory, empty arrays, a file cut short or damaged. A file without trajectories has no
// layout: its identifier is named "ID", a double, and there are no arrays.
TrajectoryLayout scan_trajectories(const char* file_name);

// Reads the file again and hands every trajectory to `sink` in file order. A file that no
// longer matches `layout` ends the run with ERR_INPUT_CHANGED.
void read_trajectories(const char* file_name, const TrajectoryLayout& layout,
                       const TrajectorySink& sink);

// The layout as text for messages: "ID(double) run(s32): x(float) y(float) time(double)".
std::string layout_text(const Field& identifier, const std::vector<Field>& enclosing,
                        const std::vector<Field>& arrays);

#endif  // ZVBTRACK_TOOLS_EXPORT_TRAJECTORIES_H_
