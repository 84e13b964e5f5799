// The request: its lists and getters, and the rules of which array holds the identifiers and
// which enclosing groups are copied.
#include "transpose/request.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/report.h"
#include "data/stream.h"
#include "transpose/selection.h"

const char* loop_var_name = nullptr;
const char* id_array_name = nullptr;
std::uint32_t value_count = 0;
const char** value_names = nullptr;
ValueGetter* value_getters = nullptr;
double* sample_values = nullptr;
DataNode* current_group = nullptr;

int get_array_value(const char* name, int k, double* out) {
  DataNode* node = find_in_scope(name, current_group);
  if (node == nullptr || convert_to_double(node) != 0 || (node->type & FLAG_ARRAY) == 0)
    return 1;
  load_data(node);
  if (static_cast<std::uint32_t>(k) >= node->size / sizeof(double))
    return 1;
  std::memcpy(out, node->data + static_cast<std::size_t>(k) * sizeof(double), sizeof(double));
  return 0;
}

int get_loop_value(const char*, int, double* out) {
  DataNode* node = find_in_scope(loop_var_name, current_group);
  if (node == nullptr || convert_to_double(node) != 0 || (node->type & FLAG_SINGLE) == 0)
    return 1;
  if (node->size < sizeof(double))
    return 1;  // a value cut short on file has no double to give
  std::memcpy(out, node->data, sizeof(double));
  return 0;
}

// One block of `count` 8-byte entries for a request list; the lists live until the end.
static void* take_request_list(std::uint32_t count) {
  void* block = std::malloc(static_cast<std::size_t>(count) * 8);
  if (block == nullptr)
    error_exit("Not enough memory\n");
  return block;
}

void fill_request(char** array_names, std::uint32_t array_count) {
  value_getters = static_cast<ValueGetter*>(take_request_list(array_count + 1));
  value_names = static_cast<const char**>(take_request_list(array_count + 1));
  sample_values = static_cast<double*>(take_request_list(array_count + 1));
  for (std::uint32_t i = 0; i < array_count; i++) {
    value_names[i] = array_names[i];
    value_getters[i] = get_array_value;
  }
  value_names[array_count] = loop_var_name;
  value_getters[array_count] = get_loop_value;
  value_count = array_count + 1;
}

DataNode* find_id_array(DataNode* group) {
  DataNode* id_array = find_in_scope(id_array_name != nullptr ? id_array_name : "ID", group);
  if (id_array != nullptr &&
      (convert_to_double(id_array) != 0 || (id_array->type & FLAG_ARRAY) == 0))
    return nullptr;
  return id_array;
}

bool is_copied(const DataNode* enclosing) {
  return (enclosing->type & TYPE_NULL) == 0 && !name_equals(enclosing->name, loop_var_name);
}

std::uint64_t groups_found = 0;

void warn_if_no_trajectory(std::uint64_t trajectory_count, std::uint32_t array_count) {
  if (trajectory_count != 0)
    return;
  if (groups_found != 0 && (id_selection != nullptr || loop_window != nullptr)) {
    warning("The output holds no trajectory: no sample of the input is selected by -i or -w");
    return;
  }
  std::string arrays;
  for (std::uint32_t i = 0; i < array_count; i++)
    arrays += std::string(i == 0 ? "\"" : ", \"") + value_names[i] + "\"";
  warning(
      "The output holds no trajectory: no group has the loop variable \"%s\" and the "
      "arrays %s in its scope",
      loop_var_name, arrays.c_str());
}
