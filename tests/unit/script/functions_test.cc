// Script functions: calls, arguments, recursion and its limits.
#include <gtest/gtest.h>

#include "script_harness.h"

namespace script_test {
namespace {

TEST(FunctionTest, CallsAndResults) {
  const struct {
    const char* source;
    int expected;
  } kCases[] = {
      {"int add(int a, int b) { return a + b; } int main() { return add(2, 3) * 2; }", 10},
      {"int f() { } int main() { return f() + 4; }", 4},
      {"int fib(int n) { if (n < 2) return n; return fib(n - 1) + fib(n - 2); } int main() { return fib(20); }", 6765},
      // A direct self-call sees its own locals restored afterwards.
      {"int r(int n) { int local = n * 10; if (n > 0) r(n - 1); return local; } int main() { return r(3); }", 30},
      {"int main() { int g(int x) { return x * 2; } return g(21); }", 42},
      {"string hello(string who) { return \"hi \" + who; } int main() { return hello(\"bob\") == \"hi bob\"; }", 1},
  };
  for (const auto& c : kCases) {
    Harness h;
    EXPECT_EQ(h.LoadAndRun(c.source), c.expected) << c.source << "\n" << h.log;
  }
}

TEST(FunctionTest, OtherCallsReuseTheCalleesVariables) {
  Harness h;
  // Only direct self-calls save variables: a call from elsewhere shares them.
  EXPECT_EQ(h.LoadAndRun("int keep(int n) { int mine; if (n > 0) mine = n; return mine; }"
                         "int main() { keep(5); return keep(0); }"),
            5)
      << h.log;
}

TEST(FunctionTest, RunawayRecursionIsAnError) {
  const char* kSources[] = {
      "int f(int n) { return f(n + 1); } int main() { return f(0); }",
      "int f() { return f(); } int main() { return f(); }",
  };
  for (int i = 0; i < 2; ++i) {
    Harness h;
    ASSERT_EQ(h.Load(kSources[i]), 1) << h.log;
    EXPECT_EQ(h.Run(), 0);
    EXPECT_TRUE(Contains(h.log, "stack overflow") || Contains(h.log, "too deep recursion")) << h.log;
    EXPECT_EQ(h.interpreter.StackDepth(), 0);
  }
}

TEST(FunctionTest, DeepValueStackOverflows) {
  Harness h;
  // Each level keeps 5 saved values on the value stack.
  ASSERT_EQ(h.Load("int f(int n) { int a = 1, b = 2, c = 3, d = 4; if (n > 0) return f(n - 1) + a; return 0; }"
                   "int main() { return f(190); }"),
            1);
  EXPECT_EQ(h.Run(), 0);
  EXPECT_TRUE(Contains(h.log, "stack overflow")) << h.log;
}

}  // namespace
}  // namespace script_test
