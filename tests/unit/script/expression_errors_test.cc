// One error case per compiler routine that reports one: whole sources, then expressions.
#include <gtest/gtest.h>

#include "script_harness.h"

namespace script_test {
namespace {

TEST(CompileErrorTest, Messages) {
  const struct {
    std::string source;
    const char* message;
  } kCases[] = {
      {"int x; int x;", "name \"x\" already defined"},
      {"int x y;", "unknown token 'y' after \"x\""},
      {"int ;", "empty string"},
      {"string m[] = { \"k\" };", "bad value for \"\"k\"\" key"},
      {"x = 1;", "unknown token \"x\""},
      {"int x; x == 1;", "unknown operation \"== 1\""},
      {"int x; x.y = 1;", "unknown dot ... only pointer (class)-> \"y = 1\""},
      {"int a[2]; a += 1;", "unknown operation \"+= 1\" for array"},
      {"int a[2]; a[0] ! 1;", "unknown operation \"! 1\" for array variable"},
      {"int f() { return 1; } f() + 1;", "bad '+' symbol expecting ';'"},
      {"break;", "break statement not within loop"},
      {"while (1) { int f() { break; } }", "break statement not within loop"},
      {"int f(int a) { return a; } int x = f(1, 2);", "too many arguments"},
      {"int f(Unknown a) { return 0; }", "unknown type of argument \"Unknown\" in \"f\" function"},
      {"int f(int) { return 0; }", "can't read argument name in \"f\" function"},
      {"int a(int n) { return other(n); } int other(int n) { return n; }", "unknown function \"other\""},
      {"int main() { int x = .5; return 0; }", "unknown token '.'"},
      {"int main() { string s = \"\\q\"; return 0; }", "unsupported string code \\q"},
      {"int main() { int x = " + std::string(1100, '1') + "; return 0; }", "buffer overflow"},
      {"int x; int main() { x = 1" + std::string(1100, '+') + "; return 0; }", "buffer overflow"},
      {"int " + std::string(300, 'v') + ";", "buffer overflow"},
      {"int main() { string s = \"" + std::string(1030, 'a') + "\"; return 0; }", "buffer overflow"},
      {"int main() { x = (1)); }", "some errors with counts of '(' and ')' symbols"},
      {"int main() { if (1) { return 0; }", "some errors with counts of '{' and '}' symbols"},
      {"int x; if (1) x = (1));", "some errors with counts of '(' and ')' symbols"},
      {"int main() { do x = 1; untill (1); }", "expecting \"while\" but have \"untill\" token"},
      {"while", "end of string"},
      {"int main() { return 0; } @", "unknown symbol '@'"},
  };
  for (const auto& c : kCases) {
    Harness h;
    EXPECT_EQ(h.Load(c.source), 0) << c.source.substr(0, 80);
    EXPECT_TRUE(Contains(h.log, c.message)) << c.source.substr(0, 80) << " -> " << h.log;
  }
}

TEST(ExpressionErrorTest, Messages) {
  const struct {
    const char* expression;
    const char* message;
  } kCases[] = {
      {"* 2", "bad unary operator '*' in \"* 2\" expression"},
      {"1 = 2", "unknown token '=' in \"1 = 2\" expression"},
      {"1 * / 2", "error before \"/\""},
      {"1 2", "error before \"2\""},
      {"(1 +)", "error before \")\""},
      {"nothing + 1", "unknown token \"nothing\" in \"nothing + 1\" expression"},
  };
  for (const auto& c : kCases) {
    std::string result = Eval(c.expression);
    EXPECT_TRUE(Contains(result, c.message)) << c.expression << " -> " << result;
  }
  // An unmatched '(' inside an index or argument text is caught by the cut.
  Harness h;
  EXPECT_EQ(h.Load("int x; x = ((1);"), 0);
  EXPECT_FALSE(h.log.empty());
}

}  // namespace
}  // namespace script_test
