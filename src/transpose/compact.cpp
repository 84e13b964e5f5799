// The laid-out transposition: count, lay out, fill.
#include "transpose/compact.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "base/report.h"
#include "base/platform.h"
#include "data/stream.h"
#include "transpose/store.h"

namespace {

// What one request entry reads in the visited group, found as its getter finds it at the
// group's first sample.
struct Source {
  DataNode* node;
  std::uint32_t count;  // values, as doubles
};

// What a visit reads: the ID array and one source per request entry.
struct GroupSources {
  DataNode* id_array;  // null: the sample index is the ID
  std::uint32_t id_count;
  std::uint32_t samples;  // 0: the group is skipped
  std::uint32_t longest;  // the most values of any requested array
  std::vector<Source> entries;
};

GroupSources sources;
bool needs_tree = false;
OutputImage* target_image = nullptr;

constexpr std::uint32_t TRAJECTORY_TYPE = FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE;
constexpr std::uint32_t ARRAY_TYPE = FLAG_ARRAY | TYPE_DOUBLE;
constexpr std::uint64_t HEADER_SIZE = sizeof(ElementHeader);
// Values an output array holds before its size would reach 4 GiB.
constexpr std::uint32_t MAX_SAMPLES = UINT32_MAX / sizeof(double);

bool is_numeric(std::uint32_t type) {
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

// The getter of entry `i` at sample 0: the node in scope, brought in and converted to doubles
// (or, when `load` is false and its data are on file, checked as loading and converting would
// check them), of the entry's shape, with at least one value. The getters fail at the first
// such test, in this order; later entries are then not looked up at all.
bool resolve_entry(std::uint32_t i, bool load) {
  const bool is_loop_var = i + 1 == value_count;
  DataNode* node = search_scope(value_names[i], current_group);
  if (node == nullptr)
    return false;
  std::uint32_t count;
  if (load || node->data != nullptr || node->source == nullptr) {
    load_data(node);
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

// Finds what the visit of `group` reads. Returns false when the group is skipped.
bool resolve_group(DataNode* group, bool load) {
  current_group = group;
  DataNode* id_array = find_in_scope(id_array_name != nullptr ? id_array_name : "ID", group);
  if (id_array != nullptr &&
      (convert_to_double(id_array) != 0 || (id_array->type & FLAG_ARRAY) == 0))
    id_array = nullptr;
  if (id_array == nullptr && id_array_name != nullptr)
    return false;
  sources.id_array = id_array;
  sources.id_count = id_array != nullptr ? id_array->size / sizeof(double) : 0;
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
  return true;
}

double id_of_sample(std::uint32_t k) {
  if (sources.id_array == nullptr)
    return k;
  double id;
  std::memcpy(&id, sources.id_array->data + std::size_t{ k } * sizeof(double), sizeof id);
  return id;
}

bool has_enclosing_copies(DataNode* group) {
  for (DataNode* enclosing = group; enclosing != nullptr; enclosing = enclosing->parent) {
    if ((enclosing->type & TYPE_NULL) == 0 && !name_equals(enclosing->name, loop_var_name))
      return true;
  }
  return false;
}

// How far ahead of its use an identifier's slot is announced to the memory system.
constexpr std::uint32_t PREFETCH_DISTANCE = 16;

// Below this many items one thread does the whole work: a second one would not pay.
constexpr std::size_t PARALLEL_ITEMS = 1 << 16;

// Runs work(begin, end) over the items [0, count) in two parts, the first on a second thread
// when the machine has a second core; split(count / 2) tells where the parts may meet. Each
// item is worked on once, by one of the parts; the parts' results are all there on return.
template <typename Split, typename Work>
void in_two_parts(std::size_t count, Split split, Work work) {
  std::size_t middle = 0;
  if (count >= PARALLEL_ITEMS && std::thread::hardware_concurrency() >= 2)
    middle = split(count / 2);
  if (middle == 0 || middle >= count) {
    work(std::size_t{ 0 }, count);
    return;
  }
  std::thread first;
  try {
    first = std::thread(work, std::size_t{ 0 }, middle);
  } catch (const std::system_error&) {
    work(std::size_t{ 0 }, count);  // no thread to be had: the same work, in one part
    return;
  }
  work(middle, count);
  first.join();
}

// For work whose parts may meet between any two items.
std::size_t any_item(std::size_t middle) {
  return middle;
}

// Identifier keys and hashes of the visited group's samples.
std::vector<std::uint64_t> sample_keys;
std::vector<std::uint64_t> sample_hashes;

void hash_sample_range(std::size_t begin, std::size_t end) {
  for (std::size_t k = begin; k < end; k++) {
    sample_keys[k] = IdIndex::key_of(id_of_sample(static_cast<std::uint32_t>(k)));
    sample_hashes[k] = IdIndex::hash_of(sample_keys[k]);
  }
}

void hash_samples(std::uint32_t count) {
  sample_keys.resize(count);
  sample_hashes.resize(count);
  in_two_parts(count, any_item, hash_sample_range);
}

// The first walk: trajectories in the order first met and their sample counts, with the
// failures of transpose_group at the points where it meets them.
int count_group(DataNode* group, std::uint32_t) {
  if (needs_tree || !resolve_group(group, false))
    return 0;
  if (has_enclosing_copies(group)) {
    needs_tree = true;
    return 0;
  }
  const std::uint32_t samples = sources.samples;
  const std::uint32_t with_id =
      sources.id_array != nullptr && sources.id_count < samples ? sources.id_count : samples;
  hash_samples(with_id);
  for (std::uint32_t k = 0; k < with_id; k++) {
    if (k + PREFETCH_DISTANCE < with_id)
      id_index.prefetch(sample_hashes[k + PREFETCH_DISTANCE]);
    bool added = false;
    IdIndex::Slot* slot = id_index.find_or_add(
        sample_keys[k], sample_hashes[k], static_cast<std::uint32_t>(trajectories.size()), &added);
    if (added)
      trajectories.push_back(Trajectory{ id_of_sample(k), nullptr, 0, 0, 0 });
    if (slot->samples == MAX_SAMPLES)
      error_exit("Array \"%s\" would reach 4 GiB in the output\n", value_names[0]);
    slot->samples++;
  }
  if (with_id < samples)
    error_exit("ID array shorter than data arrays\n");
  if (sources.longest > samples)
    error_exit("Not all arrays terminate at length %d\n", static_cast<int>(samples));
  return 0;
}

std::uint64_t array_bytes(const Trajectory& trajectory) {
  return HEADER_SIZE + std::uint64_t{ trajectory.samples } * sizeof(double);
}

unsigned char* put_header(unsigned char* at, const char* name, std::uint32_t type,
                          std::uint64_t size) {
  ElementHeader header;
  set_name(header.name, name);
  header.type = type;
  header.size = static_cast<std::uint32_t>(size);
  encode_element_header(header, at);
  return at + HEADER_SIZE;
}

// Every trajectory group in the order first met: its header and value, then an array per
// entry in entry order, then its end-of-group marker, as the tree would be written.
void lay_out(DataWriter* writer) {
  for (const IdIndex::Slot& slot : id_index) {
    if (slot.number != NO_TRAJECTORY)
      trajectories[slot.number].samples = slot.samples;
  }
  std::uint64_t size = 0;
  for (Trajectory& trajectory : trajectories) {
    trajectory.position = size;
    size += HEADER_SIZE + sizeof(double) + value_count * array_bytes(trajectory) + HEADER_SIZE;
  }
  target_image->size = size;
  target_image->bytes = nullptr;
  target_image->in_output = false;
  if (size == 0)
    return;
  target_image->bytes = map_output(writer, size);
  target_image->in_output = target_image->bytes != nullptr;
  if (!target_image->in_output)
    target_image->bytes = static_cast<unsigned char*>(take_large_block(size));
  if (target_image->bytes == nullptr)
    error_exit("Not enough memory\n");
  // The headers are the first touch of the image's pages: the two parts fault them in at once.
  const char* group_name = id_array_name != nullptr ? id_array_name : "ID";
  const auto put_headers = [group_name](std::size_t begin, std::size_t end) {
    for (std::size_t t = begin; t < end; t++) {
      const Trajectory& trajectory = trajectories[t];
      unsigned char* at = target_image->bytes + trajectory.position;
      at = put_header(at, group_name, TRAJECTORY_TYPE, sizeof(double));
      std::memcpy(at, &trajectory.id, sizeof(double));
      at += sizeof(double);
      const std::uint64_t data_size = array_bytes(trajectory) - HEADER_SIZE;
      for (std::uint32_t i = 0; i < value_count; i++)
        at = put_header(at, value_names[i], ARRAY_TYPE, data_size) + data_size;
      static const char no_name[1] = "";
      put_header(at, no_name, END_MARKER_TYPE, 0);
    }
  };
  in_two_parts(trajectories.size(), any_item, put_headers);
}

// Samples of the last few groups waiting to be written: the values of staged sample i are
// staged_values[i * value_count ...], its placement is (trajectory number << 32 | i). Values
// land in the image trajectory by trajectory, so that a trajectory's next values from several
// groups share the cache lines they go to instead of each fetching a line of its own.
std::vector<std::uint64_t> placements;
std::vector<std::uint64_t> sort_scratch;
std::vector<double> staged_values;
// Samples staged before they are written, with room for at least the largest group; the
// staging takes about a sixteenth of the output's size, and the staged numbers stay far below
// 2^32 however large the output.
std::size_t staging_capacity = 0;

std::uint32_t bits_for(std::size_t count) {
  std::uint32_t bits = 0;
  while (bits < 32 && (std::size_t{ 1 } << bits) < count)
    bits++;
  return bits;
}

// Orders the placements by trajectory number, keeping staging order (walk order) within a
// trajectory.
void sort_placements() {
  constexpr int DIGIT_BITS = 11;
  constexpr std::size_t DIGITS = std::size_t{ 1 } << DIGIT_BITS;
  const std::uint32_t trajectory_bits = bits_for(trajectories.size());
  sort_scratch.resize(placements.size());
  for (std::uint32_t shift = 0; shift < trajectory_bits; shift += DIGIT_BITS) {
    std::size_t starts[DIGITS + 1] = {};
    for (std::uint64_t placement : placements)
      starts[((placement >> (32 + shift)) & (DIGITS - 1)) + 1]++;
    for (std::size_t digit = 1; digit <= DIGITS; digit++)
      starts[digit] += starts[digit - 1];
    for (std::uint64_t placement : placements)
      sort_scratch[starts[(placement >> (32 + shift)) & (DIGITS - 1)]++] = placement;
    placements.swap(sort_scratch);
  }
}

// Where the next value of the trajectory's first array goes; the other arrays follow at
// array_bytes strides.
unsigned char* first_free_value(const Trajectory& trajectory) {
  return target_image->bytes + trajectory.position + 2 * HEADER_SIZE + sizeof(double) +
         std::uint64_t{ trajectory.filled } * sizeof(double);
}

// Writes the sorted placements [begin, end) front to back; the lines and the staged values are
// announced a few samples ahead so that their fetches overlap.
void write_placements(std::size_t begin, std::size_t end) {
  const std::uint32_t entry_count = value_count;
  for (std::size_t p = begin; p < end; p++) {
    if (p + PREFETCH_DISTANCE < end) {
      const std::uint64_t ahead_placement = placements[p + PREFETCH_DISTANCE];
      const Trajectory& ahead = trajectories[ahead_placement >> 32];
      const unsigned char* line = first_free_value(ahead);
      for (std::uint32_t i = 0; i < entry_count; i++, line += array_bytes(ahead))
        __builtin_prefetch(line, 1);
      __builtin_prefetch(&staged_values[(ahead_placement & UINT32_MAX) * entry_count]);
    }
    const std::uint64_t placement = placements[p];
    Trajectory& trajectory = trajectories[placement >> 32];
    const double* values = &staged_values[(placement & UINT32_MAX) * entry_count];
    const std::uint64_t stride = array_bytes(trajectory);
    unsigned char* at = first_free_value(trajectory);
    for (std::uint32_t i = 0; i < entry_count; i++, at += stride)
      std::memcpy(at, &values[i], sizeof(double));
    trajectory.filled++;
  }
}

// Writes the staged samples to their places in the image. The two parts meet between two
// trajectories, so that each trajectory is written by one of them, in staging order.
void write_staged() {
  sort_placements();
  const auto between_trajectories = [](std::size_t middle) {
    while (middle < placements.size() && placements[middle] >> 32 == placements[middle - 1] >> 32)
      middle++;
    return middle;
  };
  in_two_parts(placements.size(), between_trajectories, write_placements);
  placements.clear();
}

// The second walk: each sample's values staged, then written to the next free place of its
// trajectory's arrays. The first walk has seen every failure, so none can happen here. The
// samples of a group are looked up and staged in two parts at once: the index is only read.
int fill_group(DataNode* group, std::uint32_t) {
  if (!resolve_group(group, true))
    return 0;
  const std::uint32_t samples = sources.samples;
  if (!placements.empty() && placements.size() + samples > staging_capacity)
    write_staged();
  const std::size_t first_staged = placements.size();
  const std::uint32_t entry_count = value_count;
  const std::uint32_t loop_entry = entry_count - 1;
  sample_keys.resize(samples);
  sample_hashes.resize(samples);
  placements.resize(first_staged + samples);
  staged_values.resize((first_staged + samples) * entry_count);
  double loop_value;
  std::memcpy(&loop_value, sources.entries[loop_entry].node->data, sizeof loop_value);
  const auto stage = [first_staged, entry_count, loop_entry, loop_value](std::size_t begin,
                                                                         std::size_t end) {
    hash_sample_range(begin, end);
    for (std::size_t k = begin; k < end; k++) {
      if (k + PREFETCH_DISTANCE < end)
        id_index.prefetch(sample_hashes[k + PREFETCH_DISTANCE]);
      const std::uint64_t number = id_index.find(sample_keys[k], sample_hashes[k])->number;
      const std::size_t staged = first_staged + k;
      placements[staged] = number << 32 | staged;
      double* values = &staged_values[staged * entry_count];
      for (std::uint32_t i = 0; i < loop_entry; i++)
        std::memcpy(&values[i], sources.entries[i].node->data + k * sizeof(double), sizeof(double));
      values[loop_entry] = loop_value;
    }
  };
  in_two_parts(samples, any_item, stage);
  return 0;
}

// A name given twice shares one array between entries, and the empty name finds the
// end-of-group marker: both need the tree.
bool names_allow_layout() {
  for (std::uint32_t i = 0; i < value_count; i++) {
    if (value_names[i][0] == '\0')
      return false;
    for (std::uint32_t j = 0; j < i; j++) {
      if (std::strcmp(value_names[i], value_names[j]) == 0)
        return false;
    }
  }
  return true;
}

}  // namespace

bool transpose_compact(DataNode* root, OutputImage* image, DataWriter* writer) {
  if (!names_allow_layout())
    return false;
  sources.entries.assign(value_count, Source{ nullptr, 0 });
  needs_tree = false;
  walk_groups(root, count_group, 0);
  if (needs_tree) {
    clear_store();
    return false;
  }
  target_image = image;
  lay_out(writer);
  const std::size_t bytes_per_sample = 2 * sizeof(std::uint64_t) + value_count * sizeof(double);
  staging_capacity = std::min<std::size_t>(image->size / 16 / bytes_per_sample, INT32_MAX);
  placements.clear();
  walk_groups(root, fill_group, 0);
  write_staged();
  return true;
}

void free_image(OutputImage* image) {
  if (!image->in_output)
    free_large_block(image->bytes, image->size);
  image->bytes = nullptr;
  image->size = 0;
}
