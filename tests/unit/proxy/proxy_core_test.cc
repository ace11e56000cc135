// CTorvaneCore built for real on a scratch application directory: reloads,
// admission on loopback connections, saves, dispatch and stop.
#include "proxy/proxy_core.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/utility.h"
#include "common/loopback.h"
#include "common/scratch_dir.h"
#include "proxy/connection_counter.h"
#include "proxy_harness.h"

namespace {

// The clock of the saves, moved by the tests.
constexpr time_t kStart = 1700000000;
std::atomic<time_t> g_now{kStart};
time_t FakeClock() { return g_now.load(); }

constexpr int kConnectionId = 7;
constexpr char kBusyReply[] = "421 <mx.test> Service not available, closing transmission channel \r\n";

// (section, key, value) replacing or adding to the base configuration.
using Overrides = std::vector<std::tuple<std::string, std::string, std::string>>;

// Loopback listener, relay range 127.0.0.8-15, two sessions per address.
std::string IniText(const Overrides& overrides) {
  std::map<std::string, std::map<std::string, std::string>> ini = {
      {"CONFIG", {{"listen_ip", "127.0.0.1"}, {"listen_port", "0"}, {"n_max_listen", "4"}, {"myname", "mx.test"}}},
      {"DNS", {{"nameserver_0", "127.0.0.1"}, {"timeout_millisecond", "50"}}},
      {"DNSBL", {{"nameserver_0", "zone.test|1"}, {"reject_dnsbl", "0"}}},
      {"FIREWALL", {{"relayip_0", "127.0.0.8|127.0.0.15|relay"}, {"max_session_ip", "2"}}},
      {"GREYLIST", {{"wip_0", "10.250.0.0|10.250.255.255|"}}},
      {"CS_SCRIPT", {{"enable", "1"}, {"enable_cache_script", "0"}}},
  };
  for (const auto& [section, key, value] : overrides) ini[section][key] = value;
  std::string text;
  for (const auto& [section, keys] : ini) {
    text += "[" + section + "]\r\n";
    for (const auto& [key, value] : keys) text += key + "=" + value + "\r\n";
  }
  return text;
}

bool CanConnect(const std::string& port) {
  CSocketComm client;
  return client.ConnectTo("127.0.0.1", port.c_str(), AF_INET, SOCK_STREAM, "127.0.0.1");
}

bool Contains(const std::vector<std::string>& entries, const std::string& entry) {
  return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

class TorvaneCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = kStart;
    UseDirectory("app");
  }
  void TearDown() override {
    core_.reset();
    SetAppPath(nullptr);
  }

  // A fresh application directory (the core's stores live there) for each case.
  void UseDirectory(const std::string& name) {
    core_.reset();
    app_ = dir_.File(name);
    std::filesystem::create_directories(app_);
    SetAppPath(app_.c_str());
  }
  void Configure(const Overrides& overrides) {
    const std::string path = dir_.Put("torvane_antispam.conf", IniText(overrides));
    ASSERT_TRUE(config_.Load(path.c_str()));
    ASSERT_TRUE(config_.ReadConfig());
  }
  void Build(const Overrides& overrides = {}) {
    Configure(overrides);
    core_ = std::make_unique<CTorvaneCore>(&config_, &FakeClock);
  }
  void Reload(const Overrides& overrides) {
    Configure(overrides);
    core_->ReloadConfig();
  }
  std::vector<std::string> TakeLog() { return LogEntries(*core_); }
  std::string ListenPort() { return BoundPort(core_->listener()->ListeningSocket()); }
  float Stat(const std::string& name) { return core_->statistics()->GetValueByName(name.c_str()); }
  void WriteScript(const std::string& name, const std::string& source) {
    std::filesystem::create_directories(app_ + "/scripts/antispam");
    std::ofstream(app_ + "/scripts/antispam/" + name, std::ios::binary) << source;
  }
  // Where the core reads an antispam script from.
  static std::string ScriptPath(const std::string& name) {
    String path;
    MakeAppPath(&path, ("/scripts/antispam/" + name).c_str());
    return path.ToStdString();
  }
  std::string ReadScript(const std::string& name) {
    std::ifstream in(app_ + "/scripts/antispam/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  ScratchDir dir_;
  std::string app_;
  CConfig config_;
  std::unique_ptr<CTorvaneCore> core_;
};

// ---- Construction and reload ------------------------------------------------------

TEST_F(TorvaneCoreTest, ConstructionListensAndResumesTheIdsStopEndsTheListener) {
  ASSERT_TRUE(WriteAntispamIdConnToDisk(41));
  Build();
  EXPECT_TRUE(Contains(TakeLog(), "Start TORVANE PROXY ENGINE ip 127.0.0.1 port 0 max_listen:4"));
  EXPECT_EQ(core_->listener()->GetIDConnection(), 41u);
  const std::string port = ListenPort();
  EXPECT_TRUE(CanConnect(port));
  EXPECT_EQ(Stat("f1n_restart_service"), static_cast<float>(kStart));
  core_->Stop();
  EXPECT_FALSE(CanConnect(port));
}

TEST_F(TorvaneCoreTest, ReloadPublishesAFreshSettingsSnapshot) {
  struct Case {
    const char* what;
    Overrides keys;
    int (*field)(const SessionSettings&);
    int expected;
  };
  auto wait = [](const SessionSettings& s) { return s.select_time_ms; };
  auto block = [](const SessionSettings& s) { return s.block_size; };
  auto session = [](const SessionSettings& s) { return s.session_timeout; };
  const Case cases[] = {
      {"wait taken", {{"CONFIG", "socket_select_time", "120"}}, wait, 120},
      {"wait capped", {{"CONFIG", "socket_select_time", "999999"}}, wait, 60000},
      {"block capped", {{"CONFIG", "buffer_socket_size", "100000000"}}, block, 1 << 20},
      {"negative deadline means none", {{"FIREWALL", "session_timeout", "-1"}}, session, 0},
  };
  Build();
  for (const Case& c : cases) {
    const std::shared_ptr<const SessionSettings> before = core_->Settings();
    const int held = c.field(*before);
    Reload(c.keys);
    EXPECT_EQ(c.field(*core_->Settings()), c.expected) << c.what;
    EXPECT_EQ(c.field(*before), held) << c.what << ": a snapshot in use must not change";
  }
  WriteScript("a.cs", "int a = 1;\n");
  WriteScript("b.cs", "int b = 2;\n");
  Reload({{"RFC", "rfc421", "421 <%s> busy"}, {"CONFIG", "myname", "mx.example"}, {"CS_SCRIPT", "cs_0", "2|b.cs"},
          {"CS_SCRIPT", "cs_1", "1|a.cs"}});
  const std::shared_ptr<const SessionSettings> now = core_->Settings();
  EXPECT_EQ(now->busy_reply.ToStdString(), "421 <mx.example> busy \r\n");
  ASSERT_NE(now->policy, nullptr);
  ASSERT_EQ(now->policy->scripts.size(), 2u);
  EXPECT_EQ(now->policy->scripts[0].file.ToStdString(), "/scripts/antispam/a.cs");
}

// A reload whose scripts do not all compile keeps the previous set; only the
// first start takes a broken one.
TEST_F(TorvaneCoreTest, ReloadKeepsThePreviousScriptsUnlessAllCompile) {
  const Overrides scripts = {{"CS_SCRIPT", "cs_0", "1|core.cs"}, {"CS_SCRIPT", "cs_1", "2|extra.cs"}};
  WriteScript("core.cs", "#include \"part.cs\"\nint OnHelo(string n, string v) { return 1; }\n");
  WriteScript("part.cs", "int part = 1;\n");
  WriteScript("extra.cs", "int extra = 1;\n");
  Build(scripts);
  const std::shared_ptr<const AntispamPolicy> first = core_->Settings()->policy;
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(first->Compiled());
  EXPECT_NE(first->scripts[0].text.find("int part = 1;"), std::string::npos);  // the include resolved
  TakeLog();

  const struct {
    const char* what;
    const char* file;
    const char* source;  // null: the file is gone
    std::string error;   // the start of the logged reason
  } broken[] = {
      {"syntax error", "core.cs", "int a = 1;\nint OnHelo(string n, string v) { return ; \n", ScriptPath("core.cs") + ":2: "},
      {"error in an include", "part.cs", "int part = 1;\nint 9;\n", ScriptPath("part.cs") + ":2: "},
      {"second script gone", "extra.cs", nullptr, "CS_Scripting::load() = can't open"},
  };
  for (const auto& c : broken) {
    SCOPED_TRACE(c.what);
    const std::string kept = ReadScript(c.file);
    if (c.source != nullptr) {
      WriteScript(c.file, c.source);
    } else {
      std::filesystem::remove(app_ + "/scripts/antispam/" + c.file);
    }
    Reload(scripts);
    EXPECT_EQ(core_->Settings()->policy, first);
    const std::vector<std::string> log = TakeLog();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& entry) { return entry.rfind(c.error, 0) == 0; }))
        << testing::PrintToString(log);
    EXPECT_TRUE(Contains(log, "Antispam scripts not reloaded: the previous ones keep running"));
    WriteScript(c.file, kept);
  }

  WriteScript("core.cs", "int OnHelo(string n, string v) { return 2; }\n");
  Reload(scripts);
  const std::shared_ptr<const AntispamPolicy> fixed = core_->Settings()->policy;
  ASSERT_NE(fixed, first);
  EXPECT_TRUE(fixed->Compiled());
  EXPECT_NE(fixed->scripts[0].text.find("return 2;"), std::string::npos);

  UseDirectory("broken start");
  WriteScript("core.cs", "int a = 1;\nint OnHelo(string n, string v) { return ; \n");
  WriteScript("extra.cs", "int extra = 1;\n");
  Build(scripts);
  const std::shared_ptr<const AntispamPolicy> started = core_->Settings()->policy;
  ASSERT_NE(started, nullptr);
  EXPECT_FALSE(started->scripts[0].good);
  EXPECT_EQ(started->scripts[0].error.rfind(ScriptPath("core.cs") + ":2: ", 0), 0u) << started->scripts[0].error;
  EXPECT_TRUE(started->scripts[1].good);
}

TEST_F(TorvaneCoreTest, ListenerSizeOutOfRangeIsCorrected) {
  const std::pair<const char*, int> cases[] = {{"0", 20}, {"100000", 4096}};
  for (const auto& [configured, slots] : cases) {
    UseDirectory(std::string("size") + configured);
    Build({{"CONFIG", "n_max_listen", configured}});
    EXPECT_EQ(config_.n_max_listen, slots) << configured;
    EXPECT_EQ(core_->listener()->GetSlotCount(), static_cast<unsigned int>(slots)) << configured;
    EXPECT_TRUE(Contains(TakeLog(), "Start TORVANE PROXY ENGINE ip 127.0.0.1 port 0 max_listen:" + std::to_string(slots)))
        << configured;
  }
}

TEST_F(TorvaneCoreTest, ReloadRefillsTheRangeLists) {
  struct Case {
    const char* what;
    CIPNET* (CTorvaneCore::*list)() const;
    const char* section;
    const char* key;
  };
  const Case cases[] = {
      {"relay", &CTorvaneCore::relay_ranges, "FIREWALL", "relayip_0"},
      {"dnsbl white", &CTorvaneCore::dnsbl_white_ranges, "DNSBL", "wip_0"},
      {"grey white", &CTorvaneCore::grey_white_ranges, "GREYLIST", "wip_0"},
  };
  Build();
  for (const Case& c : cases) {
    CIPNET* list = (core_.get()->*c.list)();
    Reload({{c.section, c.key, "10.1.0.0|10.1.255.255|first"}});
    EXPECT_EQ(list->IsValidIPintheRange("10.1.7.9"), 1) << c.what;
    EXPECT_EQ(list->IsValidIPintheRange("10.2.0.1"), 0) << c.what;
    Reload({{c.section, c.key, "10.2.0.0|10.2.255.255|second"}});
    EXPECT_EQ(list->IsValidIPintheRange("10.1.7.9"), 0) << c.what << ": the old range must be gone";
    EXPECT_EQ(list->IsValidIPintheRange("10.2.0.1"), 1) << c.what;
    EXPECT_EQ(list->GetRangeCount(), 1) << c.what;
  }
}

TEST_F(TorvaneCoreTest, ConstructionAndReloadConfigureTheEngines) {
  Build({{"DNS", "timeout_millisecond", "70"},
         {"DNSBL", "nameserver_0", "zone1.test|1.5"},
         {"DNSBL", "nameserver_1", "zone2.test|2"},
         {"CONFIG", "smtp_server1", "mta1.test"},
         {"CONFIG", "smtp_port1", "2525"},
         {"FIREWALL", "max_session_ip", "5"},
         {"SPF", "spf_strict", "1"},
         {"SPF", "spf_max_recursion", "7"},
         {"SPF", "spf_cache_time", "3"}});
  EXPECT_EQ(core_->dns()->GetTimeOut(), 70);
  EXPECT_EQ(core_->dnsbl()->GetZoneCount(), 2);
  EXPECT_FLOAT_EQ(core_->dnsbl()->GetScoreFromNSBL("zone2.test"), 2.0f);
  EXPECT_EQ(core_->balancer()->GetServerCount(), 1);
  EXPECT_EQ(core_->sessions()->GetMaxSessionFromIP(), 5);
  EXPECT_TRUE(core_->spf()->IsStrict());
  EXPECT_EQ(core_->spf()->GetMaxRecursion(), 7);
  EXPECT_EQ(core_->spf()->GetVauleTime(), 3);
  EXPECT_EQ(core_->spf()->GetVaule_smhdMy(), 86400);
  Reload({{"SPF", "spf_strict", "0"}, {"FIREWALL", "max_session_ip", "6"}});
  EXPECT_FALSE(core_->spf()->IsStrict());
  EXPECT_EQ(core_->sessions()->GetMaxSessionFromIP(), 6);
}

TEST_F(TorvaneCoreTest, ListenerRestartsOnlyWhenAddressPortOrSizeChange) {
  Build();
  const std::string first = ListenPort();
  // A port nobody listens on: taken and let go again.
  CSocketComm probe;
  ASSERT_TRUE(probe.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, 0));
  const std::string second = BoundPort(probe);
  probe.CloseComm();
  TakeLog();

  Reload({{"CONFIG", "listen_port", second}});
  std::vector<std::string> log = TakeLog();
  EXPECT_TRUE(Contains(log, "Stop TORVANE PROXY ENGINE ip 127.0.0.1 port 0 max_listen:4"));
  EXPECT_TRUE(Contains(log, "Start TORVANE PROXY ENGINE ip 127.0.0.1 port " + second + " max_listen:4"));
  EXPECT_EQ(ListenPort(), second);
  EXPECT_TRUE(CanConnect(second));
  EXPECT_FALSE(CanConnect(first));

  Reload({{"CONFIG", "listen_port", second}});
  log = TakeLog();
  EXPECT_FALSE(std::any_of(log.begin(), log.end(), [](const std::string& e) { return e.rfind("Stop TORVANE", 0) == 0; }));
  EXPECT_TRUE(CanConnect(second));

  Reload({{"CONFIG", "listen_port", second}, {"CONFIG", "n_max_listen", "6"}});
  log = TakeLog();
  EXPECT_TRUE(Contains(log, "Stop TORVANE PROXY ENGINE ip 127.0.0.1 port " + second + " max_listen:4"));
  EXPECT_EQ(core_->listener()->GetSlotCount(), 6u);
}

TEST_F(TorvaneCoreTest, PortInUseLogsTheFailureAndTheNextReloadRetries) {
  CSocketComm squatter;
  ASSERT_TRUE(squatter.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, 0));
  const std::string port = BoundPort(squatter);

  Build({{"CONFIG", "listen_port", port}});
  EXPECT_TRUE(Contains(TakeLog(), "FAILD !!! TORVANE PROXY ENGINE ip 127.0.0.1 port " + port + " max_listen:4"));
  EXPECT_FALSE(core_->listener()->IsStart());

  squatter.CloseComm();
  Reload({{"CONFIG", "listen_port", port}});
  EXPECT_TRUE(Contains(TakeLog(), "Start TORVANE PROXY ENGINE ip 127.0.0.1 port " + port + " max_listen:4"));
  EXPECT_TRUE(CanConnect(port));
}

// ---- Admission ----------------------------------------------------------------

TEST_F(TorvaneCoreTest, AdmissionChecks) {
  struct Case {
    const char* what;
    const char* source;
    Overrides keys;
    int open_sessions;  // registered for the source first
    bool banned;
    std::string reply;  // "" when admitted
    std::string counter;
    std::string log;
  };
  const std::string embargo = "554 5.7.7  Embargo \r\n";
  const std::string ban_log = "-COMPILED- Drop connection IP Inferno: ";
  const Case cases[] = {
      {"banned address", "127.0.0.3", {}, 0, true, embargo, "f3fw_iphell_[127.0.0.3]", ban_log + "127.0.0.3"},
      {"template without %s keeps the reason", "127.0.0.3", {{"RFC", "rfc554", "554 denied"}}, 0, true,
       "554 denied  Embargo \r\n", "f3fw_iphell_[127.0.0.3]", ban_log + "127.0.0.3"},
      {"other % in the template stay as typed", "127.0.0.3", {{"RFC", "rfc554", "554 %d%% %s."}}, 0, true,
       "554 %d%%  Embargo \r\n.", "f3fw_iphell_[127.0.0.3]", ban_log + "127.0.0.3"},
      {"banned relay address is still refused", "127.0.0.9", {}, 0, true, embargo, "f3fw_iphell_[127.0.0.9]",
       ban_log + "127.0.0.9"},
      {"relay address skips the session limit", "127.0.0.9", {}, 5, false, "", "f3fw_session_max_ip", ""},
      {"sessions within the limit", "127.0.0.4", {}, 1, false, "", "f3fw_session_max_ip", ""},
      {"one session over the limit", "127.0.0.4", {}, 2, false, kBusyReply, "f3fw_session_max_ip",
       "-COMPILED- Max Session from IP: 127.0.0.4"},
      {"admission off admits a banned address", "127.0.0.3", {{"CS_SCRIPT", "enable", "0"}}, 0, true, "",
       "f3fw_iphell_[127.0.0.3]", ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UseDirectory("admit" + std::to_string(n++));
    Build(c.keys);
    if (c.banned) core_->inferno()->AddIP_Imbargo(c.source, static_cast<int32_t>(kStart + 3600));
    for (int i = 0; i < c.open_sessions; ++i) core_->sessions()->AddSession(c.source);
    LoopbackPair connection;
    ASSERT_TRUE(connection.Open(c.source));
    CLogSimple log;
    EXPECT_EQ(core_->AdmitClient(&connection.server, kConnectionId, &log), c.reply.empty());
    connection.server.CloseComm();  // as the worker does with a refused client
    EXPECT_EQ(ReadUntilClosed(connection.client), c.reply);
    EXPECT_EQ(Stat(c.counter), c.reply.empty() ? 0.0f : 2.0f);  // counted before and after the reply
    EXPECT_EQ(LogEntries(log), c.log.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.log});
  }
}

TEST_F(TorvaneCoreTest, ClientWithoutPeerAddressIsRefusedSilently) {
  Build();
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  CSocketComm server_side, client;
  server_side.SetHandle(ends[0]);
  client.SetHandle(ends[1]);
  CLogSimple log;
  EXPECT_FALSE(core_->AdmitClient(&server_side, kConnectionId, &log));
  server_side.CloseComm();
  EXPECT_EQ(ReadUntilClosed(client), "");
  EXPECT_EQ(LogEntries(log), std::vector<std::string>{"-COMPILED- ERROR SOCKET IP is ZERO"});
}

// ---- Saving -----------------------------------------------------------------------

// Which save SaveAll(force) made: "" for none, else the middle record.
std::string SaveKind(CTorvaneCore& core, bool force) {
  core.SaveAll(force);
  const std::vector<std::string> log = LogEntries(core);
  if (log.empty()) return "";
  if (log.size() != 3 || log.front() != "Start Automatic Save" || log.back() != "End Automatic Save") return "?";
  return log[1];
}

TEST_F(TorvaneCoreTest, AutomaticSavesPurgeNineTimesThenSaveWhole) {
  Build();
  TakeLog();
  EXPECT_EQ(SaveKind(*core_, false), "") << "not due before a minute has passed";
  std::vector<std::string> kinds;
  for (int i = 0; i < 11; ++i) {
    g_now += CTorvaneCore::kSaveIntervalSeconds;
    kinds.push_back(SaveKind(*core_, false));
    EXPECT_EQ(SaveKind(*core_, false), "") << "only one save per minute";
  }
  std::vector<std::string> expected(9, "Hygiene DB O.K.");
  expected.push_back("Save DB O.K");
  expected.push_back("Hygiene DB O.K.");
  EXPECT_EQ(kinds, expected);

  // A forced save is a whole one at any time and starts the cycle again.
  EXPECT_EQ(SaveKind(*core_, true), "Save DB O.K");
  for (int i = 0; i < 9; ++i) {
    g_now += CTorvaneCore::kSaveIntervalSeconds;
    EXPECT_EQ(SaveKind(*core_, false), "Hygiene DB O.K.") << i;
  }
}

TEST_F(TorvaneCoreTest, ForcedSaveKeepsExpiredBansAndWritesTheCounters) {
  Build();
  core_->inferno()->AddIP_Imbargo("192.0.2.1", static_cast<int32_t>(kStart - 10));
  core_->listener()->Lock();
  core_->listener()->SetIDConnection(77);
  core_->listener()->UnLock();

  const char cached[4] = {2, 0, 0, 0};
  ASSERT_EQ(core_->spf()->Insert("spf-key", cached, 4, 0), 1);
  CBayesWord trained;
  trained.words().Add(String("learned"));
  core_->bayes()->PopolateDB(&trained, CBayes::kSpam);

  core_->SaveAll(true);
  EXPECT_EQ(core_->inferno()->IsIpImbargo("192.0.2.1"), 1) << "a whole save never purges";
  CDB_RAM saved;
  ASSERT_EQ(saved.Open(CSPF::kCacheFile), 1);
  EXPECT_EQ(saved.GetRecordCount(), 1) << "the SPF cache is saved";
  CDB_RAM words;  // the word table too: training survives a restart
  ASSERT_TRUE(words.Open(CBayes::kWordFile));
  words.Load();
  EXPECT_GE(words.Find("learned", 0), 0);
  EXPECT_EQ(GetAntispamIdConnFromDisk(), 77);
  String day;
  core_->statistics()->GetName(&day);
  EXPECT_TRUE(std::filesystem::exists(app_ + "/db/DAY_" + day.ToStdString()));

  g_now += CTorvaneCore::kSaveIntervalSeconds;
  core_->SaveAll(false);
  EXPECT_EQ(core_->inferno()->IsIpImbargo("192.0.2.1"), 0) << "the hygiene save purges";
}

// Learned triples and pairs reach their files at the next hygiene save.
TEST_F(TorvaneCoreTest, HygieneSaveWritesLearnedRecordsWithNothingExpired) {
  Build({{"GREYLIST", "grey_embargo_time", "2"}, {"GREYLIST", "grey_embargo_type", "30"}});
  String triples;
  core_->grey_list()->PrepareTriples(&triples, "b@l.test", "192.0.2.1", "a@far.test", "", "");
  core_->grey_list()->AddGreyList(triples, core_->statistics());
  core_->alwl()->AddALWL("me@l.test", "x@far.test");
  g_now += 59;
  EXPECT_EQ(core_->grey_list()->ByPassGreyList(triples, nullptr), 0);
  g_now += 1;
  EXPECT_EQ(core_->grey_list()->ByPassGreyList(triples, nullptr), 1) << "an embargo of 2 x 30 s";

  core_->SaveAll(false);
  CGreyList grey_list;
  CAutoLightWhiteList alwl;
  EXPECT_EQ(grey_list.IsExists(triples), 1);
  EXPECT_EQ(alwl.IsALWL("x@far.test", "me@l.test"), 1);
}

// ---- Dispatch and stop --------------------------------------------------------------

TEST_F(TorvaneCoreTest, RunHandsEachQueuedConnectionToAWorker) {
  Build({{"CS_SCRIPT", "enable", "0"}});
  const std::string port = ListenPort();
  CSocketComm clients[2];
  for (CSocketComm& client : clients)
    ASSERT_TRUE(client.ConnectTo("127.0.0.1", port.c_str(), AF_INET, SOCK_STREAM, "127.0.0.1"));
  for (int i = 0; i < 300 && Stat("f1tot_conn") < 2; ++i) {
    core_->Run();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  core_->listener()->Lock();
  const int remaining = core_->listener()->Queue().GetCount();
  core_->listener()->UnLock();
  EXPECT_EQ(Stat("f1tot_conn"), 2.0f);
  EXPECT_EQ(remaining, 0);
}

}  // namespace
