// The optimizer, checked on the disassembly of small scripts, and the
// listing format itself.
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
      {"float x = pow(2, 10.0);", "cs_pushc    float: 1024\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
      {"int x = -(3);", "cs_pushc    int: -3\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
      {"int x = !0 + 1 < 3;", "cs_pushc    int: 1\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
      {"float x = 1 / 0;", "cs_pushc    float: inf\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
      {"string s = \"a\" + 1;", "cs_pushc    string: \"a1\"\ncs_popv     s\ncs_pushc    int: 0\ncs_ret\n"},
      {"int x = int(2.7) + int(\"x\");", "cs_pushc    int: 3\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n"},
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

TEST(OptimizerTest, FoldingKeepsTopLevelNops) {
  EXPECT_EQ(Listing("int x = 2 * 3;", true),
            "cs_pushc    int: 6\ncs_nop\ncs_nop\ncs_nop\ncs_popv     x\ncs_pushc    int: 0\ncs_ret\n");
}

TEST(OptimizerTest, FailingFoldFailsTheLoad) {
  Harness h;
  EXPECT_EQ(h.Load("int x = \"a\" - 1;"), 0);
  EXPECT_TRUE(Contains(h.log, "CS_Variable::operator-(): bad operands"));
  Harness g;
  EXPECT_EQ(g.Load("float x = sqrt(\"a\");"), 0);
  EXPECT_TRUE(Contains(g.log, "sqrt(): unknown type of operand\n"));
}

TEST(OptimizerTest, FusesComparisonAndBranch) {
  const struct {
    const char* condition;
    const char* fused;
  } kCases[] = {
      {"a < b", "cs_jge      "}, {"a > b", "cs_vjle     "}, {"a <= b", "cs_jgt      "},
      {"a >= b", "cs_jlt      "}, {"a == b", "cs_jne      "}, {"a != b", "cs_jeq      "},
  };
  for (const auto& c : kCases) {
    std::string listing = Listing(std::string("int a, b, r; if (") + c.condition + ") r = 1;");
    EXPECT_TRUE(Contains(listing, std::string("cs_pushv    a\ncs_pushv    b\n") + c.fused)) << c.condition << "\n"
                                                                                            << listing;
  }
  std::string loop = Listing("int n; do n++; while (n < 5);");
  EXPECT_TRUE(Contains(loop, "cs_jlt      0x00000000\n")) << loop;  // cs_lt + cs_jnz
}

TEST(OptimizerTest, CompactsFunctionBodies) {
  // The body lost the nops of 2 * 3 and of the fused branch; its loop still
  // jumps to the right places.
  const char* source =
      "int f(int n) { int s = 0; while (n > 0) { s = s + 2 * 3; n--; } return s; }"
      "int main() { return f(4); }";
  std::string listing = Listing(source, true);
  EXPECT_EQ(listing.substr(0, listing.find("cs_jmp", 10)),
            "cs_jmp      0x00000023\n"  // the body end is unchanged; nops fill the tail
            "cs_popv     n\n"
            "cs_pushc    int: 0\n"
            "cs_popv     s\n"
            "cs_pushv    n\n"
            "cs_pushc    int: 0\n"
            "cs_vjle     0x00000019\n"  // word 25: the pushv s after the loop
            "cs_pushv    s\n"
            "cs_pushc    int: 6\n"
            "cs_add\n"
            "cs_popv     s\n"
            "cs_decv     n\n")
      << listing;
  EXPECT_TRUE(Contains(listing, "cs_decv     n\ncs_jmp      0x00000008\n")) << listing;  // back to the test
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

TEST(OptimizerTest, EmptyProgram) {
  Interpreter in;
  EXPECT_EQ(in.DisassemblyText(), "");
  EXPECT_TRUE(Contains(in.BuildAllLog(), "CS_Scripting::disassemble() = empty program"));
}

}  // namespace
}  // namespace script_test
