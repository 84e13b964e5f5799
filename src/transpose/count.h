// The first walk of the laid-out transposition, as the counts made in parts elsewhere share
// it. Not for use outside src/transpose.
#ifndef ZVBTRACK_TRANSPOSE_COUNT_H_
#define ZVBTRACK_TRANSPOSE_COUNT_H_

#include <cstddef>
#include <cstdint>

#include "transpose/engine.h"

// Values an output array holds before its size would reach 4 GiB.
constexpr std::uint64_t MAX_VALUES = UINT32_MAX / sizeof(double);
// Bytes of the sample log kept in memory before it goes to a temporary file.
constexpr std::size_t SAMPLE_LOG_BUFFER = 256 << 10;

// The most values one sample adds to one array (a name requested that many times).
extern std::uint32_t largest_share;

// What every count does first: the request planned, nothing found yet. False for a request
// without entries.
bool start_count(const LayoutSettings& settings);

// And last: where each trajectory begins, the output's size, its windows.
void finish_count();

#endif  // ZVBTRACK_TRANSPOSE_COUNT_H_
