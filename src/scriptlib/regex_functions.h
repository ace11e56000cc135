// regex_functions - CREeq, the regular-expression test every script kind offers:
// REeq matches a text and keeps its first captured groups for the script
// functions $1 to $5. A mix-in of the script classes.
#ifndef TORVANE_SCRIPTLIB_REGEX_FUNCTIONS_H_
#define TORVANE_SCRIPTLIB_REGEX_FUNCTIONS_H_

#include <array>

#include "base/string.h"

// Not thread-safe: each script object belongs to one interpreter thread.
class CREeq {
 public:
  // Captured groups kept after a match, for $1 .. $5.
  static constexpr int kKeptGroups = 5;

  CREeq() = default;
  CREeq(const CREeq&) = delete;
  CREeq& operator=(const CREeq&) = delete;

  // 1 when `pattern`, compiled with the option bits (1 caseless,
  // 2 multi-line, 4 dot matches newline, 8 extended), matches `text`, else 0
  // (also for a null or invalid pattern and a null or empty text). Clears
  // the kept groups first, then keeps groups 1..kKeptGroups of a match.
  int REeq(const char* text, const char* pattern, int options);
  // Group `group` (1..kKeptGroups) of the last REeq on this object; "" when
  // it captured nothing, there was no match, or `group` is out of range.
  // Valid until the next REeq.
  const char* Capture(int group) const;
  // The script functions $1 .. $5.
  const char* Capture1() const { return Capture(1); }
  const char* Capture2() const { return Capture(2); }
  const char* Capture3() const { return Capture(3); }
  const char* Capture4() const { return Capture(4); }
  const char* Capture5() const { return Capture(5); }

 private:
  String subject_;                           // the text of the last REeq
  std::array<String, kKeptGroups> groups_;   // its captured groups 1..5
};

#endif  // TORVANE_SCRIPTLIB_REGEX_FUNCTIONS_H_
