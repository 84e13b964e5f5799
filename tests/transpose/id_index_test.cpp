// The identifier index against a plain map, on identifiers that keep it in its direct table,
// that leave it there at some point, and that never fit it.
#include "transpose/id_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

namespace {

// Adds every identifier (in turn, each told how many are still to come) and checks each answer,
// then every lookup and the slots, against a map of keys to first-met numbers.
void expect_as_a_map(const std::vector<double>& ids, bool direct_at_end) {
  IdIndex index;
  std::map<std::uint64_t, std::uint32_t> numbers;
  std::map<std::uint64_t, std::uint32_t> counts;
  for (std::size_t k = 0; k < ids.size(); k++) {
    const std::uint64_t key = IdIndex::key_of(ids[k]);
    const auto next = static_cast<std::uint32_t>(numbers.size());
    bool added = false;
    IdIndex::Slot* slot = index.find_or_add(key, next, &added, ids.size() - k);
    const bool is_new = numbers.emplace(key, next).second;
    ASSERT_EQ(added, is_new) << "identifier " << ids[k] << " at " << k;
    ASSERT_EQ(slot->number, numbers[key]) << "identifier " << ids[k] << " at " << k;
    slot->samples++;
    counts[key]++;
  }
  EXPECT_EQ(index.direct(), direct_at_end);
  for (const auto& [key, number] : numbers) {
    const IdIndex::Slot* slot = index.find(key);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->number, number);
    EXPECT_EQ(slot->samples, counts[key]);
  }
  for (double absent : { 0.25, -3.0, 1e12, 99999.0, std::numeric_limits<double>::infinity() }) {
    if (numbers.count(IdIndex::key_of(absent)) == 0) {
      EXPECT_EQ(index.find(IdIndex::key_of(absent)), nullptr) << absent;
    }
  }
  std::map<std::uint64_t, std::uint32_t> slots;
  for (const IdIndex::Slot& slot : index) {
    if (slot.number != NO_TRAJECTORY)
      slots[slot.key] = slot.number;
  }
  EXPECT_EQ(slots, numbers);
}

TEST(IdIndex, AnswersAsAMapWhereverItKeepsTheIdentifiers) {
  std::mt19937 random(7);
  std::vector<double> dense;  // 1..N shuffled, met again and again, and 0 as -0.0
  for (int step = 0; step < 3; step++) {
    std::vector<double> ids;
    for (int i = 1; i <= 5000; i++)
      ids.push_back(i + 100 * step);
    std::shuffle(ids.begin(), ids.end(), random);
    dense.insert(dense.end(), ids.begin(), ids.end());
  }
  dense.push_back(-0.0);
  dense.push_back(0.0);
  expect_as_a_map(dense, true);

  // The first identifier that does not fit moves the others into the hashed table.
  for (double odd :
       { 0.5, -1.0, std::numeric_limits<double>::quiet_NaN(), 2147483648.0, 2147483647.0, 4e6 }) {
    std::vector<double> ids(dense.begin(), dense.begin() + 7000);
    ids.push_back(odd);
    ids.insert(ids.end(), dense.begin() + 6000, dense.end());
    ids.push_back(-std::numeric_limits<double>::quiet_NaN());
    expect_as_a_map(ids, false);
  }

  // Far apart from the start: hashed throughout.
  std::vector<double> sparse;
  for (int i = 0; i < 20000; i++)
    sparse.push_back(static_cast<double>(random() % 1000000000) * 3);
  expect_as_a_map(sparse, false);
}

}  // namespace
