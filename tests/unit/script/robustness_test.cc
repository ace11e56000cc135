// Limits on hostile input give an error, not a fault (broken texts: the script fuzz corpus).
#include <gtest/gtest.h>

#include "script_harness.h"

namespace script_test {
namespace {

std::string Repeat(const std::string& part, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += part;
  return out;
}

// One depth guard for statements and one for expressions (indexes and calls go through it too).
TEST(RobustnessTest, DeepNestingIsRefused) {
  const std::string kSources[] = {
      "int x = " + Repeat("(", 10000) + "1" + Repeat(")", 10000) + ";",
      "int main() " + Repeat("{", 10000) + Repeat("}", 10000),
  };
  for (const std::string& source : kSources) {
    Harness h;
    EXPECT_EQ(h.Load(source), 0) << source.substr(0, 60);
    EXPECT_FALSE(h.log.empty());
  }
}

TEST(RobustnessTest, OverlongStatementAndMiscMessages) {
  Harness h;
  EXPECT_EQ(h.Load("int a[1]; if (1) a = {" + Repeat("1,", 600000) + "1};"), 0);
  EXPECT_TRUE(Contains(h.log, "buffer overflow")) << h.log.substr(0, 200);
  Harness g;
  EXPECT_EQ(g.Load("int f() { return 1; } f 1;"), 0);
  EXPECT_TRUE(Contains(g.log, "bad '1' symbol expecting '('")) << g.log;
}

TEST(RobustnessTest, ModerateNestingWorks) {
  Harness h;
  EXPECT_EQ(h.LoadAndRun("int main() { return " + Repeat("(", 100) + "7" + Repeat(")", 100) + "; }"), 7) << h.log;
  Harness g;
  EXPECT_EQ(g.LoadAndRun("int main() " + Repeat("{", 60) + "return 3;" + Repeat("}", 60)), 3) << g.log;
}

TEST(RobustnessTest, StackIsEmptyAfterEveryFailure) {
  const char* kBodies[] = {"string t = \"a\"; return 1 + t * 2;", "int a[1]; return a[5];", "string m[]; return m[1];",
                           "int z = 0; return 5 % z;", "return rand(0);", "string t = \"x\"; return float(t);"};
  for (const char* body : kBodies) {
    Harness h;
    ASSERT_EQ(h.Load(std::string("int main() { int x = 1 + 2; ") + body + " }"), 1) << body << h.log;
    EXPECT_EQ(h.Run(), 0) << body;
    EXPECT_FALSE(h.log.empty()) << body;
    EXPECT_EQ(h.interpreter.StackDepth(), 0) << body;
  }
}

TEST(RobustnessTest, BuiltinMessages) {
  // The math functions share one argument check; rand has its own.
  for (const char* name : {"sin", "rand"}) {
    Harness h;
    ASSERT_EQ(h.Load(std::string("string s = \"x\"; int main() { return ") + name + "(s); }"), 1);
    EXPECT_EQ(h.Run(), 0);
    EXPECT_TRUE(Contains(h.log, std::string(name) + "(): unknown type of operand\n")) << name << h.log;
  }
  EXPECT_TRUE(Contains(Eval("pow(\"a\", 1.0)"), "pow(): unknown type of operand\n"));
  EXPECT_TRUE(Contains(Eval("rand(z)", "int z = 0;"), "rand(): range is zero\n"));
  EXPECT_EQ(Eval("floor(2.7)", "float q = 1;"), "float: 2\n");
  EXPECT_EQ(Eval("rcp(4)"), "float: 0.25\n");
  EXPECT_EQ(Eval("rsq(4)"), "float: 0.5\n");
  EXPECT_EQ(Eval("fabs(-2)"), "float: 2\n");
  EXPECT_EQ(Eval("string(\"s\")"), "string: \"s\"\n");
  EXPECT_EQ(Eval("string(0)"), "string: \"\"\n");
  EXPECT_EQ(Eval("float(3)"), "float: 3\n");
  const std::string r = Eval("rand(n)", "int n = 3;");
  EXPECT_TRUE(r == "int: 1\n" || r == "int: 2\n" || r == "int: 3\n") << r;
  EXPECT_TRUE(Contains(Eval("rand(n)", "float n = 2.5;"), "float: "));
}

TEST(RobustnessTest, MorePrintsToStandardOutput) {
  testing::internal::CaptureStdout();
  Harness h;
  ASSERT_EQ(h.LoadAndRun("int main() { MORE(5); MORE(\"a\\tb\"); MORE(1.5); return 1; }"), 1) << h.log;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "int: 5\nstring: \"a\\tb\"\nfloat: 1.5\n");
}

}  // namespace
}  // namespace script_test
