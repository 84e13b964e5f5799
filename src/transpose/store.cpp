// The trajectory store: identifiers to trajectory groups, and values appended to arrays.
#include "transpose/store.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cli/options.h"
#include "cli/report.h"

DataFile output_file;
const char* loop_var_name = nullptr;
std::uint32_t value_count = 0;
const char** value_names = nullptr;
ValueGetter* value_getters = nullptr;
double* sample_values = nullptr;
DataNode* current_group = nullptr;
std::map<double, DataNode*, IdLess> id_index;

bool IdLess::operator()(double a, double b) const {
  if (std::isnan(a) || std::isnan(b))
    return !std::isnan(a) && std::isnan(b);
  return a < b;
}

// The type word of the arrays this store makes; no other node of the output has it, since
// copied groups carry FLAG_GROUP and markers FLAG_END_GROUP.
constexpr std::uint32_t STORE_ARRAY_TYPE = FLAG_ARRAY | TYPE_DOUBLE;
constexpr std::uint32_t TRAJECTORY_TYPE = FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE;

DataNode* trajectory_group(double id) {
  const auto found = id_index.find(id);
  if (found != id_index.end())
    return found->second;
  DataNode templ{};
  set_name(templ.name, opt_top_group != nullptr ? opt_top_group : "ID");
  templ.type = TRAJECTORY_TYPE;
  templ.size = sizeof id;
  templ.data = reinterpret_cast<unsigned char*>(&id);
  DataNode* group = add_group(&output_file.root, &templ);
  if (group == nullptr)
    error_exit("Not enough memory\n");
  try {
    id_index.emplace(id, group);
  } catch (const std::bad_alloc&) {
    error_exit("Not enough memory\n");
  }
  return group;
}

static bool is_power_of_two(std::uint64_t n) { return (n & (n - 1)) == 0; }

void append_sample(DataNode* group, const char* name, const double* value) {
  DataNode* array = find_child(group, name);
  if (array == nullptr) {
    add_array(group, name, 1, TYPE_DOUBLE, value);
    return;
  }
  const std::uint64_t new_size = std::uint64_t{ array->size } + sizeof(double);
  if (new_size > UINT32_MAX)
    error_exit("Array \"%s\" would reach 4 GiB in the output\n", name);
  // A store array has room for twice its values from each power of two on; any other node
  // that bears the name holds exactly its size and grows with every value.
  std::uint64_t block_size = 0;
  if (array->type != STORE_ARRAY_TYPE)
    block_size = new_size;
  else if (is_power_of_two(new_size))
    block_size = 2 * new_size;
  if (block_size != 0) {
    void* block = std::realloc(array->data, block_size);
    if (block == nullptr)
      error_exit("Not enough memory\n");
    array->data = static_cast<unsigned char*>(block);
  }
  array->size = static_cast<std::uint32_t>(new_size);
  std::memcpy(array->data + new_size - sizeof(double), value, sizeof(double));
}
