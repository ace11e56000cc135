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
      {"trim both", &CS_String::Trim, "  a b  ", "a b"},
      {"trim keeps tabs", &CS_String::Trim, " \ta\t ", "\ta\t"},
      {"trim left", &CS_String::TrimLeft, "  a  ", "a  "},
      {"trim right", &CS_String::TrimRight, "  a  ", "  a"},
      {"trim all spaces", &CS_String::Trim, "    ", ""},
      {"internal runs", &CS_String::TrimInternal, "  a   b  ", "a b"},
      {"internal words", &CS_String::TrimInternal, "x  y z   w", "x y z w"},
      {"internal only spaces", &CS_String::TrimInternal, "   ", ""},
      {"internal no spaces", &CS_String::TrimInternal, "abc", "abc"},
      {"lower", &CS_String::Lc, "AbC-Z9", "abc-z9"},
      {"upper", &CS_String::Uc, "aBc-z9", "ABC-Z9"},
      {"upper keeps high bytes", &CS_String::Uc, "\xe9t\xe9", "\xe9T\xe9"},
      {"null trims to empty", &CS_String::Trim, nullptr, ""},
      {"null lower", &CS_String::Lc, nullptr, ""},
      {"null internal", &CS_String::TrimInternal, nullptr, ""},
  };
  for (const TextCase& c : cases) {
    CS_String s;
    const char* result = (s.*c.method)(c.input);
    ASSERT_NE(result, nullptr) << c.name;
    EXPECT_STREQ(result, c.expected) << c.name;
  }
}

TEST(CS_StringTest, SplitFields) {
  const struct {
    const char* text;
    char separator;
    int index;
    const char* expected;
  } cases[] = {
      {"a,b,,d", ',', 0, "a"},   {"a,b,,d", ',', 1, "b"},  {"a,b,,d", ',', 2, ""},
      {"a,b,,d", ',', 3, "d"},   {"a,b,,d", ',', 9, ""},   {"a,b,,d", ',', -1, ""},
      {"a;b", ';', 1, "b"},      {"abc", ',', 0, "abc"},   {"", ',', 0, ""},
      {nullptr, ',', 0, ""},     {",x", ',', 0, ""},       {"x,", ',', 1, ""},
  };
  CS_String s;
  for (const auto& c : cases) {
    EXPECT_STREQ(s.Split(c.text, c.separator, c.index), c.expected)
        << (c.text ? c.text : "(null)") << " #" << c.index;
  }
}

TEST(CS_StringTest, SubStrClampsStartAndCount) {
  const struct {
    const char* text;
    int start;
    int count;
    const char* expected;
  } cases[] = {
      {"abcdef", 1, 3, "bcd"}, {"abcdef", 4, 10, "ef"}, {"abcdef", -3, 2, "ab"},
      {"abcdef", 9, 2, ""},    {"abcdef", 0, 0, ""},    {"abcdef", 0, 6, "abcdef"},
      {nullptr, 0, 3, ""},
  };
  CS_String s;
  for (const auto& c : cases) {
    EXPECT_STREQ(s.SubStr(c.text, c.start, c.count), c.expected) << c.start << "," << c.count;
  }
}

TEST(CS_StringTest, ReplaceEveryOccurrence) {
  const struct {
    const char* text;
    const char* from;
    const char* to;
    const char* expected;
  } cases[] = {
      {"a-b-c", "-", "+", "a+b+c"}, {"aaaa", "aa", "b", "bb"}, {"abc", "", "x", "abc"},
      {"abc", nullptr, "x", "abc"}, {"abc", "b", nullptr, "ac"}, {nullptr, "a", "b", ""},
      {"abab", "ab", "abab", "abababab"},
  };
  CS_String s;
  for (const auto& c : cases) {
    EXPECT_STREQ(s.Replace(c.text, c.from, c.to), c.expected) << (c.text ? c.text : "(null)");
  }
}

TEST(CS_StringTest, NumberConversions) {
  CS_String s;
  EXPECT_EQ(s.StrLen("hello"), 5);
  EXPECT_EQ(s.StrLen(""), 0);
  EXPECT_EQ(s.StrLen(nullptr), 0);
  EXPECT_EQ(s.Chr(65), 'A');
  EXPECT_EQ(s.Chr(0x1E9), static_cast<signed char>(0xE9));
  EXPECT_EQ(s.Ord('A'), 65);
  EXPECT_EQ(s.Ord(0xE9), -23);
  EXPECT_EQ(s.CharToInt("42abc"), 42);
  EXPECT_EQ(s.CharToInt(nullptr), 0);
  EXPECT_EQ(s.CharToInt(""), 0);
  EXPECT_FLOAT_EQ(s.CharToFloat("2.5e1"), 25.0f);
  EXPECT_FLOAT_EQ(s.CharToFloat(nullptr), 0.0f);
  EXPECT_STREQ(s.FloatToChar(0.5f), "0.5");
  EXPECT_STREQ(s.FloatToChar(1e20f), "1e+20");
  EXPECT_STREQ(s.IntToChar(-17), "-17");
  EXPECT_EQ(s.FloatToInt(-1e20f), INT32_MIN);  // the script layer's conversion
  EXPECT_FLOAT_EQ(s.IntToFloat(-3), -3.0f);
}

TEST(CS_StringTest, CompareStringNoCaseFoldsOnlyAsciiLetters) {
  const struct {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"abc", "ABC", 0}, {"abc", "abd", -1}, {"b", "A", 1},     {"ab", "abc", -1},
      {nullptr, "x", 0}, {"x", nullptr, 0},  {"\xc9", "\xe9", -1}, {"", "", 0},
  };
  CS_String s;
  for (const auto& c : cases) {
    EXPECT_EQ(s.CompareStringNoCase(c.a, c.b), c.expected)
        << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
  }
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
