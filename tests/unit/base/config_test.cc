// Tests of CConfig: defaults, list rules, derived values, the layout a save
// produces, stability across restarts, and the shipped example file.
#include "base/config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/md5.h"
#include "common/scratch_dir.h"

namespace {

using StringList = CConfig::StringList;

std::vector<std::string> Entries(const StringList& list) {
  std::vector<std::string> out;
  for (const String& entry : list) out.push_back(entry.ToStdString());
  return out;
}

std::string Value(CFileINI& ini, const char* section, const char* key) {
  String out;
  return ini.GetString(&out, section, key, "<absent>").ToStdString();
}

// The section headers of an INI text, in order.
std::vector<std::string> Headers(const std::string& text) {
  std::vector<std::string> out;
  const std::regex header("\\[([A-Z_]+)\\]\r\n");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), header); it != std::sregex_iterator(); ++it) {
    out.push_back((*it)[1]);
  }
  return out;
}

// The keys and values of an INI text by section, whatever their order.
using IniEntries = std::map<std::string, std::map<std::string, std::string>>;
IniEntries EntriesOf(const std::string& text) {
  IniEntries out;
  std::string section;
  const std::regex line("(?:\\[([A-Z_]+)\\]|([^=\r\n]+)=([^\r\n]*))\r\n");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
    if ((*it)[1].matched) {
      section = (*it)[1];
    } else {
      out[section][(*it)[2]] = (*it)[3];
    }
  }
  return out;
}

std::string ExamplePath() { return std::string(TORVANE_SOURCE_DIR "/dist/torvane_antispam.conf"); }

class CConfigTest : public ::testing::Test {
 protected:
  // Writes `text` as the configuration file, loads and reads it into `config`.
  void LoadAndRead(CConfig* config, const std::string& text) {
    path_ = dir_.Put("torvane_antispam.conf", text);
    Restart(config);
  }
  // A second instance started on the file as it is now, as after a restart.
  void Restart(CConfig* config) {
    ASSERT_TRUE(config->Load(path_.c_str()));
    ASSERT_TRUE(config->ReadConfig());
  }
  std::string FileText() { return ScratchDir::Contents(path_); }
  // A value of the file as last saved.
  std::string Saved(const char* section, const char* key) {
    CFileINI file;
    EXPECT_TRUE(file.Load(path_.c_str()));
    return Value(file, section, key);
  }

  ScratchDir dir_;
  std::string path_;
  CConfig config_;
};

// A fresh save holds the shipped defaults, apart from derived values and production choices.
TEST_F(CConfigTest, FreshSaveHoldsTheShippedDefaults) {
  LoadAndRead(&config_, "");
  ASSERT_TRUE(config_.SaveConfig());
  const std::string fresh = FileText();
  const std::string shipped = ScratchDir::Contents(ExamplePath());
  EXPECT_EQ(Headers(fresh), Headers(shipped));
  IniEntries expected = EntriesOf(shipped);
  expected["READMIN"]["key"] = config_.readmin_key.ToStdString();
  expected["WEBGUI"]["path"] = std::filesystem::current_path().string() + "//www/";
  expected["CS_SCRIPT"]["enable_cache_script"] = "0";
  expected["CONFIG"]["loglevel"] = "0";
  expected["BAYES"]["bayes_method"] = "0";
  expected["BAYES"]["bayes_spam_cutoff"] = "0.900000";
  expected["SPF"]["spf_score_softfail"] = "4.900000";
  expected["READMIN"]["listen"] = "0.0.0.0";  // shipped: loopback only
  expected["CONFIG"].erase("app_path");  // written by the installer only
  EXPECT_EQ(EntriesOf(fresh), expected);
  EXPECT_EQ(config_.readmin_password.ToStdString(), MD5Hex("vopex").ToStdString());
  // Written after SPF into an existing section, it lands at its top.
  CFileINI saved;
  ASSERT_TRUE(saved.Load(path_.c_str()));
  EXPECT_EQ(saved.FindValueGetIndex("CONFIG", "adapter_ip"), saved.FindIndexKey("CONFIG"));
}

TEST_F(CConfigTest, EmptyValuesAreValuesAndSwitchesAreAnyNonZero) {
  LoadAndRead(&config_,
              "[CONFIG]\r\nloglevel=\r\nlisten_ip=\r\n[DNSBL]\r\nenable_dnsbl=5\r\nreject_dnsbl=abc\r\n");
  EXPECT_EQ(config_.loglevel, 0);
  EXPECT_TRUE(config_.listen_ip.IsEmpty());
  EXPECT_TRUE(config_.enable_dnsbl);
  EXPECT_FALSE(config_.reject_dnsbl);
  ASSERT_TRUE(config_.SaveConfig());
  EXPECT_EQ(Saved("DNSBL", "enable_dnsbl"), "1");
  EXPECT_EQ(Saved("CONFIG", "listen_ip"), "");
}

TEST_F(CConfigTest, AdminKeyIsGeneratedOnceAndKeptAcrossRestarts) {
  LoadAndRead(&config_, "");
  const std::string key = config_.readmin_key.ToStdString();
  ASSERT_TRUE(std::regex_match(key, std::regex("[0-9a-f]{32}")));
  ASSERT_TRUE(config_.SaveConfig());

  CConfig restarted;
  Restart(&restarted);
  EXPECT_EQ(restarted.readmin_key.ToStdString(), key);

  CConfig other;
  ScratchDir other_dir;
  ASSERT_TRUE(other.Load(other_dir.Put("other.conf", "").c_str()));
  ASSERT_TRUE(other.ReadConfig());
  EXPECT_NE(other.readmin_key.ToStdString(), key);  // each installation its own
}

// Given values win over derived ones.
TEST_F(CConfigTest, WebPathDerivesFromTheApplicationPath) {
  CConfig given;
  LoadAndRead(&given, "[READMIN]\r\nkey=secret\r\n[WEBGUI]\r\npath=/srv/www/\r\n[CONFIG]\r\napp_path=/opt/app\r\n");
  EXPECT_EQ(given.readmin_key.ToStdString(), "secret");
  EXPECT_EQ(given.webgui_path.ToStdString(), "/srv/www/");
  LoadAndRead(&config_, "[CONFIG]\r\napp_path=/opt/app\r\n");
  EXPECT_EQ(config_.webgui_path.ToStdString(), "/opt/app/www/");
  ASSERT_TRUE(config_.SaveConfig());
  EXPECT_EQ(Saved("CONFIG", "app_path"), "/opt/app");  // left as the installer wrote it
  EXPECT_EQ(Saved("WEBGUI", "path"), "/opt/app/www/");
}

TEST_F(CConfigTest, ListReadingRules) {
  const struct ListCase {
    const char* name;
    const char* text;
    StringList CConfig::*field;
    std::vector<std::string> expected;
  } cases[] = {
      {"dns: every slot read, empty ones skipped",
       "[DNS]\r\nnameserver_3=d\r\nnameserver_0=\r\nnameserver_1=b\r\n", &CConfig::dns_nameservers, {"b", "d"}},
      {"dns: only four slots", "[DNS]\r\nnameserver_4=e\r\n", &CConfig::dns_nameservers, {"127.0.0.1"}},
      {"dnsbl: a gap ends the list", "[DNSBL]\r\nnameserver_0=a|1\r\nnameserver_2=c|2\r\n",
       &CConfig::dnsbl_nameservers, {"a|1"}},
      {"dnsbl: empty index 0 gives the defaults", "[DNSBL]\r\nnameserver_0=\r\nnameserver_1=b|1\r\n",
       &CConfig::dnsbl_nameservers, {}},
      {"scripts sorted ignoring case", "[CS_SCRIPT]\r\ncs_0=1|C.cs\r\ncs_1=1|a.cs\r\ncs_2=1|B.cs\r\n",
       &CConfig::cs_scripts, {"1|a.cs", "1|B.cs", "1|C.cs"}},
  };
  for (const ListCase& c : cases) {
    CConfig config;
    LoadAndRead(&config, c.text);
    if (c.expected.empty()) {
      EXPECT_EQ(Entries(config.*c.field).size(), 4u) << c.name;  // the default zones
    } else {
      EXPECT_EQ(Entries(config.*c.field), c.expected) << c.name;
    }
  }
}

// Lists are saved renumbered from 0 and sorted where read so; reading again starts them afresh, and a shrunken
// list leaves no keys behind.
TEST_F(CConfigTest, ListsAreSavedRenumberedSortedAndWithoutStaleKeys) {
  LoadAndRead(&config_,
              "[DNS]\r\nnameserver_1=a\r\nnameserver_3=b\r\n[CS_SCRIPT]\r\ncs_0=2|b.cs\r\ncs_1=1|a.cs\r\n"
              "[FIREWALL]\r\nrelayip_0=a\r\nrelayip_1=b\r\nrelayip_2=c\r\nrelayip_3=d\r\nrelayip_3=dup\r\n"
              "relayip_4=e\r\n");
  ASSERT_TRUE(config_.ReadConfig());
  ASSERT_EQ(config_.relayip.GetSize(), 5);
  config_.relayip.SetSize(2);
  ASSERT_TRUE(config_.SaveConfig());
  EXPECT_EQ(Saved("DNS", "nameserver_0"), "a");
  EXPECT_EQ(Saved("DNS", "nameserver_1"), "b");
  EXPECT_EQ(Saved("DNS", "nameserver_3"), "<absent>");
  EXPECT_EQ(Saved("CS_SCRIPT", "cs_0"), "1|a.cs");
  CConfig restarted;
  Restart(&restarted);
  EXPECT_EQ(Entries(restarted.relayip), (std::vector<std::string>{"a", "b"}));
  for (const char* stale : {"relayip_2", "relayip_3", "relayip_4"}) {
    EXPECT_FALSE(restarted.IsKeyExist("FIREWALL", stale)) << stale;
  }
}

TEST_F(CConfigTest, SaveThenRestartIsStable) {
  LoadAndRead(&config_,
              "[CONFIG]\r\nidconn=17\r\nloglevel=3\r\nmyname=mx.test\r\n[CUSTOM]\r\nx=1\r\n"
              "[DNSBL]\r\nnameserver_0=a.test|2.000\r\n[BAYES]\r\np_bayes_spam=6.25\r\n");
  ASSERT_TRUE(config_.SaveConfig());
  const std::string first = FileText();

  CConfig restarted;
  Restart(&restarted);
  EXPECT_EQ(restarted.myname.ToStdString(), "mx.test");
  EXPECT_FLOAT_EQ(restarted.p_bayes_spam, 6.25f);
  EXPECT_EQ(Value(restarted, "CONFIG", "idconn"), "17");  // other parts' keys untouched
  EXPECT_EQ(Value(restarted, "CUSTOM", "x"), "1");
  ASSERT_TRUE(restarted.SaveConfig());
  EXPECT_EQ(FileText(), first);
}

// A save writes nothing when nothing changed, the file when the daemon changed it, beside it when edited meanwhile.
TEST_F(CConfigTest, SaveChangesWritesOnlyWhatTheDaemonChanged) {
  using WriteBack = CConfig::WriteBack;
  const std::string original = "[CONFIG]\r\nloglevel=3\r\n";
  struct Case {
    const char* name;
    void (*change)(CConfig*, const std::string& path);
    WriteBack outcome;
    const char* file_loglevel;
  } cases[] = {
      {"nothing", [](CConfig*, const std::string&) {}, WriteBack::kUnchanged, "3"},
      {"item re-read", [](CConfig* c, const std::string&) {
         c->WriteString("CONFIG", "loglevel", "5");
         c->ReadConfig();
       }, WriteBack::kWritten, "5"},
      {"field", [](CConfig* c, const std::string&) { c->loglevel = 6; }, WriteBack::kWritten, "6"},
      {"reloaded unchanged file", [](CConfig* c, const std::string& path) {
         c->loglevel = 6;
         c->Load(path.c_str());
         c->ReadConfig();
       }, WriteBack::kUnchanged, "3"},
      {"edited on disk", [](CConfig* c, const std::string& path) {
         std::ofstream(path, std::ios::binary) << "[CONFIG]\r\nloglevel=4\r\n";
         c->loglevel = 6;
       }, WriteBack::kWrittenBeside, "4"},
  };
  for (const Case& test : cases) {
    CConfig config;
    LoadAndRead(&config, original);
    ASSERT_EQ(config.SaveChanges(), WriteBack::kWritten) << "the generated admin key and web path";
    test.change(&config, path_);
    EXPECT_EQ(config.SaveChanges(), test.outcome) << test.name;
    CConfig reader;
    Restart(&reader);
    EXPECT_EQ(Value(reader, "CONFIG", "loglevel"), test.file_loglevel) << test.name;
  }
}

// Reads and saves from several threads exclude each other.
TEST_F(CConfigTest, ConcurrentReadsAndSaves) {
  LoadAndRead(&config_, "[FIREWALL]\r\nrelayip_0=a\r\nrelayip_1=b\r\n");
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 15; ++i) {
        if ((i + t) % 2 == 0) {
          EXPECT_TRUE(config_.ReadConfig());
        } else {
          EXPECT_TRUE(config_.SaveConfig());
        }
        config_.WriteInt("SCRATCH", ("t" + std::to_string(t)).c_str(), i);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(config_.SaveConfig());
  CConfig restarted;
  Restart(&restarted);
  EXPECT_EQ(Entries(restarted.relayip), (std::vector<std::string>{"a", "b"}));
  for (int t = 0; t < 3; ++t) EXPECT_EQ(restarted.GetInt("SCRATCH", ("t" + std::to_string(t)).c_str(), -1), 14);
}

TEST_F(CConfigTest, ShippedExampleSurvivesASaveUnchanged) {
  const std::string text = ScratchDir::Contents(ExamplePath());
  LoadAndRead(&config_, text);
  EXPECT_TRUE(config_.enable_cache_script);
  EXPECT_EQ(config_.dnsbl_nameservers.GetSize(), 4);
  // Nothing is missing or out of place: a save changes only what was derived.
  ASSERT_TRUE(config_.SaveConfig());
  std::string expected = text;
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"key", config_.readmin_key.ToStdString()},
                                   {"path", config_.webgui_path.ToStdString()}}) {
    const std::string empty_line = "\r\n" + key + "=\r\n";
    expected.replace(expected.find(empty_line), empty_line.size(), "\r\n" + key + "=" + value + "\r\n");
  }
  EXPECT_EQ(FileText(), expected);
}

}  // namespace
