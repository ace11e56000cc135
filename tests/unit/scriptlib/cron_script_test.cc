// The cron script kind: management functions with and without context, WriteLog, RunScript.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "base/utility.h"
#include "engines/auto_white_list.h"
#include "engines/greylist.h"
#include "common/app_directory.h"
#include "common/scratch_dir.h"
#include "engines/ban_list.h"
#include "engines/helo_forgery.h"
#include "cron_harness.h"

namespace cron_test {
namespace {

TEST(CronScriptTest, ManagementFunctionsWithoutContextGiveEmptyResults) {
  // One row per context accessor every function goes through, plus RunScript's own.
  const char* const kTrueWithoutContext[] = {
      "cs.GetConfigToArray(list) == 0",
      "cs.DNS_Resolve(\"localhost\") == \"\"",
      "cs.InsertDomain(\"example.org\") == -1",
      "cs.SetHeloRefresh() == 0",
      "cs.DCTest(\"x\") == 0",
      "cs.GetDBPhishingDate() == \"\"",
      "cs.RunScript(0) == -1",
  };
  for (const char* check : kTrueWithoutContext) {
    CronRun run = RunCron(std::string("int main() {\n") + kOpen + "HashArray list = new HashArray();\n" +
                          "cs.SaveConfig(); cs.SetConfig(\"A\", \"k\", \"v\"); cs.ViewGreyListDB(list);"
                          " cs.ViewALWLDB(list, 5); cs.AddALWL(\"a\", \"b\"); cs.LoadALWL(); cs.SaveDomains();"
                          " cs.LoadDBPhishing(); cs.DCGetServer(list); cs.ViewPhishingDB(list);\n"
                          "return " + check + "; }");
    EXPECT_EQ(run.result, 1) << check << "\n" << run.diagnostics;
  }
}

TEST(CronScriptTest, ConfigurationFunctionsEditTheConfiguration) {
  CConfig config;
  ASSERT_TRUE(config.LoadBuffer("[CONFIG]\r\nloglevel=3\r\n[DNS]\r\nnameserver_0=127.0.0.1\r\n"));
  CronContext context{.config = &config};
  CronRun run = RunCron(std::string("int main() {\n") + kOpen +
                            "int ok = cs.GetConfig(\"loglevel\") == \"3\";\n"
                            "ok += 2 * (cs.GetConfig(\"loglevel\", \"DNS\") == \"\");\n"
                            "cs.SetConfig(\"NEW\", \"key\", \"value\");\n"
                            "ok += 4 * (cs.GetConfig(\"key\", \"NEW\") == \"value\");\n"
                            "cs.DeleteFromConfig(\"CONFIG\", \"loglevel\");\n"
                            "ok += 8 * (cs.GetConfig(\"loglevel\") == \"\");\n"
                            "HashArray dns = new HashArray();\n"
                            "ok += 16 * (cs.GetConfigToArray(dns, \"DNS\") == 1);\n"
                            "ok += 32 * (dns.GetRecordCount() == 1 && dns.GetS(\"nameserver_0\") == \"127.0.0.1\");\n"
                            "return ok; }",
                        context);
  EXPECT_EQ(run.result, 63) << run.diagnostics;
}

TEST(CronScriptTest, RebootRequests) {
  const struct {
    int level_before;
    const char* calls;
    bool reboot;
    int level_after;
  } kCases[] = {
      {-1, "cs.SetRebootConfig(1);", true, 0},
      {2, "cs.SetRebootConfig(1);", true, 2},
      {2, "cs.SetRebootConfig(0);", false, -1},
      {-3, "cs.SetRebootConfig(0);", false, -3},
      {0, "cs.SetLevelReBootConfig(4);", false, 4},
  };
  for (const auto& c : kCases) {
    CConfig config;
    config.SetLevelReboot(c.level_before);
    CronContext context{.config = &config};
    CronRun run = RunCron(std::string("int main() {\n") + kOpen + c.calls + " return 1; }", context);
    EXPECT_EQ(run.result, 1) << run.diagnostics;
    EXPECT_EQ(config.IsToReboot(), c.reboot) << c.calls << " from " << c.level_before;
    EXPECT_EQ(config.GetLevelReboot(), c.level_after) << c.calls << " from " << c.level_before;
  }
}

// The category rules are the common WriteLog's (common_functions_test).
TEST(CronScriptTest, WriteLogGoesToTheInstanceBuffer) {
  CronRun run = RunCron(std::string("int main() {\n") + kOpen + "cs.WriteLog(2, \"refreshed\", 0); return 1; }");
  ASSERT_EQ(run.records.size(), 1u) << run.diagnostics;
  EXPECT_EQ(run.records[0].level, 2);
  EXPECT_EQ(run.records[0].text, "refreshed");
  EXPECT_EQ(run.records[0].category, "CRON");
  EXPECT_TRUE(std::regex_match(run.records[0].source, std::regex("file\\d+\\.cs")))  // the script's file name
      << run.records[0].source;
}

TEST(CronScriptTest, RunScriptRunsAnotherCronScript) {
  TempAppDirectory dir("scripts/cron");
  dir.Write("child.cs", std::string("int main() {\n") + kOpen + "cs.WriteLog(1, \"child ran\", 0); return 42; }");
  dir.Write("self.cs", std::string("int main() {\n") + kOpen + "return cs.RunScript(\"self.cs\"); }");
  dir.Write("nomain.cs", "int helper() { return 1; }");
  const struct {
    const char* name;
    int expected;
  } kCases[] = {
      {"child.cs", 42},
      {"../cron/child.cs", -1},  // cleaned to "cronchild.cs": the path cannot climb out
      {"~/child.cs", 42},
      {"missing.cs", -1},
      {"nomain.cs", -1},
      {"self.cs", -1},  // recursion ends at the nesting limit
  };
  for (const auto& c : kCases) {
    CronRun run = RunCron(std::string("int main() {\n") + kOpen + "return cs.RunScript(\"" + c.name + "\"); }");
    EXPECT_EQ(run.result, c.expected) << c.name << "\n" << run.diagnostics;
  }
  CronRun run = RunCron(std::string("int main() {\n") + kOpen + "return cs.RunScript(\"child.cs\"); }");
  ASSERT_EQ(run.records.size(), 1u);
  EXPECT_EQ(run.records[0].text, "child ran");
  EXPECT_EQ(run.records[0].source, "child.cs");
}

// Given the core's greylist and white list, the cron functions use them.
TEST(CronScriptTest, WhiteListAndGreylistFunctionsReachTheEngines) {
  TempAppDirectory dir("scripts/cron");
  CGreyList grey_list;
  CAutoLightWhiteList alwl;
  String triples;
  grey_list.AddGreyList(grey_list.PrepareTriples(&triples, "b@l.test c@l.test", "192.0.2.1", "a@far.test", "", ""),
                        nullptr);
  alwl.AddALWL("me@l.test", "z@far.test");
  ASSERT_EQ(alwl.Save(), 1);
  CronContext context{.grey_list = &grey_list, .alwl = &alwl};
  CronRun run = RunCron(std::string("int main() {\n") + kOpen +
                            "HashArray list = new HashArray();\n"
                            "cs.AddALWL(\"me@l.test\", \"x@far.test y@far.test\");\n"
                            "int found = cs.IsALWL(\"X@far.test\", \"me@l.test\") + 10 * cs.IsALWL(\"me@l.test\", \"x@far.test\");\n"
                            "int pairs = cs.ViewALWLDB(list) * list.GetRecordCount();\n"
                            "list.Reset();\n"
                            "int triples = cs.ViewGreyListDB(list, 1) * list.GetRecordCount();\n"
                            "cs.LoadALWL();\n"
                            "return found * 1000 + pairs * 100 + triples * 10 + cs.IsALWL(\"x@far.test\", \"me@l.test\")"
                            " + 2 * cs.IsALWL(\"z@far.test\", \"me@l.test\"); }",
                        context);
  // LoadALWL goes back to the file, which holds only the pair saved before.
  EXPECT_EQ(run.result, 1 * 1000 + 3 * 100 + 1 * 10 + 2) << run.diagnostics;
}

// The daemon's ban list and own-names table reach a job; SetHeloRefresh rebuilds the names.
TEST(CronScriptTest, EnginesOfTheCore) {
  TempAppDirectory dir("db");
  CConfig config;
  ASSERT_TRUE(config.LoadBuffer("[CONFIG]\r\nmyippub=192.0.2.7\r\nmyname=mx.example.test\r\n"));
  CIP_Imbargo inferno;
  CHeloForget helo;
  inferno.AddIP_Imbargo("198.51.100.1", 2000000000);
  CronContext context{.config = &config, .inferno = &inferno, .helo = &helo};
  CronRun run = RunCron(std::string("int main() {\n") + kOpen +
                            "CDB_Ram banned = cs.GetDBRamIpInferno();\n"
                            "CDB_Ram names = cs.GetDBRamHelo();\n"
                            "int ok = banned.GetCount() == 1;\n"
                            "ok += 2 * (names.GetCount() == 0);\n"
                            "ok += 4 * (cs.SetHeloRefresh() == 1);\n"
                            "ok += 8 * (names.GetCount() > 0);\n"
                            "return ok; }",
                        context);
  EXPECT_EQ(run.result, 15) << run.diagnostics;
  EXPECT_EQ(helo.IsForgetHelo("mx.example.test"), 1);
  EXPECT_EQ(helo.IsForgetHelo("[192.0.2.7]"), 1);
}

// A job over its CPU budget fails; a RunScript child's time counts for its caller.
TEST(CronScriptTest, JobsStopAtTheirCpuBudget) {
  struct Messages : ScriptLog {
    void Write(int, const char*, const char* text) override { all += text; }
    std::string all;
  };
  TempAppDirectory dir("scripts/cron");
  dir.Write("loop.cs", "int main() { while (1) {} return 1; }");
  CConfig config;
  ASSERT_TRUE(config.LoadBuffer("[CS_SCRIPT]\r\ncron_cpu_ms=100\r\n"));
  config.ReadConfig();
  const struct {
    const char* body;
    int expected;
  } kCases[] = {
      {"while (1) {} return 7;", -1},
      {"if (cs.RunScript(\"loop.cs\") == -1) return 7; return 0;", 7},
      {"cs.RunScript(\"loop.cs\"); int i = 0; while (i < 5000) i++; return 7;", -1},
  };
  for (const auto& c : kCases) {
    dir.Write("job.cs", std::string("int main() {\n") + kOpen + c.body + " }");
    Messages messages;
    CronContext context{.config = &config, .diagnostics = &messages};
    CS_CRON_INSTANCE instance(context);
    ASSERT_TRUE(instance.InitScript(dir.ScriptPath("job.cs").c_str())) << c.body << "\n" << messages.all;
    EXPECT_EQ(instance.RunMain(), c.expected) << c.body;
    EXPECT_TRUE(Contains(messages.all, "over its CPU time budget")) << c.body << "\n" << messages.all;
  }
}

TEST(CronScriptTest, RulesAndPhishingFunctionsReachTheEngines) {
  TempAppDirectory dir("db");
  CRules rules;
  ASSERT_EQ(rules.Open("db/rules.db"), 1);
  Cphishing phishing(dir.root().c_str());
  CronContext context{.rules = &rules, .phishing = &phishing};
  CronRun run = RunCron(std::string("int main() {\n") + kOpen + R"(
    CS_RulesDB db = cs.GetRulesDB();
    if (db.AddRule("r", "pills", 1, 2.5, 1) != 1 || db.AddRule("r", "x", 1, 1.0, 0) != 0) return 2;
    CS_ParseMail mail = new CS_ParseMail();
    mail.LoadMail("Subject: PILLS\r\n\r\nbody\r\n");
    mail.Parse();
    CS_RulesResult found = new CS_RulesResult();
    if (db.RegularExpressionCheck(mail, found) != 2.5 || found.GetRulesName(0) != "r") return 3;
    if (cs.AddDomainPhishing("Bank.example") != 1 || cs.AddDomainPhishing("b(d") != 0) return 4;
    HashArray list = new HashArray();
    cs.ViewPhishingDB(list);
    if (list.GetS("D0") != "bank.example") return 5;
    return 1; })",
                        context);
  EXPECT_EQ(run.result, 1) << run.diagnostics;
  EXPECT_NE(std::ifstream(dir.root() + "/db/phishing.db").peek(), EOF);  // the edit was saved
}

}  // namespace
}  // namespace cron_test
