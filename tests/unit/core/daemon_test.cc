// Tests of the daemon's command line, configuration loading and the one-time upgrade migration.
#include "core/daemon.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/utility.h"
#include "common/scratch_dir.h"
#include "engines/record_store.h"

namespace {

struct ParseResult {
  int status;
  std::string printed;
  CommandLine options;
};

ParseResult Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "torvane-antispam");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  ParseResult result;
  result.status = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &result.options, out);
  fclose(out);
  result.printed.assign(text, size);
  free(text);
  return result;
}

TEST(CommandLineTest, OptionsAndRefusals) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* printed;
    bool foreground;
    bool test;
    const char* config;
    bool pluginerror = false;
  } cases[] = {
      {{}, -1, "", false, false, "/etc/torvane_antispam.conf"},
      {{"-debug"}, -1, "", true, false, "/etc/torvane_antispam.conf"},
      {{"debug"}, -1, "", false, false, "/etc/torvane_antispam.conf"},  // a positional argument
      {{"---T"}, -1, "", false, true, "/etc/torvane_antispam.conf"},
      {{"--config=/srv/t.conf", "-test"}, -1, "", false, true, "/srv/t.conf"},
      {{"--pluginerror", "--config=/srv/t.conf"}, -1, "", false, false, "/srv/t.conf", true},
      {{"-d"}, 1, "unknown option \"d\"\n\n", false, false, nullptr},
      {{"--config="}, 1, "unknown option \"config=\"\n\n", false, false, nullptr},
      {{"a", "b"}, 1, "too many arguments\n", false, false, nullptr},
  };
  for (const Case& c : cases) {
    const ParseResult r = Parse(c.args);
    const std::string label = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(r.status, c.status) << label;
    EXPECT_EQ(r.printed, c.printed) << label;
    if (c.status != -1) continue;
    EXPECT_EQ(r.options.foreground, c.foreground) << label;
    EXPECT_EQ(r.options.test, c.test) << label;
    EXPECT_EQ(r.options.pluginerror, c.pluginerror) << label;
    EXPECT_STREQ(r.options.config_path.GetData(), c.config) << label;
  }
}

std::string Le32(int32_t v) {
  std::string s(4, '\0');
  memcpy(s.data(), &v, 4);
  return s;
}

// A record store file in the old ("DBK1.0") format.
std::string OldStore(const std::vector<std::pair<std::string, std::string>>& records) {
  std::string out = "DBK1.0" + Le32(static_cast<int32_t>(records.size()));
  for (const auto& [key, value] : records) {
    out += Le32(1700000000) + Le32(static_cast<int32_t>(key.size())) +
           Le32(static_cast<int32_t>(value.size())) + key + value;
  }
  return out;
}

std::string StoredValue(const char* name, const char* key) {
  CDB_RAM store;
  if (!store.Open(name) || store.Load() != 1) return "<missing>";
  CDB_RAM::RECORD* record = store.GetByIndexPtr(store.Find(key, 0));
  return record != nullptr ? std::string(record->value.get(), record->len) : "<missing>";
}

class MigrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(dir_.File("db").c_str(), 0755);
    mkdir(dir_.File("www").c_str(), 0755);
  }
  void TearDown() override {
    delete cs_xmllog;
    cs_xmllog = nullptr;
    delete cs_config;
    cs_config = nullptr;
    SetConfigPath(nullptr);
  }
  // Loads a configuration of `extra` CONFIG lines through ReadConfig.
  bool LoadConfig(const std::string& extra) {
    const std::string text = "[CONFIG]\r\napp_path=" + dir_.path() + "\r\n" + extra + "[WEBGUI]\r\npath=" +
                             dir_.path() + "//www\\/\r\n";
    SetConfigPath(dir_.Put("torvane.conf", text).c_str());
    cs_config = new CConfig();
    return ReadConfig();
  }
  void OpenLog() { cs_xmllog = new LogXML(dir_.File("log.xml").c_str(), "Torvane AntiSpam"); }

  ScratchAppDir dir_;
};

TEST_F(MigrationTest, ReadConfigSetsTheApplicationPathOrFails) {
  EXPECT_TRUE(ReadConfig());  // nothing to load without a configuration object
  ASSERT_TRUE(LoadConfig("loglevel=3\r\n"));
  EXPECT_EQ(cs_config->loglevel, 3);
  EXPECT_STREQ(GetAppPath().GetData(), dir_.path().c_str());
  SetConfigPath(dir_.File("gone.conf").c_str());
  OpenLog();
  cs_xmllog->SetLogLevel(1);
  EXPECT_FALSE(ReadConfig());
  EXPECT_NE(ScratchDir::Contents(dir_.File("log.xml")).find("Errror: Load configuration file not found !"),
            std::string::npos);
  SetConfig();
  EXPECT_TRUE(cs_config->IsToReboot());
  EXPECT_EQ(cs_config->GetLevelReboot(), 0);
}

TEST_F(MigrationTest, RewritesOldStoresKeysThePageAndMovesTheCounter) {
  ASSERT_TRUE(LoadConfig("idconn=123\r\n"));
  OpenLog();
  dir_.Put("www/conf.htmch", "<form><!--key-->|<!--key--></form>");
  dir_.Put("db/domain_local.db", OldStore({{"example.com", "x"}, {"../escape", "y"}}));
  dir_.Put("db/example.com.wb", OldStore({{"a@b.c", std::string("\x05\x00", 2)}, {"d@e.f", std::string("\x00\x07", 2)}}));
  dir_.Put("db/ip_imbargo.db", OldStore({{"1.2.3.4", Le32(1709629451)}, {"5.6.7.8", Le32(-2)}}));

  ASSERT_TRUE(ControlloArchivi());

  const std::string page = ScratchDir::Contents(dir_.File("www/conf.htmch"));
  const std::string key = page.substr(6, 32);
  EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(page, "<form>" + key + "|" + key + "</form>");

  EXPECT_EQ(StoredValue("db/example.com.wb", "a@b.c"), "1");
  EXPECT_EQ(StoredValue("db/example.com.wb", "d@e.f"), "0");
  EXPECT_EQ(ScratchDir::Contents(dir_.File("db/example.com.wb")).substr(0, 6), "DBK2.0");
  EXPECT_EQ(ScratchDir::Contents(dir_.File("db/domain_local.db")).substr(0, 6), "DBK2.0");
  EXPECT_EQ(StoredValue("db/ip_imbargo.db", "1.2.3.4"), "1709629451");
  EXPECT_EQ(StoredValue("db/ip_imbargo.db", "5.6.7.8"), "-2");
  // A domain that is not a plain name never becomes a path.
  EXPECT_FALSE(FileExists(dir_.File("escape.wb").c_str()));
  EXPECT_EQ(ScratchDir::Contents(dir_.File("countconn.dat")), Le32(123));
}

TEST_F(MigrationTest, CurrentStoresAndAnExistingCounterStayAsTheyAre) {
  ASSERT_TRUE(LoadConfig("idconn=123\r\n"));
  OpenLog();
  dir_.Put("www/conf.htmch", "<!--key--> at the very start");
  dir_.Put("countconn.dat", Le32(9));
  std::string current = OldStore({{"1.2.3.4", Le32(5)}});
  current.replace(0, 6, "DBK2.0");
  dir_.Put("db/ip_imbargo.db", current);

  ASSERT_TRUE(ControlloArchivi());
  EXPECT_EQ(ScratchDir::Contents(dir_.File("www/conf.htmch")), "<!--key--> at the very start");
  EXPECT_EQ(ScratchDir::Contents(dir_.File("db/ip_imbargo.db")), current);
  EXPECT_EQ(ScratchDir::Contents(dir_.File("countconn.dat")), Le32(9));
  // Missing stores are created empty.
  EXPECT_EQ(ScratchDir::Contents(dir_.File("db/domain_local.db")), "DBK2.0" + Le32(0));
}

TEST_F(MigrationTest, FailsWithoutLoggerOrStores) {
  ASSERT_TRUE(LoadConfig(""));
  EXPECT_FALSE(ControlloArchivi());  // no logger
  OpenLog();
  dir_.Put("db/domain_local.db", "NOTADB");  // a foreign file cannot be opened
  EXPECT_FALSE(ControlloArchivi());
  dir_.Put("db/domain_local.db", "");
  rmdir(dir_.File("www").c_str());
  EXPECT_TRUE(ControlloArchivi());
  SetAppPath(dir_.File("nowhere").c_str());
  EXPECT_FALSE(ControlloArchivi());
}

}  // namespace
