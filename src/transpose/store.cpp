// The trajectory store: identifiers to trajectories, values appended to arrays, and the
// copies of enclosing groups.
#include "transpose/store.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "base/report.h"

DataFile output_file;
std::vector<Trajectory> trajectories;

[[noreturn]] static void out_of_memory() {
  error_exit("Not enough memory\n");
}

// The type word of the arrays this store makes; no other node of the output has it, since
// copied groups carry FLAG_GROUP and markers FLAG_END_GROUP.
constexpr std::uint32_t STORE_ARRAY_TYPE = FLAG_ARRAY | TYPE_DOUBLE;
constexpr std::uint32_t TRAJECTORY_TYPE = FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE;

DataNode* trajectory_group(double id) {
  bool added = false;
  const std::uint32_t number =
      id_index.find_or_add(id, static_cast<std::uint32_t>(trajectories.size()), &added);
  if (!added)
    return trajectories[number].group;
  DataNode templ{};
  set_name(templ.name, id_array_name != nullptr ? id_array_name : "ID");
  templ.type = TRAJECTORY_TYPE;
  templ.size = sizeof id;
  templ.data = reinterpret_cast<unsigned char*>(&id);
  DataNode* group = add_group(&output_file.root, &templ);
  if (group == nullptr)
    out_of_memory();
  trajectories.push_back(Trajectory{ id, group });
  return group;
}

static bool is_power_of_two(std::uint64_t n) {
  return (n & (n - 1)) == 0;
}

static void reindex_copy(DataNode* copy, std::uint64_t old_hash);

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
  const bool is_store_array = array->type == STORE_ARRAY_TYPE;
  const bool is_copy = (array->type & FLAG_GROUP) != 0;
  const std::uint64_t old_hash = is_copy ? content_hash(array) : 0;
  std::uint64_t block_size = 0;
  if (!is_store_array)
    block_size = new_size;
  else if (is_power_of_two(new_size))
    block_size = 2 * new_size;
  if (block_size != 0) {
    void* block = std::realloc(array->data, block_size);
    if (block == nullptr)
      out_of_memory();
    array->data = static_cast<unsigned char*>(block);
  }
  array->size = static_cast<std::uint32_t>(new_size);
  std::memcpy(array->data + new_size - sizeof(double), value, sizeof(double));
  if (is_copy)
    reindex_copy(array, old_hash);  // a copy that grew is now found by its new content
}

std::uint64_t content_hash(const DataNode* group) {
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  auto add_bytes = [&hash](const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; i++)
      hash = (hash ^ bytes[i]) * 0x100000001B3ULL;
  };
  add_bytes(reinterpret_cast<const unsigned char*>(group->name), name_length(group->name));
  hash = mix_key(hash ^ group->type) ^ mix_key(group->size);
  if (group->size != 0)
    add_bytes(group->data, group->size);
  return mix_key(hash);
}

namespace {

bool is_equal_copy(const DataNode* copy, const DataNode* group) {
  return copy->type == group->type && copy->size == group->size &&
         names_equal(copy->name, group->name) &&
         (copy->size == 0 || std::memcmp(copy->data, group->data, copy->size) == 0);
}

// Every copy of an enclosing group, by its parent and content hash: open addressing with
// linear probing; a copy that grows is moved to its new hash by leaving a gravestone.
class CopyIndex {
 public:
  ~CopyIndex() { clear(); }

  DataNode* find(const DataNode* parent, std::uint64_t hash, const DataNode* group) const {
    if (capacity_ == 0)
      return nullptr;
    const std::size_t mask = capacity_ - 1;
    for (std::size_t i = start(parent, hash);; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.copy == nullptr)
        return nullptr;
      if (slot.copy != GRAVESTONE && slot.parent == parent && slot.hash == hash &&
          is_equal_copy(slot.copy, group))
        return slot.copy;
    }
  }

  void add(DataNode* copy, std::uint64_t hash) {
    if (2 * (filled_ + 1) > capacity_)
      grow();
    place(Slot{ copy->parent, hash, copy });
    filled_++;
  }

  void remove(const DataNode* copy, std::uint64_t hash) {
    if (capacity_ == 0)
      return;
    const std::size_t mask = capacity_ - 1;
    for (std::size_t i = start(copy->parent, hash); slots_[i].copy != nullptr; i = (i + 1) & mask) {
      if (slots_[i].copy == copy) {
        slots_[i].copy = GRAVESTONE;
        return;
      }
    }
  }

  void clear() {
    free_large_block(slots_, capacity_ * sizeof(Slot));
    slots_ = nullptr;
    capacity_ = 0;
    filled_ = 0;
  }

 private:
  struct Slot {
    const DataNode* parent;
    std::uint64_t hash;
    DataNode* copy;  // null: empty; GRAVESTONE: removed
  };
  static inline DataNode* const GRAVESTONE = reinterpret_cast<DataNode*>(alignof(DataNode));

  std::size_t start(const DataNode* parent, std::uint64_t hash) const {
    return mix_key(std::bit_cast<std::uintptr_t>(parent) ^ hash) & (capacity_ - 1);
  }

  void place(const Slot& slot) {
    std::size_t i = start(slot.parent, slot.hash);
    while (slots_[i].copy != nullptr)
      i = (i + 1) & (capacity_ - 1);
    slots_[i] = slot;
  }

  void grow() {
    Slot* old = slots_;
    const std::size_t old_capacity = capacity_;
    capacity_ = old_capacity == 0 ? 1024 : old_capacity * 2;
    slots_ = static_cast<Slot*>(take_large_block(capacity_ * sizeof(Slot)));
    if (slots_ == nullptr)
      out_of_memory();
    filled_ = 0;
    for (std::size_t i = 0; i < old_capacity; i++) {
      if (old[i].copy != nullptr && old[i].copy != GRAVESTONE) {
        place(old[i]);
        filled_++;
      }
    }
    free_large_block(old, old_capacity * sizeof(Slot));
  }

  Slot* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t filled_ = 0;  // slots in use, gravestones included
};

CopyIndex copy_index;

}  // namespace

DataNode* copy_below(DataNode* parent, DataNode* group, std::uint64_t hash) {
  DataNode* copy = copy_index.find(parent, hash, group);
  if (copy != nullptr)
    return copy;
  copy = add_group(parent, group);
  if (copy == nullptr)
    out_of_memory();
  copy_index.add(copy, hash);
  return copy;
}

static void reindex_copy(DataNode* copy, std::uint64_t old_hash) {
  copy_index.remove(copy, old_hash);
  copy_index.add(copy, content_hash(copy));
}

void clear_store() {
  id_index.clear();
  trajectories.clear();
  copy_index.clear();
}
