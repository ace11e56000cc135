// bounded_regex - CompiledRegex, a pattern compiled once (with JIT where
// available) and matched under fixed step, depth and stack limits. Engines
// that run administrator or downloaded patterns over whole messages hold
// these, so one catastrophic pattern costs a bounded amount of work and a
// rule table is never recompiled per message.
#ifndef TORVANE_BASE_BOUNDED_REGEX_H_
#define TORVANE_BASE_BOUNDED_REGEX_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/regex.h"

// Backtracking steps one match may take: a well-formed rule over a 30 KiB
// message needs a few thousand; a nested quantifier gone exponential is cut
// off within milliseconds instead of holding a worker.
constexpr uint32_t kRegexMatchSteps = 1000000;
// Nested backtracking frames one match may hold.
constexpr uint32_t kRegexMatchDepth = 10000;
// Interpreter heap for backtracking frames, in KiB (PCRE2 counts in KiB).
constexpr uint32_t kRegexHeapKiB = 16 * 1024;
// JIT machine stack of each matching thread: its start and its ceiling.
constexpr size_t kRegexJitStackStart = 32 * 1024;
constexpr size_t kRegexJitStackMax = 512 * 1024;

enum class RegexOutcome {
  kNoMatch,
  kMatch,
  kLimited,  // a step, depth, heap or stack limit ended the match: no match
};

// Immutable once built: any thread may match with one at any time.
class CompiledRegex {
 public:
  // The pattern compiled with the option bits of base/regex.h (1 caseless,
  // 2 multiline, 4 dot-all, 8 extended; others ignored). Null when it does
  // not compile; `error`, when given, then receives PCRE2's reason.
  static std::shared_ptr<const CompiledRegex> Compile(std::string_view pattern, int options,
                                                      std::string* error = nullptr);
  ~CompiledRegex();
  CompiledRegex(const CompiledRegex&) = delete;
  CompiledRegex& operator=(const CompiledRegex&) = delete;

  // Matches `subject`. On kMatch, `groups` (when given) receives groups
  // 1..n, at most kRegexCapturePairs - 1 of them, unset ones as "";
  // otherwise it is emptied.
  RegexOutcome Match(std::string_view subject, std::vector<std::string>* groups = nullptr) const;
  // Capturing groups the pattern declares.
  int CaptureCount() const { return capture_count_; }

 private:
  explicit CompiledRegex(void* code);
  void* code_;  // owned pcre2_code
  int capture_count_ = 0;
};

// Lets one "match cut off" notice through per interval, so a hostile
// message replayed at a high rate cannot flood the log. Thread-safe.
class LimitNoticeGate {
 public:
  static constexpr int64_t kIntervalSeconds = 60;
  // True when no notice passed in the kIntervalSeconds before `now`.
  bool Pass(int64_t now) {
    int64_t last = last_.load();
    if (last != kNever && now - last < kIntervalSeconds && now >= last) return false;
    return last_.compare_exchange_strong(last, now);
  }

 private:
  static constexpr int64_t kNever = INT64_MIN;
  std::atomic<int64_t> last_{kNever};
};

#endif  // TORVANE_BASE_BOUNDED_REGEX_H_
