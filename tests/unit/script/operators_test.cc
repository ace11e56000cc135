// Operator results by operand type, folded and at run time, the conversions, precedence and grouping.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "script/opcodes.h"
#include "script/wrapping_int.h"
#include "script_harness.h"

namespace script_test {
namespace {

struct OperatorCase {
  const char* left;
  const char* op;
  const char* right;
  const char* expected;  // MORE text, or an error message part
};

const OperatorCase kOperatorCases[] = {
    {"7", "/", "2", "float: 3.5\n"},
    {"7", "%", "2", "int: 1\n"},
    {"7.9", "%", "2", "int: 1\n"},
    {"\"n=\"", "+", "5", "string: \"n=5\"\n"},
    {"5", "+", "\"x\"", "string: \"5x\"\n"},
    {"1.5", "+", "\"x\"", "string: \"1.5x\"\n"},
    {"\"ab\"", "+", "\"cd\"", "string: \"abcd\"\n"},
    {"2", "+", "3", "int: 5\n"},
    {"2", "+", "0.5", "float: 2.5\n"},
    {"2", "-", "5", "int: -3\n"},
    {"1", "/", "0", "float: inf\n"},
    {"2147483647", "+", "1", "int: -2147483648\n"},
    {"65536", "*", "65536", "int: 0\n"},
    {"0.1 + 0.2", "==", "0.3", "int: 1\n"},
    {"1", "!=", "2", "int: 1\n"},
    {"\"abc\"", "<", "\"abd\"", "int: 1\n"},
    {"1", "<", "1.5", "int: 1\n"},
    {"2.5", ">", "2", "int: 1\n"},
    {"6", "&", "3", "int: 2\n"},
    {"6", "^", "3", "int: 5\n"},
    {"6.7", "^", "\"x\"", "int: 7\n"},
    {"1", "&&", "0", "int: 0\n"},
    {"0", "||", "2", "int: 1\n"},
    {"\"a\"", "==", "1", "bad operands"},
    {"\"a\"", "-", "1", "bad operands"},
    {"1.5", "&", "1", "bad operands"},
    {"5", "%", "0", "division by zero"},
    {"-2147483647 - 1", "%", "-1", "overflow"},
};

TEST(OperatorTest, FoldedAtLoadTime) {
  for (const OperatorCase& c : kOperatorCases) {
    std::string expression = std::string("(") + c.left + ") " + c.op + " (" + c.right + ")";
    EXPECT_TRUE(Contains(Eval(expression), c.expected)) << expression << " -> " << Eval(expression);
  }
}

TEST(OperatorTest, ComputedAtRunTime) {
  for (const OperatorCase& c : kOperatorCases) {
    // Variables keep the optimizer from folding.
    std::string prelude = std::string("void a; void b; int init() { a = ") + c.left + "; b = " + c.right +
                          "; return 0; }\n";
    std::string expression = std::string("a ") + c.op + " b";
    ASSERT_EQ(Eval("init() + 0", prelude), "int: 0\n") << prelude;  // the prelude alone
    std::string result = Eval(expression, prelude + "int dummy = init();\n");
    EXPECT_TRUE(Contains(result, c.expected)) << expression << " with " << c.left << ", " << c.right
                                              << " -> " << result;
  }
}

TEST(OperatorTest, UnaryOperators) {
  const struct {
    const char* expression;
    const char* expected;
  } kCases[] = {
      {"-5", "int: -5\n"},     {"-2.5", "float: -2.5\n"}, {"!0", "int: 1\n"},
      {"!\"\"", "int: 1\n"},   {"!\"0\"", "int: 0\n"},    {"!0.5", "int: 1\n"},
      {"+3", "int: 3\n"},      {"- -3", "int: 3\n"},      {"-\"a\"", "bad operands"},
  };
  for (const auto& c : kCases) {
    EXPECT_TRUE(Contains(Eval(c.expression), c.expected)) << c.expression << " -> " << Eval(c.expression);
  }
}

TEST(OperatorTest, IncrementsAndCompoundAssignments) {
  Harness h;
  ASSERT_EQ(h.LoadAndRun("int main() { string s = \"a\"; s++; Capture(s);"
                         " int i = 5; i--; i *= 3; i -= 2; i /= 2; Capture(i);"
                         " int m = 17; m %= 5; Capture(m); float f = 1.5; f += 1; Capture(f);"
                         " int w = 2147483647; w++; Capture(w); return 1; }"),
            1)
      << h.log;
  // "/" always gives a float.
  EXPECT_EQ(CapturedTexts(), (std::vector<std::string>{"string: \"a1\"\n", "float: 5\n", "int: 2\n", "float: 2.5\n",
                                                       "int: -2147483648\n"}));
}

// The executor's int shortcuts agree with the general rules for every operand type.
TEST(OperatorTest, ShortcutsAgreeWithTheGeneralRules) {
  const struct {
    const char* body;
    const char* expected;
  } kCases[] = {
      {"int x = 7; x = x - 1; Capture(x);", "int: 6\n"},
      {"float x = 7.5; x = x - 1; Capture(x);", "float: 6.5\n"},
      {"string x = \"a\"; x = x + 1; Capture(x);", "string: \"a1\"\n"},
      {"string x = \"ab\"; x = x + x; x = x + 0.5; Capture(x);", "string: \"abab0.5\"\n"},
      {"string x = \"a\", y = \"b\"; y = x + y; Capture(y);", "string: \"ab\"\n"},
      {"string x = \"a\"; pointer p; x = x + p;", "bad operands"},
      {"int x = 7; Capture(x % 4);", "int: 3\n"},
      {"int x = 7; Capture(x % 0);", "division by zero"},
      {"int x = -2147483647 - 1; Capture(x % -1);", "overflow"},
      {"int x = 3, y = 0; if (x > y) y = 1; Capture(y);", "int: 1\n"},
      {"float x = 0.5; int y = 0; if (x < 1) y = 2; Capture(y);", "int: 2\n"},
      {"string x = \"b\"; int y = 0; if (x > \"a\") y = 3; Capture(y);", "int: 3\n"},
      {"int n = 0; for (int i = 0; i < 10; i++) n = n + i * 2; Capture(n);", "int: 90\n"},
      {"int n = 2147483647; n = n + 1; Capture(n);", "int: -2147483648\n"},
      {"string x = \"a\"; Capture(x == 1);", "bad operands"},
  };
  for (const auto& c : kCases) {
    Harness h;
    int result = h.LoadAndRun(std::string("int main() { ") + c.body + " return 1; }");
    std::string got = result == 1 ? Harness::CapturedText() : h.log;
    EXPECT_TRUE(Contains(got, c.expected)) << c.body << " -> " << got;
  }
}

// Every comparison with a NaN is false (!= true): as a value, fused with a jump, either side.
TEST(OperatorTest, ComparisonsWithNaN) {
  const struct {
    const char* op;
    int opcode;
    int holds;
  } kCases[] = {{"==", cs_eq, 0}, {"!=", cs_ne, 1}, {"<", cs_lt, 0},
                {">", cs_gt, 0},  {"<=", cs_le, 0}, {">=", cs_ge, 0}};
  for (const auto& c : kCases) {
    for (const char* operands : {"n OP 1", "1 OP n", "n OP n", "n OP 1.5"}) {
      std::string comparison = operands;
      comparison.replace(comparison.find("OP"), 2, c.op);
      Harness h;
      const std::string source = "int main() { float z = 0; float n = z / z; int r = 0; Capture(" + comparison +
                                 "); if (" + comparison + ") r = r + 1; while (" + comparison +
                                 ") { r = r + 10; break; } for (int i = 0; " + comparison +
                                 "; i++) { r = r + 100; break; } Capture(r); return 1; }";
      ASSERT_EQ(h.LoadAndRun(source), 1) << comparison << h.log;
      EXPECT_EQ(CapturedInts(), (std::vector<int>{c.holds, c.holds * 111})) << comparison;
    }
    const Variable nan(std::nanf("")), one(1);
    EXPECT_EQ(CompareVariables(c.opcode, nan, one), c.holds != 0) << c.op;
    EXPECT_EQ(CompareVariables(c.opcode, one, nan), c.holds != 0) << c.op;
  }
}

TEST(OperatorTest, ConditionsUseTheIntConversion) {
  const struct {
    const char* condition;
    int expected;
  } kCases[] = {{"\"\"", 0}, {"\"0\"", 1}, {"0.5", 0}, {"1.5", 1}, {"0", 0}, {"-1", 1}};
  for (const auto& c : kCases) {
    Harness h;
    std::string source = std::string("void v; int main() { v = ") + c.condition + "; if (v) return 1; return 0; }";
    EXPECT_EQ(h.LoadAndRun(source), c.expected) << c.condition << h.log;
  }
}

TEST(OperatorTest, StringWithoutTextEqualsNothing) {
  Harness h;
  ASSERT_EQ(h.LoadAndRun("string s; int main() { Capture(s == \"\"); s = \"\"; Capture(s == \"\"); return 1; }"), 1)
      << h.log;
  EXPECT_EQ(CapturedInts(), (std::vector<int>{0, 1}));
}

TEST(OperatorTest, PointerComparesWithZero) {
  Harness h;
  ASSERT_EQ(h.LoadAndRun("pointer p; int main() { Capture(p == 0); Capture(0 != p); return 1; }"), 1) << h.log;
  EXPECT_EQ(CapturedInts(), (std::vector<int>{1, 0}));
}

// Truncation toward zero; NaN 0; saturation exactly where the int range ends.
TEST(VariableTest, FloatToInt) {
  const struct {
    double value;
    int expected;
  } kCases[] = {{2.9, 2},           {-2.9, -2},          {std::nan(""), 0},      {2147483520.0, 2147483520},
                {2147483647.9, INT_MAX}, {2147483648.0, INT_MAX}, {1e20, INT_MAX},   {-2147483648.9, INT_MIN},
                {-2147483904.0, INT_MIN}, {-1e20, INT_MIN},  {-INFINITY, INT_MIN}};
  for (const auto& c : kCases) EXPECT_EQ(FloatToInt(c.value), c.expected) << c.value;
  EXPECT_EQ(Variable(-2147483904.0f).toInt(), INT_MIN);
}

TEST(VariableTest, Conversions) {
  EXPECT_EQ(Variable("").toInt(), 0);
  EXPECT_EQ(Variable("x").toInt(), 1);
  EXPECT_EQ(Variable(0).toCString(), nullptr);
  EXPECT_EQ(Variable(0).toPointer(), nullptr);
  EXPECT_STREQ(Variable(3).getTypeName(), "int");
  EXPECT_STREQ(Variable().getTypeName(), "void");
  const struct {
    Variable value;
    int conversion;  // 0 int, 1 float, 2 text, 3 pointer
    const char* message;
  } kFailures[] = {
      {Variable(), 0, "can't convert to int"},
      {Variable("a"), 1, "can't convert"},
      {Variable(5), 2, "can't convert to const char*"},
      {Variable(5), 3, "can't convert"},
  };
  for (const auto& c : kFailures) {
    try {
      switch (c.conversion) {
        case 0: c.value.toInt(); break;
        case 1: c.value.toFloat(); break;
        case 2: c.value.toCString(); break;
        default: c.value.toPointer(); break;
      }
      ADD_FAILURE() << c.message;
    } catch (const ScriptError& e) {
      EXPECT_TRUE(Contains(e.message(), c.message)) << e.message();
    }
  }
  Variable v;
  try {
    v.setType(9);
    ADD_FAILURE();
  } catch (const ScriptError& e) {
    EXPECT_TRUE(Contains(e.message(), "unknown type of CS_Variable"));
  }
}

TEST(VariableTest, MoreText) {
  Variable s;
  s.setString(std::string("a\"\\\n\t\0b", 7));
  EXPECT_EQ(s.MoreText(), "string: \"a\\\"\\\\\\n\\t\\0b\"\n");
  Variable p;
  p.setPointer(nullptr);
  EXPECT_TRUE(Contains(p.MoreText(), "pointer: "));
}

// Precedence and grouping, checked through results.
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
