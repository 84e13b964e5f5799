// Selecting an element of a tree by a path of names, positions and values.
#include "dump/path.h"

#include <cstdlib>
#include <cstring>

#include "base/report.h"
#include "dump/values.h"

[[noreturn]] static void reject_path(const char* path) {
  error_exit("Invalid path \"%s\": steps are name, name[k] or name=value, separated by /\n", path);
}

[[noreturn]] static void reject_range(const char* path) {
  error_exit("Invalid range \"%s\": give name=low..high with two numbers, as the last step\n",
             path);
}

// The whole text as a number.
static bool parse_number(const std::string& text, double* number) {
  char* end = nullptr;
  *number = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0';
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
    PathStep step = { "", false, "", 0, {}, false, 0, 0 };
    std::string* part = &step.name;  // the name, then the value after '=', then the high end
    std::string high;
    bool has_index = false;
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
      } else if (*p == '.' && p[1] == '.' && step.has_value && !step.is_range) {
        step.is_range = true;
        part = &high;
        p += 2;
      } else if (*p == '[') {
        p = parse_index(path, p, &step.index);
        has_index = true;
      } else {
        part->push_back(*p++);
      }
    }
    // A view, not a copy: a path of n steps would otherwise keep n copies of its start.
    step.text = std::string_view(path, static_cast<std::size_t>(p - path));
    if (step.is_range) {
      if (has_index || p[*p == '/' ? 1 : 0] != '\0' || !parse_number(step.value, &step.low) ||
          !parse_number(high, &step.high))
        reject_range(path);
    }
    steps.push_back(step);
    if (*p == '/')
      p++;  // a trailing '/' adds no step
  }
  return steps;
}

static bool data_matches(std::uint32_t type, const unsigned char* data, std::uint32_t size,
                         const std::string& value) {
  if ((type & FLAG_ARRAY) != 0)
    return false;
  if ((type & TYPE_MASK) == TYPE_ASCII) {
    if (data == nullptr || size == 0)
      return value.empty();
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(text, '\0', size);
    const std::size_t length =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : size;
    return length == value.size() && std::memcmp(text, value.data(), length) == 0;
  }
  double stored;
  if (data == nullptr || !read_single_number(type, data, size, &stored))
    return false;
  double wanted;
  return parse_number(value, &wanted) && stored == wanted;
}

bool step_matches(const PathStep& step, const char* name, std::uint32_t type,
                  const unsigned char* data, std::uint32_t size) {
  if (!name_equals(name, step.name.c_str()))
    return false;
  if (step.is_range) {
    double stored;
    return (type & FLAG_ARRAY) == 0 && data != nullptr &&
           read_single_number(type, data, size, &stored) && stored >= step.low &&
           stored <= step.high;
  }
  return !step.has_value || data_matches(type, data, size, step.value);
}

void report_no_match(const PathStep& step, const char* file_name) {
  error_exit("No element matches \"%.*s\" in \"%s\"\n", static_cast<int>(step.text.size()),
             step.text.data(), file_name);
}

std::vector<DataNode*> select_nodes(DataNode* root, const std::vector<PathStep>& steps,
                                    const char* file_name) {
  std::vector<DataNode*> found = { root };
  for (const PathStep& step : steps) {
    DataNode* parent = found.front();
    found.clear();
    std::uint32_t matches = 0;
    for (DataNode* child = parent->first_child; child != nullptr; child = child->next) {
      if (!step_matches(step, child->name, child->type, child->data, child->size))
        continue;
      if (step.is_range || matches++ == step.index)
        found.push_back(child);
      if (!step.is_range && !found.empty())
        break;
    }
    if (found.empty())
      report_no_match(step, file_name);
  }
  return found;
}
