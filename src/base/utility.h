// utility - the small free routines every layer leans on: the application
// path, file tests, sleeping and clocks, date and time texts, bounded
// formatting, field splitting, and the keyed hexadecimal field encoding the
// remote administration protocol sends values in.
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
// The text after the last '\' of `path` (a pointer into it), or "Error" when
// there is none or `path` is null.
const char* FileName(const char* path);

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
// A `t` of 0 means now. A null `out` is ignored; `out` is emptied when the
// time cannot be broken down.

// Local date of `t` as "YYYY-MM-DD".
void GetDateToLongTime(String* out, time_t t);
// Local time of day of `t` as "HH:MM:SS".
void GetTimeToLongTime(String* out, time_t t);
// UTC time of `t` (now when 0 or less) in the HTTP form
// "Sun, 06 Nov 1994 08:49:37 GMT", with English names whatever the locale.
void MakeDataGMT(String* out, time_t t);

// ---- Text ------------------------------------------------------------------

// Most characters one FORMAT call produces; the rest is cut.
constexpr size_t kMaxFormatChars = 1023;

// `out` = printf of `format` and its arguments, cut at kMaxFormatChars. A null
// `format` empties `out`; a null `out` is ignored.
void FORMAT(String* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

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

// The text between the end of the first `open` in `text` and the first
// `close` after it; empty when either is missing or empty. With max_len > 0
// the result is cut to max_len characters, then "&gt;" and "&lt;" become
// ">" and "<".
String RAGetTagXML(const char* text, const char* open, const char* close, int max_len);

// ---- Keyed hexadecimal field encoding --------------------------------------
// Each byte i is XORed with byte i of the key sequence - the key's characters
// followed by one zero byte, repeated - and written as two lower-case
// hexadecimal characters. Decoding takes digits in either case.
// Common results: false for a null `out`; with a null or empty key, false and
// `out` untouched.

// Values must stay below this many bytes (decoded) in either direction.
constexpr size_t kMaxCryptBytes = 11048577;

// `out` = the encoding of `n` bytes at `data` (2n characters). False, with
// `out` empty, when n >= kMaxCryptBytes or `data` is null with n > 0.
bool EnHexCrypt(String* out, const void* data, size_t n, const char* key);
// `out` = the bytes `hex` encodes, stored as binary contents (SetBuffer).
// A `hex` shorter than 2 characters (or null) gives an empty text and true.
// False, with `out` empty, for an odd length, a non-hexadecimal character,
// or kMaxCryptBytes or more decoded bytes.
bool DeHexCrypt(String* out, const char* hex, const char* key);
// EnHexCrypt of the text `text` (null counts as "").
bool GetStrigEnCrypt(String* out, const char* text, const char* key);
// DeHexCrypt, keeping the result as text: it ends at the first zero byte.
bool GetStrigDeCrypt(String* out, const char* hex, const char* key);

#endif  // TORVANE_BASE_UTILITY_H_
