// The common script functions through a test kind on CS_ScriptCommon and through the cron kind.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "cron_harness.h"
#include "script/externs.h"
#include "scriptlib/common_functions.h"

namespace cron_test {
namespace {

// A host with every context a kind can give, under the test's control.
class FakeHost : public ScriptHost {
 public:
  Interpreter* ScriptInterpreter() override { return &interpreter; }
  void QueueLog(int level, const char* text, const char* category) override {
    records.push_back({level, text, category, ""});
  }
  const char* DefaultLogCategory() const override { return "SCRIPT"; }
  CFileINI* Configuration() override { return config; }
  CS_Torvane_kernel* PersistentObjects() override { return &kernel; }
  ScriptGlobalVariables* GlobalVariables() override { return &globals; }
  void EndWorkUnit() override { ++work_units_ended; }

  Interpreter interpreter;
  CFileINI* config = nullptr;
  CS_Torvane_kernel kernel;
  ScriptGlobalVariables globals;
  std::vector<LogRecord> records;
  int work_units_ended = 0;
};

// A script kind that adds nothing to the common set.
class TestScript : public CS_ScriptCommon {
 public:
  explicit TestScript(FakeHost* host) : CS_ScriptCommon(host) {}
};

// Compiles and runs `body` as main of a TestScript kind on `host`.
int RunTestKind(FakeHost* host, const std::string& body, std::string* diagnostics = nullptr) {
  auto* cls = new ExternClass<TestScript, FakeHost*>(nullptr);
  RegisterCommonFunctions(cls);
  host->interpreter.addExternClass("TEST_SCRIPT", cls);
  static FakeHost* current;
  current = host;
  host->interpreter.addExternVariable("$_this", new ExternVariable<FakeHost*>(&current));
  std::string source = "int main() { TEST_SCRIPT cs = new TEST_SCRIPT($_this);\n" + body + "\n}";
  int result = host->interpreter.loadbyram(source.c_str()) ? host->interpreter.run("main") : -999;
  if (diagnostics != nullptr) *diagnostics = host->interpreter.BuildAllLog();
  return result;
}

TEST(ScriptCommonTest, WriteLogCategoryDefaults) {
  FakeHost host;
  ASSERT_EQ(RunTestKind(&host, "cs.WriteLog(2, \"a\", 0); cs.WriteLog(3, \"b\", \"\");"
                               "cs.WriteLog(1, \"c\", \"FIREWALL\"); cs.WriteLog(1, 0, \"X\"); return 1;"),
            1);
  ASSERT_EQ(host.records.size(), 3u) << "a null text logs nothing";
  const LogRecord kExpected[] = {{2, "a", "SCRIPT", ""}, {3, "b", "SCRIPT", ""}, {1, "c", "FIREWALL", ""}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(host.records[i].level, kExpected[i].level);
    EXPECT_EQ(host.records[i].text, kExpected[i].text);
    EXPECT_EQ(host.records[i].category, kExpected[i].category);
  }
}

TEST(ScriptCommonTest, GetConfigSearchesEverySection) {
  CFileINI ini;
  ASSERT_TRUE(ini.LoadBuffer("[A]\r\nfirst=1\r\n[B]\r\nsecond=two\r\nempty=\r\n"));
  FakeHost host;
  host.config = &ini;
  EXPECT_EQ(RunTestKind(&host,
                        "return (cs.GetConfig(\"second\") == \"two\") + 2 * (cs.GetConfig(\"first\") == \"1\")"
                        " + 4 * (cs.GetConfig(\"none\", \"dflt\") == \"dflt\") + 8 * (cs.GetConfig(\"none\") == \"\")"
                        " + 16 * (cs.GetConfig(\"empty\", \"d\") == \"\");"),
            31);
  FakeHost bare;
  EXPECT_EQ(RunTestKind(&bare, "return cs.GetConfig(\"second\", \"d\") == \"\";"), 1)
      << "no configuration gives \"\"";
}

TEST(ScriptCommonTest, GlobalVariablesOnlyForRegisteredNames) {
  FakeHost host;
  ASSERT_EQ(RunTestKind(&host, "cs.RegisterGlobalVariable(\"mode\"); cs.SetGlobalVariable(\"mode\", \"strict\");"
                               "cs.SetGlobalVariable(\"other\", \"x\"); return 1;"),
            1);
  ASSERT_NE(host.globals.Get("mode"), nullptr);
  EXPECT_EQ(*host.globals.Get("mode"), "strict");
  EXPECT_EQ(host.globals.Get("other"), nullptr);
  EXPECT_EQ(host.globals.TakeChanges(), (std::map<std::string, std::string>{{"mode", "strict"}}));
  EXPECT_TRUE(host.globals.TakeChanges().empty()) << "changes are handed over once";
}

TEST(ScriptCommonTest, ExitStopsTheScriptAndEndsTheWorkUnit) {
  FakeHost host;
  EXPECT_EQ(RunTestKind(&host, "cs.Exit(); cs.WriteLog(1, \"after\", 0); return 5;"), 0);
  EXPECT_TRUE(host.records.empty());
  EXPECT_EQ(host.work_units_ended, 1);
}

TEST(ScriptCommonTest, PrintHonoursOnlyDoublePercent) {
  FakeHost host;
  testing::internal::CaptureStdout();
  RunTestKind(&host, "cs.Print(\"100%% %d %s\\n\"); return 1;");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "100% %d %s\n");
}

TEST(ScriptCommonTest, PersistentObjectsThroughScripts) {
  CS_Torvane_kernel kernel;
  CronContext context{.kernel = &kernel};
  CronRun run = RunCron(std::string("int main() {\n") + kOpen +
                            "CS_Flag f = cs.CreatePersistentOBJ(\"shared\", \"CS_Flag\"); f.SetInt(41);\n"
                            "CS_Flag again = cs.CreatePersistentOBJ(\"shared\", \"CS_Flag\");\n"
                            "CS_Flag found = cs.GetPersistentOBJ(\"shared\", \"CS_Flag\");\n"
                            "return again.GetInt() + found.GetInt(); }",
                        context);
  EXPECT_EQ(run.result, 82) << run.diagnostics;
  EXPECT_EQ(kernel.GetCount(), 1);
  run = RunCron(std::string("int main() {\n") + kOpen + "cs.DeletePersistentOBJ(\"shared\"); return 1; }", context);
  EXPECT_EQ(run.result, 1) << run.diagnostics;
  EXPECT_EQ(kernel.GetCount(), 0);
}

// The matching rules are CREeq's; here, that a script reaches its groups.
TEST(ScriptCommonTest, CapturesOfTheLastREeq) {
  EXPECT_EQ(EvalText("\"\" + cs.REeq(\"abc\", \"(B)(C)\", 1) + cs.$1() + cs.$2() + cs.$3()"), "1bc");
  EXPECT_EQ(EvalText("\"\" + cs.REeq(\"a1b2c3d4e5\", \"(\\\\d)\\\\D(\\\\d)\\\\D(\\\\d)\\\\D(\\\\d)\\\\D(\\\\d)\") + cs.$4() + cs.$5()"), "145");
}

// A script's CS_Buffer feeds the MD5 stream only the bytes it holds.
TEST(ScriptCommonTest, MD5StreamOverABuffer) {
  CronRun run = RunCron(std::string("int main() {\n") + kOpen + "CS_Buffer b = new CS_Buffer();\n" +
                        "cs.MD5StartStream(); b.Write(\"abc\", 3); cs.MD5UpdateStreamB(b, 30000);\n"
                        "cs.WriteLog(1, cs.MD5FinalStream(), \"T\"); delete b; return 1; }");
  ASSERT_EQ(run.records.size(), 1u) << run.diagnostics;
  EXPECT_EQ(run.records[0].text, "900150983cd24fb0d6963f7d28e17f72");  // MD5 of "abc"
}

}  // namespace
}  // namespace cron_test
