// Resolving a visited group's sources as the output tree's getters would, and hashing the
// identifiers of its samples.
#include "transpose/sources.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/progress.h"
#include "base/report.h"
#include "data/stream.h"
#include "transpose/selection.h"
#include "transpose/store.h"
#include "transpose/walk.h"

GroupSources sources;
std::vector<std::uint64_t> sample_keys;

// The selected samples at hand, when identifiers are selected: their identifiers and each
// entry's values; and how many of the group's samples were selected before them.
static std::vector<double> selected_ids;
static std::vector<std::vector<double>> selected_values;
static std::uint32_t selected_before = 0;

void begin_sources() {
  sources.entries.assign(value_count, Source{ nullptr, 0 });
}

static bool is_numeric(std::uint32_t type) {
  switch (type & TYPE_MASK) {
  case TYPE_DOUBLE:
  case TYPE_S32:
  case TYPE_U8:
  case TYPE_S8:
  case TYPE_U16:
  case TYPE_S16:
  case TYPE_U32:
  case TYPE_FLOAT:
    return true;
  default:
    return false;
  }
}

// A group's value as it was before resolving converted it.
struct KeptValue {
  DataNode* group;
  std::uint32_t type;
  std::vector<unsigned char> bytes;
};
static bool keeping_values = false;
static std::vector<KeptValue> kept_values;

void keep_group_values(bool keep) {
  keeping_values = keep;
  if (!keep)
    kept_values = std::vector<KeptValue>();
}

// Before `node` is converted: a group whose value is not made of doubles yet is remembered.
static void keep_value_of(DataNode* node) {
  if (!keeping_values || node == nullptr || (node->type & FLAG_GROUP) == 0 ||
      (node->type & TYPE_MASK) == TYPE_DOUBLE || !is_numeric(node->type))
    return;
  const unsigned char* data = node->data;
  kept_values.push_back(
      KeptValue{ node, node->type,
                 std::vector<unsigned char>(data, data == nullptr ? data : data + node->size) });
}

void put_back_group_values() {
  // Newest first: a group converted twice gets its first value back.
  for (auto kept = kept_values.rbegin(); kept != kept_values.rend(); ++kept) {
    DataNode* group = kept->group;
    unsigned char* data = nullptr;
    if (!kept->bytes.empty()) {
      data = static_cast<unsigned char*>(std::malloc(kept->bytes.size()));
      if (data == nullptr)
        report_error(error_table, ERR_MEMORY);
      std::memcpy(data, kept->bytes.data(), kept->bytes.size());
    }
    std::free(group->data);
    group->data = data;
    group->type = kept->type;
    group->size = static_cast<std::uint32_t>(kept->bytes.size());
  }
  kept_values.clear();
}

// The getter of entry `i` at sample 0: the node in scope, brought in and converted to doubles
// (or, when `load` is false and its data are on file, checked as loading and converting would
// check them), of the entry's shape, with at least one value. The getters fail at the first
// such test, in this order; later entries are then not looked up at all.
static bool resolve_entry(std::uint32_t i, bool load) {
  const bool is_loop_var = i + 1 == value_count;
  DataNode* node = search_scope(value_names[i], current_group);
  if (node == nullptr)
    return false;
  std::uint32_t count;
  if (load || node->data != nullptr || node->source == nullptr) {
    load_data(node);
    keep_value_of(node);
    if (convert_to_double(node) != 0)
      return false;
    count = node->size / sizeof(double);
  } else {
    check_data(node);
    if (!is_numeric(node->type))
      return false;
    count = node->size / static_cast<std::uint32_t>(value_size(node->type));
    if (std::uint64_t{ count } * sizeof(double) > UINT32_MAX) {
      char name[NAME_SIZE + 1] = {};
      std::memcpy(name, node->name, name_length(node->name));
      report_error(error_table, ERR_ARRAY_SIZE, name);
    }
  }
  if ((node->type & (is_loop_var ? FLAG_SINGLE : FLAG_ARRAY)) == 0 || count == 0)
    return false;
  sources.entries[i] = Source{ node, count };
  return true;
}

// The ID array in scope as find_id_array finds it, with data left on file only checked as
// loading and converting would check them.
static DataNode* find_id_array_on_file(DataNode* group) {
  DataNode* node = search_scope(id_array_name != nullptr ? id_array_name : "ID", group);
  if (node == nullptr || node->data != nullptr || node->source == nullptr)
    return find_id_array(group);
  check_data(node);
  if (!is_numeric(node->type) || (node->type & FLAG_ARRAY) == 0)
    return nullptr;
  if (std::uint64_t{ node->size / static_cast<std::uint32_t>(value_size(node->type)) } *
          sizeof(double) >
      UINT32_MAX) {
    char name[NAME_SIZE + 1] = {};
    std::memcpy(name, node->name, name_length(node->name));
    report_error(error_table, ERR_ARRAY_SIZE, name);
  }
  return node;
}

// Values of a numeric array or single, as doubles: in memory already, else read from file.
static std::uint32_t double_count(const DataNode* node) {
  return node->data != nullptr ? node->size / sizeof(double)
                               : node->size / static_cast<std::uint32_t>(value_size(node->type));
}

// Whether a group that resolved has its loop value outside the window: it is then passed over
// as if it were not in the input, once what it holds was found as always.
static bool outside_window() {
  DataNode* node = sources.entries[value_count - 1].node;
  load_data(node);
  convert_to_double(node);
  double value;
  std::memcpy(&value, node->data, sizeof value);
  return !selects_loop_value(*loop_window, value);
}

bool resolve_group(DataNode* group, bool load) {
  current_group = group;
  selected_before = 0;
  if (keeping_values)
    keep_value_of(search_scope(id_array_name != nullptr ? id_array_name : "ID", group));
  DataNode* id_array = load ? find_id_array(group) : find_id_array_on_file(group);
  if (id_array == nullptr && id_array_name != nullptr)
    return false;
  sources.id_array = id_array;
  sources.id_count = id_array != nullptr ? double_count(id_array) : 0;
  sources.first_at_hand = 0;
  sources.end_at_hand = 0;
  sources.samples = UINT32_MAX;
  sources.longest = 0;
  for (std::uint32_t i = 0; i < value_count; i++) {
    if (!resolve_entry(i, load))
      return false;
    if (i + 1 == value_count)
      break;  // the loop variable has one value for every sample
    const std::uint32_t count = sources.entries[i].count;
    sources.samples = count < sources.samples ? count : sources.samples;
    sources.longest = count > sources.longest ? count : sources.longest;
  }
  groups_found++;
  if (loop_window != nullptr && outside_window())
    return false;
  if (load)
    take_samples(0, sources.samples, true);
  return true;
}

std::uint32_t samples_per_part = UINT32_MAX;

void set_samples_per_part(std::uint64_t memory_budget) {
  // A sample at hand: its identifier and every entry's value as doubles, and on its way the
  // raw bytes read, its identifier's key and hash, its place and its windows.
  const std::uint64_t sample_bytes = (value_count + 2) * sizeof(double) + 3 * sizeof(double);
  constexpr std::uint64_t FEWEST = 1024;
  const std::uint64_t samples =
      memory_budget == 0 ? UINT32_MAX : std::max(FEWEST, memory_budget / 8 / sample_bytes);
  samples_per_part = static_cast<std::uint32_t>(std::min<std::uint64_t>(samples, UINT32_MAX));
}

// Per entry, and for the identifiers, the values read from file and widened.
static std::vector<std::vector<double>> part_values;
static std::vector<double> part_ids;
static std::vector<unsigned char> part_bytes;

// Values [begin, end) of `node` as doubles: where they are in memory, else in `into`.
static const unsigned char* values_of(DataNode* node, std::uint32_t begin, std::uint32_t end,
                                      std::vector<double>* into) {
  if (node->data != nullptr)
    return node->data + std::size_t{ begin } * sizeof(double);
  const auto size = static_cast<std::uint32_t>(value_size(node->type));
  const std::uint32_t count = end - begin;
  into->resize(std::max<std::size_t>(count, 1));
  part_bytes.resize(std::size_t{ count } * size);
  read_data_part(node, std::uint64_t{ begin } * size, part_bytes.size(), part_bytes.data());
  widen_to_doubles(node->type, part_bytes.data(), count,
                   reinterpret_cast<unsigned char*>(into->data()));
  return reinterpret_cast<const unsigned char*>(into->data());
}

// The samples [begin, end) at hand narrowed to those whose identifiers are selected, in their
// order, numbered on from those selected before in the group: as if the others were not in
// the group's arrays.
static void keep_selected(std::uint32_t begin, std::uint32_t end, bool values) {
  selected_ids.clear();
  selected_values.resize(value_count);
  for (std::uint32_t i = 0; i + 1 < value_count; i++)
    selected_values[i].clear();
  const std::uint32_t with_id =
      sources.id_array != nullptr ? std::min(end, std::max(begin, sources.id_count)) : end;
  for (std::uint32_t k = begin; k < with_id; k++) {
    const double id = id_of_sample(k);
    if (!selects_id(*id_selection, id))
      continue;
    selected_ids.push_back(id);
    for (std::uint32_t i = 0; values && i + 1 < value_count; i++)
      selected_values[i].push_back(sample_value(i, k));
  }
  const auto kept = static_cast<std::uint32_t>(selected_ids.size());
  sources.first_at_hand = selected_before;
  sources.end_at_hand = selected_before + kept;
  selected_before += kept;
  sources.ids_at_hand = reinterpret_cast<const unsigned char*>(selected_ids.data());
  for (std::uint32_t i = 0; values && i + 1 < value_count; i++)
    sources.values_at_hand[i] = reinterpret_cast<const unsigned char*>(selected_values[i].data());
}

std::uint32_t selected_samples() {
  return id_selection != nullptr ? selected_before : sources.samples;
}

std::uint32_t count_selected(std::uint32_t begin, std::uint32_t end) {
  std::uint32_t selected = 0;
  for (std::uint32_t part = begin; part < end;) {
    const std::uint32_t part_end = end - part > samples_per_part ? part + samples_per_part : end;
    take_samples(part, part_end, false);
    selected += sources.end_at_hand - sources.first_at_hand;
    part = part_end;
  }
  return selected;
}

void take_samples(std::uint32_t begin, std::uint32_t end, bool values) {
  sources.first_at_hand = begin;
  sources.end_at_hand = end;
  sources.ids_at_hand = nullptr;
  if (sources.id_array != nullptr) {
    const std::uint32_t id_end = std::min(end, sources.id_count);
    sources.ids_at_hand = values_of(sources.id_array, std::min(begin, id_end), id_end, &part_ids);
  }
  if (values) {
    part_values.resize(value_count);
    sources.values_at_hand.resize(value_count);
    for (std::uint32_t i = 0; i + 1 < value_count; i++)
      sources.values_at_hand[i] = values_of(sources.entries[i].node, begin, end, &part_values[i]);
    // The loop variable's one value, always in memory.
    DataNode* loop_node = sources.entries[value_count - 1].node;
    load_data(loop_node);
    convert_to_double(loop_node);
    sources.values_at_hand[value_count - 1] = loop_node->data;
  }
  if (id_selection != nullptr)
    keep_selected(begin, end, values);
}

static const DataNode* walk_root = nullptr;
static std::uint64_t top_level_done = 0;
static std::uint64_t bytes_done = 0;

void start_walk_progress(const char* phase, const DataNode* root) {
  walk_root = root;
  top_level_done = 0;
  bytes_done = 0;
  start_progress(phase, static_cast<std::uint64_t>(root->child_count));
}

void show_walk_progress(const DataNode* group, bool resolved) {
  if (!progress_enabled())
    return;
  if (group->parent == walk_root)
    top_level_done++;
  for (const Source& entry : sources.entries)
    bytes_done += resolved && entry.node != nullptr ? entry.node->stored_size : 0;
  show_progress(top_level_done, bytes_done);
}

double loop_value() {
  double value;
  std::memcpy(&value, sources.values_at_hand[value_count - 1], sizeof value);
  return value;
}

double id_of_sample(std::uint32_t k) {
  if (sources.ids_at_hand == nullptr)
    return k;
  double id;
  std::memcpy(&id, sources.ids_at_hand + std::size_t{ k - sources.first_at_hand } * sizeof(double),
              sizeof id);
  return id;
}

void key_sample_range(std::size_t begin, std::size_t end) {
  const std::size_t first = sources.first_at_hand;
  for (std::size_t k = begin; k < end; k++) {
    sample_keys[k - first] = IdIndex::key_of(id_of_sample(static_cast<std::uint32_t>(k)));
  }
}

std::uint64_t identifier_digest(std::uint32_t begin, std::uint32_t end) {
  const std::size_t first = sources.first_at_hand;
  std::uint64_t digest = 0;
  for (std::uint32_t k = begin; k < end; k++)
    digest += IdIndex::hash_of(sample_keys[k - first] + k * 0x9E3779B97F4A7C15ULL);
  return digest;
}

void key_samples(std::uint32_t begin, std::uint32_t end) {
  const std::size_t at_hand = sources.end_at_hand - sources.first_at_hand;
  sample_keys.resize(at_hand);
  in_two_parts(end - begin, any_item, [begin](std::size_t from, std::size_t to) {
    key_sample_range(begin + from, begin + to);
  });
}
