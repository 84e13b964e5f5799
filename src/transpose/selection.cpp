// Reading the selection of the command line and testing identifiers and loop values against it.
#include "transpose/selection.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>

#include "base/report.h"
#include "transpose/id_index.h"

const IdSelection* id_selection = nullptr;
const LoopWindow* loop_window = nullptr;

namespace {

constexpr double INFINITE = std::numeric_limits<double>::infinity();

// A number as the shortest text of a double writes it (digits, a point, an exponent, a sign,
// "nan", "inf"), without blanks or hexadecimal; false for anything else.
bool read_number(const std::string& text, double* value) {
  if (text.empty())
    return false;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == 'x' || c == 'X' || c == 'p' ||
        c == 'P' || c == '(')
      return false;
  }
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && !(errno == ERANGE && std::isinf(*value));
}

// One item of -i: a number, or a range of two with either end left out.
void add_item(const char* option_text, const std::string& item, IdSelection* selection) {
  const std::size_t dots = item.find("..");
  if (dots == std::string::npos) {
    double value = 0;
    if (!read_number(item, &value))
      error_exit("-i \"%s\": \"%s\" is not a number or a range a..b\n", option_text, item.c_str());
    selection->keys.push_back(IdIndex::key_of(value));
    return;
  }
  const std::string low_text = item.substr(0, dots);
  const std::string high_text = item.substr(dots + 2);
  IdSelection::Range range{ -INFINITE, INFINITE };
  if ((!low_text.empty() && !read_number(low_text, &range.low)) ||
      (!high_text.empty() && !read_number(high_text, &range.high)) || std::isnan(range.low) ||
      std::isnan(range.high))
    error_exit("-i \"%s\": \"%s\" is not a number or a range a..b\n", option_text, item.c_str());
  if (range.low > range.high)
    error_exit("-i \"%s\": the range \"%s\" ends below its start\n", option_text, item.c_str());
  selection->ranges.push_back(range);
}

std::string file_text(const char* option_text, const char* path) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr)
    error_exit("-i \"%s\": %s\n", option_text, std::strerror(errno));
  std::string text;
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    text.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed)
    error_exit("-i \"%s\": %s\n", option_text, std::strerror(error));
  return text;
}

}  // namespace

IdSelection parse_id_selection(const char* text) {
  IdSelection selection;
  const bool from_file = text[0] == '@';
  const std::string items = from_file ? file_text(text, text + 1) : std::string(text);
  const char* separators = from_file ? ", \t\r\n" : ",";
  std::size_t at = 0;
  while (at <= items.size()) {
    std::size_t end = items.find_first_of(separators, at);
    if (end == std::string::npos)
      end = items.size();
    const std::string item = items.substr(at, end - at);
    if (!item.empty() || !from_file) {
      if (item.empty() && !(items.empty() && at == 0))
        error_exit("-i \"%s\": an empty item\n", text);
      if (!item.empty())
        add_item(text, item, &selection);
    }
    at = end + 1;
  }
  if (selection.keys.empty() && selection.ranges.empty())
    error_exit("-i \"%s\": no identifier given\n", text);
  std::sort(selection.keys.begin(), selection.keys.end());
  std::sort(selection.ranges.begin(), selection.ranges.end(),
            [](const IdSelection::Range& a, const IdSelection::Range& b) { return a.low < b.low; });
  std::vector<IdSelection::Range> merged;
  for (const IdSelection::Range& range : selection.ranges) {
    if (!merged.empty() && range.low <= merged.back().high)
      merged.back().high = std::max(merged.back().high, range.high);
    else
      merged.push_back(range);
  }
  selection.ranges = std::move(merged);
  return selection;
}

LoopWindow parse_loop_window(const char* text) {
  const std::string window = text;
  const std::size_t dots = window.find("..");
  LoopWindow parsed{ -INFINITE, INFINITE, true, true };
  if (dots == std::string::npos)
    error_exit("-w \"%s\": give LO..HI, either end may be left out\n", text);
  const std::string low_text = window.substr(0, dots);
  const std::string high_text = window.substr(dots + 2);
  parsed.open_low = low_text.empty();
  parsed.open_high = high_text.empty();
  if ((!parsed.open_low && !read_number(low_text, &parsed.low)) ||
      (!parsed.open_high && !read_number(high_text, &parsed.high)) || std::isnan(parsed.low) ||
      std::isnan(parsed.high))
    error_exit("-w \"%s\": give LO..HI, either end may be left out\n", text);
  if (parsed.low > parsed.high)
    error_exit("-w \"%s\": LO is above HI\n", text);
  return parsed;
}

void take_selection(const char* ids_text, const char* window_text) {
  static IdSelection ids;
  static LoopWindow window;
  if (ids_text != nullptr) {
    ids = parse_id_selection(ids_text);
    id_selection = &ids;
  }
  if (window_text != nullptr) {
    window = parse_loop_window(window_text);
    loop_window = &window;
  }
}

bool selects_id(const IdSelection& selection, double id) {
  if (std::binary_search(selection.keys.begin(), selection.keys.end(), IdIndex::key_of(id)))
    return true;
  if (std::isnan(id))
    return false;
  // The last range that starts at or below the identifier.
  const auto after = std::upper_bound(
      selection.ranges.begin(), selection.ranges.end(), id,
      [](double value, const IdSelection::Range& range) { return value < range.low; });
  return after != selection.ranges.begin() && id <= std::prev(after)->high;
}

bool selects_loop_value(const LoopWindow& window, double value) {
  return (window.open_low || value >= window.low) && (window.open_high || value <= window.high);
}
