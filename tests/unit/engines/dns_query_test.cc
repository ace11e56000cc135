// dns_query_test - query messages, answer matching, server choice and the cache file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "base/utility.h"
#include "common/scratch_dir.h"
#include "engines/dns.h"
#include "engines/dns_wire.h"
#include "engines/record_store.h"

namespace {

std::vector<uint8_t> Bytes(const CDnsBuffer& b) { return std::vector<uint8_t>(b.data(), b.data() + b.size()); }

// ---- CDnsBuffer -------------------------------------------------------------------

TEST(DnsBufferTest, BuildsTheQueryMessage) {
  CDnsBuffer q;
  q.ResetBuffer(0xBEEF);
  ASSERT_TRUE(q.PushQuery("ab.cde", kDnsTypeMX));
  const std::vector<uint8_t> expected = {0xBE, 0xEF, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0,
                                         2,    'a',  'b',  3,    'c',  'd',  'e', 0, 0, 15, 0, 1};
  EXPECT_EQ(Bytes(q), expected);
  EXPECT_EQ(q.id(), 0xBEEF);
}

TEST(DnsBufferTest, NameLimitsAreCheckedBeforeSending) {
  const std::string label63(63, 'a');
  const std::string label64(64, 'a');
  // 3*64 + 62 + 1 = 255 wire bytes: the longest legal name.
  const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  struct Case {
    std::string name;
    bool ok;
    size_t size;
  };
  const Case cases[] = {
      {"example.test", true, 12 + 14 + 4},
      {"example.test.", true, 12 + 14 + 4},  // the final dot is optional
      {".", true, 12 + 1 + 4},               // the root
      {label63 + ".test", true, 12 + 64 + 6 + 4},
      {longest, true, 12 + 255 + 4},
      {longest + "b", false, 12},
      {label64 + ".test", false, 12},
      {"a..test", false, 12},
      {"", false, 12},
  };
  for (const Case& c : cases) {
    CDnsBuffer q;
    q.ResetBuffer(7);
    EXPECT_EQ(q.PushQuery(c.name.c_str(), kDnsTypeA), c.ok) << c.name;
    EXPECT_EQ(q.size(), c.size) << c.name;
  }
  CDnsBuffer q;
  EXPECT_FALSE(q.PushQuery(nullptr, kDnsTypeA));
}

// ---- Matching ---------------------------------------------------------------------

TEST(DnsMatchTest, OnlyTheGenuineAnswerIsTaken) {
  CDnsBuffer q;
  q.ResetBuffer(0x4242);
  ASSERT_TRUE(q.PushQuery("Mail.Example.test", kDnsTypeA));
  std::vector<uint8_t> genuine = Bytes(q);
  genuine[2] |= 0x80;                            // QR
  genuine.insert(genuine.end(), {0xC0, 12, 0});  // an answer follows

  struct Case {
    const char* what;
    void (*change)(std::vector<uint8_t>*);
    bool accepted;
  };
  const Case cases[] = {
      {"genuine", [](std::vector<uint8_t>*) {}, true},
      {"name in another case", [](std::vector<uint8_t>* a) { (*a)[13] = 'm'; }, true},
      {"wrong ID", [](std::vector<uint8_t>* a) { (*a)[1] ^= 1; }, false},
      {"QR clear", [](std::vector<uint8_t>* a) { (*a)[2] &= 0x7F; }, false},
      {"two questions", [](std::vector<uint8_t>* a) { (*a)[5] = 2; }, false},
      {"other name", [](std::vector<uint8_t>* a) { (*a)[14] = 'x'; }, false},
      {"other type", [](std::vector<uint8_t>* a) { (*a)[12 + 19 + 1] = 28; }, false},
      {"cut inside the question", [](std::vector<uint8_t>* a) { a->resize(20); }, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> answer = genuine;
    c.change(&answer);
    EXPECT_EQ(IsAnswerTo(q, answer.data(), answer.size()), c.accepted) << c.what;
  }
  CDnsBuffer no_question;
  no_question.ResetBuffer(0x4242);
  EXPECT_FALSE(IsAnswerTo(no_question, genuine.data(), genuine.size()));
}

TEST(DnsMatchTest, QueryIdsAreNonZeroAndVary) {
  std::set<uint16_t> seen;
  for (int i = 0; i < 64; ++i) {
    uint16_t id = 0;
    ASSERT_TRUE(DrawQueryId(&id));
    EXPECT_NE(id, 0);
    seen.insert(id);
  }
  EXPECT_GT(seen.size(), 48u);  // 64 draws from 65535 values barely collide
}

// ---- CDnsNameServer ---------------------------------------------------------------

TEST(DnsNameServerTest, FastestUsableServerWinsFirstOnTies) {
  CDnsNameServer list;
  String top;
  list.GetTopServerDNS(&top);
  EXPECT_EQ(top, "127.0.0.1");  // nothing configured: the local resolver

  list.AddNameServerDNS("10.0.0.1");
  list.AddNameServerDNS("10.0.0.2");
  list.AddNameServerDNS("10.0.0.1");  // duplicate ignored
  list.AddNameServerDNS("");
  list.AddNameServerDNS(nullptr);
  EXPECT_EQ(list.GetServerCount(), 2);

  struct Step {
    const char* server;
    int32_t time;
    const char* top;
  };
  const Step steps[] = {
      {nullptr, 0, "10.0.0.1"},            // both 0: the first
      {"10.0.0.1", 2200, "10.0.0.2"},      // a failure penalty moves it back
      {"10.0.0.2", 3000, "10.0.0.1"},      // the other failed worse
      {"10.0.0.2", 15, "10.0.0.2"},        // a fast answer brings it forward
      {"10.9.9.9", 1, "10.0.0.2"},         // unknown: ignored
      {"10.0.0.2", 1000000, "10.0.0.1"},   // unusable
      {"10.0.0.1", 1000000, ""},           // none usable
  };
  for (const Step& s : steps) {
    if (s.server != nullptr) list.RegistraTime(s.server, s.time);
    list.GetTopServerDNS(&top);
    EXPECT_EQ(top, s.top) << (s.server ? s.server : "start") << " " << s.time;
  }
  list.GetNameSeverDNS(&top, 1);
  EXPECT_EQ(top, "10.0.0.2");
  list.GetNameSeverDNS(&top, -1);
  EXPECT_EQ(top, "");
  list.GetNameSeverDNS(&top, 2);
  EXPECT_EQ(top, "");
  list.ResetServerDNS();
  EXPECT_EQ(list.GetServerCount(), 0);
}

// ---- Configuration ------------------------------------------------------------------

TEST(DnsSettingsTest, ConfigurationGivesServersTimeOutAndLifetime) {
  struct Case {
    const char* ini;
    std::vector<std::string> servers;
    int32_t timeout, value, unit;
  };
  const Case cases[] = {
      {"", {"127.0.0.1"}, 2000, 30, 60},  // the defaults
      {"[DNS]\r\nnameserver_0=8.8.8.8\r\nnameserver_1=none\r\nnameserver_3=ns.example.test\r\n"
       "timeout_millisecond=1500\r\ndelete_old_record_time=2\r\ndelete_old_record_type=3600\r\n",
       {"8.8.8.8", "ns.example.test"}, 1500, 2, 3600},
  };
  for (const Case& c : cases) {
    CConfig config;
    ASSERT_TRUE(config.LoadBuffer(c.ini));
    ASSERT_TRUE(config.ReadConfig());
    const DnsSettings settings = DnsSettingsFromConfig(config);
    std::vector<std::string> servers;
    for (const String& s : settings.servers) servers.push_back(s.ToStdString());
    EXPECT_EQ(servers, c.servers) << c.ini;
    EXPECT_EQ(settings.timeout_ms, c.timeout);
    EXPECT_EQ(settings.cache_lifetime_value, c.value);
    EXPECT_EQ(settings.cache_lifetime_unit, c.unit);
  }
}

// ---- CDns without a network -------------------------------------------------------

class DnsCacheFileTest : public ::testing::Test {
 protected:
  // A captured answer: one record of `type` whose data is `rdata`.
  static std::vector<uint8_t> Answer(uint16_t type, const std::vector<uint8_t>& rdata) {
    std::vector<uint8_t> a = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0, 1, 'x', 0, 0, 0, 0, 1};
    a[16] = static_cast<uint8_t>(type);
    a.insert(a.end(), {0xC0, 12, 0, static_cast<uint8_t>(type), 0, 1, 0, 0, 1, 0, 0,
                       static_cast<uint8_t>(rdata.size())});
    a.insert(a.end(), rdata.begin(), rdata.end());
    return a;
  }

  ScratchAppDir scratch_;
  const std::string dir_ = scratch_.path();
};

// Never reached: lookups below are answered from the cache or refused before sending.
constexpr const char* kDeadServer = "127.0.0.1";

TEST_F(DnsCacheFileTest, CachedAnswersAreServedUnderTheirKeys) {
  {
    ASSERT_EQ(mkdir((dir_ + "/db").c_str(), 0755), 0);
    CDB_RAM store;
    ASSERT_EQ(store.Open(CDns::kCacheFile), 1);
    const auto a = Answer(kDnsTypeA, {192, 0, 2, 7});
    const auto ptr = Answer(kDnsTypePTR, {4, 'h', 'o', 's', 't', 0xC0, 12});
    ASSERT_EQ(store.Insert("x.test 1", a.data(), static_cast<int32_t>(a.size()), 0), 1);
    ASSERT_EQ(store.Insert("192.0.2.1 12", ptr.data(), static_cast<int32_t>(ptr.size()), 0), 1);
    ASSERT_EQ(store.Save(), 1);
  }
  DnsSettings settings;
  settings.servers.Add(String(kDeadServer));
  settings.timeout_ms = 50;
  CDns dns(settings);
  EXPECT_EQ(dns.GetCacheRecordCount(), 2);
  EXPECT_EQ(dns.LookupText("x.test", kDnsTypeA), "192.0.2.7");
  EXPECT_EQ(dns.LookupText("192.0.2.1", kDnsTypePTR), "host.x");
  EXPECT_EQ(dns.GetServerTime(kDeadServer), 0);  // nothing was sent
}

TEST_F(DnsCacheFileTest, SettingsAndRefusals) {
  CDns dns;
  EXPECT_EQ(dns.GetTimeOut(), CDns::kDefaultTimeoutMs);
  dns.SetTimeOut(0);
  EXPECT_EQ(dns.GetTimeOut(), CDns::kDefaultTimeoutMs);
  dns.SetTimeOut(1 << 30);
  EXPECT_EQ(dns.GetTimeOut(), CDns::kMaxTimeoutMs);
  dns.SetTimeOut(750);
  EXPECT_EQ(dns.GetTimeOut(), 750);
  dns.AddNameServerDNS("10.0.0.1");
  dns.RegistraTime("10.0.0.1", 40);
  DnsSettings reload;
  reload.servers.Add(String("10.0.0.2"));
  reload.servers.Add(String("10.0.0.1"));
  dns.ApplySettings(reload);  // the list is rebuilt, times back to 0
  EXPECT_EQ(dns.GetServerCount(), 2);
  EXPECT_EQ(dns.GetServerTime("10.0.0.1"), 0);
  EXPECT_EQ(dns.GetTimeOut(), 200);
  dns.ResetServerDNS();

  CDnsRES_RECORD result;
  EXPECT_EQ(dns.QueryDns("x.test", &result, kDnsTypeA), 0);  // no server
  dns.AddNameServerDNS(kDeadServer);
  EXPECT_EQ(dns.QueryDns(nullptr, &result, kDnsTypeA), 0);
  EXPECT_EQ(dns.QueryDns("x.test", nullptr, kDnsTypeA), 0);
  EXPECT_EQ(dns.QueryDns(std::string(300, 'a').c_str(), &result, kDnsTypeA), 0);
  EXPECT_EQ(dns.GetServerTime(kDeadServer), 0);  // refused before sending
  EXPECT_TRUE(FileExists((dir_ + "/db/cache_dns.db").c_str()));
}

}  // namespace
