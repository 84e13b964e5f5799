// The transposition visitor of the output tree.
#include "transpose/walk.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/report.h"
#include "data/stream.h"
#include "transpose/store.h"

// The enclosing groups of `group` that get copies below each trajectory group, innermost
// first.
static void enclosing_chain(DataNode* group, std::vector<DataNode*>* chain,
                            std::vector<std::uint64_t>* hashes) {
  chain->clear();
  hashes->clear();
  for (DataNode* enclosing = group; enclosing != nullptr; enclosing = enclosing->parent) {
    if (!is_copied(enclosing))
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
