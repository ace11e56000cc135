// sessions_per_address_test - sessions per address, their statistics and concurrent connections.
#include "engines/sessions_per_address.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

TEST(CIP_Session, LimitAndOverStatistic) {
  CIP_Session sessions;
  sessions.SetMaxSessionFromIP(3);
  // Sessions held -> GetSessionIP, IsIpInMaxSession, over-limit counts both add.
  struct Case {
    int held;
    int in_max;
    int over_added;
  };
  const Case cases[] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 2}, {4, 1, 2}};
  int over = 0;
  for (const Case& c : cases) {
    while (sessions.GetNumberOfSession() < c.held) sessions.AddSession("192.0.2.1");
    EXPECT_EQ(sessions.GetSessionIP("192.0.2.1"), c.held);
    EXPECT_EQ(sessions.IsIpInMaxSession("192.0.2.1"), c.in_max) << c.held;
    over += c.over_added;
    EXPECT_EQ(sessions.GetOverStat(), over) << c.held;
  }
  EXPECT_EQ(sessions.GetSessionIP("192.0.2.2"), 0);  // other addresses are apart
  EXPECT_EQ(sessions.IsIpInMaxSession(nullptr), 0);
}

TEST(CIP_Session, RemoveTakesOneSessionAtATime) {
  CIP_Session sessions;
  sessions.AddSession("192.0.2.1");
  sessions.AddSession("192.0.2.1");
  sessions.AddSession("192.0.2.7");
  EXPECT_EQ(sessions.RemoveSession("192.0.2.1"), 1);
  EXPECT_EQ(sessions.GetSessionIP("192.0.2.1"), 1);
  EXPECT_EQ(sessions.RemoveSession("192.0.2.1"), 1);
  EXPECT_EQ(sessions.RemoveSession("192.0.2.1"), 0);
  EXPECT_EQ(sessions.RemoveSession("198.51.100.1"), 0);
  EXPECT_EQ(sessions.GetNumberOfSession(), 1);
  EXPECT_EQ(sessions.GetMaxStat(), 3);  // the high-water mark stays
}

// Concurrent sessions: every count comes back to zero, the high-water mark stays plausible.
TEST(CIP_Session, ConcurrentConnections) {
  CIP_Session sessions;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&sessions, t] {
      const std::string address = "192.0.2." + std::to_string(t % 3);
      for (int i = 0; i < 2000; ++i) {
        sessions.AddSession(address.c_str());
        sessions.RemoveSession(address.c_str());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(sessions.GetNumberOfSession(), 0);
  for (int a = 0; a < 3; ++a) EXPECT_EQ(sessions.GetSessionIP(("192.0.2." + std::to_string(a)).c_str()), 0);
  EXPECT_LE(sessions.GetMaxStat(), 8);
}

}  // namespace
