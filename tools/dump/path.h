// Paths of names that select an element of a tree for zvbdump: /time[3]/x, /ID=17.
#ifndef ZVBTRACK_TOOLS_DUMP_PATH_H_
#define ZVBTRACK_TOOLS_DUMP_PATH_H_

#include <cstdint>
#include <string>
#include <vector>

#include "data/tree.h"

// One step of a path: among the children of the node reached so far, the one numbered
// `index` (from 0) of those that bear `name` and, when `has_value`, carry `value` as their
// own value.
struct PathStep {
  std::string name;
  bool has_value;
  std::string value;
  std::uint32_t index;
  std::string text;  // the path up to and including this step, for messages
};

// Splits a path into its steps: "/" separates steps (a leading one and a trailing one are
// optional, so "/" and "" name the root), "name[k]" picks the k-th sibling of that name,
// "name=value" a node whose own value equals value, and a backslash takes the next character
// as part of a name or value. Ends the run with a message for a malformed path.
std::vector<PathStep> parse_path(const char* path);

// True when the node's own value (a single number or text, not an array) equals `value`:
// numbers compare as doubles with the value read as a number, texts as bytes.
bool value_matches(const DataNode* node, const std::string& value);

// The node that the steps of a path select below `root` (the root itself for no step). Ends
// the run with a message naming the first step that matches nothing in `file_name`.
DataNode* select_node(DataNode* root, const std::vector<PathStep>& steps, const char* file_name);

#endif  // ZVBTRACK_TOOLS_DUMP_PATH_H_
