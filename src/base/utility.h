// utility - the small free routines every layer leans on: the application
// path, file tests, sleeping and clocks, date and time texts, bounded
// excerpts and field splitting.
#ifndef TORVANE_BASE_UTILITY_H_
#define TORVANE_BASE_UTILITY_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "base/string.h"

// ---- Application path ------------------------------------------------------
// The directory every relative resource ("db/", "scripts/", the log) lives
// under. Guarded by one lock: safe to set and read from any thread.

// Longest working directory MakeAppPath takes when no path was set.
constexpr size_t kMaxCurrentDirChars = 512;

// Replaces the application path (null clears it).
void SetAppPath(const char* path);
// A copy of the application path (empty when unset).
String GetAppPath();
// `out` = application path + "/" + `name`. When no path is set, the current
// directory becomes the application path first (empty when it is longer than
// kMaxCurrentDirChars or cannot be read). A `name` starting with "/" gives a
// double "/". No effect when `out` is null; a null `name` counts as "".
void MakeAppPath(String* out, const char* name);
// Creates the directory `name` under the application path (mode 0755) unless
// it is there already, so that files can be created in it. True when the
// directory exists afterwards.
bool MakeAppDirectory(const char* name);

// ---- Files -----------------------------------------------------------------

// True when `path` can be stat'ed.
bool FileExists(const char* path);
// The size of `path` in bytes, low 32 bits; 0 when it cannot be stat'ed.
uint32_t FileSize(const char* path);
// True when `path` was unlinked.
bool MyDelete(const char* path);

// ---- Clocks ----------------------------------------------------------------

// Sleeps `milliseconds`.
void MySleep(uint32_t milliseconds);
// Seconds since 1970.
time_t GetTimeNow();

// The millisecond counter behind GetMyTickCount, fed explicit clock readings
// so its rule can be checked without waiting. Not synchronised.
class TickCounter {
 public:
  // After this many seconds past the base the millisecond count would leave
  // the signed 32-bit range its callers compare in; the base then moves.
  static constexpr int64_t kMaxElapsedSeconds = 2147483;

  // Milliseconds since one second before the first reading. When more than
  // kMaxElapsedSeconds have passed, the base moves to one second before
  // `seconds` and the count drops back; callers notice the drop and
  // resynchronise.
  uint32_t Tick(int64_t seconds, int64_t microseconds);

 private:
  bool started_ = false;
  int64_t base_ = 0;  // seconds
};

// Milliseconds from the shared TickCounter on the monotonic clock, so setting
// the wall clock never makes it jump. Thread-safe; does not decrease except
// when the counter rebases (every ~24 days).
uint32_t GetMyTickCount();

// ---- Date and time texts ---------------------------------------------------

// UTC time of `t` (now when 0 or less) in the HTTP form
// "Sun, 06 Nov 1994 08:49:37 GMT", with English names whatever the locale.
// A null `out` is ignored; `out` is emptied when the time cannot be broken
// down.
void MakeDataGMT(String* out, time_t t);

// ---- Text ------------------------------------------------------------------

// Most characters of untrusted text Excerpt keeps by default.
constexpr size_t kMaxExcerptChars = 256;

// Untrusted text as a message or log record may quote it: cut to `max_chars`,
// every control character (below 0x20, and DEL) replaced by '?', so the
// quote can neither flood the message nor forge a line of its own.
std::string Excerpt(std::string_view text, size_t max_chars = kMaxExcerptChars);

// `out` = field `index` (from 0) of `text` split at `separator`. False, with
// `out` empty, when there are fewer fields, the field is empty, or `text` is
// null or `index` negative. False and nothing else when `out` is null.
bool SubString(String* out, const char* text, int index, char separator);

// The value of a command-line option "--name=VALUE": the text after
// `prefix` ("--name=") when `arg` starts with it, else null.
const char* OptionValue(const char* arg, const char* prefix);

// Most characters HextoInt reads.
constexpr int kMaxHexDigits = 4;

// Reads up to kMaxHexDigits hexadecimal digits from the start of `text` and
// returns their value: '*' to '?' (the decimal digits among them) count as
// (code & 15), 'a'-'f' and 'A'-'F' as (code & 15) + 9; any other character
// stops the reading. 0 for null or no digits.
int HextoInt(const char* text);

#endif  // TORVANE_BASE_UTILITY_H_
