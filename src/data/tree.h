// The data tree: one DataNode per element of a file, and the operations that create, search,
// walk, convert and free nodes.
#ifndef ZVBTRACK_DATA_TREE_H_
#define ZVBTRACK_DATA_TREE_H_

#include <cstdint>

#include "data/format.h"

struct DataReader;

// One element in memory. A node owns its children and its data block, both from malloc;
// they are freed only by free_tree, release_data and convert_to_double.
struct DataNode {
  std::int32_t child_count;  // nodes in the list of children, end-of-group marker included
  DataNode* next;            // next sibling
  DataNode* first_child;
  DataNode* parent;           // null for a root
  char name[16];              // NUL-terminated when shorter than 16 bytes
  std::uint32_t type;         // type word of the data now in memory
  std::uint32_t size;         // bytes of the data now in memory
  std::uint32_t stored_type;  // type word on file, or as made
  std::uint32_t stored_size;  // data bytes on file, or as made
  DataReader* source;         // the input holding a file-backed node's data; not owned
  std::int64_t data_offset;   // position of a file-backed node's first data byte, else 0
  unsigned char* data;        // null when there are none or they are still on file
  // The child after which add_group and add_array link the next new child (the last child
  // ahead of the end-of-group marker), so that growing a list costs the same at any length;
  // null when not known yet, and then the list is searched.
  DataNode* insert_after;
  // The children by name, made by the first search among many children so that a search costs
  // the same however many siblings there are; kept up to date by add_group and add_array,
  // freed with the node's children. Null until then. Owned.
  struct ChildNames* child_names;
};

// A file in memory: its header and the root, whose children are the top-level elements.
struct DataFile {
  FileHeader header;
  DataNode root;
};

// Called by walk_groups on every group with its depth; the result is ignored.
using GroupVisitor = int (*)(DataNode* group, std::uint32_t depth);

// Makes `node` an empty root: no links, empty name, type ROOT_TYPE, size 0. Other fields stay.
void init_root(DataNode* node);

// Frees every descendant of `node` and their data, leaving `node` itself an empty, reusable
// group (its name, type, size and own data stay). Null does nothing.
void free_tree(DataNode* node);

// Visits the groups of the subtree of `node` depth first in file order (a group before its
// children), calling `visitor` (may be null) with each and its depth; after each node's
// visit its file-backed children drop their loaded data.
void walk_groups(DataNode* node, GroupVisitor visitor, std::uint32_t depth);

// Sends a loaded file-backed array back to file: frees its data and restores the stored
// type and size. Does nothing to any other node.
void release_data(DataNode* node);

// Appends to `parent` (before its end-of-group marker) a group with the template's name,
// type (FLAG_GROUP is set in the template itself) and a copy of its `size` data bytes, with
// an end-of-group marker as its only child. Returns the new group.
DataNode* add_group(DataNode* parent, DataNode* templ);

// Appends to `parent` (before its end-of-group marker) an array of `count` values of
// `value_type` copied from `values`; reports ERR_TYPE_MEMORY for a type without a size.
DataNode* add_array(DataNode* parent, const char* name, std::uint32_t count,
                    std::uint32_t value_type, const void* values);

// The one child of `node` named `name`; null when none or several bear it.
DataNode* find_child(DataNode* node, const char* name);

// The first child with the probe's name, whole type word, size and data bytes; or null.
DataNode* find_equal_child(DataNode* node, const DataNode* probe);

// Looks `name` up from `start` outward: the node itself, its one child of that name, then
// the same from its parent up to the root. Loads the data of the node found. Null if none.
DataNode* find_in_scope(const char* name, DataNode* start);

// The lookup of find_in_scope without loading anything.
DataNode* search_scope(const char* name, DataNode* start);

// Turns the node's numeric data in memory into doubles in place (flags kept). Returns 0
// when done (also for doubles already), 1 for a type that is not numeric (node unchanged).
int convert_to_double(DataNode* node);

// Widens `count` values of the numeric value type of `type` at `values` into doubles at
// `doubles` (neither aligned), exactly, as convert_to_double does; false for a type that is
// not numeric.
bool widen_to_doubles(std::uint32_t type, const unsigned char* values, std::uint32_t count,
                      unsigned char* doubles);

// Deepest nesting of groups that a tree may have; deeper input is refused.
constexpr std::uint32_t MAX_GROUP_DEPTH = 1000;

#endif  // ZVBTRACK_DATA_TREE_H_
