// The index from identifier to trajectory: identifiers equal as doubles are one key, found in
// constant time. Shared by the output tree's walk, the laid-out transposition and its
// counts in parts.
#ifndef ZVBTRACK_TRANSPOSE_ID_INDEX_H_
#define ZVBTRACK_TRANSPOSE_ID_INDEX_H_

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

constexpr std::uint32_t NO_TRAJECTORY = UINT32_MAX;

// A mixer of 64-bit keys into hashes that use all their bits.
inline std::uint64_t mix_key(std::uint64_t key) {
  key ^= key >> 30;
  key *= 0xBF58476D1CE4E5B9ULL;
  key ^= key >> 27;
  key *= 0x94D049BB133111EBULL;
  return key ^ (key >> 31);
}

// Identifier -> trajectory number, in constant time. Identifiers are one key when they are
// equal as doubles, so 0.0 and -0.0 are one; every NaN is one further key. A slot also counts
// its identifier's samples, so that counting touches nothing else. Lookups of many
// identifiers can announce their slots ahead (prefetch) to overlap the memory accesses.
//
// An index of identifiers keeps them, while they are whole numbers from 0 in a range not much
// wider than their count (simulation codes mostly number their objects 1..N), in a table
// indexed by the number itself: no hashing, and neighbouring numbers in neighbouring slots.
// The first identifier that does not fit moves them all into the hashed table for good. An
// index of other keys (Keys::ANY) is hashed throughout, and its callers give each key's hash.
class IdIndex {
 public:
  struct Slot {
    std::uint64_t key;
    std::uint32_t number;   // NO_TRAJECTORY in an empty slot
    std::uint32_t samples;  // counted by the laid-out transposition
  };
  enum class Keys { ANY, IDENTIFIERS };

  // One key per class of equal identifiers.
  static std::uint64_t key_of(double id) {
    if (id == 0.0)
      return 0;
    if (std::isnan(id))
      return 0x7FF8000000000000ULL;
    return std::bit_cast<std::uint64_t>(id);
  }
  static std::uint64_t hash_of(std::uint64_t key) { return mix_key(key); }

  explicit IdIndex(Keys keys = Keys::IDENTIFIERS) : of_identifiers_(keys == Keys::IDENTIFIERS) {
    direct_ = of_identifiers_;
  }
  IdIndex(const IdIndex&) = delete;
  IdIndex& operator=(const IdIndex&) = delete;
  ~IdIndex() { clear(); }

  // Keys of identifiers (key_of), whichever table holds them. Inlined always: left as a call,
  // a function that only announces memory would count as doing nothing, and calls to it would go.
  [[gnu::always_inline]] void prefetch(std::uint64_t key) const {
    if (!direct_) {
      prefetch_hashed(hash_of(key));
      return;
    }
    const std::uint64_t position = direct_position(key);
    if (position < capacity_)
      __builtin_prefetch(&slots_[position]);
  }
  const Slot* find(std::uint64_t key) const {
    if (!direct_)
      return find(key, hash_of(key));
    const std::uint64_t position = direct_position(key);
    if (position >= capacity_)
      return nullptr;  // NOT_DIRECT too
    const Slot& slot = slots_[position];
    return slot.number != NO_TRAJECTORY ? &slot : nullptr;
  }
  // The slot of `key`; when it is new, it gets the number `next` and *added is set. `coming`
  // tells how many keys, this one among them, are about to be added at most: the direct table
  // may take room for them at once.
  Slot* find_or_add(std::uint64_t key, std::uint32_t next, bool* added, std::size_t coming = 1) {
    const std::uint64_t position = direct_ ? direct_position(key) : NOT_DIRECT;
    if (position >= capacity_)
      return find_or_add_elsewhere(key, next, added, coming);
    Slot& slot = slots_[position];
    *added = slot.number == NO_TRAJECTORY;
    if (*added) {
      slot = Slot{ key, next, 0 };
      used_++;
    }
    return &slot;
  }

  // Any keys, with their hashes (IdIndex::hash_of or a hash as good), in an index of
  // Keys::ANY.
  [[gnu::always_inline]] void prefetch_hashed(std::uint64_t hash) const {
    if (capacity_ != 0)
      __builtin_prefetch(&slots_[hash & (capacity_ - 1)]);
  }
  const Slot* find(std::uint64_t key, std::uint64_t hash) const;
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
  // Whether the identifiers are in the table indexed by their numbers.
  bool direct() const { return direct_; }

 private:
  static constexpr std::uint64_t NOT_DIRECT = UINT64_MAX;
  // The slot number of an identifier's key in the direct table, or NOT_DIRECT.
  static std::uint64_t direct_position(std::uint64_t key) {
    const double id = std::bit_cast<double>(key);  // key 0 is 0.0
    if (!(id >= 0.0 && id < 2147483648.0))
      return NOT_DIRECT;
    const auto number = static_cast<std::uint64_t>(id);
    return static_cast<double>(number) == id ? number : NOT_DIRECT;
  }
  bool fits_direct(std::uint64_t position, std::size_t coming);
  Slot* find_or_add_elsewhere(std::uint64_t key, std::uint32_t next, bool* added,
                              std::size_t coming);
  void rehash(std::size_t capacity);
  void grow();
  void leave_direct();
  Slot* slots_ = nullptr;  // capacity_ slots, a power of two; hashed, at most half of them used
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  bool of_identifiers_;
  bool direct_;
};

// The index of the run's trajectories.
extern IdIndex id_index;

#endif  // ZVBTRACK_TRANSPOSE_ID_INDEX_H_
