// regex - the regular-expression matcher behind String::eq, ReplaceRE and
// the scripts' REeq. Patterns are compiled once (with JIT where available)
// and kept in a bounded process-wide cache keyed by pattern text and options,
// so the per-line matching of the relay does not recompile.
// Thread-safe: any thread may match at any time.
#ifndef TORVANE_BASE_REGEX_H_
#define TORVANE_BASE_REGEX_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Option bits accepted by RegexMatch; other bits are ignored.
constexpr int kRegexCaseless = 1;   // letters match either case
constexpr int kRegexMultiline = 2;  // ^ and $ also match at line ends
constexpr int kRegexDotAll = 4;     // . also matches a newline
constexpr int kRegexExtended = 8;   // whitespace and # comments ignored

// Distinct (pattern, options) pairs kept compiled. Patterns come from
// scripts and configuration, so the cache is bounded: once full it is
// emptied and refilled by the patterns in use.
constexpr size_t kMaxCachedPatterns = 4096;

// Capture pairs a match has room for, group 0 (the whole match) included.
constexpr int kRegexCapturePairs = 10;

// 1 when `pattern` (compiled with the option bits) matches subject[0, len),
// 0 on no match or a bad pattern. A null pattern gives 0; a null subject is
// taken as "".
int RegexMatch(const char* pattern, int options, const char* subject, size_t len);
// As above, and on a match stores captured groups 1..n (at most
// kRegexCapturePairs - 1; unset groups as "") into `groups`, which is
// cleared first. REQUIRES: `groups` is not null.
int RegexMatch(const char* pattern, int options, const char* subject, size_t len,
               std::vector<std::string>* groups);

// As the first RegexMatch, but matching gives up (0) after `match_limit`
// steps of the matcher, so a careless pattern cannot run away on a long
// subject from a file or a peer.
int RegexMatchLimited(const char* pattern, int options, const char* subject, size_t len, uint32_t match_limit);

// Number of compiled patterns held now (bad patterns included, as they are
// remembered too). For monitoring and tests.
size_t RegexCachedPatternCount();

#endif  // TORVANE_BASE_REGEX_H_
