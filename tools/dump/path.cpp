// Selecting an element of a tree by a path of names, positions and values.
#include "dump/path.h"

#include <cstdlib>
#include <cstring>

#include "base/report.h"
#include "dump/values.h"

[[noreturn]] static void reject_path(const char* path) {
  error_exit("Invalid path \"%s\": steps are name, name[k] or name=value, separated by /\n", path);
}

// Reads "[k]" at `p`; returns the position after it.
static const char* parse_index(const char* path, const char* p, std::uint32_t* index) {
  const char* digits = ++p;
  std::uint64_t number = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    number = number * 10 + static_cast<std::uint64_t>(*p - '0');
    if (number > UINT32_MAX)
      reject_path(path);
  }
  if (p == digits || *p != ']')
    reject_path(path);
  p++;
  if (*p != '\0' && *p != '/')
    reject_path(path);  // the position ends a step
  *index = static_cast<std::uint32_t>(number);
  return p;
}

std::vector<PathStep> parse_path(const char* path) {
  std::vector<PathStep> steps;
  const char* p = path;
  if (*p == '/')
    p++;
  while (*p != '\0') {
    PathStep step = { "", false, "", 0, "" };
    std::string* part = &step.name;  // the name, then the value after '='
    while (*p != '\0' && *p != '/') {
      if (*p == '\\') {
        if (p[1] == '\0')
          reject_path(path);
        part->push_back(p[1]);
        p += 2;
      } else if (*p == '=' && !step.has_value) {
        step.has_value = true;
        part = &step.value;
        p++;
      } else if (*p == '[') {
        p = parse_index(path, p, &step.index);
      } else {
        part->push_back(*p++);
      }
    }
    step.text.assign(path, static_cast<std::size_t>(p - path));
    steps.push_back(step);
    if (*p == '/')
      p++;  // a trailing '/' adds no step
  }
  return steps;
}

bool value_matches(const DataNode* node, const std::string& value) {
  if ((node->type & FLAG_ARRAY) != 0)
    return false;
  if ((node->type & TYPE_MASK) == TYPE_ASCII) {
    if (node->data == nullptr || node->size == 0)
      return value.empty();
    const char* text = reinterpret_cast<const char*>(node->data);
    const void* nul = std::memchr(text, '\0', node->size);
    const std::size_t length = nul != nullptr
                                   ? static_cast<std::size_t>(static_cast<const char*>(nul) - text)
                                   : node->size;
    return length == value.size() && std::memcmp(text, value.data(), length) == 0;
  }
  double stored;
  if (node->data == nullptr || !read_single_number(node->type, node->data, node->size, &stored))
    return false;
  char* end = nullptr;
  const double wanted = std::strtod(value.c_str(), &end);
  return !value.empty() && *end == '\0' && stored == wanted;
}

DataNode* select_node(DataNode* root, const std::vector<PathStep>& steps, const char* file_name) {
  DataNode* node = root;
  for (const PathStep& step : steps) {
    DataNode* found = nullptr;
    std::uint32_t matches = 0;
    for (DataNode* child = node->first_child; child != nullptr && found == nullptr;
         child = child->next) {
      if (!name_equals(child->name, step.name.c_str()))
        continue;
      if (step.has_value && !value_matches(child, step.value))
        continue;
      if (matches++ == step.index)
        found = child;
    }
    if (found == nullptr)
      error_exit("No element matches \"%s\" in \"%s\"\n", step.text.c_str(), file_name);
    node = found;
  }
  return node;
}
