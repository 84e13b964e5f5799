// Staged samples are sorted by the place they go to, keeping their order within a place, in
// one part or in two halves side by side.
#include "transpose/staging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "transpose/layout.h"
#include "transpose/sources.h"

namespace {

TEST(Staging, SortByPlaceIsStableInOnePartAndInTwoHalves) {
  // Places over more than one digit of the sort; many keys share a place.
  laid_out.containers.assign(300000, Container{});
  std::mt19937_64 random(7);
  for (const std::size_t count : { std::size_t{ 1000 }, PARALLEL_ITEMS + 12345 }) {
    std::vector<std::uint64_t> keys(count);
    for (std::size_t i = 0; i < count; i++) {
      // A few crowded places and many sparse ones.
      const std::uint64_t place = i % 3 == 0 ? random() % 7 : random() % 300000;
      keys[i] = place << 32 | i;
    }
    std::vector<std::uint64_t> expected = keys;
    std::stable_sort(expected.begin(), expected.end(),
                     [](std::uint64_t a, std::uint64_t b) { return a >> 32 < b >> 32; });
    std::vector<std::uint64_t> scratch;
    sort_by_place(&keys, &scratch);
    EXPECT_EQ(keys, expected) << count << " keys";
  }
  laid_out.containers.clear();
}

}  // namespace
