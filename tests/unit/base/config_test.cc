// Tests of CConfig: defaults, list rules, derived values, the layout a save
// produces, stability across restarts, and the shipped example file.
#include "base/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/md5.h"
#include "base/scratch_dir.h"

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

bool IsLowerHexDigest(const std::string& text) { return std::regex_match(text, std::regex("[0-9a-f]{32}")); }

// The section headers of an INI text, in order.
std::vector<std::string> Headers(const std::string& text) {
  std::vector<std::string> out;
  const std::regex header("\\[([A-Z_]+)\\]\r\n");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), header); it != std::sregex_iterator(); ++it) {
    out.push_back((*it)[1]);
  }
  return out;
}

// Every scalar key with its default as the saved file spells it.
struct SavedDefault {
  const char* section;
  const char* key;
  const char* text;
};
const SavedDefault kSavedDefaults[] = {
    {"CONFIG", "loglevel", "0"},
    {"CONFIG", "listen_ip", "0.0.0.0"},
    {"CONFIG", "listen_port", "25"},
    {"CONFIG", "n_max_listen", "20"},
    {"CONFIG", "smtp_server1", "localhost"},
    {"CONFIG", "smtp_server2", ""},
    {"CONFIG", "smtp_server3", ""},
    {"CONFIG", "smtp_server4", ""},
    {"CONFIG", "smtp_port1", "225"},
    {"CONFIG", "smtp_port2", "0"},
    {"CONFIG", "smtp_port3", "0"},
    {"CONFIG", "smtp_port4", "0"},
    {"CONFIG", "trasp_2", ""},
    {"CONFIG", "trasp_3", ""},
    {"CONFIG", "trasp_4", ""},
    {"CONFIG", "smtp_type", "1"},
    {"CONFIG", "myippub", ""},
    {"CONFIG", "myname", ""},
    {"CONFIG", "myemail", ""},
    {"CONFIG", "score_for_spam", "5.000000"},
    {"CONFIG", "score_for_spam_max_hit", "20.000000"},
    {"CONFIG", "socket_select_time", "300"},
    {"CONFIG", "buffer_socket_size", "4096"},
    {"CONFIG", "krnversion", ""},
    {"CONFIG", "log_rot_type", "2"},
    {"CONFIG", "log_rot_value", "1"},
    {"CONFIG", "adapter_ip", ""},
    {"DNS", "nameserver_0", "127.0.0.1"},
    {"DNS", "timeout_millisecond", "2000"},
    {"DNS", "delete_old_record_type", "60"},
    {"DNS", "delete_old_record_time", "30"},
    {"DNSBL", "timeout_millisecond", "2100"},
    {"DNSBL", "timeout_millisecond_sc", "500"},
    {"DNSBL", "delete_old_record_type", "60"},
    {"DNSBL", "delete_old_record_time", "30"},
    {"DNSBL", "maxhit", "3"},
    {"DNSBL", "maxreplies", "4"},
    {"DNSBL", "enable_dnsbl", "1"},
    {"DNSBL", "reject_dnsbl", "1"},
    {"FIREWALL", "max_session_ip", "3"},
    {"FIREWALL", "error_max", "3"},
    {"FIREWALL", "cmd_noop", "3"},
    {"FIREWALL", "timeout_client", "60"},
    {"FIREWALL", "local_domains_only", "0"},
    {"BAYES", "occorenze_per", "32.000000"},
    {"BAYES", "p_bayes_ham", "-3.990000"},
    {"BAYES", "p_bayes_spam", "5.100000"},
    {"BAYES", "bayes_delete_mail_type", "3600"},
    {"BAYES", "bayes_delete_mail_time", "72"},
    {"GREYLIST", "grey_delete_mail_type", "3600"},
    {"GREYLIST", "grey_delete_mail_time", "12"},
    {"GREYLIST", "grey_embargo_type", "60"},
    {"GREYLIST", "grey_embargo_time", "1"},
    {"GREYLIST", "grey_forged_score", "0.900000"},
    {"ALWL", "alwl_transito_type", "3600"},
    {"ALWL", "alwl_transito_time", "96"},
    {"ALWL", "alwl_score", "-10.000000"},
    {"HELO", "helo_rfc", "5.000000"},
    {"HELO", "helo_ip", "2.500000"},
    {"HELO", "helo_forget_reject", "1"},
    {"HELO", "p_helo_forget", "10.000000"},
    {"RFC", "rfc421", "421 <%s> Service not available, closing transmission channel"},
    {"RFC", "rfc530", "530 Relaying not allowed"},
    {"RFC", "rfc550", "550 5.7.1 Message rejected by internal domain policy. %s"},
    {"RFC", "rfc554", "554 5.7.7 %s"},
    {"RFC", "rfc451", "451 4.7.1 GREY LIST try again later"},
    {"COMMUNITY", "cmy_key", ""},
    {"COMMUNITY", "cmy_timeout", "400"},
    {"COMMUNITY", "cmy_softfail", "2.500000"},
    {"COMMUNITY", "cmy_fail", "5.000000"},
    {"COMMUNITY", "cmy_hardfail", "10.000000"},
    {"COMMUNITY", "cmy_server", ""},
    {"SPF", "spf_enable", "1"},
    {"SPF", "spf_reject_fail", "1"},
    {"SPF", "spf_score_pass", "0.000000"},
    {"SPF", "spf_score_softfail", "4.900000"},
    {"SPF", "spf_score_fail", "5.000000"},
    {"SPF", "spf_cache_type", "86400"},
    {"SPF", "spf_cache_time", "2"},
    {"SPF", "spf_max_recursion", "30"},
    {"SPF", "spf_strict", "0"},
    {"PHISHING", "phishing_score", "10.000000"},
    {"PHISHING", "automatico", "0"},
    {"PHISHING", "tempo", "0"},
    {"PHISHING", "euristica", "1"},
    {"READMIN", "enable", "0"},
    {"READMIN", "port", "33"},
    {"READMIN", "max_listen", "20"},
    {"READMIN", "superuser", "root"},
    {"READMIN", "socket_select_time", "300"},
    {"READMIN", "buffer_socket_size", "4096"},
    {"CS_SCRIPT", "enable", "0"},
    {"CS_SCRIPT", "enable_cache_script", "0"},
    {"CS_SCRIPT", "cs_0", "1|core.cs"},
    {"WEBGUI", "listen", "0.0.0.0"},
    {"WEBGUI", "port", "6969"},
    {"WEBGUI", "maxconn", "20"},
    {"WEBGUI", "buffer_out", "1024"},
    {"WEBGUI", "time_keep_alive", "10"},
    {"WEBGUI", "max_select_socket_server", "600"},
    {"WEBGUI", "min_select_socket_child", "150"},
    {"WEBGUI", "num_server", "5"},
    {"HEADER_MSG", "x_subject", "***SPAM***"},
    {"HEADER_MSG", "x_torvane_spam", "X-TORVANE-Spam: YES"},
};

// Sections in the order a first save creates them.
const std::vector<std::string> kSectionOrder = {"CONFIG", "DNS",  "DNSBL",    "FIREWALL", "BAYES",
                                                "GREYLIST", "ALWL", "HELO",  "RFC",      "COMMUNITY",
                                                "SPF",    "PHISHING", "READMIN", "CS_SCRIPT", "WEBGUI",
                                                "HEADER_MSG"};

std::string WorkingDirectory() { return std::filesystem::current_path().string(); }

class CConfigTest : public ::testing::Test {
 protected:
  // Writes `text` as the configuration file, loads and reads it into `config`.
  void LoadAndRead(CConfig* config, const std::string& text) {
    path_ = dir_.Put("torvane_antispam.conf", text);
    ASSERT_TRUE(config->Load(path_.c_str()));
    ASSERT_TRUE(config->ReadConfig());
  }
  // A second instance started on the file as it is now, as after a restart.
  void Restart(CConfig* config) {
    ASSERT_TRUE(config->Load(path_.c_str()));
    ASSERT_TRUE(config->ReadConfig());
  }
  std::string FileText() { return ScratchDir::Contents(path_); }

  ScratchDir dir_;
  std::string path_;
  CConfig config_;
};

// ---- Defaults -----------------------------------------------------------------

TEST_F(CConfigTest, EmptyFileYieldsEveryDefaultAndTheSaveHoldsEveryKey) {
  LoadAndRead(&config_, "");
  ASSERT_TRUE(config_.SaveConfig());
  CFileINI saved;
  ASSERT_TRUE(saved.Load(path_.c_str()));
  for (const SavedDefault& row : kSavedDefaults) {
    EXPECT_EQ(Value(saved, row.section, row.key), row.text) << row.section << "/" << row.key;
  }
  EXPECT_FALSE(saved.IsKeyExist("CONFIG", "app_path"));
  EXPECT_EQ(Headers(FileText()), kSectionOrder);
  // Written after SPF into an existing section, it lands at its top.
  EXPECT_EQ(saved.FindValueGetIndex("CONFIG", "adapter_ip"), saved.FindIndexKey("CONFIG"));
}

TEST_F(CConfigTest, EmptyFileTypedFields) {
  LoadAndRead(&config_, "");
  EXPECT_EQ(config_.n_max_listen, 20);
  EXPECT_EQ(config_.listen_port.ToStdString(), "25");
  EXPECT_FLOAT_EQ(config_.p_bayes_ham, -3.99f);
  EXPECT_FLOAT_EQ(config_.grey_forged_score, 0.9f);
  EXPECT_TRUE(config_.enable_dnsbl);
  EXPECT_FALSE(config_.automatico);
  EXPECT_TRUE(config_.euristica);
  EXPECT_FALSE(config_.trasp_1.IsEmpty());
  EXPECT_TRUE(config_.app_path.IsEmpty());

  EXPECT_EQ(Entries(config_.dns_nameservers), std::vector<std::string>{"127.0.0.1"});
  const char* weights[] = {"|1.450", "|1.450", "|4.850", "|4.500"};
  ASSERT_EQ(config_.dnsbl_nameservers.GetSize(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(std::regex_match(config_.dnsbl_nameservers[i].ToStdString(),
                                 std::regex(std::string("[a-z0-9.-]+\\.[a-z]+\\") + weights[i])))
        << i;
  }
  ASSERT_EQ(config_.grey_wip.GetSize(), 1);
  EXPECT_TRUE(std::regex_match(config_.grey_wip[0].ToStdString(), std::regex("[a-z0-9.-]+\\.[a-z]+\\|\\|")));
  EXPECT_EQ(Entries(config_.cs_scripts), std::vector<std::string>{"1|core.cs"});
  EXPECT_EQ(config_.relayip.GetSize(), 0);
  EXPECT_EQ(config_.dnsbl_wip.GetSize(), 0);
  EXPECT_EQ(config_.readmin_ip_allow.GetSize(), 0);

  EXPECT_EQ(config_.readmin_password.ToStdString(), MD5Hex("vopex").ToStdString());
  EXPECT_TRUE(IsLowerHexDigest(config_.readmin_key.ToStdString()));
  EXPECT_EQ(config_.webgui_path.ToStdString(), WorkingDirectory() + "//www/");
}

TEST_F(CConfigTest, EmptyValuesAreValuesAndSwitchesAreAnyNonZero) {
  LoadAndRead(&config_,
              "[CONFIG]\r\nloglevel=\r\nlisten_ip=\r\nscore_for_spam=abc\r\n"
              "[DNSBL]\r\nenable_dnsbl=5\r\nreject_dnsbl=abc\r\n[HELO]\r\nhelo_forget_reject=-1\r\n");
  EXPECT_EQ(config_.loglevel, 0);
  EXPECT_TRUE(config_.listen_ip.IsEmpty());
  EXPECT_EQ(config_.score_for_spam, 0.0f);
  EXPECT_TRUE(config_.enable_dnsbl);
  EXPECT_FALSE(config_.reject_dnsbl);
  EXPECT_TRUE(config_.helo_forget_reject);
  ASSERT_TRUE(config_.SaveConfig());
  CFileINI saved;
  ASSERT_TRUE(saved.Load(path_.c_str()));
  EXPECT_EQ(Value(saved, "DNSBL", "enable_dnsbl"), "1");
  EXPECT_EQ(Value(saved, "DNSBL", "reject_dnsbl"), "0");
  EXPECT_EQ(Value(saved, "HELO", "helo_forget_reject"), "1");
  EXPECT_EQ(Value(saved, "CONFIG", "listen_ip"), "");
}

// ---- Derived values -------------------------------------------------------------

TEST_F(CConfigTest, AdminKeyIsGeneratedOnceAndKeptAcrossRestarts) {
  LoadAndRead(&config_, "");
  const std::string key = config_.readmin_key.ToStdString();
  ASSERT_TRUE(IsLowerHexDigest(key));
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

TEST_F(CConfigTest, GivenAdminKeyAndWebPathAreKept) {
  LoadAndRead(&config_, "[READMIN]\r\nkey=secret\r\n[WEBGUI]\r\npath=/srv/www/\r\n");
  EXPECT_EQ(config_.readmin_key.ToStdString(), "secret");
  EXPECT_EQ(config_.webgui_path.ToStdString(), "/srv/www/");
}

TEST_F(CConfigTest, WebPathDerivesFromTheApplicationPath) {
  LoadAndRead(&config_, "[CONFIG]\r\napp_path=/opt/app\r\n");
  EXPECT_EQ(config_.webgui_path.ToStdString(), "/opt/app/www/");
  ASSERT_TRUE(config_.SaveConfig());
  CFileINI saved;
  ASSERT_TRUE(saved.Load(path_.c_str()));
  EXPECT_EQ(Value(saved, "CONFIG", "app_path"), "/opt/app");  // left as the installer wrote it
  EXPECT_EQ(Value(saved, "WEBGUI", "path"), "/opt/app/www/");
}

// ---- Lists ------------------------------------------------------------------------

struct ListCase {
  const char* name;
  const char* text;
  StringList CConfig::*field;
  std::vector<std::string> expected;
};

TEST_F(CConfigTest, ListReadingRules) {
  const ListCase cases[] = {
      {"dns: index 1 without 0 is used", "[DNS]\r\nnameserver_1=10.0.0.2\r\n", &CConfig::dns_nameservers,
       {"10.0.0.2"}},
      {"dns: every slot read, empty ones skipped",
       "[DNS]\r\nnameserver_3=d\r\nnameserver_0=\r\nnameserver_1=b\r\n", &CConfig::dns_nameservers, {"b", "d"}},
      {"dns: only four slots", "[DNS]\r\nnameserver_4=e\r\n", &CConfig::dns_nameservers, {"127.0.0.1"}},
      {"dnsbl: a gap ends the list", "[DNSBL]\r\nnameserver_0=a|1\r\nnameserver_2=c|2\r\n",
       &CConfig::dnsbl_nameservers, {"a|1"}},
      {"dnsbl: empty index 0 gives the defaults", "[DNSBL]\r\nnameserver_0=\r\nnameserver_1=b|1\r\n",
       &CConfig::dnsbl_nameservers, {}},
      {"relayip: up to the first empty", "[FIREWALL]\r\nrelayip_0=1.2.3.4\r\nrelayip_1=\r\nrelayip_2=5.6.7.8\r\n",
       &CConfig::relayip, {"1.2.3.4"}},
      {"dnsbl wip", "[DNSBL]\r\nwip_1=x\r\nwip_0=y\r\n", &CConfig::dnsbl_wip, {"y", "x"}},
      {"greylist wip replaces the default", "[GREYLIST]\r\nwip_0=a||\r\n", &CConfig::grey_wip, {"a||"}},
      {"ip_allow", "[READMIN]\r\nip_allow_0=127.0.0.1\r\n", &CConfig::readmin_ip_allow, {"127.0.0.1"}},
      {"scripts sorted", "[CS_SCRIPT]\r\ncs_0=2|b.cs\r\ncs_1=1|a.cs\r\n", &CConfig::cs_scripts,
       {"1|a.cs", "2|b.cs"}},
      {"scripts sorted ignoring case", "[CS_SCRIPT]\r\ncs_0=1|C.cs\r\ncs_1=1|a.cs\r\ncs_2=1|B.cs\r\n",
       &CConfig::cs_scripts, {"1|a.cs", "1|B.cs", "1|C.cs"}},
      {"scripts: a gap ends the list", "[CS_SCRIPT]\r\ncs_0=3|z.cs\r\ncs_2=1|a.cs\r\n", &CConfig::cs_scripts,
       {"3|z.cs"}},
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

TEST_F(CConfigTest, ReadingAgainStartsTheListsAfresh) {
  LoadAndRead(&config_, "[FIREWALL]\r\nrelayip_0=a\r\nrelayip_1=b\r\n");
  ASSERT_TRUE(config_.ReadConfig());
  EXPECT_EQ(Entries(config_.relayip), (std::vector<std::string>{"a", "b"}));
}

TEST_F(CConfigTest, DnsServersAreRenumberedOnSave) {
  LoadAndRead(&config_, "[DNS]\r\nnameserver_1=a\r\nnameserver_3=b\r\n");
  ASSERT_TRUE(config_.SaveConfig());
  CFileINI saved;
  ASSERT_TRUE(saved.Load(path_.c_str()));
  EXPECT_EQ(Value(saved, "DNS", "nameserver_0"), "a");
  EXPECT_EQ(Value(saved, "DNS", "nameserver_1"), "b");
  EXPECT_FALSE(saved.IsKeyExist("DNS", "nameserver_2"));
  EXPECT_FALSE(saved.IsKeyExist("DNS", "nameserver_3"));
}

TEST_F(CConfigTest, ShrunkenListLeavesNoStaleKeys) {
  LoadAndRead(&config_,
              "[FIREWALL]\r\nrelayip_0=a\r\nrelayip_1=b\r\nrelayip_2=c\r\nrelayip_3=d\r\nrelayip_3=dup\r\n"
              "relayip_4=e\r\n");
  ASSERT_EQ(config_.relayip.GetSize(), 5);
  config_.relayip.SetSize(2);
  ASSERT_TRUE(config_.SaveConfig());

  CConfig restarted;
  Restart(&restarted);
  EXPECT_EQ(Entries(restarted.relayip), (std::vector<std::string>{"a", "b"}));
  for (const char* stale : {"relayip_2", "relayip_3", "relayip_4"}) {
    EXPECT_FALSE(restarted.IsKeyExist("FIREWALL", stale)) << stale;
  }
}

TEST_F(CConfigTest, ScriptListIsSavedInItsSortedOrder) {
  LoadAndRead(&config_, "[CS_SCRIPT]\r\ncs_0=2|b.cs\r\ncs_1=1|a.cs\r\n");
  ASSERT_TRUE(config_.SaveConfig());
  CFileINI saved;
  ASSERT_TRUE(saved.Load(path_.c_str()));
  EXPECT_EQ(Value(saved, "CS_SCRIPT", "cs_0"), "1|a.cs");
  EXPECT_EQ(Value(saved, "CS_SCRIPT", "cs_1"), "2|b.cs");
}

// ---- Save and restart ---------------------------------------------------------------

TEST_F(CConfigTest, SaveThenRestartIsStable) {
  LoadAndRead(&config_,
              "[CONFIG]\r\nidconn=17\r\nloglevel=3\r\nmyname=mx.test\r\n[CUSTOM]\r\nx=1\r\n"
              "[DNSBL]\r\nnameserver_0=a.test|2.000\r\n[BAYES]\r\np_bayes_spam=6.25\r\n");
  ASSERT_TRUE(config_.SaveConfig());
  const std::string first = FileText();

  CConfig restarted;
  Restart(&restarted);
  EXPECT_EQ(restarted.loglevel, 3);
  EXPECT_EQ(restarted.myname.ToStdString(), "mx.test");
  EXPECT_FLOAT_EQ(restarted.p_bayes_spam, 6.25f);
  EXPECT_EQ(Entries(restarted.dnsbl_nameservers), std::vector<std::string>{"a.test|2.000"});
  EXPECT_EQ(Value(restarted, "CONFIG", "idconn"), "17");  // other parts' keys untouched
  EXPECT_EQ(Value(restarted, "CUSTOM", "x"), "1");
  ASSERT_TRUE(restarted.SaveConfig());
  EXPECT_EQ(FileText(), first);
}

TEST_F(CConfigTest, SaveWithoutALoadedFileFails) {
  EXPECT_TRUE(config_.ReadConfig());
  EXPECT_FALSE(config_.SaveConfig());
}

TEST_F(CConfigTest, ReloadRequest) {
  EXPECT_FALSE(config_.IsToReboot());
  EXPECT_EQ(config_.GetLevelReboot(), -1);
  config_.SetReboot(true);
  config_.SetLevelReboot(2);
  EXPECT_TRUE(config_.IsToReboot());
  EXPECT_EQ(config_.GetLevelReboot(), 2);
}

// Reads and saves from several threads exclude each other; whatever the
// interleaving, the file ends up whole and consistent.
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

// ---- The shipped example ------------------------------------------------------------

std::string ExamplePath() {
  return std::string(TORVANE_SOURCE_DIR "/dist/torvane_antispam.conf");
}

TEST_F(CConfigTest, ShippedExampleHoldsEveryKeyWithItsDefault) {
  const std::string text = ScratchDir::Contents(ExamplePath());
  ASSERT_FALSE(text.empty()) << ExamplePath();
  EXPECT_FALSE(std::regex_search(text, std::regex("[^\r]\n"))) << "bare LF line end";
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(Headers(text), kSectionOrder);

  LoadAndRead(&config_, text);
  for (const SavedDefault& row : kSavedDefaults) {
    const std::string expected = std::string(row.key) == "enable_cache_script" ? "1" : row.text;
    EXPECT_EQ(Value(config_, row.section, row.key), expected) << row.section << "/" << row.key;
  }
  EXPECT_TRUE(config_.enable_cache_script);
  EXPECT_EQ(Value(config_, "READMIN", "key"), "");  // every installation makes its own
  EXPECT_TRUE(IsLowerHexDigest(config_.readmin_key.ToStdString()));
  EXPECT_EQ(config_.readmin_password.ToStdString(), MD5Hex("vopex").ToStdString());
  EXPECT_EQ(config_.dnsbl_nameservers.GetSize(), 4);
  EXPECT_EQ(config_.grey_wip.GetSize(), 1);

  // Nothing is missing or out of place: a save changes only what was derived.
  ASSERT_TRUE(config_.SaveConfig());
  std::string expected = text;
  const std::string key_line = "\r\nkey=\r\n";
  expected.replace(expected.find(key_line), key_line.size(),
                   "\r\nkey=" + config_.readmin_key.ToStdString() + "\r\n");
  const std::string path_line = "\r\npath=\r\n";
  expected.replace(expected.find(path_line), path_line.size(),
                   "\r\npath=" + config_.webgui_path.ToStdString() + "\r\n");
  EXPECT_EQ(FileText(), expected);
}

}  // namespace
