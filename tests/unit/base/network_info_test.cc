// Tests of CNetInfo: which interface entries make it into the list, and that
// the live list holds the loopback address.
#include "base/network_info.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <map>
#include <string>

namespace {

class RecordingSink : public KeyValueSink {
 public:
  void Clear() override {
    ++clears;
    pairs.clear();
  }
  void Add(const char* key, const char* value, size_t value_len) override {
    EXPECT_EQ(strlen(value), value_len);
    pairs[key] = value;
  }
  int clears = 0;
  std::map<std::string, std::string> pairs;
};

// One hand-built interface entry with the storage its pointers refer to.
struct Entry {
  Entry(const char* name, unsigned flags, int family, const char* address) {
    memset(&v4, 0, sizeof v4);
    memset(&v6, 0, sizeof v6);
    item.ifa_name = const_cast<char*>(name);
    item.ifa_flags = flags;
    if (family == AF_INET) {
      v4.sin_family = AF_INET;
      inet_pton(AF_INET, address, &v4.sin_addr);
      item.ifa_addr = reinterpret_cast<sockaddr*>(&v4);
    } else if (family == AF_INET6) {
      v6.sin6_family = AF_INET6;
      inet_pton(AF_INET6, address, &v6.sin6_addr);
      item.ifa_addr = reinterpret_cast<sockaddr*>(&v6);
    }
  }
  ifaddrs item = {};
  sockaddr_in v4;
  sockaddr_in6 v6;
};

TEST(CNetInfoTest, KeepsOnlyUpIpv4Entries) {
  Entry entries[] = {
      {"lo", IFF_UP | IFF_LOOPBACK, AF_INET, "127.0.0.1"},
      {"eth0", IFF_UP, AF_INET6, "2001:db8::1"},
      {"eth0", IFF_UP, AF_INET, "198.51.100.7"},
      {"eth1", 0, AF_INET, "203.0.113.9"},  // down
      {"tun0", IFF_UP, AF_UNSPEC, nullptr},  // no address at all
  };
  const size_t count = sizeof entries / sizeof entries[0];
  for (size_t i = 0; i + 1 < count; ++i) entries[i].item.ifa_next = &entries[i + 1].item;

  RecordingSink sink;
  CNetInfo::AddUpAddresses(&entries[0].item, &sink);
  std::map<std::string, std::string> expected = {{"127.0.0.1", "127.0.0.1"},
                                                 {"198.51.100.7", "198.51.100.7"}};
  EXPECT_EQ(sink.pairs, expected);
  EXPECT_EQ(sink.clears, 0);

  CNetInfo::AddUpAddresses(nullptr, &sink);
  EXPECT_EQ(sink.pairs, expected);
}

TEST(CNetInfoTest, LiveListReplacesSinkContents) {
  RecordingSink sink;
  sink.pairs["stale"] = "stale";
  ASSERT_TRUE(CNetInfo::BuildNetInfo(&sink));
  EXPECT_EQ(sink.clears, 1);
  EXPECT_EQ(sink.pairs.count("stale"), 0u);
  ASSERT_EQ(sink.pairs.count("127.0.0.1"), 1u) << "loopback is up on every host we run on";
  for (const auto& [key, value] : sink.pairs) {
    in_addr parsed;
    EXPECT_EQ(key, value);
    EXPECT_EQ(inet_pton(AF_INET, key.c_str(), &parsed), 1) << key;
  }
}

}  // namespace
