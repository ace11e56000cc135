// Tests of CREeq: the kept groups $1..$5 (the pattern options are String::eq's).
#include "scriptlib/regex_functions.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

TEST(CREeqTest, MatchesAndCaptures) {
  const struct {
    const char* text;
    const char* pattern;
    int options;
    int expected;
    std::array<const char*, 5> groups;
  } cases[] = {
      {"abc", "(B)(C)", 1, 1, {"b", "c", "", "", ""}},
      {"a1b2c3d4e5f6", "(\\d)\\D(\\d)\\D(\\d)\\D(\\d)\\D(\\d)\\D(\\d)", 0, 1,
       {"1", "2", "3", "4", "5"}},
      {"x=1", "(y)?x=(\\d)", 0, 1, {"", "1", "", "", ""}},
      {nullptr, "x*", 0, 0, {"", "", "", "", ""}},
  };
  for (const auto& c : cases) {
    CREeq re;
    const char* label = c.pattern ? c.pattern : "(null)";
    EXPECT_EQ(re.REeq(c.text, c.pattern, c.options), c.expected) << label;
    for (int g = 1; g <= CREeq::kKeptGroups; ++g) {
      EXPECT_STREQ(re.Capture(g), c.groups[g - 1]) << label << " $" << g;
    }
  }
}

TEST(CREeqTest, EachCallClearsTheGroups) {
  CREeq re;
  ASSERT_EQ(re.REeq("abc", "(B)(C)", 1), 1);
  EXPECT_EQ(re.REeq("xyz", "(q)", 0), 0);
  EXPECT_STREQ(re.Capture1(), "");
  EXPECT_STREQ(re.Capture2(), "");
  EXPECT_STREQ(re.Capture(0), "");
  EXPECT_STREQ(re.Capture(6), "");
}

TEST(CREeqTest, GroupsOutliveTheArguments) {
  CREeq re;
  {
    std::string text = "user@example.org";
    ASSERT_EQ(re.REeq(text.c_str(), "^([^@]+)@(.+)$", 0), 1);
    text.assign(text.size(), '#');
  }
  EXPECT_STREQ(re.Capture1(), "user");
  EXPECT_STREQ(re.Capture2(), "example.org");
}

}  // namespace
