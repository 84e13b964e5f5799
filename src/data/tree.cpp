// Operations on the data tree: building, searching, walking, converting and freeing nodes.
#include "data/tree.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/report.h"
#include "data/stream.h"

// Searches among fewer children than this walk the list; from this many on, they go by name.
constexpr std::int32_t INDEXED_CHILDREN = 16;

struct ChildNames {
  struct Entry {
    const DataNode* first;  // the first child of the name; null: an empty entry
    DataNode* only;         // the child when it is the only one of its name, else null
  };
  std::vector<Entry> entries;  // open addressing, a power of two, at most half full
  std::size_t used = 0;
};

static std::uint64_t hash_name(const char* bytes, std::size_t length) {
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (std::size_t i = 0; i < length; i++)
    hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 0x100000001B3ULL;
  return hash ^ (hash >> 29);
}

static ChildNames::Entry* name_entry(ChildNames* names, const char* bytes, std::size_t length) {
  const std::size_t mask = names->entries.size() - 1;
  for (std::size_t i = hash_name(bytes, length) & mask;; i = (i + 1) & mask) {
    ChildNames::Entry& entry = names->entries[i];
    if (entry.first == nullptr || (name_length(entry.first->name) == length &&
                                   std::memcmp(entry.first->name, bytes, length) == 0))
      return &entry;
  }
}

static void index_child(ChildNames* names, DataNode* child) {
  if (2 * (names->used + 1) > names->entries.size()) {
    std::vector<ChildNames::Entry> old(std::max<std::size_t>(64, 4 * names->used));
    old.swap(names->entries);
    for (const ChildNames::Entry& entry : old) {
      if (entry.first != nullptr)
        *name_entry(names, entry.first->name, name_length(entry.first->name)) = entry;
    }
  }
  ChildNames::Entry* entry = name_entry(names, child->name, name_length(child->name));
  if (entry->first == nullptr) {
    *entry = ChildNames::Entry{ child, child };
    names->used++;
  } else {
    entry->only = nullptr;
  }
}

static void drop_child_names(DataNode* node) {
  delete node->child_names;
  node->child_names = nullptr;
}

void init_root(DataNode* node) {
  node->child_count = 0;
  node->next = nullptr;
  node->first_child = nullptr;
  node->parent = nullptr;
  std::memset(node->name, 0, NAME_SIZE);
  node->type = ROOT_TYPE;
  node->size = 0;
  node->insert_after = nullptr;
}

static void free_node(DataNode* node) {
  drop_child_names(node);
  if (node->data != nullptr && node->size != 0)
    std::free(node->data);
  std::free(node);
}

// Without recursion: a tree of any depth frees in constant stack. A node is freed once its
// children are gone; the parent links lead back up.
void free_tree(DataNode* node) {
  if (node == nullptr)
    return;
  DataNode* current = node->first_child;
  while (current != nullptr) {
    if (current->first_child != nullptr) {
      current = current->first_child;
      continue;
    }
    DataNode* parent = current->parent;
    DataNode* next = current->next;
    free_node(current);
    if (next != nullptr) {
      current = next;
      continue;
    }
    parent->first_child = nullptr;
    parent->child_count = 0;
    current = parent == node ? nullptr : parent;
  }
  node->first_child = nullptr;
  node->child_count = 0;
  node->insert_after = nullptr;
  drop_child_names(node);
}

void release_data(DataNode* node) {
  if (node->data == nullptr || (node->type & FLAG_GROUP) != 0 || (node->type & FLAG_ARRAY) == 0 ||
      node->data_offset == 0)
    return;
  node->size = node->stored_size;
  node->type = node->stored_type;
  std::free(node->data);
  node->data = nullptr;
}

// Depth first in file order without recursion: after a node come its children, then its
// next sibling, climbing through the parent links when a list ends.
void walk_groups(DataNode* node, GroupVisitor visitor, std::uint32_t depth) {
  if (node == nullptr)
    return;
  forget_read_ahead();
  DataNode* current = node;
  std::uint32_t level = depth;
  for (;;) {
    if ((current->type & FLAG_GROUP) != 0 && visitor != nullptr)
      visitor(current, level);
    for (DataNode* child = current->first_child; child != nullptr; child = child->next)
      release_data(child);
    if (current->first_child != nullptr) {
      current = current->first_child;
      level++;
      continue;
    }
    while (current != node && current->next == nullptr) {
      current = current->parent;
      level--;
    }
    if (current == node)
      return;
    current = current->next;
  }
}

// Links a new child into `parent` ahead of its end-of-group marker (at the end of a list
// without one) and gives it a copy of `size` bytes of `values`.
static DataNode* insert_child(DataNode* parent, const char* name, std::uint32_t type,
                              std::uint32_t size, const void* values) {
  parent->child_count++;
  auto* node = static_cast<DataNode*>(std::malloc(sizeof(DataNode)));
  if (node == nullptr)
    report_error(error_table, ERR_MEMORY);
  DataNode** link =
      parent->insert_after != nullptr ? &parent->insert_after->next : &parent->first_child;
  while (*link != nullptr && ((*link)->type & FLAG_END_GROUP) == 0)
    link = &(*link)->next;
  node->child_count = 0;
  node->next = *link;
  node->first_child = nullptr;
  node->parent = parent;
  std::memcpy(node->name, name, NAME_SIZE);
  node->type = type;
  node->size = size;
  node->stored_type = type;
  node->stored_size = size;
  node->source = nullptr;
  node->data_offset = 0;
  node->data = nullptr;
  node->insert_after = nullptr;
  node->child_names = nullptr;
  *link = node;  // linked before its data are taken, so a failure leaves a tree free_tree can free
  if ((type & FLAG_END_GROUP) == 0)
    parent->insert_after = node;  // a new marker stays last: later children go before it
  if (parent->child_names != nullptr)
    index_child(parent->child_names, node);
  if (size != 0) {
    node->data = static_cast<unsigned char*>(std::malloc(size));
    if (node->data == nullptr)
      report_error(error_table, ERR_MEMORY);
    std::memcpy(node->data, values, size);
  }
  return node;
}

DataNode* add_group(DataNode* parent, DataNode* templ) {
  templ->type |= FLAG_GROUP;
  DataNode* group = insert_child(parent, templ->name, templ->type, templ->size, templ->data);
  static const char no_name[NAME_SIZE] = {};
  insert_child(group, no_name, END_MARKER_TYPE, 0, nullptr);
  return group;
}

DataNode* add_array(DataNode* parent, const char* name, std::uint32_t count,
                    std::uint32_t value_type, const void* values) {
  char field[NAME_SIZE];
  set_name(field, name);
  const std::int32_t width = value_size(value_type);
  if (width < 0)
    report_error(error_table, ERR_TYPE_MEMORY);
  const std::uint64_t size = static_cast<std::uint64_t>(count) * static_cast<std::uint32_t>(width);
  if (size > UINT32_MAX)
    report_error(error_table, ERR_ARRAY_SIZE, name);
  return insert_child(parent, field, value_type | FLAG_ARRAY, static_cast<std::uint32_t>(size),
                      values);
}

// The one child named `name`, or null when none or several bear it.
static DataNode* find_unique_child(DataNode* node, const char* name) {
  if (node->child_names == nullptr && node->child_count >= INDEXED_CHILDREN) {
    node->child_names = new ChildNames;
    for (DataNode* child = node->first_child; child != nullptr; child = child->next)
      index_child(node->child_names, child);
  }
  if (node->child_names != nullptr) {
    const std::size_t length = std::strlen(name);
    if (length > NAME_SIZE)
      return nullptr;
    return name_entry(node->child_names, name, length)->only;
  }
  DataNode* found = nullptr;
  for (DataNode* child = node->first_child; child != nullptr; child = child->next) {
    if (!name_equals(child->name, name))
      continue;
    if (found != nullptr)
      return nullptr;
    found = child;
  }
  return found;
}

DataNode* find_child(DataNode* node, const char* name) {
  return find_unique_child(node, name);
}

DataNode* find_equal_child(DataNode* node, const DataNode* probe) {
  for (DataNode* child = node->first_child; child != nullptr; child = child->next) {
    if (child->type == probe->type && child->size == probe->size &&
        names_equal(child->name, probe->name) &&
        (child->size == 0 || std::memcmp(child->data, probe->data, child->size) == 0))
      return child;
  }
  return nullptr;
}

DataNode* search_scope(const char* name, DataNode* start) {
  DataNode* found = nullptr;
  for (DataNode* level = start; level != nullptr && found == nullptr; level = level->parent) {
    if (name_equals(level->name, name))
      found = level;
    else
      found = find_unique_child(level, name);  // an ambiguous name is looked up one level up
  }
  return found;
}

DataNode* find_in_scope(const char* name, DataNode* start) {
  DataNode* found = search_scope(name, start);
  load_data(found);
  return found;
}

// Widens `count` values of type T into doubles, exactly: unsigned types by value, signed ones
// with their sign, floats as they are. Neither block promises alignment.
template <typename T>
static void widen(const unsigned char* values, std::uint32_t count, unsigned char* doubles) {
  for (std::uint32_t i = 0; i < count; i++) {
    T value;
    std::memcpy(&value, values + std::size_t{ i } * sizeof(T), sizeof(T));
    const double wide = static_cast<double>(value);
    std::memcpy(doubles + std::size_t{ i } * sizeof(double), &wide, sizeof wide);
  }
}

// How values of a numeric type widen; null for a type that is not numeric.
using Widening = void (*)(const unsigned char*, std::uint32_t, unsigned char*);
static Widening widening_of(std::uint32_t value_type) {
  switch (value_type) {
  case TYPE_DOUBLE:
    return widen<double>;
  case TYPE_S32:
    return widen<std::int32_t>;
  case TYPE_U8:
    return widen<std::uint8_t>;
  case TYPE_S8:
    return widen<std::int8_t>;
  case TYPE_U16:
    return widen<std::uint16_t>;
  case TYPE_S16:
    return widen<std::int16_t>;
  case TYPE_U32:
    return widen<std::uint32_t>;
  case TYPE_FLOAT:
    return widen<float>;
  default:
    return nullptr;
  }
}

bool widen_to_doubles(std::uint32_t type, const unsigned char* values, std::uint32_t count,
                      unsigned char* doubles) {
  const Widening widen_values = widening_of(type & TYPE_MASK);
  if (widen_values == nullptr)
    return false;
  widen_values(values, count, doubles);
  return true;
}

int convert_to_double(DataNode* node) {
  const std::uint32_t value_type = node->type & TYPE_MASK;
  if (value_type == TYPE_DOUBLE)
    return 0;
  const Widening widen_values = widening_of(value_type);
  if (widen_values == nullptr)
    return 1;
  const std::uint32_t count = node->size / static_cast<std::uint32_t>(value_size(value_type));
  if (static_cast<std::uint64_t>(count) * sizeof(double) > UINT32_MAX) {
    char name[NAME_SIZE + 1] = {};
    std::memcpy(name, node->name, name_length(node->name));
    report_error(error_table, ERR_ARRAY_SIZE, name);
  }
  unsigned char* doubles = nullptr;
  if (count != 0) {
    doubles = static_cast<unsigned char*>(std::malloc(count * sizeof(double)));
    if (doubles == nullptr)
      report_error(error_table, ERR_MEMORY);
    widen_values(node->data, count, doubles);
  }
  if (node->data != nullptr && node->size != 0)
    std::free(node->data);
  node->data = doubles;
  node->type = (node->type & ~static_cast<std::uint32_t>(TYPE_MASK)) | TYPE_DOUBLE;
  node->size = count * static_cast<std::uint32_t>(sizeof(double));
  return 0;
}
