// Declarations, initial values, scopes and name lookup.
#include <gtest/gtest.h>

#include "script/namespace.h"
#include "script/script_error.h"
#include "script_harness.h"

namespace script_test {
namespace {

TEST(DeclarationTest, InitialValuesAndLists) {
  Harness h;
  ASSERT_EQ(h.LoadAndRun("int x = 1, y, z = x + 1; float f; string s; pointer p; void v;"
                         "int main() { Capture(x); Capture(y); Capture(z); Capture(f); Capture(s);"
                         " Capture(p); Capture(v); return 1; }"),
            1)
      << h.log;
  EXPECT_EQ(CapturedTexts(), (std::vector<std::string>{"int: 1\n", "int: 0\n", "int: 2\n", "float: 0\n",
                                                       "string: \"\"\n", "pointer: (nil)\n", "void\n"}));
}

TEST(DeclarationTest, TypesAreDynamic) {
  EXPECT_EQ(Eval("x", "int x = \"text\";"), "string: \"text\"\n");
  EXPECT_EQ(Eval("x", "string x = 2.5;"), "float: 2.5\n");
}

TEST(DeclarationTest, InitialiserCannotSeeTheNewName) {
  Harness h;
  EXPECT_EQ(h.Load("int main() { int q = q + 1; return q; }"), 0);
  EXPECT_TRUE(Contains(h.log, "unknown token \"q\" in \"q + 1\" expression")) << h.log;
}

// A sibling block may declare the name again.
TEST(DeclarationTest, ScopesHideAndRestore) {
  Harness h;
  ASSERT_EQ(h.LoadAndRun("int x = 1; int main() { int x = 2; { int x = 3; Capture(x); Capture(::x); }"
                         " if (1) { int x = 5; } Capture(x); return 1; }"),
            1)
      << h.log;
  EXPECT_EQ(CapturedInts(), (std::vector<int>{3, 1, 2}));
}

TEST(DeclarationTest, GlobalsKeepTheirValuesBetweenCalls) {
  Harness h;
  ASSERT_EQ(h.Load("int n = 10; int main() { n++; return n; }"), 1);
  EXPECT_EQ(h.Run(), 11);
  EXPECT_EQ(h.Run(), 12);
  h.interpreter.Reset();
  EXPECT_EQ(h.Run(), 11);
}

// Every table goes through one room check; shown on two of them.
TEST(DeclarationTest, TablesHoldAtMost64kItems) {
  for (const bool functions : {false, true}) {
    NameSpace ns(1, nullptr);
    auto add = [&](int i) {
      const std::string name = "n" + std::to_string(i);
      return functions ? ns.AddFunction(name, "int") : ns.AddVariable(name, Variable::kInt);
    };
    for (int i = 0; i < kMaxNamespaceItems; ++i) ASSERT_EQ(add(i), (1 << 16) | i);
    const char* message = functions ? "maximum function count per namespace is 64k"
                                    : "maximum variable count per namespace is 64k";
    try {
      add(kMaxNamespaceItems);
      ADD_FAILURE() << message;
    } catch (const ScriptError& e) {
      EXPECT_TRUE(Contains(e.message(), message)) << e.message();
    }
  }
}

}  // namespace
}  // namespace script_test
