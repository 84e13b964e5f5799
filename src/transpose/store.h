// The state of one transposition: the request, the index from identifier to trajectory,
// and the operations that place values in the output tree.
#ifndef ZVBTRACK_TRANSPOSE_STORE_H_
#define ZVBTRACK_TRANSPOSE_STORE_H_

#include <cstdint>
#include <vector>

#include "data/tree.h"

// The containers of this module take memory through operator new; the run makes a failure
// there end it with "Not enough memory" like every other (std::set_new_handler).

// Stores the value of `name` at sample index `k` in *out and returns 0; returns 1 when
// there is none.
using ValueGetter = int (*)(const char* name, int k, double* out);

// The tree written at the end; its root is made an empty group before the walk.
extern DataFile output_file;

// The request, filled before the walk and only read during it. Entry i names a value and
// its getter; the arrays come first in command-line order, the loop variable last.
extern const char* loop_var_name;
// The -s text: the ID array's name and the trajectory groups' name; a group without such an
// array is skipped. Null: "ID", and a group without an "ID" array counts its samples instead.
extern const char* id_array_name;
extern std::uint32_t value_count;
extern const char** value_names;
extern ValueGetter* value_getters;
extern double* sample_values;  // the sample being collected, one slot per entry

// The input group being transposed; the getters look names up in its scope.
extern DataNode* current_group;

// One identifier met during the walk, in the order first met.
struct Trajectory {
  double id;        // as first met: of 0.0 and -0.0, of several NaNs, the first
  DataNode* group;  // its trajectory group in output_file
};

constexpr std::uint32_t NO_TRAJECTORY = UINT32_MAX;

// Identifier -> trajectory number, in constant time. Identifiers are one key when they are
// equal as doubles, so 0.0 and -0.0 are one; every NaN is one further key. A slot also counts
// its identifier's samples, so that counting touches nothing else. Lookups of many
// identifiers can announce their slots ahead (prefetch) to overlap the memory accesses.
class IdIndex {
 public:
  struct Slot {
    std::uint64_t key;
    std::uint32_t number;   // NO_TRAJECTORY in an empty slot
    std::uint32_t samples;  // counted by the laid-out transposition
  };

  static std::uint64_t key_of(double id);
  static std::uint64_t hash_of(std::uint64_t key);

  IdIndex() = default;
  IdIndex(const IdIndex&) = delete;
  IdIndex& operator=(const IdIndex&) = delete;
  ~IdIndex() { clear(); }

  void prefetch(std::uint64_t hash) const {
    if (capacity_ != 0)
      __builtin_prefetch(&slots_[hash & (capacity_ - 1)]);
  }
  // The slot of `key`, or null.
  const Slot* find(std::uint64_t key, std::uint64_t hash) const;
  // The slot of `key`; when it is new, it gets the number `next` and *added is set.
  Slot* find_or_add(std::uint64_t key, std::uint64_t hash, std::uint32_t next, bool* added);

  std::uint32_t find(double id) const;
  std::uint32_t find_or_add(double id, std::uint32_t next, bool* added);

  // Every slot, empty ones included, in no particular order.
  const Slot* begin() const { return slots_; }
  const Slot* end() const { return slots_ + capacity_; }
  Slot* begin() { return slots_; }
  Slot* end() { return slots_ + capacity_; }
  void clear();
  // Slots taken, used or not.
  std::size_t capacity() const { return capacity_; }

 private:
  void grow();
  Slot* slots_ = nullptr;  // capacity_ slots, a power of two, at most half of them used
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
};

extern IdIndex id_index;
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
