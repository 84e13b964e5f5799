// The progress line, drawn over itself with a carriage return on standard error.
#include "base/progress.h"

#include <cstdio>
#include <ctime>

static bool enabled = false;
static bool drawn = false;
static const char* phase_name = "";
static std::uint64_t phase_total = 0;
static double phase_start = 0;
static double last_drawn = 0;

static double now() {
  timespec time;
  clock_gettime(CLOCK_MONOTONIC, &time);
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

void enable_progress() {
  enabled = true;
}

bool progress_enabled() {
  return enabled;
}

void start_progress(const char* phase, std::uint64_t total) {
  if (!enabled)
    return;
  phase_name = phase;
  phase_total = total;
  phase_start = now();
  last_drawn = phase_start;
}

void show_progress(std::uint64_t done, std::uint64_t bytes) {
  if (!enabled)
    return;
  const double time = now();
  if (time - last_drawn < 0.1)
    return;
  last_drawn = time;
  const double elapsed = time - phase_start;
  const double megabytes = static_cast<double>(bytes) / 1e6;
  const double rate = elapsed > 0 ? megabytes / elapsed : 0;
  char line[128];
  if (phase_total != 0 && done <= phase_total) {
    const double share = static_cast<double>(done) / static_cast<double>(phase_total);
    const double left = share > 0 ? elapsed * (1 - share) / share : 0;
    const long seconds = static_cast<long>(left + 0.5);
    std::snprintf(line, sizeof line, "%s %3d%%  %.1f MB/s  %ld:%02ld left", phase_name,
                  static_cast<int>(share * 100), rate, seconds / 60, seconds % 60);
  } else {
    std::snprintf(line, sizeof line, "%s %.1f MB  %.1f MB/s", phase_name, megabytes, rate);
  }
  std::fprintf(stderr, "\r\033[K%s", line);
  std::fflush(stderr);
  drawn = true;
}

void end_progress() {
  if (!enabled || !drawn)
    return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn = false;
}
