// The identifier index: a table indexed by whole-number identifiers while they are dense, else
// open addressing with linear probing over a power-of-two table.
#include "transpose/id_index.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "base/platform.h"
#include "base/report.h"

IdIndex id_index;

// The direct table: a slot per number below its capacity, which stays within DIRECT_SPREAD
// times the identifiers held (or about to be) however far apart the numbers first met lie;
// numbered with gaps of a few, as many codes leave them, they stay in it. The hashed table
// takes up to four slots an identifier.
constexpr std::size_t FIRST_CAPACITY = 1024;
constexpr std::uint64_t SMALLEST_DIRECT_LIMIT = std::uint64_t{ 1 } << 16;
constexpr std::uint64_t DIRECT_SPREAD = 8;

const IdIndex::Slot* IdIndex::find(std::uint64_t key, std::uint64_t hash) const {
  if (direct_)
    return find(key);
  if (capacity_ == 0)
    return nullptr;
  const std::size_t mask = capacity_ - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.number == NO_TRAJECTORY)
      return nullptr;
    if (slot.key == key)
      return &slot;
  }
}

// Empty slots.
static IdIndex::Slot* take_slots(std::size_t capacity) {
  auto* slots = static_cast<IdIndex::Slot*>(take_large_block(capacity * sizeof(IdIndex::Slot)));
  if (slots == nullptr)
    error_exit("Not enough memory\n");
  for (std::size_t i = 0; i < capacity; i++)
    slots[i].number = NO_TRAJECTORY;
  return slots;
}

// Every slot held into a new hashed table of `capacity` slots.
void IdIndex::rehash(std::size_t capacity) {
  Slot* old = slots_;
  const std::size_t old_capacity = capacity_;
  slots_ = take_slots(capacity);
  capacity_ = capacity;
  direct_ = false;
  const std::size_t mask = capacity - 1;
  for (std::size_t j = 0; j < old_capacity; j++) {
    const Slot& slot = old[j];
    if (slot.number == NO_TRAJECTORY)
      continue;
    std::size_t i = mix_key(slot.key) & mask;
    while (slots_[i].number != NO_TRAJECTORY)
      i = (i + 1) & mask;
    slots_[i] = slot;
  }
  free_large_block(old, old_capacity * sizeof(Slot));
}

void IdIndex::grow() {
  rehash(capacity_ == 0 ? FIRST_CAPACITY : capacity_ * 2);
}

// Whether the direct table can reach `position`, grown if need be.
bool IdIndex::fits_direct(std::uint64_t position, std::size_t coming) {
  if (position < capacity_)
    return true;
  if (position == NOT_DIRECT)
    return false;
  const std::uint64_t capacity =
      std::max<std::uint64_t>(std::bit_ceil(position + 1), FIRST_CAPACITY);
  if (capacity > std::max<std::uint64_t>(SMALLEST_DIRECT_LIMIT,
                                         DIRECT_SPREAD * (std::uint64_t{ used_ } + coming)))
    return false;
  // The table grows where it is: its slots keep their places.
  auto* slots = static_cast<Slot*>(grow_large_block(
      slots_, capacity_ * sizeof(Slot), static_cast<std::size_t>(capacity) * sizeof(Slot)));
  if (slots == nullptr)
    error_exit("Not enough memory\n");
  for (std::size_t i = capacity_; i < capacity; i++)
    slots[i].number = NO_TRAJECTORY;
  slots_ = slots;
  capacity_ = static_cast<std::size_t>(capacity);
  return true;
}

// Every identifier held, into the hashed table.
void IdIndex::leave_direct() {
  std::size_t capacity = FIRST_CAPACITY;
  while (capacity < 2 * (used_ + 1))
    capacity *= 2;
  rehash(capacity);
}

IdIndex::Slot* IdIndex::find_or_add(std::uint64_t key, std::uint64_t hash, std::uint32_t next,
                                    bool* added) {
  if (direct_)
    return find_or_add(key, next, added);
  if (2 * (used_ + 1) > capacity_)
    grow();
  const std::size_t mask = capacity_ - 1;
  std::size_t i = hash & mask;
  for (; slots_[i].number != NO_TRAJECTORY; i = (i + 1) & mask) {
    if (slots_[i].key == key) {
      *added = false;
      return &slots_[i];
    }
  }
  slots_[i] = Slot{ key, next, 0 };
  used_++;
  *added = true;
  return &slots_[i];
}

// A key the direct table does not reach yet, or any key of the hashed table.
IdIndex::Slot* IdIndex::find_or_add_elsewhere(std::uint64_t key, std::uint32_t next, bool* added,
                                              std::size_t coming) {
  if (direct_) {
    if (fits_direct(direct_position(key), coming))
      return find_or_add(key, next, added, coming);
    leave_direct();
  }
  return find_or_add(key, hash_of(key), next, added);
}

std::uint32_t IdIndex::find(double id) const {
  const Slot* slot = find(key_of(id));
  return slot != nullptr ? slot->number : NO_TRAJECTORY;
}

std::uint32_t IdIndex::find_or_add(double id, std::uint32_t next, bool* added) {
  return find_or_add(key_of(id), next, added)->number;
}

void IdIndex::clear() {
  free_large_block(slots_, capacity_ * sizeof(Slot));
  slots_ = nullptr;
  capacity_ = 0;
  used_ = 0;
  direct_ = of_identifiers_;
}
