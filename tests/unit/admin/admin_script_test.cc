// The admin script kind: refused names and values, the script list and plugin.cfg rewrites, confined plug-ins.
#include "admin/admin_script.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/config.h"
#include "common/app_directory.h"

namespace {

using Texts = std::vector<std::string>;

TEST(AdminScript, NamesAndValues) {
  const struct {
    const char* name;
    bool safe;
  } kNames[] = {
      {"A-b_c.9", true}, {"..", false}, {"a/b", false}, {"a\\b", false}, {"-x", false},
      {".x", false},     {"", false},   {"a b", false}, {nullptr, false},
  };
  for (const auto& c : kNames) EXPECT_EQ(IsSafeScriptName(c.name), c.safe) << (c.name ? c.name : "(null)");
  EXPECT_TRUE(IsSafeScriptName(std::string(64, 'a').c_str()));
  EXPECT_FALSE(IsSafeScriptName(std::string(65, 'a').c_str()));
  const struct {
    const char* value;
    bool field_separator;
    bool safe;
  } kValues[] = {
      {"a|b", false, true}, {"a|b", true, false}, {"x\r\ny=1", false, false}, {"x\n[CONFIG]", false, false},
      {nullptr, false, false},
  };
  for (const auto& c : kValues) {
    EXPECT_EQ(IsSafeIniValue(c.value, c.field_separator), c.safe) << (c.value ? c.value : "(null)");
  }
}

class AdminScriptTest : public ::testing::Test {
 protected:
  AdminScriptTest() : app_("scripts/admin") {
    config_.LoadBuffer("[CS_SCRIPT]\r\ncs_0=1|core.cs\r\ncs_1=2|b.cs\r\ncs_2=3|c.cs\r\n");
    context_.cron.config = &config_;
  }
  Texts ScriptList() {
    Texts out;
    String value;
    for (int n = 0; config_.FindValue("CS_SCRIPT", ("cs_" + std::to_string(n)).c_str(), &value); ++n) {
      out.emplace_back(value.GetData());
    }
    return out;
  }
  void WritePlugin(const std::string& folder, const std::string& info, const std::string& script) {
    const std::string dir = app_.root() + "/scripts/admin/plugin/" + folder;
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/info.xml") << info;
    std::ofstream(dir + "/setup.cs") << script;
  }

  TempAppDirectory app_;
  CConfig config_;
  AdminContext context_;
};

TEST_F(AdminScriptTest, AntispamScriptListRewrites) {
  CS_ADMIN_INSTANCE instance(context_);
  CS_ADMIN_SCRIPT script(&instance);
  EXPECT_EQ(script.AddAntispamScript("b.cs", 9), 0);  // listed already
  EXPECT_EQ(script.AddAntispamScript("x\r\ncs_9=1|evil.cs", 9), 0);
  EXPECT_EQ(script.AddAntispamScript("../x.cs", 9), 0);
  EXPECT_EQ(script.AddAntispamScript("new.cs", 7), 1);
  EXPECT_EQ(ScriptList(), (Texts{"1|core.cs", "2|b.cs", "3|c.cs", "7|new.cs"}));
  EXPECT_EQ(script.DeleteAntispamScript("b.cs"), 1);
  EXPECT_EQ(ScriptList(), (Texts{"1|core.cs", "3|c.cs", "7|new.cs"}));
  script.SetConfig("CONFIG", "myname", "gw\r\n[READMIN]\r\nkey=x");
  String value;
  EXPECT_FALSE(config_.FindValue("CONFIG", "myname", &value));
  script.SetConfig("CONFIG", "myname", "gw.test");
  EXPECT_TRUE(config_.FindValue("CONFIG", "myname", &value));
}

TEST_F(AdminScriptTest, PluginsInstallOnlyWhenTheirFunctionSaysSo) {
  const std::string canary = app_.root() + "/canary";
  const std::string info = "<?xml version=\"1.0\"?><plugins><plugin><uniqueID>P1</uniqueID>"
                           "<install_unistall_script>setup.cs</install_unistall_script></plugin></plugins>";
  const std::string touch = "CS_File f = new CS_File(); f.Open(\"" + canary + "\", 36929); f.Close();";
  WritePlugin("good", info, "int install(string id, string dir) { return 1; } int uninstall(string id, string dir) { return 1; }");
  WritePlugin("zero", info, "int install(string id, string dir) { return 0; }");
  WritePlugin("canary", info, "int install(string id, string dir) { " + touch + " return 1; }");
  CS_ADMIN_INSTANCE instance(context_);
  CS_ADMIN_SCRIPT script(&instance);
  const struct {
    const char* folder;
    const char* id;
    int result;
  } kCases[] = {
      {"good", "P1", 1}, {"good", "P1", 1},  // twice: listed once
      {"zero", "P1", 0}, {"good", "P2", 0},  {"none", "P1", 0},
      {".~.", "P1", 0},  {"../x", "P1", 0},  {"a/b", "P1", 0}, {"canary", "P1|x", 0}, {"canary", "", 0},
  };
  for (const auto& c : kCases) EXPECT_EQ(script.PlugInInstall(c.folder, c.id), c.result) << c.folder << " " << c.id;
  EXPECT_FALSE(std::filesystem::exists(canary));
  EXPECT_EQ(InstalledPlugins(), (Texts{"P1|good"}));
  EXPECT_TRUE(SaveInstalledPlugins({"A|a", "P1|good", "B|b"}));
  EXPECT_EQ(script.PlugInUninstall("good", "P1"), 1);
  EXPECT_EQ(InstalledPlugins(), (Texts{"A|a", "B|b"}));
  EXPECT_EQ(script.PlugInUninstall("zero", "P1"), 0);  // no uninstall function
}

}  // namespace
