// Tests of CListenTorvane on real loopback sockets.
#include "proxy/listener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "proxy_harness.h"

namespace {

constexpr char kBusy[] = "421 <mx.test> Service not available, closing transmission channel \r\n";

// Waits (bounded) until the queue holds `count` connections.
int WaitForQueue(CListenTorvane& listener, int count) {
  int size = 0;
  for (int i = 0; i < 300; ++i) {
    listener.Lock();
    size = listener.Queue().GetCount();
    listener.UnLock();
    if (size >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return size;
}

class ListenerTest : public ::testing::Test {
 protected:
  void Start(unsigned int slots) {
    ASSERT_TRUE(listener_.InitListen("127.0.0.1", "0", slots));
    String reply;
    CListenTorvane::MakeBusyReply(&reply, "421 <%s> Service not available, closing transmission channel",
                                  "mx.test");
    listener_.SetBusyReply(reply);
    ASSERT_TRUE(listener_.WatchComm());
    SockAddrIn bound;
    ASSERT_TRUE(listener_.ListeningSocket().GetSockName(&bound));
    port_ = std::to_string(bound.GetPort());
  }
  std::unique_ptr<CSocketComm> Connect() {
    auto client = std::make_unique<CSocketComm>();
    EXPECT_TRUE(client->ConnectTo("127.0.0.1", port_.c_str(), AF_INET, SOCK_STREAM, "127.0.0.1"));
    return client;
  }

  CListenTorvane listener_;
  std::string port_;
};

TEST_F(ListenerTest, QueuesUpToSlotCountThenSendsBusyReply) {
  Start(2);
  auto first = Connect();
  auto second = Connect();
  ASSERT_EQ(WaitForQueue(listener_, 2), 2);
  auto third = Connect();
  EXPECT_EQ(ReadUntilClosed(*third), kBusy);

  listener_.Lock();
  ASSERT_EQ(listener_.Queue().GetCount(), 2);
  EXPECT_EQ(listener_.Queue()[0].id, 1u);
  EXPECT_EQ(listener_.Queue()[1].id, 2u);
  CSocketComm* slot = listener_.Queue()[0].slot;
  listener_.UnLock();
  EXPECT_FALSE(listener_.IsNextAvailable());

  // The queued slot holds the client's connection.
  ASSERT_NE(slot, nullptr);
  EXPECT_FALSE(slot->IsLibero());
  EXPECT_EQ(first->Send("EHLO a\r\n", 8, 500), 8);
  char buffer[16] = {};
  EXPECT_EQ(slot->Riceve(buffer, sizeof(buffer), 1000), 8);
  EXPECT_STREQ(buffer, "EHLO a\r\n");

  // Releasing a slot admits the next client.
  slot->CloseComm();
  slot->SetLibero(true);
  EXPECT_TRUE(listener_.IsNextAvailable());
  auto fourth = Connect();
  ASSERT_EQ(WaitForQueue(listener_, 3), 3);
  listener_.Lock();
  EXPECT_EQ(listener_.Queue()[2].id, 3u);
  EXPECT_EQ(listener_.Queue()[2].slot, slot);
  listener_.UnLock();
}

TEST_F(ListenerTest, StopClosesSlotsAndRefusesFurtherClients) {
  Start(1);
  auto client = Connect();
  ASSERT_EQ(WaitForQueue(listener_, 1), 1);
  listener_.Lock();
  CSocketComm* slot = listener_.Queue()[0].slot;
  listener_.UnLock();

  listener_.Stop();
  EXPECT_FALSE(listener_.IsStart());
  EXPECT_FALSE(slot->IsOpen());
  EXPECT_TRUE(slot->IsLibero());
  EXPECT_FALSE(listener_.ListeningSocket().IsOpen());
  EXPECT_EQ(ReadUntilClosed(*client), "");  // the server side was closed

  CSocketComm late;
  EXPECT_FALSE(late.ConnectTo("127.0.0.1", port_.c_str(), AF_INET, SOCK_STREAM, "127.0.0.1"));
}

// A reload re-initialises the same listener; the broadcast address binds all.
TEST(ListenerSetupTest, InitListen) {
  CListenTorvane listener;
  EXPECT_FALSE(listener.InitListen("127.0.0.1", "", 5));
  EXPECT_EQ(LogEntries(listener.GetLog()), std::vector<std::string>{"Port listen is Empty"});
  for (unsigned int slots : {2u, 40u, 3u}) {
    ASSERT_TRUE(listener.InitListen("127.0.0.1", "0", slots)) << slots;
    EXPECT_EQ(listener.GetSlotCount(), slots);
    EXPECT_TRUE(listener.IsNextAvailable());
  }
  ASSERT_TRUE(listener.InitListen("255.255.255.255", "0", 1));
  SockAddrIn bound;
  ASSERT_TRUE(listener.ListeningSocket().GetSockName(&bound));
  EXPECT_EQ(bound.GetIPAddr(), 0u);
}

TEST(ListenerIdTest, IdsRunFromOneToMaxAndWrap) {
  struct Case {
    unsigned int before;
    unsigned int after;
  } cases[] = {
      {0, 1}, {2147483646u, 2147483647u}, {2147483647u, 1}, {4294967295u, 1},
  };
  CListenTorvane listener;
  for (const Case& c : cases) {
    listener.SetIDConnection(c.before);
    listener.PiuPiu();
    EXPECT_EQ(listener.GetIDConnection(), c.after) << c.before;
  }
}

TEST(ListenerBusyReplyTest, TemplateFilling) {
  struct Case {
    const char* text;
    const char* name;
    const char* reply;
  } cases[] = {
      {"421 <%s> Service not available", "mx.test", "421 <mx.test> Service not available \r\n"},
      {"421 busy", "mx.test", "421 busy \r\n"},
      {"421 %s %s", "a", "421 a %s \r\n"},
      {"421 %d <%s>", "b", "421 %d <b> \r\n"},
      {"421 <%s>", nullptr, "421 <> \r\n"},
      {nullptr, "x", " \r\n"},
  };
  for (const Case& c : cases) {
    String out;
    CListenTorvane::MakeBusyReply(&out, c.text, c.name);
    EXPECT_STREQ(out.GetData(), c.reply) << (c.text ? c.text : "(null)");
  }
}

}  // namespace
