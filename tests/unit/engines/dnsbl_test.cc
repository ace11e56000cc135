// dnsbl_test - the block-list engine against a loopback test name server playing several zones.
#include "engines/dnsbl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/utility.h"
#include "common/scratch_dir.h"
#include "dns_test_server.h"

namespace {

// The zones the server plays, with the weights the engine is given.
constexpr const char* kZoneEntries[] = {"bl1.test|1.450", "bl2.test|1.450", "bl3.test|4.850", "bl4.test|4.500"};
// Waits: generous where answers come, short where a zone stays silent.
constexpr int32_t kAnsweredTimeoutMs = 2100;
constexpr int32_t kSilentTimeoutMs = 400;
constexpr int32_t kGateTimeoutMs = 10000;

std::string Reverse(const std::string& address) {
  std::vector<std::string> parts;
  std::stringstream in(address);
  std::string part;
  while (std::getline(in, part, '.')) parts.push_back(part);
  return parts[3] + "." + parts[2] + "." + parts[1] + "." + parts[0];
}

// A listing set: which zones list which address, and with what answer.
struct Listing {
  std::string address;
  std::string zone;
  std::string answer = "127.0.0.2";
};

// The server's JSON: the listings, plus behaviours keyed by zone.
std::string SetupJson(const std::vector<Listing>& listings, const std::string& zones_json = "{}") {
  std::string records;
  for (const Listing& l : listings) {
    if (!records.empty()) records += ",";
    records += "\"" + Reverse(l.address) + "." + l.zone + "\": [[\"A\", \"" + l.answer + "\"]]";
  }
  return "{\"records\": {" + records + "}, \"zones\": " + zones_json + "}";
}

std::set<std::string> Words(const String& text) {
  std::set<std::string> words;
  std::stringstream in(text.ToStdString());
  std::string word;
  while (in >> word) words.insert(word);
  return words;
}

CArray<String> Zones(std::initializer_list<const char*> entries) {
  CArray<String> zones;
  for (const char* entry : entries) zones.Add(String(entry));
  return zones;
}

// The result of looking `address` up; the lookup itself must succeed.
CDnsBL::DnsBL_Result Lookup(CDnsBL& engine, const char* address) {
  CDnsBL::DnsBL_Result result;
  EXPECT_EQ(engine.QueryDnsBL(address, &result), 1) << address;
  return result;
}

class DnsBLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bltest::DnslibAvailable()) GTEST_SKIP() << "python3-dnslib is not installed";
    server_ = std::make_unique<bltest::TestNameServer>(dir_.File("server"), bltest::kBlockListPool);
    ASSERT_TRUE(server_->Start()) << "no test name server could be started";
  }
  DnsBLSettings Settings(int32_t timeout_ms, std::vector<std::string> zones = {}) const {
    return SettingsFor(server_->address(), timeout_ms, std::move(zones));
  }
  static DnsBLSettings SettingsFor(const std::string& server, int32_t timeout_ms, std::vector<std::string> zones = {}) {
    DnsBLSettings settings;
    settings.servers.Add(String(server.c_str()));
    if (zones.empty()) zones.assign(std::begin(kZoneEntries), std::end(kZoneEntries));
    for (const std::string& z : zones) settings.zones.Add(String(z.c_str()));
    settings.timeout_bl_ms = timeout_ms;
    settings.timeout_single_ms = timeout_ms;
    settings.max_hits = 3;
    settings.max_replies = 5;
    return settings;
  }

  // The query total before a fresh lookup of four zones, read once that lookup is answered.
  int TotalAfterSentinel() {
    CDnsBL sentinel(Settings(kAnsweredTimeoutMs));
    Lookup(sentinel, ("192.0.2." + std::to_string(sentinels_++)).c_str());
    return server_->Total() - 4;
  }

  // Every record of the engine's log, joined by newlines.
  static std::string LogText(CDnsBL& engine) {
    std::string text;
    engine.GetLog().Drain([&](const CLogSimple::LogSimple_item& item) { text += item.entry.ToStdString() + "\n"; });
    return text;
  }

  ScratchAppDir dir_;
  std::unique_ptr<bltest::TestNameServer> server_;
  int sentinels_ = 200;  // the next sentinel address, never listed
};

TEST_F(DnsBLTest, ListingsGiveCountTextAndSummedWeights) {
  server_->Setup(SetupJson({{"192.0.2.3", "bl1.test"},
                            {"192.0.2.3", "bl2.test"},
                            {"192.0.2.3", "bl3.test"},
                            {"192.0.2.2", "bl1.test"},
                            {"192.0.2.2", "bl3.test"},
                            {"192.0.2.5", "bl4.test"}}));
  CDnsBL engine(Settings(kAnsweredTimeoutMs));
  struct Case {
    const char* address;
    std::set<std::string> zones;
    float score;
  };
  const Case cases[] = {
      {"192.0.2.3", {"bl1.test", "bl2.test", "bl3.test"}, 7.75f},
      {"192.0.2.2", {"bl1.test", "bl3.test"}, 6.30f},
      {"192.0.2.5", {"bl4.test"}, 4.5f},
      {"192.0.2.9", {}, 0.0f},
  };
  for (const Case& c : cases) {
    const CDnsBL::DnsBL_Result result = Lookup(engine, c.address);
    EXPECT_EQ(result.count, static_cast<int32_t>(c.zones.size())) << c.address;
    EXPECT_EQ(Words(result.text), c.zones) << c.address;
    EXPECT_NEAR(result.score, c.score, 1e-4) << c.address;
  }
  const std::string log = LogText(engine);
  EXPECT_NE(log.find("DNSBL result: score 2 - 192.0.2.2 -> "), std::string::npos) << log;
  EXPECT_EQ(log.find("192.0.2.9"), std::string::npos) << "a clean address is not logged";
}

// With more listing zones than "maxhit" (3), the lookup stops at the limit.
TEST_F(DnsBLTest, MaxHitsEndsTheLookup) {
  const std::vector<std::string> five = {"bl1.test|1", "bl2.test|1", "bl3.test|1", "bl4.test|1", "bl5.test|1"};
  std::vector<Listing> listings;
  for (const std::string& entry : five) listings.push_back({"192.0.2.7", entry.substr(0, entry.find('|'))});
  server_->Setup(SetupJson(listings));
  CDnsBL engine(Settings(kAnsweredTimeoutMs, five));
  const CDnsBL::DnsBL_Result result = Lookup(engine, "192.0.2.7");
  EXPECT_EQ(result.count, 3);
  EXPECT_EQ(Words(result.text).size(), 3u);
  EXPECT_NEAR(result.score, 3.0f, 1e-4);
}

// Cached results need no traffic, survive a restart and follow the zone list.
TEST_F(DnsBLTest, CachedResultsNeedNoTrafficAndSurviveRestart) {
  server_->Setup(SetupJson({{"192.0.2.2", "bl1.test"}, {"192.0.2.2", "bl3.test"}}));
  {
    CDnsBL engine(Settings(kAnsweredTimeoutMs));
    Lookup(engine, "192.0.2.2");
    ASSERT_EQ(Lookup(engine, "192.0.2.9").count, 0);
    const int sent = server_->Total();
    EXPECT_EQ(sent, 8);
    for (const char* address : {"192.0.2.2", "192.0.2.9"}) Lookup(engine, address);
    EXPECT_EQ(TotalAfterSentinel(), sent) << "cached results are answered without traffic";
    EXPECT_EQ(engine.GetCacheRecordCount(), 2);
  }
  // The destructor saved the cache: a restarted engine answers from it.
  CDnsBL restarted(Settings(kAnsweredTimeoutMs));
  const int sent = server_->Total();
  const CDnsBL::DnsBL_Result result = Lookup(restarted, "192.0.2.2");
  EXPECT_EQ(result.count, 2);
  EXPECT_NEAR(result.score, 6.30f, 1e-4);
  EXPECT_EQ(Words(result.text), (std::set<std::string>{"bl1.test", "bl3.test"}));
  EXPECT_EQ(TotalAfterSentinel(), sent);

  // A cached listing takes the current weights; one naming a dropped zone is looked up again.
  const std::string bl1 = Reverse("192.0.2.2") + ".bl1.test";
  restarted.ReplaceZonesDNSBL(Zones({"bl1.test|2", "bl2.test|1", "bl3.test|5", "bl4.test|1"}));
  EXPECT_NEAR(Lookup(restarted, "192.0.2.2").score, 7.0f, 1e-4);
  EXPECT_EQ(server_->Count(bl1, kDnsTypeA), 1) << "recomputed, not asked again";
  restarted.ReplaceZonesDNSBL(Zones({"bl1.test|2", "bl2.test|1", "bl4.test|1"}));
  const CDnsBL::DnsBL_Result after_drop = Lookup(restarted, "192.0.2.2");
  EXPECT_EQ(after_drop.count, 1);
  EXPECT_EQ(after_drop.text, "bl1.test");
  EXPECT_NEAR(after_drop.score, 2.0f, 1e-4);
  EXPECT_EQ(server_->Count(bl1, kDnsTypeA), 2) << "looked up afresh";
}

// A damaged cache record (short, or announcing more zones than it names) is looked up again.
TEST_F(DnsBLTest, DamagedCacheRecordsAreLookedUpAgain) {
  {
    std::filesystem::create_directories(dir_.File("db"));
    CDB_RAM store;
    ASSERT_EQ(store.Open(CDnsBL::kCacheFile), 1);
    const std::string too_many = std::string("\x05\0\0\0\0\0\0\0", 8) + "bl1.test";
    const std::string negative = std::string("\xff\xff\xff\xff\0\0\0\0", 8);
    ASSERT_EQ(store.Insert("192.0.2.2", too_many.data(), static_cast<int32_t>(too_many.size()), 0), 1);
    ASSERT_EQ(store.Insert("192.0.2.3", "abc", 3, 0), 1);
    ASSERT_EQ(store.Insert("192.0.2.4", negative.data(), static_cast<int32_t>(negative.size()), 0), 1);
    ASSERT_EQ(store.Save(), 1);
  }
  server_->Setup(SetupJson({{"192.0.2.2", "bl2.test"}, {"192.0.2.3", "bl3.test"}, {"192.0.2.4", "bl4.test"}}));
  CDnsBL engine(Settings(kAnsweredTimeoutMs));
  ASSERT_EQ(engine.GetCacheRecordCount(), 3);
  const std::pair<const char*, const char*> cases[] = {
      {"192.0.2.2", "bl2.test"}, {"192.0.2.3", "bl3.test"}, {"192.0.2.4", "bl4.test"}};
  for (const auto& [address, zone] : cases) {
    const CDnsBL::DnsBL_Result result = Lookup(engine, address);
    EXPECT_EQ(result.text, zone) << address;
    EXPECT_EQ(server_->Count(Reverse(address) + "." + zone, kDnsTypeA), 1) << address;
  }
  EXPECT_EQ(engine.GetCacheRecordCount(), 3);
}

// A silent zone leaves the others counted; a silent server gives an empty result, cached, and its penalty.
TEST_F(DnsBLTest, SilentZonesAndServers) {
  server_->Setup(SetupJson({{"192.0.2.3", "bl1.test"}}, R"({"bl2.test": {"mode": "silent"}})"));
  CDnsBL engine(Settings(kSilentTimeoutMs));
  const CDnsBL::DnsBL_Result result = Lookup(engine, "192.0.2.3");
  EXPECT_EQ(result.text, "bl1.test");
  EXPECT_FALSE(result.complete) << "bl2.test may list the address";
  EXPECT_EQ(server_->Count(Reverse("192.0.2.3") + ".bl2.test", kDnsTypeA), 1);
  EXPECT_EQ(engine.GetCacheRecordCount(), 1) << "what arrived is cached";

  server_->Setup(SetupJson({{"192.0.2.4", "bl1.test"}}, R"({"test": {"mode": "silent"}})"));
  EXPECT_EQ(Lookup(engine, "192.0.2.4").count, 0);
  EXPECT_EQ(engine.GetCacheRecordCount(), 2);
  EXPECT_EQ(engine.GetServerTime(server_->address().c_str()), kSilentTimeoutMs + CDnsBL::kFailurePenaltyMs);
}

// Only 127.0.0.0/8 answers are listings (another is logged), and a forged listing before the true answer does
// not count; which answers match their query is DnsMatchTest's table.
TEST_F(DnsBLTest, ForeignAndForgedAnswersAreIgnored) {
  server_->Setup(SetupJson({{"192.0.2.3", "bl1.test"}, {"192.0.2.3", "bl2.test", "10.0.0.1"}},
                           R"({"bl3.test": {"mode": "spoof-id"}})"));
  CDnsBL engine(Settings(kAnsweredTimeoutMs));
  const CDnsBL::DnsBL_Result result = Lookup(engine, "192.0.2.3");
  EXPECT_EQ(result.text, "bl1.test");
  EXPECT_NEAR(result.score, 1.45f, 1e-4);
  EXPECT_TRUE(result.complete) << "every zone answered";
  EXPECT_EQ(server_->Count(Reverse("192.0.2.3") + ".bl3.test", kDnsTypeA), 1);
  const std::string log = LogText(engine);
  EXPECT_NE(log.find("DNSBL zone bl2.test answered 10.0.0.1"), std::string::npos) << log;
}

// Lookups of different clients run side by side: the gated zone answers only once all twenty ask.
TEST_F(DnsBLTest, ParallelLookupsDoNotWaitForEachOther) {
  constexpr int kClients = 20;
  std::vector<Listing> listings;
  std::vector<std::string> addresses;
  for (int i = 0; i < kClients; ++i) {
    addresses.push_back("198.51.100." + std::to_string(i + 1));
    listings.push_back({addresses.back(), "bl1.test"});
    listings.push_back({addresses.back(), "bl4.test"});
  }
  server_->Setup(SetupJson(listings, R"({"bl4.test": {"gate": 20}})"));
  // Serial lookups fail however long they wait: the long wait only spares a busy machine.
  CDnsBL engine(Settings(kGateTimeoutMs));
  std::vector<CDnsBL::DnsBL_Result> results(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] { EXPECT_EQ(engine.QueryDnsBL(addresses[i].c_str(), &results[i]), 1); });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(Words(results[i].text), (std::set<std::string>{"bl1.test", "bl4.test"})) << addresses[i];
  }
}

// Reloads while lookups read the zone list: no freed entry (ASan) and no zone of neither list.
TEST_F(DnsBLTest, ReloadDuringLookupsFreesNothingInUse) {
  std::vector<Listing> listings;
  for (int i = 1; i <= 32; ++i) {
    for (const char* z : {"bl1.test", "bl2.test", "bl3.test", "bl4.test"}) {
      listings.push_back({"203.0.113." + std::to_string(i), z});
    }
  }
  server_->Setup(SetupJson(listings, R"({"test": {"delay": 0.02}})"));
  CDnsBL engine(Settings(kAnsweredTimeoutMs, {"bl1.test|1", "bl2.test|1"}));
  const CArray<String> lists[] = {Zones({"bl1.test|1", "bl2.test|1"}), Zones({"bl3.test|1", "bl4.test|1"})};
  const std::set<std::string> zones_of[] = {{"bl1.test", "bl2.test"}, {"bl3.test", "bl4.test"}};
  std::atomic<bool> done{false};
  std::thread reloader([&] {
    for (int round = 0; !done.load() && round < 10000; ++round) {
      engine.ReplaceZonesDNSBL(lists[round % 2]);
      engine.ResetServerDNSBL();
      for (const String& z : lists[1 - round % 2]) engine.AddNameServerDNSBL(z);
      MySleep(1);
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t * 8 + 1; i <= t * 8 + 8; ++i) {
        const CDnsBL::DnsBL_Result result = Lookup(engine, ("203.0.113." + std::to_string(i)).c_str());
        const std::set<std::string> zones = Words(result.text);
        EXPECT_TRUE(zones.size() < 2 || zones == zones_of[0] || zones == zones_of[1]) << result.text.ToStdString();
        EXPECT_EQ(result.count, static_cast<int32_t>(zones.size())) << i;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  done.store(true);
  reloader.join();
}

TEST_F(DnsBLTest, RefusedQueriesAreNotCached) {
  // No test server pool takes this address, so the kernel refuses.
  CDnsBL engine(SettingsFor("127.0.200.1", kSilentTimeoutMs));
  const CDnsBL::DnsBL_Result result = Lookup(engine, "192.0.2.3");
  EXPECT_EQ(result.count, 0);
  EXPECT_EQ(engine.GetCacheRecordCount(), 0);
  EXPECT_NE(LogText(engine).find("Socket Read Failed. Error Timeout"), std::string::npos);
}

TEST_F(DnsBLTest, LookupsThatCannotBeAsked) {
  CDnsBL engine(Settings(kAnsweredTimeoutMs));
  CDnsBL::DnsBL_Result result;
  EXPECT_EQ(engine.QueryDnsBL("192.0.2.3", nullptr), 0);
  result.count = 7;
  EXPECT_EQ(engine.QueryDnsBL("192.0.2.300", &result), 1);
  EXPECT_EQ(result.count, 0);
  EXPECT_EQ(engine.QueryDnsBL(nullptr, &result), 1);
  engine.RegistraTime(server_->address().c_str(), CDnsNameServer::kUnusableTime);
  EXPECT_EQ(engine.QueryDnsBL("192.0.2.3", &result), 0) << "no usable server";
  engine.RegistraTime(server_->address().c_str(), 0);
  engine.ResetServerDNSBL();  // a reload caught half-way: no zone to ask
  EXPECT_EQ(engine.QueryDnsBL("192.0.2.3", &result), 1);
  EXPECT_EQ(result.count, 0);
  EXPECT_EQ(TotalAfterSentinel(), 0);
  EXPECT_EQ(engine.GetCacheRecordCount(), 0);
}

}  // namespace

// Zone entries need no server: a table of how they are read.
TEST(DnsBLZones, EntriesAndWeights) {
  ScratchAppDir dir;
  CDnsBL engine;
  struct Case {
    const char* entry;
    const char* zone;
    float weight;
  };
  const Case cases[] = {
      {"bl1.test|1.450", "bl1.test", 1.45f},
      {"bl2.test", "bl2.test", 0.0f},          // no "|": weight 0
      {"bl3.test|junk", "bl3.test", 0.0f},     // unreadable weight
      {"bl4.test|2|extra", "bl4.test", 2.0f},  // text after the number ignored
      {" bl5.test |4.5", "bl5.test", 4.5f},
      {"bl6.test|nan", "bl6.test", 0.0f},
  };
  for (const Case& c : cases) engine.AddNameServerDNSBL(c.entry);
  engine.AddNameServerDNSBL("|3");  // no zone: ignored
  engine.AddNameServerDNSBL(nullptr);
  engine.AddNameServerDNSBL("bl1.test|9");  // duplicates are kept; the first wins
  EXPECT_EQ(engine.GetZoneCount(), 7);
  for (const Case& c : cases) EXPECT_FLOAT_EQ(engine.GetScoreFromNSBL(c.zone), c.weight) << c.entry;
  EXPECT_FLOAT_EQ(engine.GetScoreFromNSBL("missing.test"), -1.0f);
  EXPECT_FLOAT_EQ(engine.GetScoreFromNSBL("BL1.TEST"), -1.0f);  // exact names
  engine.ResetServerDNSBL();
  EXPECT_EQ(engine.GetZoneCount(), 0);
}
