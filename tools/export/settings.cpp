// The arrays an export names, checked against what the trajectories hold.
#include "export/settings.h"

#include <cstring>

#include "base/report.h"
#include "dump/values.h"

static std::string quoted(const std::string& name) {
  std::string text = "\"";
  append_escaped(text, name.data(), name.size());
  return text + "\"";
}

static std::string array_list(const TrajectoryLayout& layout) {
  std::string text;
  for (const Field& field : layout.arrays)
    text += (text.empty() ? "" : ", ") + quoted(field.name);
  return text.empty() ? "no arrays" : text;
}

void report_missing_coordinate(const TrajectoryLayout& layout, const ExportSettings& settings,
                               int axis) {
  static const char letters[] = "xyz";
  error_exit(
      "\"%s\" has no array %s for the %c coordinates (-%c names it); its trajectories "
      "hold %s\n",
      settings.input_name, quoted(settings.coordinate_names[axis]).c_str(), letters[axis],
      letters[axis], array_list(layout).c_str());
}

void find_coordinates(const TrajectoryLayout& layout, const ExportSettings& settings,
                      int found[3]) {
  for (int axis = 0; axis < 3; axis++) {
    found[axis] = -1;
    for (std::size_t i = 0; i < layout.arrays.size(); i++) {
      if (layout.arrays[i].name == settings.coordinate_names[axis])
        found[axis] = static_cast<int>(i);
    }
    // A file without trajectories has no arrays to look for.
    if (found[axis] < 0 && settings.coordinates_named[axis] && layout.trajectory_count != 0)
      report_missing_coordinate(layout, settings, axis);
  }
}

void check_names(const TrajectoryLayout& layout, const ExportSettings& settings,
                 const std::vector<std::string>& reserved) {
  std::vector<std::string> names = reserved;
  names.push_back(layout.identifier.name);
  for (const Field& field : layout.enclosing)
    names.push_back(field.name);
  for (const Field& field : layout.arrays)
    names.push_back(field.name);
  for (std::size_t i = reserved.size(); i < names.size(); i++) {
    for (std::size_t k = 0; k < i; k++) {
      if (names[k] != names[i])
        continue;
      if (k < reserved.size())
        error_exit(
            "\"%s\": its trajectories hold a value named %s, a name the output uses "
            "itself\n",
            settings.input_name, quoted(names[i]).c_str());
      error_exit(
          "\"%s\": its trajectories hold two values named %s; each needs a name of "
          "its own in the output\n",
          settings.input_name, quoted(names[i]).c_str());
    }
  }
}
