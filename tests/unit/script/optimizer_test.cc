// The optimizer, checked on the disassembly of small scripts, and the listing format.
#include <gtest/gtest.h>

#include "script_harness.h"

namespace script_test {
namespace {

// The listing of `source` without its cs_nop lines.
std::string Listing(const std::string& source, bool keep_nops = false) {
  Harness h;
  if (!h.Load(source)) return "LOAD FAILED: " + h.log;
  std::string text = h.interpreter.DisassemblyText();
  if (keep_nops) return text;
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start + 1);
    if (line != "cs_nop\n") out += line;
    start = end + 1;
  }
  return out;
}

TEST(OptimizerTest, FoldsConstants) {
  const struct {
    const char* source;
    const char* listing;
  } kCases[] = {
      {"int x = 2 * 3 + 1;", "cs_pushc    int: 7\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
      {"float x = sqrt(16.0);", "cs_pushc    float: 4\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
      {"int x = -(3);", "cs_pushc    int: -3\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
      {"int x = !0 + 1 < 3;", "cs_pushc    int: 1\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
      {"float x = 1 / 0;", "cs_pushc    float: inf\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
      {"string s = \"a\" + 1;", "cs_pushc    string: \"a1\"\ncs_popv     s\ncs_pushc    int: 0\ncs_ret\n"},
      {"int x = rand(6);",
       "cs_pushc    int: 6\ncs_callef   rand\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
  };
  for (size_t i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    EXPECT_EQ(Listing(kCases[i].source), kCases[i].listing) << kCases[i].source;
  }
  EXPECT_EQ(Listing("int y = 2; int x = y * 3 + 1;"),
            "cs_pushc    int: 2\ncs_popv     y\ncs_pushv    y\ncs_pushc    int: 3\ncs_mul\ncs_pushc    int: 1\n"
            "cs_add\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n");
}

TEST(OptimizerTest, FailingFoldFailsTheLoad) {
  Harness h;
  EXPECT_EQ(h.Load("int x = \"a\" - 1;"), 0);
  EXPECT_TRUE(Contains(h.log, "bad operands"));
  Harness g;
  EXPECT_EQ(g.Load("float x = sqrt(\"a\");"), 0);
  EXPECT_TRUE(Contains(g.log, "sqrt(): unknown type of operand\n"));
}

// == and != with cs_jz become the opposite compare-and-jump; an ordering
// stays (with a NaN "not <" is not ">="). Branches go the same way.
TEST(OptimizerTest, FusesComparisonAndBranch) {
  const struct {
    const char* condition;
    const char* code;  // in the listing
    int taken;         // bit k: taken for the k-th operand pair below
  } kCases[] = {
      {"a < b", "cs_lt\ncs_jz ", 0b001},  {"a > b", "cs_gt\ncs_jz ", 0b010},  {"a <= b", "cs_le\ncs_jz ", 0b101},
      {"a >= b", "cs_ge\ncs_jz ", 0b110}, {"a == b", "cs_jne ", 0b100},        {"a != b", "cs_jeq ", 0b011},
  };
  const char* kOperands[] = {"a = 1; b = 2.5;", "a = 2; b = 1;", "a = 2; b = 2;"};
  for (const auto& c : kCases) {
    const std::string condition = c.condition;
    EXPECT_TRUE(Contains(Listing("int a, b, r; if (" + condition + ") r = 1;"), c.code)) << condition;
    for (int k = 0; k < 3; ++k) {
      Harness h;
      const std::string source = std::string("void a; void b; int main() { ") + kOperands[k] + " int r = 0; if (" +
                                 condition + ") r = 1; return r; }";
      EXPECT_EQ(h.LoadAndRun(source), (c.taken >> k) & 1) << condition << " with " << kOperands[k] << h.log;
    }
  }
  Harness loop;  // cs_lt + cs_jnz become cs_jlt
  EXPECT_TRUE(Contains(Listing("int n; do n++; while (n < 5);"), "cs_jlt "));
  EXPECT_EQ(loop.LoadAndRun("int main() { int n = 0; do n++; while (n < 5); return n; }"), 5) << loop.log;
}

TEST(OptimizerTest, CompactsFunctionBodies) {
  // The body loses the nops of 2 * 3 and its loop still jumps right.
  const char* source =
      "int f(int n) { int s = 0; while (n > 0) { s = s + 2 * 3; n--; } return s; }"
      "int main() { return f(4); }";
  const std::string listing = Listing(source, true);
  const std::string body = listing.substr(0, listing.find("cs_ret"));
  EXPECT_TRUE(Contains(body, "cs_pushc    int: 6\ncs_add\n")) << listing;
  EXPECT_FALSE(Contains(body, "cs_nop")) << listing;
  Harness h;
  EXPECT_EQ(h.LoadAndRun(source), 24) << h.log;
}

TEST(OptimizerTest, ListingNamesEveryOperandKind) {
  struct Obj {
    int M() { return 1; }
  };
  Harness h;
  auto* cls = new ExternClass<Obj>();
  cls->addMethod("M", &Obj::M);
  h.interpreter.addExternClass("Obj", cls);
  int value = 3;
  h.interpreter.addExternVariable("$v", new ExternVariable<int>(&value));
  ASSERT_EQ(h.Load("int a[2]; int b[2]; string m[]; Obj o = new Obj(); int f() { return 1; }"
                   "int main() { b = a; a[0] = $v; a[1]++; o.M(); delete o; return f(); }"),
            1)
      << h.log;
  std::string listing = h.interpreter.DisassemblyText();
  const char* kLines[] = {"cs_callac   a\n", "cs_callecc  o\n", "cs_pusha    a[]\n", "cs_popa     b[]\n",
                          "cs_pushev   $v\n", "cs_popav    a[]\n", "cs_copy\n", "cs_pushav   a[]\n",
                          "cs_inc\n", "cs_swap\n", "cs_callecf  o->M\n", "cs_pop\n", "cs_callecd  o\n",
                          "cs_callf    f\n", "cs_ret\n"};
  for (const char* line : kLines) EXPECT_TRUE(Contains(listing, line)) << line << listing;
  h.interpreter.disassemble();
  EXPECT_TRUE(Contains(h.interpreter.BuildAllLog(), "cs_callecf  o->M\n"));
}

}  // namespace
}  // namespace script_test
