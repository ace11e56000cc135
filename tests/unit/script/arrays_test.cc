// Indexed and associative arrays, initialisers, sharing by reference.
#include <gtest/gtest.h>

#include "script_harness.h"

namespace script_test {
namespace {

TEST(ArrayTest, IndexedAndAssociative) {
  const struct {
    const char* body;
    const char* expected;  // MORE text of the captured value, or an error
  } kCases[] = {
      {"int a[3] = {4, 5, 6}; Capture(a[0] + a[1] + a[2]);", "int: 15\n"},
      {"int a[3]; Capture(a[2]);", "int: 0\n"},
      {"int a[3]; a[1] = \"x\"; Capture(a[1]);", "string: \"x\"\n"},
      {"int a[2] = {1, 2}; a[0] += 5; a[1]++; Capture(a[0] * 10 + a[1]);", "int: 63\n"},
      {"int a[3]; a[3] = 1;", "bad array index"},
      {"int a[3]; Capture(a[-1]);", "bad array index"},
      {"int n = -1; int a[n];", "bad array size"},
      {"string m[]; m[\"k\"] = 2; m[\"j\"] = 3; Capture(m[\"k\"] + m[\"j\"]);", "int: 5\n"},
      {"string m[]; Capture(m[\"k\"]);", "uninitialized key"},
      {"string m[] = {\"a\" : 1, \"b\" : 2}; m[\"a\"] = 10; Capture(m[\"a\"] + m[\"b\"]);", "int: 12\n"},
      {"int m[]; m[1] = 1; m[\"x\"] = 2;", "bad operands"},
      {"int m[]; m[1.0] = 7; Capture(m[1.0000001]);", "int: 7\n"},
      {"int m[]; m[2] = 1; m[2] += 4; Capture(m[2]);", "int: 5\n"},
  };
  for (const auto& c : kCases) {
    Harness h;
    int result = h.LoadAndRun(std::string("int main() { ") + c.body + " return 1; }");
    std::string got = result == 1 ? Harness::CapturedText() : h.log;
    EXPECT_TRUE(Contains(got, c.expected)) << c.body << " -> " << got;
  }
}

TEST(ArrayTest, ArraysShareStorageByReference) {
  Harness h;
  ASSERT_EQ(h.LoadAndRun("int fill(int t[], int v) { t[0] = v; return 0; }"
                         "int main() { int a[2]; int b[2]; b = a; b[1] = 9; fill(a, 4);"
                         " Capture(a[1]); Capture(b[0]); return 1; }"),
            1)
      << h.log;
  EXPECT_EQ(CapturedInts(), (std::vector<int>{9, 4}));
}

TEST(ArrayTest, BadArrayReferenceIsAnError) {
  Harness h;
  ASSERT_EQ(h.Load("int main() { int a[2]; a = 123456789; return 1; }"), 1);
  EXPECT_EQ(h.Run(), 0);
  EXPECT_TRUE(Contains(h.log, "bad array reference"));
}

TEST(ArrayTest, ManyKeys) {
  Harness h;
  ASSERT_EQ(h.LoadAndRun("int main() { int m[]; for (int i = 0; i < 2000; i++) m[\"k\" + i] = i;"
                         " int s = 0; for (int j = 0; j < 2000; j++) s += m[\"k\" + j]; return s; }"),
            1999 * 2000 / 2)
      << h.log;
}

}  // namespace
}  // namespace script_test
