// Paths of names that select an element of a tree for zvbdump: /time[3]/x, /ID=17.
#ifndef ZVBTRACK_TOOLS_DUMP_PATH_H_
#define ZVBTRACK_TOOLS_DUMP_PATH_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/tree.h"

// One step of a path: among the children of the node reached so far, the one numbered
// `index` (from 0) of those that bear `name` and, when `has_value`, carry `value` as their
// own value; or, for a range, every one whose own value is a number from `low` to `high`.
struct PathStep {
  std::string name;
  bool has_value;
  std::string value;
  std::uint32_t index;
  std::string_view text;  // the path up to and including this step, for messages
  bool is_range;          // name=low..high: only as the last step
  double low;
  double high;
};

// Splits a path into its steps: "/" separates steps (a leading one and a trailing one are
// optional, so "/" and "" name the root), "name[k]" picks the k-th sibling of that name,
// "name=value" a node whose own value equals value, "name=low..high" (last step only) every
// node whose own value is a number from low to high, and a backslash takes the next character
// as part of a name or value. The steps' texts point into `path`, which must outlive them.
// Ends the run with a message for a malformed path.
std::vector<PathStep> parse_path(const char* path);

// True when an element with this name, type word and data is one that `step` selects, leaving
// the index aside: the name matches, and so does its own value (a single number or text, not
// an array; numbers compare as doubles with the value read as a number, texts as bytes) or
// the range, if the step has one.
bool step_matches(const PathStep& step, const char* name, std::uint32_t type,
                  const unsigned char* data, std::uint32_t size);

// The nodes that the steps of a path select below `root` in file order: the root itself for
// no step, one node, or every match of a range. Ends the run with a message naming the first
// step that matches nothing in `file_name`.
std::vector<DataNode*> select_nodes(DataNode* root, const std::vector<PathStep>& steps,
                                    const char* file_name);

// Ends the run: the step matches nothing.
[[noreturn]] void report_no_match(const PathStep& step, const char* file_name);

#endif  // ZVBTRACK_TOOLS_DUMP_PATH_H_
