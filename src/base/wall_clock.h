// wall_clock - the seam through which the log and the statistics read the
// time of day, so tests can pin it to a fixed instant.
#ifndef TORVANE_BASE_WALL_CLOCK_H_
#define TORVANE_BASE_WALL_CLOCK_H_

#include <ctime>

// Returns seconds since 1970. Must be callable from any thread.
using WallClock = time_t (*)();

// The system clock.
inline time_t SystemWallClock() { return time(nullptr); }

#endif  // TORVANE_BASE_WALL_CLOCK_H_
