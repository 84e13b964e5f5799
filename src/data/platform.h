// The few operating-system services the data layer needs beyond the C streams.
#ifndef ZVBTRACK_DATA_PLATFORM_H_
#define ZVBTRACK_DATA_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The descriptor beneath a stream.
int stream_descriptor(std::FILE* stream);

// True when the descriptor is a terminal.
bool is_terminal(int descriptor);

// Binary mode for a standard stream: bytes pass unchanged. Streams here never translate line
// ends, so there is nothing to switch.
void set_binary_mode(int descriptor);

// The length in bytes of the regular file open on the descriptor; -1 when it is not a
// regular file or its length cannot be had.
std::int64_t file_length(int descriptor);

// A zero-filled block of `size` bytes for data touched all over, backed by huge pages where
// the system allows so that random access costs fewer address translations; null when there
// is no memory. Freed with free_large_block and the same size.
void* take_large_block(std::size_t size);
void free_large_block(void* block, std::size_t size);

// Seconds since 1970-01-01 00:00 UTC.
std::int64_t current_time();

#endif  // ZVBTRACK_DATA_PLATFORM_H_
