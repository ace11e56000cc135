// Format: conversions from the value stack, its messages and bounds.
#include <gtest/gtest.h>

#include <string>

#include "cron_harness.h"

namespace cron_test {
namespace {

TEST(FormatTest, Conversions) {
  const struct {
    const char* call;
    const char* expected;
  } kCases[] = {
      {"cs.Format(\"%05.1f|%d|%s|%%\", 3.14159, 7, \"x\")", "003.1|7|x|%"},
      {"cs.Format(\"plain text\")", "plain text"},
      {"cs.Format(\"%x/%X/%o/%u/%i\", 255, 255, 8, 3, -4)", "ff/FF/10/3/-4"},
      {"cs.Format(\"[%c]\", 65)", "[A]"},
      // Flags, width and precision do not apply to texts.
      {"cs.Format(\"[%10.1s]\", \"abc\")", "[abc]"},
      // Values are used in order: the first value by the first conversion.
      {"cs.Format(\"%s-%s-%s\", \"a\", \"b\", \"c\")", "a-b-c"},
      // An int converted for a float conversion and back.
      {"cs.Format(\"%.1f %d\", 2, 2.9)", "2.0 2"},
      {"cs.Format(0)", ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(EvalText(c.call), c.expected) << c.call;
  }
}

TEST(FormatTest, UnknownConversionPopsNothingAndFailsTheCall) {
  // The value 1 is left on the stack: the call ends with the depth error.
  CronRun run = RunCron(std::string("int main() {\n") + kOpen + "cs.Format(\"%q\", 1);\nreturn 7; }");
  EXPECT_NE(run.result, 7);
  EXPECT_TRUE(Contains(run.diagnostics, "unknown format \"%q\" in \"%q\" string"))
      << run.diagnostics;
  EXPECT_TRUE(Contains(run.diagnostics, "depth of stack is not zero")) << run.diagnostics;
}

TEST(FormatTest, UnknownConversionWithoutValueIsSkipped) {
  CronRun run = RunCron(std::string("int main() {\n") + kOpen +
                        "cs.WriteLog(1, cs.Format(\"a%zb\"), \"T\");\nreturn 7; }");
  EXPECT_EQ(run.result, 7);
  ASSERT_EQ(run.records.size(), 1u);
  EXPECT_EQ(run.records[0].text, "ab");
  EXPECT_TRUE(Contains(run.diagnostics, "unknown format \"%z\" in \"a%zb\" string")) << run.diagnostics;
}

TEST(FormatTest, SpecRunningToTheEndEndsTheFormatting) {
  const struct {
    const char* format;
    const char* expected;
    const char* logged;
  } kCases[] = {
      {"abc%", "abc", "bad format \"%\" in \"abc%\" string"},
      {"x%05", "x", "bad format \"%05\" in \"x%05\" string"},
  };
  for (const auto& c : kCases) {
    CronRun run = RunCron(std::string("int main() {\n") + kOpen + "cs.WriteLog(1, cs.Format(\"" +
                          c.format + "\"), \"T\");\nreturn 7; }");
    ASSERT_EQ(run.records.size(), 1u) << c.format << run.diagnostics;
    EXPECT_EQ(run.records[0].text, c.expected);
    EXPECT_TRUE(Contains(run.diagnostics, c.logged)) << run.diagnostics;
  }
}

TEST(FormatTest, SpecLengthIsBounded) {
  // The spec is built in the script: source lines have their own bound.
  const struct {
    int zeros;
    const char* values;
    const char* expected;
  } kCases[] = {
      {static_cast<int>(CS_ScriptCommon::kMaxFormatSpecChars), ", 5", "<5>"},
      // One more makes the whole result "", before any value is taken.
      {static_cast<int>(CS_ScriptCommon::kMaxFormatSpecChars) + 1, "", ""},
  };
  for (const auto& c : kCases) {
    CronRun run = RunCron(std::string("int main() {\n") + kOpen +
                          "string spec = \"\"; for (int i = 0; i < " + std::to_string(c.zeros) +
                          "; i++) spec = spec + \"0\";\n"
                          "cs.WriteLog(1, cs.Format(\"<%\" + spec + \"d>\"" + c.values + "), \"T\"); return 1; }");
    ASSERT_EQ(run.records.size(), 1u) << run.diagnostics;
    EXPECT_EQ(run.records[0].text, c.expected) << c.zeros;
    EXPECT_EQ(run.result, 1) << run.diagnostics;
  }
}

TEST(FormatTest, WideFieldsAreCut) {
  std::string text = EvalText("cs.Format(\"%99999d|%.99999f\", 1, 1.0)");
  EXPECT_EQ(text.size(), 2 * CS_ScriptCommon::kMaxFormatFieldChars + 1);
  EXPECT_EQ(text.substr(CS_ScriptCommon::kMaxFormatFieldChars, 1), "|");
}

}  // namespace
}  // namespace cron_test
