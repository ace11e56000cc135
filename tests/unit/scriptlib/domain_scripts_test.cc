// Local domains as management scripts reach them, over a real table.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "common/app_directory.h"
#include "cron_harness.h"
#include "engines/local_domains.h"

namespace cron_test {
namespace {

class DomainScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(app_.root() + "/db");
    FILE* templ = fopen((app_.root() + "/db/local_domain_add_config.cstemplate").c_str(), "wb");
    ASSERT_NE(templ, nullptr);
    fputs("[ADD_VARIABLES]\r\nproprieta=1\r\nperc_user_aggre=0\r\n[ADD_DBRAM]\r\nwbip=[domain].wb\r\n", templ);
    fclose(templ);
    table_.SuperLoad();
    context_.domains = &table_;
  }

  // Runs `body` as main through the instance's own entry point.
  int RunMain(const std::string& body) {
    ScratchFile file(std::string("int main() {\n") + kOpen + body + "\n}");
    CS_CRON_INSTANCE instance(context_);
    if (!instance.InitScript(file.path().c_str())) {
      ADD_FAILURE() << instance.interpreter()->BuildAllLog();
      return -100;
    }
    return instance.RunMain();
  }

  TempAppDirectory app_{"scripts/cron"};
  CLocalDomain table_;
  CronContext context_;
};

TEST_F(DomainScriptTest, ManagementFunctionsAndTheDomainClass) {
  const int result = RunMain(R"(
    if (cs.InsertDomain("A.org") < 0) return 1;
    if (cs.InsertDomain("../evil") != -1) return 2;
    CDomainConf d = cs.GetDomain("a.org");
    if (d.GetDomainName() != "a.org" || d.GetVar("proprieta") != "1") return 3;
    d.SetVar("perc_user_aggre", "40");
    CDB_Ram list = d.GetDBRam("wbip");
    list.Insert("x@y.example", "0");
    d.Save();
    cs.SaveDomains();
    cs.AddVarToDomainTemplate("ADD_VARIABLES", "quota", "5");
    cs.LoadDomainsConfig();
    CDomainConf reloaded = cs.GetDomain("a.org");
    if (reloaded.GetVar("quota") != "5") return 4;
    CDB_Ram domains = cs.GetDBRamDomains();
    if (domains.GetCount() != 1) return 5;
    if (cs.DeleteDomain("a.org") != 1 || cs.DeleteDomain("a.org") != 0) return 6;
    if (d.GetVar("perc_user_aggre") != "40") return 7;  // the object held from before the reload
    return 0;)");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(table_.IsLocalDomain("a.org"), -1);
  EXPECT_FALSE(std::filesystem::exists(app_.root() + "/db/a.org.cfg"));
}

// A domain lock a script never released blocks nobody after its call.
TEST_F(DomainScriptTest, LockKeptByAScriptEndsWithItsCall) {
  ASSERT_GE(table_.InsertDomain("a.org"), 0);
  EXPECT_EQ(RunMain(R"(
    CDomainConf d = cs.GetDomain("a.org");
    d.EndSession();
    d.StartSession();
    d.StartSession();
    d.WaitForSession();
    return 0;)"), 0);
  ASSERT_EQ(ScriptDomainHolds::HeldByThisThread(), 0u);
  std::thread other([this] { EXPECT_EQ(table_.IsLocalDomain("a.org"), 1); });
  other.join();
}

}  // namespace
}  // namespace cron_test
