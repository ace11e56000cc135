// helo_forgery_test - the table of this server's own names, its rebuild and persistence.
#include "engines/helo_forgery.h"

#include <gtest/gtest.h>

#include "base/utility.h"
#include "common/scratch_dir.h"
#include "dns_test_server.h"
#include "engines/dns.h"

namespace {

class CHeloForgetTest : public ::testing::Test {
 protected:
  ScratchAppDir dir_;
  const CArray<String> no_domains_;
};

TEST_F(CHeloForgetTest, RebuildNamesThisServer) {
  CHeloForget table;
  EXPECT_EQ(table.IsForgetHelo("localhost"), 0);  // empty before the first rebuild
  ASSERT_EQ(table.WhoIsI("192.0.2.1", "mx.local", nullptr, no_domains_), 1);
  struct Case {
    const char* helo;
    int forged;
  };
  const Case cases[] = {
      {"[192.0.2.1]", 1}, {"'192.0.2.1'", 1}, {"192.0.2.1", 1},  {"mx.local", 1},
      {"MX.Local", 1},    {"friends", 1},     {"localhost", 1},  {"LOCALHOST", 1},
      {"192.0.2.10", 0},  {"mx.local.", 0},   {"client.example", 0}, {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(table.IsForgetHelo(c.helo), c.forged) << c.helo;
  EXPECT_EQ(table.IsForgetHelo(nullptr), 0);
  EXPECT_EQ(table.GetRealRecordCount(), 6);
  const int32_t n = table.Find("localhost", 0);
  ASSERT_GE(n, 0);
  EXPECT_STREQ(table.GetByIndexPtr(n)->value.get(), "127.0.0.1");
}

// A rebuild replaces the whole table and saves it; without an address it changes nothing.
TEST_F(CHeloForgetTest, RebuildReplacesAndPersists) {
  {
    CHeloForget table;
    ASSERT_EQ(table.WhoIsI("192.0.2.1", "old.local", nullptr, no_domains_), 1);
    ASSERT_EQ(table.WhoIsI("198.51.100.7", "New.Local", nullptr, no_domains_), 1);
    EXPECT_EQ(table.IsForgetHelo("[192.0.2.1]"), 0);
    EXPECT_EQ(table.IsForgetHelo("old.local"), 0);
    EXPECT_EQ(table.IsForgetHelo("[198.51.100.7]"), 1);
    // Stored as configured; the HELO is lower-cased, so it cannot match.
    EXPECT_EQ(table.IsForgetHelo("New.Local"), 0);
    EXPECT_EQ(table.WhoIsI("", "x.local", nullptr, no_domains_), 0);
    EXPECT_EQ(table.IsForgetHelo("[198.51.100.7]"), 1);
    EXPECT_FALSE(table.IsRefreshing());
  }
  CHeloForget reloaded;
  EXPECT_EQ(reloaded.IsForgetHelo("[198.51.100.7]"), 1);
  EXPECT_EQ(reloaded.IsForgetHelo("friends"), 1);
  EXPECT_EQ(reloaded.GetRealRecordCount(), 6);
}

// Of each local domain, the first MX host whose address is ours joins the table.
TEST_F(CHeloForgetTest, OwnMxHostsOfLocalDomains) {
  if (!bltest::DnslibAvailable()) GTEST_SKIP() << "python3-dnslib is not installed";
  bltest::TestNameServer server(dir_.File("server"), bltest::kBlockListPool);
  ASSERT_TRUE(server.Start());
  server.Setup(R"({"records": {
      "local.test": [["MX", "backup.isp.test", 20], ["MX", "MX1.Local.test", 10], ["MX", "mx2.local.test", 30]],
      "backup.isp.test": [["A", "203.0.113.5"]],
      "mx1.local.test": [["A", "192.0.2.1"]],
      "mx2.local.test": [["A", "192.0.2.1"]],
      "other.test": [["MX", "mx.other.test", 10]],
      "mx.other.test": [["A", "203.0.113.9"]]}})");
  DnsSettings settings;
  settings.servers.Add(String(server.address().c_str()));
  settings.timeout_ms = 2000;
  CDns dns(settings);
  CArray<String> domains;
  for (const char* d : {"local.test", "other.test", "missing.test"}) domains.Add(String(d));

  CHeloForget table;
  ASSERT_EQ(table.WhoIsI("192.0.2.1", "gw.local.test", &dns, domains), 1);
  EXPECT_EQ(table.IsForgetHelo("mx1.local.test"), 1);
  EXPECT_EQ(table.IsForgetHelo("mx2.local.test"), 0) << "only the first own host per domain";
  EXPECT_EQ(table.IsForgetHelo("backup.isp.test"), 0);
  EXPECT_EQ(table.IsForgetHelo("mx.other.test"), 0);
  EXPECT_EQ(table.IsForgetHelo("gw.local.test"), 1);
  EXPECT_EQ(table.GetRealRecordCount(), 7);
}

}  // namespace
