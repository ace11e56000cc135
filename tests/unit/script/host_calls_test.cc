// The host call interface: typed run, isExist, errors and the state after a failed call.
#include <gtest/gtest.h>

#include "script_harness.h"

namespace script_test {
namespace {

const char kScript[] =
    "int OnHelo(string a, string b) { Capture(a); Capture(b); return 3; }"
    "int Mix(int i, float f, string s) { Capture(i); Capture(f); Capture(s); return i * 2; }"
    "int Arr(int a[]) { return 0; }"
    "float Half() { return 7.9; }"
    "int Bad() { int zero = 0; return 1 % zero; }";

TEST(HostCallTest, TypedArguments) {
  Harness h;
  ASSERT_EQ(h.Load(kScript), 1) << h.log;
  EXPECT_EQ(h.interpreter.run("OnHelo", "string,string", "mx.example", "helo"), 3);
  EXPECT_EQ(CapturedTexts(), (std::vector<std::string>{"string: \"mx.example\"\n", "string: \"helo\"\n"}));
  Captured().clear();
  int i = 21;
  float f = 1.5f;
  EXPECT_EQ(h.interpreter.run("Mix", "int,float,string", &i, &f, "z"), 42);
  ASSERT_EQ(Captured().size(), 3u);
  EXPECT_EQ(Captured()[1].MoreText(), "float: 1.5\n");
  Captured().clear();
  EXPECT_EQ(h.interpreter.run("Mix", "int,float,string", nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(Contains(h.interpreter.BuildAllLog(), "bad operands"));
  ASSERT_EQ(Captured().size(), 3u);
  EXPECT_EQ(Captured()[0].MoreText(), "void\n");  // null passes void
  EXPECT_EQ(h.interpreter.run("Half"), 7);        // result converted to int
  EXPECT_EQ(h.interpreter.isExist("OnHelo"), 1);
  EXPECT_EQ(h.interpreter.isExist("Nope"), 0);
}

TEST(HostCallTest, Errors) {
  const struct {
    const char* name;
    const char* types;
    const char* message;
  } kCases[] = {
      {"OnHelo", "string", "bad arguments for \"OnHelo\" function"},
      {"OnHelo", "string,int", "bad arguments for \"OnHelo\" function"},
      {"OnHelo", "string,string,int", "too many arguments"},
      {"OnHelo", nullptr, "args is NULL"},
      {"Nope", "", "can't find \"Nope\" function"},
      {"Arr", "int", "unknown type of argument 0 in \"Arr\" function"},
      {"Bad", "", "division by zero"},
  };
  for (const auto& c : kCases) {
    Harness h;
    ASSERT_EQ(h.Load(kScript), 1);
    h.interpreter.SetGoodScript(0);
    EXPECT_EQ(h.interpreter.run(c.name, c.types, "a", "b", nullptr), 0) << c.name;
    EXPECT_TRUE(Contains(h.interpreter.BuildAllLog(), c.message)) << c.name << " " << (c.types ? c.types : "");
    EXPECT_EQ(h.interpreter.StackDepth(), 0);
    EXPECT_EQ(h.interpreter.IsGoodScript(), 1);
  }
  Harness h;
  ASSERT_EQ(h.Load(kScript), 1);
  EXPECT_EQ(h.interpreter.run("OnHelo"), 0);
  EXPECT_TRUE(Contains(h.interpreter.BuildAllLog(),
                       "you must specify function arguments\"OnHelo\""));
}

TEST(HostCallTest, BuildAllLogEmptiesTheQueue) {
  Harness h;
  ASSERT_EQ(h.Load(kScript), 1);
  EXPECT_STREQ(h.interpreter.BuildAllLog(), "");
  h.interpreter.run("Bad");
  EXPECT_STRNE(h.interpreter.BuildAllLog(), "");
  EXPECT_STREQ(h.interpreter.BuildAllLog(), "");
}

TEST(HostCallTest, LogSinkReceivesMessages) {
  struct Sink : ScriptLog {
    void Write(int level, const char* category, const char* text) override {
      lines.push_back(std::to_string(level) + " " + category + " " + text);
    }
    std::vector<std::string> lines;
  } sink;
  Harness h;
  h.interpreter.SetLog(&sink);
  ASSERT_EQ(h.Load(kScript), 1);
  h.interpreter.run("Bad");
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_TRUE(sink.lines[0].rfind("1 SCRIPT ", 0) == 0 && Contains(sink.lines[0], "division by zero")) << sink.lines[0];
}

TEST(HostCallTest, DepthOfStackMustBeZero) {
  struct Leaky {
    // Declares "..." but takes none of the extra values.
    static int Take(int) { return 0; }
  };
  Harness h;
  addFunction(&h.interpreter, "Take", &Leaky::Take, ",...");
  ASSERT_EQ(h.Load("int main() { Take(1, 2, 3); return 1; }"), 1) << h.log;
  EXPECT_EQ(h.Run(), 0);
  EXPECT_TRUE(Contains(h.log, "depth of stack is not zero"));
}

}  // namespace
}  // namespace script_test
