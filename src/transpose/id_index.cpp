// The identifier index: open addressing with linear probing over a power-of-two table.
#include "transpose/id_index.h"

#include <bit>
#include <cmath>

#include "base/platform.h"
#include "base/report.h"

IdIndex id_index;

std::uint64_t mix_key(std::uint64_t key) {
  key ^= key >> 30;
  key *= 0xBF58476D1CE4E5B9ULL;
  key ^= key >> 27;
  key *= 0x94D049BB133111EBULL;
  return key ^ (key >> 31);
}

// One key per class of equal identifiers.
std::uint64_t IdIndex::key_of(double id) {
  if (id == 0.0)
    return 0;
  if (std::isnan(id))
    return 0x7FF8000000000000ULL;
  return std::bit_cast<std::uint64_t>(id);
}

std::uint64_t IdIndex::hash_of(std::uint64_t key) {
  return mix_key(key);
}

const IdIndex::Slot* IdIndex::find(std::uint64_t key, std::uint64_t hash) const {
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

void IdIndex::grow() {
  Slot* old = slots_;
  const std::size_t old_capacity = capacity_;
  const std::size_t capacity = old_capacity == 0 ? 1024 : old_capacity * 2;
  slots_ = static_cast<Slot*>(take_large_block(capacity * sizeof(Slot)));
  if (slots_ == nullptr)
    error_exit("Not enough memory\n");
  capacity_ = capacity;
  const std::size_t mask = capacity - 1;
  for (std::size_t i = 0; i < capacity; i++)
    slots_[i].number = NO_TRAJECTORY;
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

IdIndex::Slot* IdIndex::find_or_add(std::uint64_t key, std::uint64_t hash, std::uint32_t next,
                                    bool* added) {
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

std::uint32_t IdIndex::find(double id) const {
  const std::uint64_t key = key_of(id);
  const Slot* slot = find(key, hash_of(key));
  return slot != nullptr ? slot->number : NO_TRAJECTORY;
}

std::uint32_t IdIndex::find_or_add(double id, std::uint32_t next, bool* added) {
  const std::uint64_t key = key_of(id);
  return find_or_add(key, hash_of(key), next, added)->number;
}

void IdIndex::clear() {
  free_large_block(slots_, capacity_ * sizeof(Slot));
  slots_ = nullptr;
  capacity_ = 0;
  used_ = 0;
}
