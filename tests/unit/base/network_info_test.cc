// Tests of CNetInfo: which interface entries make it into the list, and that
// the live list holds the loopback address.
#include "base/network_info.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <map>
#include <string>

#include "common/map_sink.h"

namespace {

// One hand-built interface entry with the storage its address refers to; only IPv4 addresses are filled in.
struct Entry {
  Entry(const char* name, unsigned flags, int family, const char* address = "0.0.0.0") {
    item.ifa_name = const_cast<char*>(name);
    item.ifa_flags = flags;
    storage.ss_family = static_cast<sa_family_t>(family);
    inet_pton(AF_INET, address, &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr);
    if (family != AF_UNSPEC) item.ifa_addr = reinterpret_cast<sockaddr*>(&storage);
  }
  ifaddrs item = {};
  sockaddr_storage storage = {};
};

TEST(CNetInfoTest, KeepsOnlyUpIpv4Entries) {
  Entry entries[] = {
      {"lo", IFF_UP | IFF_LOOPBACK, AF_INET, "127.0.0.1"},
      {"eth0", IFF_UP, AF_INET6},
      {"eth0", IFF_UP, AF_INET, "198.51.100.7"},
      {"eth1", 0, AF_INET, "203.0.113.9"},  // down
      {"tun0", IFF_UP, AF_UNSPEC},          // no address at all
  };
  for (size_t i = 0; i + 1 < std::size(entries); ++i) entries[i].item.ifa_next = &entries[i + 1].item;

  MapSink sink;
  CNetInfo::AddUpAddresses(&entries[0].item, &sink);
  EXPECT_EQ(sink.pairs, (std::map<std::string, std::string>{{"127.0.0.1", "127.0.0.1"}, {"198.51.100.7", "198.51.100.7"}}));
  EXPECT_EQ(sink.clears, 0);
}

TEST(CNetInfoTest, LiveListReplacesSinkContents) {
  MapSink sink;
  sink.pairs["stale"] = "stale";
  ASSERT_TRUE(CNetInfo::BuildNetInfo(&sink));
  EXPECT_EQ(sink.clears, 1);
  EXPECT_EQ(sink.pairs.count("stale"), 0u);
  EXPECT_EQ(sink.pairs["127.0.0.1"], "127.0.0.1") << "loopback is up on every host we run on";
}

}  // namespace
