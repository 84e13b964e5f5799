// The transposition visitor and its value getters.
#include "transpose/walk.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/report.h"
#include "data/stream.h"
#include "transpose/store.h"

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

// The enclosing groups of `group` that get copies below each trajectory group, innermost
// first: all but those without a value of their own (bit 0x10 of the type word) and those
// named like the loop variable.
static void enclosing_chain(DataNode* group, std::vector<DataNode*>* chain,
                            std::vector<std::uint64_t>* hashes) {
  chain->clear();
  hashes->clear();
  for (DataNode* enclosing = group; enclosing != nullptr; enclosing = enclosing->parent) {
    if ((enclosing->type & TYPE_NULL) != 0 || name_equals(enclosing->name, loop_var_name))
      continue;
    chain->push_back(enclosing);
    hashes->push_back(content_hash(enclosing));
  }
}

// Copies of the chain below the trajectory group `target`, innermost first, shared with
// earlier samples wherever an equal copy exists. Returns the outermost copy, where the
// sample's arrays go.
static DataNode* enclosing_copy(DataNode* target, const std::vector<DataNode*>& chain,
                                const std::vector<std::uint64_t>& hashes) {
  for (std::size_t level = 0; level < chain.size(); level++) {
    DataNode* copy = copy_below(target, chain[level], hashes[level]);
    if ((copy->type & FLAG_GROUP) == 0) {
      char name[NAME_SIZE + 1] = {};
      std::memcpy(name, copy->name, name_length(copy->name));
      error_exit("\"%s\" should be directory only\n", name);
    }
    target = copy;
  }
  return target;
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

void warn_if_no_trajectory(std::uint64_t trajectory_count, std::uint32_t array_count) {
  if (trajectory_count != 0)
    return;
  std::string arrays;
  for (std::uint32_t i = 0; i < array_count; i++)
    arrays += std::string(i == 0 ? "\"" : ", \"") + value_names[i] + "\"";
  warning(
      "The output holds no trajectory: no group has the loop variable \"%s\" and the "
      "arrays %s in its scope",
      loop_var_name, arrays.c_str());
}

DataNode* find_id_array(DataNode* group) {
  DataNode* id_array = find_in_scope(id_array_name != nullptr ? id_array_name : "ID", group);
  if (id_array != nullptr &&
      (convert_to_double(id_array) != 0 || (id_array->type & FLAG_ARRAY) == 0))
    return nullptr;
  return id_array;
}

int transpose_group(DataNode* group, std::uint32_t) {
  current_group = group;
  DataNode* id_array = find_id_array(group);
  if (id_array == nullptr && id_array_name != nullptr)
    return 0;
  load_data(id_array);
  const std::uint32_t id_count = id_array != nullptr ? id_array->size / sizeof(double) : 0;

  // The chain is the same for every sample of the group; its contents are final once the
  // first sample's lookups have converted what they found.
  static std::vector<DataNode*> chain;
  static std::vector<std::uint64_t> hashes;
  int k = 0;
  for (;; k++) {
    std::uint32_t i = 0;
    while (i < value_count && value_getters[i](value_names[i], k, &sample_values[i]) == 0)
      i++;
    if (i < value_count)
      break;
    double id = k;
    if (id_array != nullptr) {
      if (static_cast<std::uint32_t>(k) >= id_count)
        error_exit("ID array shorter than data arrays\n");
      std::memcpy(&id, id_array->data + static_cast<std::size_t>(k) * sizeof(double), sizeof id);
    }
    if (k == 0)
      enclosing_chain(group, &chain, &hashes);
    DataNode* target = enclosing_copy(trajectory_group(id), chain, hashes);
    for (std::uint32_t j = 0; j < value_count; j++)
      append_sample(target, value_names[j], &sample_values[j]);
  }
  if (k == 0)
    return 0;  // the loop variable or an array is missing or empty: nothing of it is written
  for (std::uint32_t j = 0; j + 1 < value_count; j++) {
    double beyond;
    if (get_array_value(value_names[j], k, &beyond) == 0)
      error_exit("Not all arrays terminate at length %d\n", k);
  }
  return 0;
}
