// Tests of CS_String: the script text functions and their edge results.
#include "scriptlib/string_functions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace {

struct TextCase {
  const char* name;
  const char* (CS_String::*method)(const char*);
  const char* input;
  const char* expected;
};

TEST(CS_StringTest, OneArgumentTextFunctions) {
  const TextCase cases[] = {
      {"internal runs", &CS_String::TrimInternal, "  a   b  ", "a b"},
      {"internal only spaces", &CS_String::TrimInternal, "   ", ""},
      {"internal no spaces", &CS_String::TrimInternal, "abc", "abc"},
      {"upper keeps high bytes", &CS_String::Uc, "\xe9t\xe9", "\xe9T\xe9"},
      {"null trims to empty", &CS_String::Trim, nullptr, ""},
      {"null internal", &CS_String::TrimInternal, nullptr, ""},
  };
  for (const TextCase& c : cases) {
    CS_String s;
    const char* result = (s.*c.method)(c.input);
    ASSERT_NE(result, nullptr) << c.name;
    EXPECT_STREQ(result, c.expected) << c.name;
  }
}

// String's own rules are its tests'; the script forms add null arguments.
TEST(CS_StringTest, NullArguments) {
  CS_String s;
  EXPECT_STREQ(s.Replace("abc", "b", nullptr), "ac");
  EXPECT_STREQ(s.Replace(nullptr, "a", "b"), "");
  EXPECT_STREQ(s.Split(nullptr, ',', 0), "");
  EXPECT_STREQ(s.Split("a;b", ';', 1), "b");
  EXPECT_EQ(s.CompareStringNoCase(nullptr, "x"), 0);
  EXPECT_EQ(s.CompareStringNoCase("x", nullptr), 0);
}

// The script forms add null inputs, character signs and a saturating float-to-int.
TEST(CS_StringTest, NumberConversions) {
  CS_String s;
  EXPECT_EQ(s.StrLen(nullptr), 0);
  EXPECT_EQ(s.Chr(65), 'A');
  EXPECT_EQ(s.Chr(0x1E9), static_cast<signed char>(0xE9));
  EXPECT_EQ(s.Ord('A'), 65);
  EXPECT_EQ(s.Ord(0xE9), -23);
  EXPECT_EQ(s.CharToInt(nullptr), 0);
  EXPECT_FLOAT_EQ(s.CharToFloat(nullptr), 0.0f);
  EXPECT_STREQ(s.FloatToChar(1e20f), "1e+20");
  EXPECT_EQ(s.FloatToInt(-1e20f), INT32_MIN);  // the script layer's conversion
}

TEST(CS_StringTest, EachFunctionKeepsItsOwnResult) {
  CS_String s;
  const char* trimmed = s.Trim("  kept  ");
  const char* lower = s.Lc("OTHER");
  EXPECT_STREQ(trimmed, "kept");  // not overwritten by another function
  EXPECT_STREQ(lower, "other");
  const std::string first(s.Uc("one"));
  EXPECT_STREQ(s.Uc("two"), "TWO");
  EXPECT_EQ(first, "ONE");
}

TEST(CS_StringTest, ResultMayBeFedBackToTheSameFunction) {
  CS_String s;
  const char* once = s.Replace("a.b.c", ".", "..");
  EXPECT_STREQ(s.Replace(once, "..", "/"), "a/b/c");
  const char* sliced = s.SubStr("abcdef", 1, 4);
  EXPECT_STREQ(s.SubStr(sliced, 1, 2), "cd");
}

}  // namespace
