// dns_server_test - the resolver against loopback test name servers (dns_test_server.py).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/utility.h"
#include "common/scratch_dir.h"
#include "common/test_server_process.h"
#include "dns_test_server.h"
#include "engines/dns.h"

namespace {

using bltest::TestNameServer;

// Loopback addresses the resolver tests' servers may take.
constexpr bltest::AddressPool kPool = {"127.0.0.", 61, 120};

// A loopback address of the pool where nothing listens on port 53.
std::string SilentAddress() {
  for (int host = kPool.last; host >= kPool.first; --host) {
    const std::string address = kPool.prefix + std::to_string(host);
    if (testproc::UdpPortFree(address, kDnsPort)) return address;
  }
  return "";
}

class DnsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bltest::DnslibAvailable()) GTEST_SKIP() << "python3-dnslib is not installed";
    server_ = AddServer();
    ASSERT_NE(server_, nullptr) << "no test name server could be started";
  }

  // Starts one more test server; null when it cannot.
  TestNameServer* AddServer() {
    servers_.push_back(std::make_unique<TestNameServer>(dir_ + "/server" + std::to_string(servers_.size()), kPool));
    return servers_.back()->Start() ? servers_.back().get() : nullptr;
  }

  // A resolver on the given servers, with its cache under the test directory.
  static std::unique_ptr<CDns> Resolver(const std::vector<TestNameServer*>& servers, int32_t timeout_ms) {
    DnsSettings settings;
    for (TestNameServer* s : servers) settings.servers.Add(String(s->address().c_str()));
    settings.timeout_ms = timeout_ms;
    return std::make_unique<CDns>(settings);
  }

  ScratchAppDir scratch_;
  const std::string dir_ = scratch_.path();
  std::vector<std::unique_ptr<TestNameServer>> servers_;
  TestNameServer* server_ = nullptr;  // the first server, started for every test
};

// Timeouts: generous where an answer is expected, short where one is not.
constexpr int32_t kAnsweredTimeoutMs = 2000;
constexpr int32_t kSilentTimeoutMs = 500;

// What the script functions see for each kind of record of the test zone.
struct TextCase {
  const char* name;
  uint16_t type;
  const char* text;
};
constexpr TextCase kTextCases[] = {
    {"a.torvane.test", kDnsTypeA, "192.0.2.10"},
    {"mx2.torvane.test", kDnsTypeMX, "mail1.torvane.test;mail2.torvane.test"},
    {"ns.torvane.test", kDnsTypeNS, "ns1.torvane.test;ns2.torvane.test"},
    {"txt1.torvane.test", kDnsTypeTXT, "v=spf1 -all"},
    {"txt2.torvane.test", kDnsTypeTXT, "ab.cd"},
    {"192.0.2.1", kDnsTypePTR, "host1.torvane.test"},
    {"hop1.torvane.test", kDnsTypeA, "a.torvane.test"},  // the alias itself
    {"missing.torvane.test", kDnsTypeA, ""},
};

// The script texts of each kind of record; an address is resolved through at most eight aliases.
TEST_F(DnsServerTest, LookupsReturnTheScriptTextsAndFollowAliases) {
  auto dns = Resolver({server_}, kAnsweredTimeoutMs);
  for (const TextCase& c : kTextCases) EXPECT_EQ(dns->LookupText(c.name, c.type), c.text) << c.name;
  EXPECT_EQ(server_->Count("1.2.0.192.in-addr.arpa", kDnsTypePTR), 1);
  EXPECT_EQ(dns->ResolveAddress("a.torvane.test"), "192.0.2.10");
  EXPECT_EQ(dns->ResolveAddress("hop8.torvane.test"), "192.0.2.10");
  EXPECT_EQ(dns->ResolveAddress("hop9.torvane.test"), "");
  EXPECT_EQ(dns->ResolveAddress("missing.torvane.test"), "");
  EXPECT_EQ(dns->ResolveAddress("loop.torvane.test"), "");  // ends, and from the cache
  EXPECT_EQ(server_->Count("loop.torvane.test", kDnsTypeA), 1);
}

// The core's one resolver serves every connection thread at once; after a first query the cache answers.
TEST_F(DnsServerTest, ThreadsShareOneResolver) {
  auto dns = Resolver({server_}, kAnsweredTimeoutMs);
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 10; ++round) {
        for (const TextCase& c : kTextCases) EXPECT_EQ(dns->LookupText(c.name, c.type), c.text) << c.name;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_LE(server_->Count("a.torvane.test", kDnsTypeA), 6) << "threads race to the first query only";
}

// (Which outcomes are cached: LookupReportsTheOutcomeAndCachesNoFailure.)
TEST_F(DnsServerTest, AnswersAreCachedPerTypeAndSurviveARestart) {
  {
    auto dns = Resolver({server_}, kAnsweredTimeoutMs);
    for (int round = 0; round < 2; ++round)
      EXPECT_EQ(dns->LookupText("mx2.torvane.test", kDnsTypeMX), "mail1.torvane.test;mail2.torvane.test");
    EXPECT_EQ(server_->Count("mx2.torvane.test", kDnsTypeMX), 1);
    EXPECT_EQ(dns->LookupText("mx2.torvane.test", kDnsTypeNS), "");  // another type: another key
    EXPECT_EQ(server_->Count("mx2.torvane.test", kDnsTypeNS), 1);
  }
  // The destructor saved the cache: a new resolver still sends nothing.
  auto restarted = Resolver({server_}, kAnsweredTimeoutMs);
  EXPECT_EQ(restarted->LookupText("mx2.torvane.test", kDnsTypeMX), "mail1.torvane.test;mail2.torvane.test");
  EXPECT_EQ(server_->Count("mx2.torvane.test", kDnsTypeMX), 1);
}

TEST_F(DnsServerTest, HygieneDropsAnswersPastTheirLifetime) {
  auto dns = Resolver({server_}, kAnsweredTimeoutMs);
  dns->SetTimeOfValidityRecord(1, 1);  // one second
  const time_t asked = GetTimeNow();
  EXPECT_EQ(dns->LookupText("a.torvane.test", kDnsTypeA), "192.0.2.10");
  EXPECT_EQ(dns->SanitaryCache(), 0);  // still young
  for (int i = 0; i < 150 && GetTimeNow() < asked + 2; ++i) MySleep(20);
  EXPECT_EQ(dns->SanitaryCache(), 1);
  EXPECT_EQ(dns->GetCacheRecordCount(), 0);
  EXPECT_EQ(dns->LookupText("a.torvane.test", kDnsTypeA), "192.0.2.10");
  EXPECT_EQ(server_->Count("a.torvane.test", kDnsTypeA), 2);
}

// A silent server is penalised; the next query goes to the one that answered (choice: DnsNameServerTest).
TEST_F(DnsServerTest, SilentFastestServerIsPenalised) {
  TestNameServer* answering = server_;
  TestNameServer* fastest = AddServer();
  ASSERT_NE(fastest, nullptr) << "no second test name server could be started";
  auto dns = Resolver({answering, fastest}, kSilentTimeoutMs);
  dns->RegistraTime(answering->address().c_str(), 5);
  dns->RegistraTime(fastest->address().c_str(), 1);
  fastest->SetMode("silent");

  EXPECT_EQ(dns->LookupText("a.torvane.test", kDnsTypeA), "192.0.2.10");
  EXPECT_EQ(fastest->Count("a.torvane.test", kDnsTypeA), 1);
  EXPECT_EQ(answering->Count("a.torvane.test", kDnsTypeA), 1);
  EXPECT_EQ(dns->GetServerTime(fastest->address().c_str()), kSilentTimeoutMs + CDns::kFailurePenaltyMs);
  EXPECT_LT(dns->GetServerTime(answering->address().c_str()), kSilentTimeoutMs);  // measured

  EXPECT_EQ(dns->LookupText("txt1.torvane.test", kDnsTypeTXT), "v=spf1 -all");
  EXPECT_EQ(answering->Count("txt1.torvane.test", kDnsTypeTXT), 1);
  EXPECT_EQ(fastest->Count("txt1.torvane.test", kDnsTypeTXT), 0);
}

// A refusal ends the wait: a time-out this long would outlast the bound.
TEST_F(DnsServerTest, ServerNotListeningFailsAtOnce) {
  const std::string nobody = SilentAddress();
  ASSERT_FALSE(nobody.empty());
  constexpr int32_t kLongTimeoutMs = 30000;
  DnsSettings settings;
  settings.servers.Add(String(nobody.c_str()));
  settings.timeout_ms = kLongTimeoutMs;
  CDns dns(settings);
  CDnsRES_RECORD result;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(dns.QueryDns("a.torvane.test", &result, kDnsTypeA), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kLongTimeoutMs / 2));
  EXPECT_EQ(dns.GetServerTime(nobody.c_str()), kLongTimeoutMs + CDns::kFailurePenaltyMs);
}

// A forged answer (127.0.0.2) comes before the true one: the resolver waits
// for the true one. Which headers and questions match is DnsMatchTest's table.
TEST_F(DnsServerTest, ForgedAnswersAreIgnored) {
  for (const char* mode : {"spoof-id", "spoof-port"}) {
    const std::string app = dir_ + "/" + mode;  // a cache of its own
    std::filesystem::create_directories(app);
    SetAppPath(app.c_str());
    server_->SetMode(mode);
    EXPECT_EQ(Resolver({server_}, kAnsweredTimeoutMs)->LookupText("a.torvane.test", kDnsTypeA), "192.0.2.10") << mode;
  }
}

// What a lookup came to; a server failure or refusal is asked again, a missing name is not.
TEST_F(DnsServerTest, LookupReportsTheOutcomeAndCachesNoFailure) {
  struct Case {
    const char* mode;
    const char* name;
    DnsStatus status;
    int queries_for_two_lookups;
  };
  const Case cases[] = {
      {"answer", "a.torvane.test", DnsStatus::kAnswer, 1},
      {"answer", "missing.torvane.test", DnsStatus::kNameError, 1},
      {"servfail", "s.torvane.test", DnsStatus::kServerFailure, 2},
      {"refused", "r.torvane.test", DnsStatus::kRefused, 2},
      {"silent", "quiet.torvane.test", DnsStatus::kNoAnswer, 2},
      {"answer", "a..torvane.test", DnsStatus::kUnsendable, 0},
  };
  auto dns = Resolver({server_}, kSilentTimeoutMs);
  for (const Case& c : cases) {
    server_->SetMode(c.mode);
    for (int round = 0; round < 2; ++round) {
      CArray<CDnsRES_RECORD::DnsRR> records;
      EXPECT_EQ(dns->Lookup(c.name, kDnsTypeA, 0, &records), c.status) << c.name;
      EXPECT_EQ(records.GetSize(), c.status == DnsStatus::kAnswer ? 1 : 0) << c.name;
    }
    EXPECT_EQ(server_->Count(c.name, kDnsTypeA), c.queries_for_two_lookups) << c.name;
  }
}

// An answer cut to fit a datagram is fetched whole over TCP; TXT strings also come unjoined.
TEST_F(DnsServerTest, CutAnswerIsAskedAgainOverTcp) {
  auto dns = Resolver({server_}, kAnsweredTimeoutMs);
  CArray<CDnsRES_RECORD::DnsRR> records;
  ASSERT_EQ(dns->Lookup("big.torvane.test", kDnsTypeTXT, 0, &records), DnsStatus::kAnswer);
  ASSERT_EQ(records.GetSize(), 6);
  EXPECT_EQ(records[5].text, ("5" + std::string(99, 'x')).c_str());
  EXPECT_EQ(server_->Count("big.torvane.test", kDnsTypeTXT), 2);  // the datagram, then TCP

  ASSERT_EQ(dns->Lookup("txt2.torvane.test", kDnsTypeTXT, 0, &records), DnsStatus::kAnswer);
  ASSERT_EQ(records.GetSize(), 1);
  EXPECT_EQ(records[0].data, "ab.cd");
  EXPECT_EQ(records[0].text, "abcd");
}

}  // namespace
