// The expression compiler's messages, one case each.
#include <gtest/gtest.h>

#include "script_harness.h"

namespace script_test {
namespace {

TEST(ExpressionErrorTest, Messages) {
  const struct {
    const char* expression;
    const char* message;
  } kCases[] = {
      {"* 2", "CS_Scripting::PR_expression() = bad unary operator '*' in \"* 2\" expression"},
      {"1 = 2", "CS_Scripting::PR_expression() = unknown token '=' in \"1 = 2\" expression"},
      {"1 * / 2", "CS_Scripting::PR_expression() = error before \"/\""},
      {"1 2", "CS_Scripting::PR_expression(): error before \"2\""},
      {"1 'a'", "CS_Scripting::PR_expression(): error before \"'a'\""},
      {"1 (2)", "CS_Scripting::PR_expression() = error before \"(\""},
      {"(1 +)", "CS_Scriptingr::PR_expression() = error before \")\""},
      {"1 # 2", "CS_Scripting::PR_expression(): unknown token '#' in \"1 # 2\" expression"},
      {"nothing + 1", "CS_Scripting::PR_expression() = unknown token \"nothing\" in \"nothing + 1\" expression"},
      {"\"a\" \"b\" 1", "CS_Scripting::PR_expression(): error before \"1\""},
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
