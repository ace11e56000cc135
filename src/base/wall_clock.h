// wall_clock - the seams through which the log and the statistics read the
// time of day, and timers read the monotonic clock, so tests can pin them.
#ifndef TORVANE_BASE_WALL_CLOCK_H_
#define TORVANE_BASE_WALL_CLOCK_H_

#include <cstdint>
#include <ctime>

// Returns seconds since 1970. Must be callable from any thread.
using WallClock = time_t (*)();

// The system clock.
inline time_t SystemWallClock() { return time(nullptr); }

// Returns milliseconds of a clock that never jumps (not the time of day).
// Must be callable from any thread.
using MonotonicClock = int64_t (*)();

// CLOCK_MONOTONIC in milliseconds.
inline int64_t SystemMonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

#endif  // TORVANE_BASE_WALL_CLOCK_H_
