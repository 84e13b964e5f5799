// The output tree of one transposition: its trajectory groups, found through the identifier
// index, and the operations that place values in it.
#ifndef ZVBTRACK_TRANSPOSE_STORE_H_
#define ZVBTRACK_TRANSPOSE_STORE_H_

#include <cstdint>
#include <vector>

#include "data/tree.h"
#include "transpose/id_index.h"
#include "transpose/request.h"

// The containers of this module take memory through operator new; the run makes a failure
// there end it with "Not enough memory" like every other (std::set_new_handler).

// The tree written at the end; its root is made an empty group before the walk.
extern DataFile output_file;

// One identifier met during the walk, in the order first met.
struct Trajectory {
  double id;        // as first met: of 0.0 and -0.0, of several NaNs, the first
  DataNode* group;  // its trajectory group in output_file
};

extern std::vector<Trajectory> trajectories;

// The trajectory group of `id` under the output root, made on first use after all groups
// made before it and carrying its own copy of `id`. Never null: failures end the run.
DataNode* trajectory_group(double id);

// Appends *value to the array `name` among the direct children of `group`, making the
// array on first use. An array's block doubles whenever its value count reaches a power of
// two. An array that would reach 4 GiB ends the run.
void append_sample(DataNode* group, const char* name, const double* value);

// What makes two groups equal copies of each other: name, type word, size and data.
std::uint64_t content_hash(const DataNode* group);

// The child of `parent` equal to `group` (whose content_hash is `hash`), made as a copy of
// `group` when there is none yet. The copies of enclosing groups are found this way only,
// so each parent holds one copy per content and finding it costs the same at any count.
DataNode* copy_below(DataNode* parent, DataNode* group, std::uint64_t hash);

// Forgets every trajectory and copy; the output tree itself is freed by its owner.
void clear_store();

#endif  // ZVBTRACK_TRANSPOSE_STORE_H_
