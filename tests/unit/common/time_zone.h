// time_zone - runs a test under a chosen TZ and gives back the zone it found
// when it ends, so that no other test inherits the change.
#ifndef TORVANE_TESTS_UNIT_COMMON_TIME_ZONE_H_
#define TORVANE_TESTS_UNIT_COMMON_TIME_ZONE_H_

#include <stdlib.h>
#include <time.h>

#include <string>

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : had_(getenv("TZ") != nullptr), saved_(had_ ? getenv("TZ") : "") {
    Set(zone);
  }
  ~ScopedTimeZone() {
    if (had_) {
      Set(saved_.c_str());
    } else {
      unsetenv("TZ");
      tzset();
    }
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

  // A POSIX TZ value, e.g. "UTC0" or "CET-1CEST,M3.5.0,M10.5.0/3".
  static void Set(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  bool had_;
  std::string saved_;
};

#endif  // TORVANE_TESTS_UNIT_COMMON_TIME_ZONE_H_
