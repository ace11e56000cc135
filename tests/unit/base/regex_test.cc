// RegexMatch: option bits, captured groups, bad patterns, the bounded cache and concurrent use.
#include "base/regex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

int Match(const char* pattern, int options, const std::string& subject) {
  return RegexMatch(pattern, options, subject.data(), subject.size());
}

// The same pattern with other options is a distinct cache entry (first two rows).
TEST(RegexTest, OptionBits) {
  const struct Case {
    const char* pattern;
    int options;
    const char* subject;
    int expected;
  } cases[] = {
      {"abc", 0, "xABCx", 0},
      {"abc", kRegexCaseless, "xABCx", 1},
      {"^b$", kRegexMultiline, "a\nb\nc", 1},
      {"a.b", kRegexDotAll, "a\nb", 1},
      {"a b # comment", kRegexExtended, "ab", 1},
      {"abc", 64, "abc", 1},  // unknown bits are ignored
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Match(c.pattern, c.options, c.subject), c.expected) << c.pattern << " opts " << c.options;
  }
}

TEST(RegexTest, MatchesOnlyTheGivenLength) {
  const char subject[] = "abcdef";
  EXPECT_EQ(RegexMatch("def", 0, subject, 3), 0);
  EXPECT_EQ(RegexMatch("def", 0, subject, 6), 1);
  EXPECT_EQ(RegexMatch("^$", 0, nullptr, 0), 1);  // null subject is ""
}

TEST(RegexTest, BadPatternsGiveZero) {
  std::vector<std::string> groups{"stale"};
  EXPECT_EQ(RegexMatch("(unclosed", 0, "x", 1, &groups), 0);
  EXPECT_TRUE(groups.empty());
  EXPECT_EQ(Match(nullptr, 0, "x"), 0);
}

TEST(RegexTest, CapturedGroups) {
  std::vector<std::string> groups;
  ASSERT_EQ(RegexMatch("(\\w+)@(\\w+)\\.(org)?", 0, "mail john@example.com", 21, &groups), 1);
  EXPECT_EQ(groups, (std::vector<std::string>{"john", "example"}));  // trailing unset group not reported
  ASSERT_EQ(RegexMatch("(a)(x)?(c)", 0, "ac", 2, &groups), 1);
  EXPECT_EQ(groups, (std::vector<std::string>{"a", "", "c"}));  // unset group in between is ""
  ASSERT_EQ(RegexMatch("abc", 0, "abc", 3, &groups), 1);
  EXPECT_TRUE(groups.empty());
  EXPECT_EQ(RegexMatch("(q)", 0, "abc", 3, &groups), 0);
  EXPECT_TRUE(groups.empty());
}

TEST(RegexTest, MoreGroupsThanRoomKeepsTheFirstNine) {
  std::vector<std::string> groups;
  const std::string subject = "abcdefghijkl";
  ASSERT_EQ(RegexMatch("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)", 0, subject.data(), subject.size(), &groups), 1);
  ASSERT_EQ(groups.size(), static_cast<size_t>(kRegexCapturePairs - 1));
  EXPECT_EQ(groups.front(), "a");
  EXPECT_EQ(groups.back(), "i");
}

TEST(RegexTest, CacheStaysBounded) {
  const std::string subject = "p17";
  for (size_t i = 0; i < kMaxCachedPatterns + 50; ++i) {
    const std::string pattern = "p" + std::to_string(i) + "$";
    ASSERT_EQ(Match(pattern.c_str(), 0, subject), i == 17 ? 1 : 0) << pattern;
    ASSERT_LE(RegexCachedPatternCount(), kMaxCachedPatterns);
  }
  EXPECT_GE(RegexCachedPatternCount(), 1u);
}

TEST(RegexTest, ManyThreadsShareTheCache) {
  static const struct Case {
    const char* pattern;
    int options;
    const char* subject;
    int expected;
    const char* group;
  } kCases[] = {
      {"^(\\d+)\\.\\d+\\.\\d+\\.\\d+$", 0, "192.0.2.1", 1, "192"},
      {"^subject:(.*)$", kRegexCaseless | kRegexMultiline, "X: y\nSubject: hi\n", 1, " hi"},
      {"(viagra)", kRegexCaseless, "clean text", 0, ""},
  };
  constexpr int kThreads = 4;
  constexpr int kRounds = 1000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      std::vector<std::string> groups;
      for (int i = 0; i < kRounds; ++i) {
        const Case& c = kCases[(i + t) % std::size(kCases)];
        const std::string subject = c.subject;
        const int got = RegexMatch(c.pattern, c.options, subject.data(), subject.size(), &groups);
        const bool ok = got == c.expected && (got == 0 ? groups.empty() : groups.at(0) == c.group);
        if (!ok) failures.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
