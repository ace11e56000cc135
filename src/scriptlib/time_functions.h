// time_functions - CS_Tempo, the time functions every script kind offers: the
// epoch time, a per-object millisecond counter that never goes backwards,
// UTC date formatting and sleeping. A mix-in of the script classes.
#ifndef TORVANE_SCRIPTLIB_TIME_FUNCTIONS_H_
#define TORVANE_SCRIPTLIB_TIME_FUNCTIONS_H_

#include <cstdint>

#include "base/utility.h"
#include "scriptlib/script_results.h"

// Not thread-safe: each script object belongs to one interpreter thread.
class CS_Tempo {
 public:
  // The millisecond clock GetTickCount reads; it may drop back (the shared
  // counter rebases every ~24 days). Tests pass a fake.
  using TickSource = uint32_t (*)();

  // Longest DateTimeFormat result, in characters.
  static constexpr int kMaxDateChars = 255;

  explicit CS_Tempo(TickSource ticks = GetMyTickCount) : ticks_(ticks) {}
  CS_Tempo(const CS_Tempo&) = delete;
  CS_Tempo& operator=(const CS_Tempo&) = delete;

  // Seconds since 1970 (UTC).
  int Time() const;
  // Milliseconds on the tick source, carried across its drops so that the
  // result never decreases for this object: after a drop the count goes on
  // from the last value returned. Stops at INT32_MAX (~24.8 days of counted
  // time) rather than wrap.
  int GetTickCount();
  // C strftime of `seconds` (since 1970; 0 or less means now) in UTC,
  // at most kMaxDateChars characters; a null format gives the HTTP date
  // "Sun, 06 Nov 1994 08:49:37 GMT" in English. "" when the result would be
  // longer or empty, or the time cannot be broken down.
  const char* DateTimeFormat(const char* format, int seconds);
  // Suspends the calling thread for that many milliseconds (none for 0 or
  // less), at most for what is left of the running call's time budget,
  // and not past a stop request of the thread (ScriptBudget).
  void Sleep(int milliseconds) const;

 private:
  enum class Text { kDateTimeFormat, kCount };

  TickSource ticks_;
  // GetTickCount's state: result = reading - base + offset.
  int64_t tick_base_ = 0;
  int64_t tick_offset_ = 0;
  int64_t last_reading_ = 0;
  int64_t last_result_ = 0;
  ScriptTextResults<Text> results_;
};

#endif  // TORVANE_SCRIPTLIB_TIME_FUNCTIONS_H_
