// Operator precedence and grouping, checked through results.
#include <gtest/gtest.h>

#include "script_harness.h"

namespace script_test {
namespace {

TEST(PrecedenceTest, Table) {
  const struct {
    const char* expression;
    const char* expected;
  } kCases[] = {
      {"1 + 2 * 3", "int: 7\n"},
      {"(1 + 2) * 3", "int: 9\n"},
      {"10 - 4 - 3", "int: 3\n"},        // left to right
      {"2 * 3 % 4", "int: 2\n"},         // same level, left to right
      {"1 < 2 & 3", "int: 1\n"},         // (1 < 2) & 3
      {"4 & 2 == 2", "int: 0\n"},        // comparisons bind tighter than &
      {"1 || 0 && 0", "int: 0\n"},       // (1 || 0) && 0: one level, left to right
      {"0 && 1 || 1", "int: 1\n"},
      {"1 | 2 && 0", "int: 0\n"},        // bitwise above logical
      {"-2 * -3", "int: 6\n"},
      {"!0 + 1", "int: 2\n"},            // unary binds tightest
      {"-(2 + 3) * 2", "int: -10\n"},
      {"2 + 3 == 5", "int: 1\n"},
      {"1 ^ 3 | 4", "int: 6\n"},         // one level, left to right
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Eval(c.expression), c.expected) << c.expression;
  }
}

TEST(PrecedenceTest, NoShortCircuit) {
  Harness h;
  ASSERT_EQ(h.LoadAndRun("int calls = 0; int touch() { calls++; return 1; }"
                         "int main() { int r = 0 && touch(); r = 1 || touch(); return calls; }"),
            2)
      << h.log;
}

}  // namespace
}  // namespace script_test
