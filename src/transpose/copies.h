// Copies of enclosing groups below the trajectories, and the places built as output nodes,
// as the first walk of the laid-out transposition finds them. Not for use outside
// src/transpose.
#ifndef ZVBTRACK_TRANSPOSE_COPIES_H_
#define ZVBTRACK_TRANSPOSE_COPIES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "data/tree.h"

// A new place, holding no sample yet: a trajectory group (content NO_CONTAINER) or a copy.
std::uint32_t new_container(std::uint32_t content);

// The copy of `content`'s class below `place`, made of `content` after the copies made before
// it when new (*added); `hash` is IdIndex::hash_of(copy_key(place, content)), which
// prefetch_copy announces.
std::uint64_t copy_key(std::uint32_t place, std::uint32_t content);
std::uint32_t copy_place(std::uint32_t place, std::uint32_t content, std::uint64_t hash,
                         bool* added);
void prefetch_copy(std::uint64_t hash);

// The contents of the enclosing groups of `group` copied below each trajectory, innermost
// first, and those groups.
void enclosing_chain(DataNode* group, std::vector<std::uint32_t>* chain,
                     std::vector<DataNode*>* groups);

// Places whose arrays meet a child of one of their names are built as output nodes; they are
// known by their path, the classes of the copies from the trajectory group down (path 0: the
// trajectory group itself).
std::uint32_t path_below(std::uint32_t path, std::uint32_t content);
bool is_node_path(std::uint32_t path);
bool any_node_paths();
// Marks the paths of places that must be built as nodes, from what a count found; true when
// there is one, and the count must be made again.
bool mark_node_paths();
// Sample k of the resolved group below the place's node, through copies of groups[level...].
void append_to_node(std::uint32_t place_number, const std::vector<DataNode*>& groups,
                    std::size_t level, std::uint32_t k);
// The node whose children are the place's, or null for a place not built as nodes.
const DataNode* node_of_place(std::uint32_t place_number);
bool any_node_places();

// Bytes the lookup of copies takes.
std::size_t copy_lookup_bytes();
// After a count: copies are found by their places from here on, not by their contents.
void forget_copy_lookups();
// Everything found of copies and nodes, but the paths built as nodes; with `paths` those too.
void forget_copies(bool paths);

#endif  // ZVBTRACK_TRANSPOSE_COPIES_H_
