// How much memory the process may use: what the system grants it, or what the user says.
#ifndef ZVBTRACK_BASE_MEMORY_H_
#define ZVBTRACK_BASE_MEMORY_H_

#include <cstdint>

// Reads a size in bytes: digits, optionally followed by K, M or G (powers of 1024, either
// case, an optional trailing B or iB). Returns false for anything else, for 0 and on overflow.
bool parse_memory_size(const char* text, std::uint64_t* bytes);

// The memory the system lets this process use: the least of the memory cgroup's limit (and
// its ancestors': v2 memory.max, v1 memory.limit_in_bytes) and the available memory
// (MemAvailable). 0 when none of them can be read.
std::uint64_t system_memory_limit();

// How much more memory the process may take now: the least of what its memory cgroup's limit
// (and its ancestors') leaves beside the process's resident memory, and the available memory.
// UINT64_MAX when none of them can be read.
std::uint64_t memory_headroom();

// Where the files above are read, "" for the system's own (/proc, /sys/fs/cgroup); a test
// points it at a tree of its own.
extern const char* memory_files_root;

// The memory the output may take at once: ZVBTRACK_MEMORY, else a quarter of what the system
// lets the process use (the rest serves the index, the input's tree, and the system's caches,
// which hold the output's pages until they are written back); 0: no limit known. A value of
// ZVBTRACK_MEMORY that is not a size ends the run with a message.
std::uint64_t memory_budget();

#endif  // ZVBTRACK_BASE_MEMORY_H_
