// address_ranges_test - address ranges, and domains matched against confirmed host names.
#include "engines/address_ranges.h"

#include <gtest/gtest.h>

#include "base/utility.h"
#include "common/scratch_dir.h"
#include "dns_test_server.h"
#include "engines/dns.h"

namespace {

TEST(CIPNET, ValidityRules) {
  struct Case {
    const char* from;
    const char* to;
    bool valid;
  };
  const Case cases[] = {
      {"10.1.0.0", "10.1.255.255", true},
      {"192.168.1.10", "192.168.2.20", true},
      {"192.168.1.5", "192.168.1.5", true},       // a single address
      {"0.0.0.0", "255.255.255.255", false},      // first octets both 0 or 255
      {"10.0.0.0", "11.255.255.255", false},      // from below to in the first octet
      {"11.1.0.0", "10.5.0.0", false},            // from < to at an octet while from > to before it
      {"192.168.1.0", "192.168.1.0", false},      // network (or broadcast) address alone
      {"11.0.0.0", "10.0.0.0", true},             // accepted, matches nothing
      {"10.1.300.0", "10.1.300.255", false},      // octet out of range
      {"10.1.2.3", "", true},                     // to reads 0.0.0.0 (AddRange takes "" as from)
  };
  for (const Case& c : cases) EXPECT_EQ(CIPNET::IsValidRange(c.from, c.to), c.valid) << c.from << " - " << c.to;
}

TEST(CIPNET, PopolateReadsFourDecimalParts) {
  struct Case {
    const char* text;
    uint32_t octets[4];
  };
  const Case cases[] = {
      {"10.1.7.9", {10, 1, 7, 9}},    {"10.1", {10, 1, 0, 0}},     {"", {0, 0, 0, 0}},
      {"a.b.c.d", {0, 0, 0, 0}},      {"1.2.3.4.5", {1, 2, 3, 4}}, {" 7. 8.9.10x", {7, 8, 9, 10}},
      {"99999999999999.1.1.1", {100000, 1, 1, 1}}, {nullptr, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    CIPNET::NETIP ip;
    CIPNET::PopolateFromString(&ip, c.text);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(ip.octet[k], c.octets[k]) << c.text << " octet " << k;
  }
}

// Ranges are boxes of octet intervals, not intervals of 32-bit numbers.
TEST(CIPNET, MembershipIsAnOctetBox) {
  CIPNET list(nullptr);
  list.AddRange("10.1.0.0|10.1.255.255|office");
  list.AddRange("192.168.1.10", "192.168.2.20");
  list.AddRange(" 172.16.0.7 ");  // a single address, blanks around it
  struct Case {
    const char* address;
    int member;
  };
  const Case cases[] = {
      {"10.1.7.9", 1},      {"10.2.0.1", 0},      {"192.168.1.15", 1}, {"192.168.1.5", 0},
      {"192.168.2.15", 1},  {"192.168.1.25", 0},  // inside the 32-bit interval, outside the box
      {"172.16.0.7", 1},    {"172.16.0.8", 0},    {"not an address", 0}, {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(list.IsValidIPintheRange(c.address), c.member) << c.address;
  EXPECT_EQ(list.IsValidIPintheRange(nullptr), 0);
  EXPECT_EQ(list.GetRangeCount(), 3);
}

TEST(CIPNET, EntriesSortIntoRangesAndHostNames) {
  CIPNET list(nullptr);
  list.AddRange("mail.bigprovider.test||pattern");  // a host name: to ignored
  list.AddRange("10.0.0.0|11.0.0.0");                // invalid: dropped silently
  list.AddRange("10.9.0.0|10.9.0.255|comment|more");
  list.AddRange(static_cast<const char*>(nullptr));
  list.AddRange("|");
  EXPECT_EQ(list.GetDomainCount(), 1);
  EXPECT_EQ(list.GetRangeCount(), 1);
  EXPECT_EQ(list.IsValidIPintheRange("10.9.0.44"), 1);
  EXPECT_EQ(list.IsValidIPintheRange("10.9.1.44"), 0);

  CArray<String> entries;
  entries.Add(String("192.0.2.0|192.0.2.255"));
  list.ReplaceRanges(entries);
  EXPECT_EQ(list.GetDomainCount(), 0);
  EXPECT_EQ(list.IsValidIPintheRange("10.9.0.44"), 0);
  EXPECT_EQ(list.IsValidIPintheRange("192.0.2.200"), 1);
  list.DeleteRange();
  EXPECT_EQ(list.IsValidIPintheRange("192.0.2.200"), 0);
}

// A host-name entry takes clients whose reverse name, confirmed forward, lies in its domain.
TEST(CIPNET, DomainsTakeConfirmedHostNamesInThem) {
  if (!bltest::DnslibAvailable()) GTEST_SKIP() << "python3-dnslib is not installed";
  ScratchAppDir dir;
  bltest::TestNameServer server(dir.File("server"), bltest::kBlockListPool);
  ASSERT_TRUE(server.Start());
  server.Setup(R"({"records": {
      "1.2.0.192.in-addr.arpa": [["PTR", "MX7.BigProvider.test"]],
      "mx7.bigprovider.test": [["A", "192.0.2.1"]],
      "2.2.0.192.in-addr.arpa": [["PTR", "mx.elsewhere.test"]],
      "mx.elsewhere.test": [["A", "192.0.2.2"]],
      "5.2.0.192.in-addr.arpa": [["PTR", "mx5.bigprovider.test"]],
      "mx5.bigprovider.test": [["A", "192.0.2.99"]],
      "6.2.0.192.in-addr.arpa": [["PTR", "bigprovider.test.evil.test"]],
      "bigprovider.test.evil.test": [["A", "192.0.2.6"]],
      "7.2.0.192.in-addr.arpa": [["PTR", "bigprovider.test"]],
      "bigprovider.test": [["A", "192.0.2.7"]]}})");
  DnsSettings settings;
  settings.servers.Add(String(server.address().c_str()));
  settings.timeout_ms = 2000;
  CDns dns(settings);
  CIPNET list(&dns);
  list.AddRange("bigprovider.test");
  list.AddRange("192.0.2.3|192.0.2.3");
  const std::pair<const char*, int> cases[] = {
      {"192.0.2.1", 1},  // confirmed, in the domain
      {"192.0.2.7", 1},  // the domain's own name
      {"192.0.2.2", 0},  // another provider
      {"192.0.2.5", 0},  // the name does not lead back to the address
      {"192.0.2.6", 0},  // the domain's name inside someone else's
      {"192.0.2.3", 1},  // no PTR: the range decides
  };
  for (const auto& [address, member] : cases) EXPECT_EQ(list.IsValidIPintheRange(address), member) << address;
  EXPECT_EQ(server.Count("1.2.0.192.in-addr.arpa", kDnsTypePTR), 1);

  CIPNET ranges_only(&dns);  // no domains: no reverse lookup at all
  ranges_only.AddRange("192.0.2.3|192.0.2.3");
  EXPECT_EQ(ranges_only.IsValidIPintheRange("192.0.2.4"), 0);
  dns.LookupText("probe.test", kDnsTypeA);  // counted before it is answered
  ASSERT_EQ(server.Count("probe.test", kDnsTypeA), 1);
  EXPECT_EQ(server.Count("4.2.0.192.in-addr.arpa", kDnsTypePTR), 0);
}

}  // namespace
