// The index from identifier to trajectory: identifiers equal as doubles are one key, found in
// constant time. Shared by the output tree's walk, the laid-out transposition and its
// counts in parts.
#ifndef ZVBTRACK_TRANSPOSE_ID_INDEX_H_
#define ZVBTRACK_TRANSPOSE_ID_INDEX_H_

#include <cstddef>
#include <cstdint>

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

// The index of the run's trajectories.
extern IdIndex id_index;

// A mixer of 64-bit keys into hashes that use all their bits.
std::uint64_t mix_key(std::uint64_t key);

#endif  // ZVBTRACK_TRANSPOSE_ID_INDEX_H_
