// A live progress line on a terminal for the long phases of a run: the phase, how far it has
// come, its rate and the time left, redrawn at most ten times a second.
#ifndef ZVBTRACK_BASE_PROGRESS_H_
#define ZVBTRACK_BASE_PROGRESS_H_

#include <cstdint>

// Progress is shown only once enabled (the run does so with -v when standard error is a
// terminal); otherwise every call below does nothing.
void enable_progress();

// True once enabled: callers may skip measuring what they would show.
bool progress_enabled();

// A phase of `total` steps (0: unknown), nothing done yet.
void start_progress(const char* phase, std::uint64_t total);

// `done` steps of the phase are done, `bytes` bytes handled; redraws the line when a tenth of
// a second has passed since it was last drawn.
void show_progress(std::uint64_t done, std::uint64_t bytes);

// Clears the line, so that the next line of text starts on an empty line.
void end_progress();

#endif  // ZVBTRACK_BASE_PROGRESS_H_
