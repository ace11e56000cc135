// Tests of CSocketComm, SockAddrIn and the lookups, on loopback sockets only.
#include "base/socket.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(SocketLookupTest, PortNumbers) {
  struct Case {
    const char* text;
    uint16_t port;
  } cases[] = {
      {"70000", 70000 & 0xFFFF}, {"12abc", 12}, {"smtp", 25}, {"no-such-service-torvane", 0}, {"", 0}, {nullptr, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SCOMM_GetPortNumber(c.text), c.port) << (c.text ? c.text : "(null)");
  }
}

TEST(SocketLookupTest, Addresses) {
  struct Case {
    const char* text;
    uint32_t address;  // host order
  } cases[] = {
      {"127.0.0.1", 0x7F000001u},
      {"no-such-host.invalid", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(SCOMM_GetIPAddress(c.text), c.address) << c.text;
}

TEST(SockAddrInTest, AnyAddressAndNullResults) {
  struct Case {
    const char* address;
    const char* port;
    bool ok;
    uint32_t network_address;
    uint16_t port_number;
  } cases[] = {
      {"255.255.255.255", "25", true, 0, 25},
      {"127.0.0.1", "0", true, htonl(0x7F000001u), 0},
      {"0.0.0.0", "0", false, 0, 0},
      {"no-such-host.invalid", "0", false, 0, 0},
  };
  for (const Case& c : cases) {
    SockAddrIn a;
    EXPECT_EQ(a.CreateFrom(c.address, c.port), c.ok) << c.address << ":" << c.port;
    EXPECT_EQ(a.GetIPAddr(), c.network_address) << c.address;
    EXPECT_EQ(a.GetPort(), c.port_number) << c.address;
  }
}

TEST(SocketCommTest, DottedTextKeepsMemoryOrder) {
  String out;
  EXPECT_STREQ(CSocketComm::GetIPFromLong(&out, htonl(0xC0A80A01u)), "192.168.10.1");
}

TEST(SocketCommTest, ClosedSocketAndBadArguments) {
  CSocketComm closed;
  char buffer[8];
  EXPECT_FALSE(closed.IsOpen());
  EXPECT_EQ(closed.Riceve(buffer, sizeof(buffer), 10), -1);
  EXPECT_EQ(closed.Send("x", 1, 10), -1);

  LoopbackPair pair;
  ASSERT_TRUE(pair.Open());
  EXPECT_EQ(pair.server.Riceve(nullptr, 8, 10), 0);
  EXPECT_EQ(pair.server.Riceve(buffer, 0, 10), 0);
  EXPECT_EQ(pair.client.Send(nullptr, 1, 10), 0);
  // An open socket cannot be opened twice.
  EXPECT_FALSE(pair.listener.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, 0));
  EXPECT_FALSE(pair.client.ConnectTo("127.0.0.1", "25", AF_INET, SOCK_STREAM, "127.0.0.1"));
}

TEST(SocketCommTest, ConnectFailures) {
  CSocketComm any_local;
  EXPECT_FALSE(any_local.ConnectTo("127.0.0.1", "25", AF_INET, SOCK_STREAM, "0.0.0.0"));
  EXPECT_FALSE(any_local.IsOpen());

  // A port that was just released has nobody listening.
  CSocketComm probe;
  ASSERT_TRUE(probe.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, 0));
  const std::string port = BoundPort(probe);
  probe.CloseComm();
  CSocketComm refused;
  EXPECT_FALSE(refused.ConnectTo("127.0.0.1", port.c_str(), AF_INET, SOCK_STREAM, "127.0.0.1"));
  EXPECT_FALSE(refused.IsOpen());
}

TEST(SocketCommTest, ReceiveWaitsForItsTimeout) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.Open());
  char buffer[16];
  const auto start = Clock::now();
  EXPECT_EQ(pair.server.Riceve(buffer, sizeof(buffer), 50), 0);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 45);
}

TEST(SocketCommTest, DataPeerAddressAndClose) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.Open());
  EXPECT_EQ(pair.client.Send("HELO x\r\n", 8, 1000), 8);
  char buffer[16] = {};
  EXPECT_EQ(pair.server.Riceve(buffer, sizeof(buffer), 1000), 8);
  EXPECT_STREQ(buffer, "HELO x\r\n");
  EXPECT_EQ(pair.server.GetIP(), htonl(0x7F000001u));

  pair.client.CloseComm();
  EXPECT_FALSE(pair.client.IsOpen());
  EXPECT_EQ(pair.server.Riceve(buffer, sizeof(buffer), 1000), -1);
}

TEST(SocketCommTest, UnlimitedReceiveWaitsForLateData) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.Open());
  std::thread late([&pair] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pair.client.Send("late", 4, 1000);
  });
  char buffer[8] = {};
  EXPECT_EQ(pair.server.Riceve(buffer, sizeof(buffer), -1), 4);  // a wait that ended would give 0
  late.join();
}

TEST(SocketCommTest, SendToFullPeerTimesOutAndToGonePeerFailsWithoutSignal) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.Open());
  // Fill both socket buffers: the server never reads. Bounded attempts.
  static char block[65536];
  int result = 1;
  for (int i = 0; i < 4096 && result > 0; ++i) result = pair.client.Send(block, sizeof(block), 100);
  EXPECT_EQ(result, 0) << "the peer's buffers never filled";

  // SIGPIPE keeps its default (fatal) disposition here: only MSG_NOSIGNAL
  // keeps this process alive.
  struct sigaction current {};
  sigaction(SIGPIPE, nullptr, &current);
  ASSERT_EQ(current.sa_handler, SIG_DFL);
  pair.server.CloseComm();
  result = 1;
  for (int i = 0; i < 4096 && result >= 0; ++i) result = pair.client.Send(block, sizeof(block), 100);
  EXPECT_EQ(result, -1);
}

}  // namespace
