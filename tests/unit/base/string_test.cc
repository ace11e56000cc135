// String: storage growth, binary contents, formatting, comparison, search,
// slicing, editing and regular-expression helpers.
#include "base/string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace std::string_literals;

TEST(StringTest, StaysSmall) {
  // Tables hold millions of Strings: text plus four words of bookkeeping.
  EXPECT_LE(sizeof(String), 4 * sizeof(void*));
}

TEST(StringTest, ConversionConstructors) {
  const struct Case {
    String value;
    const char* text;
  } cases[] = {
      {String('x'), "x"}, {String(-42), "-42"}, {String(0.1f), "0.1"}, {String(std::string_view("a\0b", 3)), "a"},
  };
  for (const Case& c : cases) EXPECT_STREQ(c.value.GetData(), c.text);
  EXPECT_EQ(String(std::string_view("a\0b", 3)).size(), 3);
}

TEST(StringTest, AppendAndAssignForms) {
  String s("a");
  s.append('b');
  s.append(static_cast<const char*>(nullptr));
  s.append(String("cd"));
  EXPECT_STREQ(s.GetData(), "abcd");
  String own("abcd");  // appends of its own text survive the growth
  own.append(own.GetData(), 4);
  own.append(own.GetData() + 2);
  EXPECT_STREQ(own.GetData(), "abcdabcdcdabcd");
  s = static_cast<const char*>(nullptr);
  EXPECT_STREQ(s.GetData(), "");
  s = "abc";
  s = s.GetData() + 1;  // from its own buffer
  EXPECT_STREQ(s.GetData(), "bc");
}

TEST(StringTest, SetBufferKeepsEmbeddedNuls) {
  const char bytes[] = {'x', '\0', 'y', '\0', 'z'};
  String s("old text");
  s.SetBuffer(bytes, sizeof bytes);
  EXPECT_EQ(s.GetRealBufferSize(), 5);
  EXPECT_EQ(s.size(), 5);
  EXPECT_EQ(s.BufferView(), std::string_view(bytes, 5));
  s.AppendBuffer("\0w", 2);
  EXPECT_EQ(s.GetRealBufferSize(), 7);
  EXPECT_EQ(s.BufferView(), std::string_view("x\0y\0z\0w", 7));
  s.SetBuffer(s.GetData() + 2, 3);  // from its own buffer
  EXPECT_EQ(s.BufferView(), std::string_view("y\0z", 3));
}

TEST(StringTest, SetLenAfterDirectWrites) {
  String s;
  s.Allocate(16);
  EXPECT_EQ(s.GetBuffer(-5), s.GetBuffer(0));  // the index is clamped to the buffer
  EXPECT_EQ(s.GetBuffer(100), s.GetBuffer(0) + 16);
  memcpy(s.GetBuffer(0), "text\0more", 9);
  s.SetLenAftherSetBuffer();
  EXPECT_EQ(s.size(), 4);
  EXPECT_EQ(s.GetRealBufferSize(), 4);
  memcpy(s.GetBuffer(0), "bin\0ary", 7);
  s.SetLenAftherSetBuffer(7);
  EXPECT_EQ(s.GetRealBufferSize(), 7);
  EXPECT_EQ(s.FindInTheBuffer("ary"), 4);
  s.SetLenAftherSetBuffer(1000);  // never beyond the buffer
  EXPECT_EQ(s.GetRealBufferSize(), 16);
  String full;
  full.Allocate(4);
  memset(full.GetBuffer(0), 'a', 5);  // every byte, terminator included
  full.SetLenAftherSetBuffer();
  EXPECT_EQ(full.size(), 4);
  EXPECT_STREQ(full.GetData(), "aaaa");
}

TEST(StringTest, CopyDropsRealSizeButAssignmentAndMoveKeepIt) {
  String binary;
  binary.SetBuffer("ab\0cd", 5);
  const String copy(binary);
  EXPECT_EQ(copy.size(), 5);
  EXPECT_EQ(copy.GetRealBufferSize(), 0);
  String assigned("zz");
  assigned = binary;
  EXPECT_EQ(assigned.GetRealBufferSize(), 5);
  EXPECT_EQ(assigned.BufferView(), std::string_view("ab\0cd", 5));
  String moved(std::move(binary));
  EXPECT_EQ(moved.GetRealBufferSize(), 5);
  EXPECT_EQ(binary.GetData(), nullptr);  // the header promises a bufferless source
}

TEST(StringTest, FormatAndPrintf) {
  String s("old");
  s.Format("%s-%d-%05.1f", "x", 7, 2.25);
  EXPECT_STREQ(s.GetData(), "x-7-002.2");
  s.printf("[%c]", 'z');
  EXPECT_STREQ(s.GetData(), "x-7-002.2[z]");
  s.Format(nullptr);
  EXPECT_EQ(s.size(), 0);
  s = "abc";
  s.Format("<%s>", s.GetData());  // from its own text
  EXPECT_STREQ(s.GetData(), "<abc>");
}

TEST(StringTest, OneFormatCallIsCutAtTheLimit) {
  const std::string long_text(String::kMaxFormatChars + 100, 'q');
  String s;
  s.Format("%s", long_text.c_str());
  EXPECT_EQ(s.size(), String::kMaxFormatChars);
  EXPECT_EQ(s.View(), std::string_view(long_text).substr(0, String::kMaxFormatChars));
  s.printf("%s", long_text.c_str());  // each call has its own limit
  EXPECT_EQ(s.size(), 2 * String::kMaxFormatChars);
}

// Equality needs a buffer on both sides; ordering takes a missing one as empty.
TEST(StringTest, ComparisonWithoutBuffer) {
  String none;
  EXPECT_FALSE(none == "");
  EXPECT_FALSE(String("a") == static_cast<const char*>(nullptr));
  none = "";
  EXPECT_TRUE(none == "");
  EXPECT_TRUE(String() < "a");
  EXPECT_FALSE(String() < "");
  EXPECT_TRUE(String("b") > String());
  EXPECT_TRUE(String("B") < String("a"));  // case-sensitive
  EXPECT_FALSE(String("abc") < static_cast<const char*>(nullptr));
}

TEST(StringTest, CompareNoCaseFoldsOnlyAsciiLetters) {
  const struct Case {
    const char* left;
    const char* right;
    int expected;
  } cases[] = {
      {"ABC", "abd", -1}, {"abd", "ABC", 1}, {"ab", "abc", -1},
      {"[", "a", -1},                            // '[' is not folded: 0x5b < 0x61
      {"\xc4", "\xe4", -1},                      // bytes above 127 stay as they are
      {"\xe4", "a", 1},                           // ... and compare unsigned
      {nullptr, "", 0},   {"a", nullptr, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(String::MyCompare(c.left, c.right), c.expected) << c.left << " vs " << c.right;
    if (c.left != nullptr) {
      EXPECT_EQ(String(c.left).CompareNoCase(c.right), c.expected);
    }
  }
  String a("Zeta");
  String b("alpha");
  EXPECT_EQ(CompareByNameNoCase(&a, &b), 1);
  EXPECT_EQ(CompareByNameNoCase(&b, &a), -1);
}

TEST(StringTest, Find) {
  const struct Case {
    const char* text;
    const char* sub;
    int start;
    int expected;
  } cases[] = {
      {"abc", "", 0, -1}, {"abc", "b", 5, -1}, {"abc", "c", -3, 2}, {"abc", nullptr, 0, -1}, {"abcabc", "bc", 2, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(String(c.text).Find(c.sub, c.start), c.expected)
        << c.text << " / " << (c.sub ? c.sub : "(null)") << " from " << c.start;
  }
  EXPECT_EQ(String().Find("a"), -1);
  String s;  // Find stops at a NUL, FindInTheBuffer runs to the real size
  s.SetBuffer("ab\0cd", 5);
  EXPECT_EQ(s.Find("cd"), -1);
  EXPECT_EQ(s.FindInTheBuffer("cd"), 3);
  EXPECT_EQ(s.FindInTheBuffer("cd", 4), -1);
  EXPECT_EQ(String("text").FindInTheBuffer("x"), -1);  // no real size
}

TEST(StringTest, SliceTable) {
  const struct Case {
    const char* name;
    const char* (*slice)(String&);
    const char* expected;
  } cases[] = {
      {"Mid(5,2)", [](String& s) { return s.Mid(5, 2); }, ""},
      {"Mid(-2,2)", [](String& s) { return s.Mid(-2, 2); }, "ab"},
      {"Mid(1,-1)", [](String& s) { return s.Mid(1, -1); }, ""},
      {"Right(1)", [](String& s) { return s.Right(1); }, "c"},
      {"Right(INT_MIN)", [](String& s) { return s.Right(INT32_MIN); }, ""},
      {"Mid(1,INT_MAX)", [](String& s) { return s.Mid(1, INT32_MAX); }, "bc"},
  };
  for (const Case& c : cases) {
    String s("abc");
    EXPECT_STREQ(c.slice(s), c.expected) << c.name;
  }
}

// A whole slice is the data itself, a part a scratch copy; MidBuffer runs to the real size.
TEST(StringTest, WholeSliceIsTheDataItselfOtherwiseAScratchCopy) {
  String s("abc");
  EXPECT_EQ(s.Right(9), s.GetData());
  EXPECT_NE(s.Mid(0, 2), s.GetData());
  EXPECT_STREQ(s.GetData(), "abc");  // the String itself is untouched
  EXPECT_STREQ(String().Mid(0, 1), "");
  String binary;
  binary.SetBuffer("ab\0cd", 5);
  EXPECT_EQ(std::string(binary.MidBuffer(2, 3), 3), "\0cd"s);
  EXPECT_STREQ(binary.MidBuffer(4, 10), "d");
  EXPECT_STREQ(String("text").MidBuffer(0, 4), "");  // no real size: empty
}

TEST(StringTest, InsertClampsPosition) {
  const struct Case {
    int pos;
    const char* text;
    const char* expected;
    int result;
  } cases[] = {
      {2, "-", "ab-c", 4}, {9, "!", "abc!", 4}, {-4, "<", "<abc", 4}, {1, nullptr, "abc", 3},
  };
  for (const Case& c : cases) {
    String s("abc");
    EXPECT_EQ(s.Insert(c.pos, c.text), c.result);
    EXPECT_STREQ(s.GetData(), c.expected);
  }
  String self("ab");
  self.Insert(1, self.GetData());
  EXPECT_STREQ(self.GetData(), "aabb");
}

TEST(StringTest, ReplaceTable) {
  const struct Case {
    const char* text;
    const char* from;
    const char* to;
    int count;
    const char* expected;
  } cases[] = {
      {"banana", "a", "xy", 3, "bxynxynxy"},
      {"banana", "", "x", 0, "banana"},
      {"banana", nullptr, "x", 0, "banana"},
      {"banana", "a", nullptr, 0, "banana"},
      {"aa", "a", "aa", 2, "aaaa"},  // resumes after the inserted text
  };
  for (const Case& c : cases) {
    String s(c.text);
    EXPECT_EQ(s.Replace(c.from, c.to), c.count) << c.text;
    EXPECT_STREQ(s.GetData(), c.expected) << c.text;
  }
}

// Replace and the case changes cover every stored byte, past an embedded NUL.
TEST(StringTest, EditsCoverTheStoredBytes) {
  String replaced;
  replaced.append("a\0a", 3);
  EXPECT_EQ(replaced.Replace("a", "bb"), 2);
  EXPECT_EQ(replaced.View(), std::string_view("bb\0bb", 5));
  String s;
  s.append("aB\0cD", 5);
  EXPECT_EQ(s.GetLength(), 2);  // strlen, while size() is what is stored
  s.MakeUpper();
  EXPECT_EQ(s.View(), std::string_view("AB\0CD", 5));
  EXPECT_EQ(std::string_view(s.MakeLower(), 5), std::string_view("ab\0cd", 5));
}

TEST(StringTest, TrimRemovesOnlySpaces) {
  const struct Case {
    const char* text;
    const char* left;
    const char* right;
    const char* both;
  } cases[] = {
      {"  ab  ", "ab  ", "  ab", "ab"},
      {"\tab\r\n ", "\tab\r\n ", "\tab\r\n", "\tab\r\n"},
  };
  for (const Case& c : cases) {
    String left(c.text), right(c.text), both(c.text);
    left.TrimLeft();
    right.TrimRight();
    both.Trim();
    EXPECT_STREQ(left.GetData(), c.left) << '"' << c.text << '"';
    EXPECT_STREQ(right.GetData(), c.right) << '"' << c.text << '"';
    EXPECT_STREQ(both.GetData(), c.both) << '"' << c.text << '"';
    EXPECT_EQ(both.size(), static_cast<int>(strlen(c.both)));
  }
  String binary;
  binary.append("ab\0cd ", 6);
  binary.TrimRight();  // stops at the embedded NUL
  EXPECT_EQ(binary.size(), 2);
}

TEST(StringTest, EqStoresTheCapturedGroups) {
  String s("xab");
  ASSERT_EQ(s.eq("(a)(b)", 0), 1);
  ASSERT_EQ(s.matches().GetSize(), 2);
  EXPECT_STREQ(s.matches()[0].GetData(), "a");
  EXPECT_STREQ(s.matches()[1].GetData(), "b");
  EXPECT_EQ(s.eq("(z)", 0), 0);
  EXPECT_EQ(s.matches().GetSize(), 0);  // emptied by every eq
  String binary;
  binary.append("a\0b", 3);
  ASSERT_EQ(binary.eq("a\\x00(b)", 0), 1);  // matches past an embedded NUL
  EXPECT_STREQ(binary.matches()[0].GetData(), "b");
  EXPECT_EQ(String("").eq(".*", 0), 0);
  EXPECT_EQ(String("abc").eq(nullptr, 0), 0);
  EXPECT_EQ(String("ABC").eq("abc", 1), 1);
}

TEST(StringTest, ReplaceReWithOneReferenceReplacesTheGroupInPlace) {
  String s("Subject: hello\r\nBody hello");
  s.ReplaceRE("^Subject:(.+?)\r\n", " [X] $1", 3);
  // Every occurrence of the group text " hello" gets the expansion.
  EXPECT_STREQ(s.GetData(), "Subject: [X]  hello\r\nBody [X]  hello");
  String fills("abc");
  fills.ReplaceRE("(b)", "$1$1$1$1", 0);  // at most three fills per group
  EXPECT_STREQ(fills.GetData(), "abbb$1c");
  String empty_group("ac");
  empty_group.ReplaceRE("a(x*)c", "<$1>", 0);  // nothing to replace in place
  EXPECT_STREQ(empty_group.GetData(), "ac");
}

TEST(StringTest, ReplaceReOtherwiseReplacesTheWholeString) {
  const struct Case {
    const char* text;
    const char* pattern;
    const char* replacement;
    const char* expected;
  } cases[] = {
      {"john@example.org", "(\\w+)@(\\w+)", "$2:$1", "example:john"},  // two groups used
      {"abc", "(b)", "$1", "b"},                                         // too short to be in place
      {"abc", "(x)", "q", "abc"},                                        // no match: unchanged
      {"abc", "(b)", "<$2>", "<$2>"},                                    // no such group
      {"x$2y", "(x\\$2)(y)", "$1$2", "x$2y"},  // references inside captured text stay as they are
  };
  for (const Case& c : cases) {
    String s(c.text);
    EXPECT_EQ(s.ReplaceRE(c.pattern, c.replacement, 0), 0);
    EXPECT_STREQ(s.GetData(), c.expected) << c.pattern << " -> " << c.replacement;
  }
}

}  // namespace
