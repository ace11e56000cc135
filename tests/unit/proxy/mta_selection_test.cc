// Tests of CSmtpBilancimento: the three selection modes, the list rules, the
// reload, the connect loop against real loopback servers, and the shared
// round-robin cursor under concurrent sessions.
#include "proxy/mta_selection.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Server = CSmtpBilancimento::SereverSMTP;

// Hosts of one connect operation, in the order GetSmtpServer gave them,
// until it said no (bounded, so a loop that never ends fails instead).
std::vector<std::string> OneOperation(CSmtpBilancimento& balancer, int connection_id) {
  std::vector<std::string> hosts;
  int last_id = 0;
  int attempt = 0;
  Server server;
  for (int i = 0; i < 20 && balancer.GetSmtpServer(&server, connection_id, &last_id, &attempt); ++i) {
    hosts.push_back(server.host.ToStdString());
  }
  return hosts;
}

void Fill(CSmtpBilancimento& balancer, unsigned int type, const std::vector<std::string>& hosts) {
  CriticalScope hold(balancer);
  balancer.RemoveAllSmtpServer();
  balancer.SetType(type);
  for (const std::string& host : hosts) balancer.AddSmtpServer(host.c_str(), 25, "");
}

using Hosts = std::vector<std::string>;

TEST(CSmtpBilancimentoTest, OneOperationPerMode) {
  struct Case {
    const char* name;
    unsigned int type;
    Hosts servers;
    Hosts offered;
  } cases[] = {
      {"first only ignores the others", 1, {"a", "b", "c"}, {"a"}},
      {"failover tries each once in order", 2, {"a", "b", "c"}, {"a", "b", "c"}},
      {"round robin comes round once more", 3, {"a", "b"}, {"a", "b", "a"}},
      {"round robin, one server", 3, {"a"}, {"a", "a"}},
      {"mode 0 selects nothing", 0, {"a", "b"}, {}},
      {"mode 4 selects nothing", 4, {"a", "b"}, {}},
      {"empty list, mode 1", 1, {}, {}},
      {"empty list, mode 2", 2, {}, {}},
      {"empty list, mode 3", 3, {}, {}},
  };
  for (const Case& c : cases) {
    CSmtpBilancimento balancer;
    Fill(balancer, c.type, c.servers);
    EXPECT_EQ(OneOperation(balancer, 7), c.offered) << c.name;
  }
}

TEST(CSmtpBilancimentoTest, RoundRobinStartsEachOperationAtTheNextServer) {
  CSmtpBilancimento balancer;
  Fill(balancer, 3, {"a", "b", "c"});
  // The first operation takes a, b, c and a again: the cursor stands at b.
  EXPECT_EQ(OneOperation(balancer, 1), Hosts({"a", "b", "c", "a"}));
  EXPECT_EQ(OneOperation(balancer, 2), Hosts({"b", "c", "a", "b"}));
  EXPECT_EQ(OneOperation(balancer, 3), Hosts({"c", "a", "b", "c"}));
}

TEST(CSmtpBilancimentoTest, SameHostAndPortListedOnce) {
  CSmtpBilancimento balancer;
  {
    CriticalScope hold(balancer);
    balancer.SetType(2);
    balancer.AddSmtpServer("mx.test", 25, "first");
    balancer.AddSmtpServer("mx.test", 25, "second");
    balancer.AddSmtpServer("mx.test", 2525, "other port");
    balancer.AddSmtpServer("mx2.test", 25, "other host");
    balancer.AddSmtpServer(nullptr, 25, "no host");
  }
  EXPECT_EQ(balancer.GetServerCount(), 3);
  int last_id = 0;
  int attempt = 0;
  Server server;
  ASSERT_TRUE(balancer.GetSmtpServer(&server, 9, &last_id, &attempt));
  EXPECT_EQ(server.replace_name.ToStdString(), "first");
  ASSERT_TRUE(balancer.GetSmtpServer(&server, 9, &last_id, &attempt));
  EXPECT_EQ(server.port.ToStdString(), "2525");
  ASSERT_TRUE(balancer.GetSmtpServer(&server, 9, &last_id, &attempt));
  EXPECT_EQ(server.host.ToStdString(), "mx2.test");
  EXPECT_FALSE(balancer.GetSmtpServer(&server, 9, &last_id, &attempt));
}

TEST(CSmtpBilancimentoTest, FailoverListShortenedMidOperationEndsIt) {
  CSmtpBilancimento balancer;
  Fill(balancer, 2, {"a", "b", "c"});
  int last_id = 0;
  int attempt = 0;
  Server server;
  ASSERT_TRUE(balancer.GetSmtpServer(&server, 4, &last_id, &attempt));
  ASSERT_TRUE(balancer.GetSmtpServer(&server, 4, &last_id, &attempt));
  EXPECT_EQ(server.host.ToStdString(), "b");
  Fill(balancer, 2, {"a"});
  EXPECT_FALSE(balancer.GetSmtpServer(&server, 4, &last_id, &attempt));
  EXPECT_EQ(attempt, 0);
}

TEST(CSmtpBilancimentoTest, ReplaceServersTakesTheConfiguration) {
  CConfig config;
  config.smtp_type = 2;
  config.smtp_server1 = "one.test";
  config.smtp_port1 = 25;
  config.trasp_1 = "first";
  config.smtp_server2 = "";  // unused slot
  config.smtp_port2 = 25;
  config.smtp_server3 = "three.test";
  config.smtp_port3 = 0;  // no port: unused
  config.smtp_server4 = "four.test";
  config.smtp_port4 = 2526;
  config.trasp_4 = "fourth";

  CSmtpBilancimento balancer;
  Fill(balancer, 3, {"old1", "old2", "old3", "old4"});
  balancer.ReplaceServers(config);
  EXPECT_EQ(balancer.GetServerCount(), 2);
  int last_id = 0;
  int attempt = 0;
  Server server;
  ASSERT_TRUE(balancer.GetSmtpServer(&server, 1, &last_id, &attempt));
  EXPECT_EQ(server.host.ToStdString() + ":" + server.port.ToStdString() + "/" + server.replace_name.ToStdString(),
            "one.test:25/first");
  ASSERT_TRUE(balancer.GetSmtpServer(&server, 1, &last_id, &attempt));
  EXPECT_EQ(server.host.ToStdString() + ":" + server.port.ToStdString() + "/" + server.replace_name.ToStdString(),
            "four.test:2526/fourth");
  EXPECT_FALSE(balancer.GetSmtpServer(&server, 1, &last_id, &attempt));  // mode 2: no third
}

// ---- Connect loop on loopback ---------------------------------------------

// An MTA on an ephemeral port of a loopback address. A live one listens
// (connections wait in its backlog); a dead one only holds the port bound,
// so no one else takes it and every connect is refused at once.
struct Endpoint {
  enum State { kLive, kDead };
  CSocketComm socket;
  std::string host;
  std::string port;

  Endpoint(const char* address, State state) : host(address) {
    if (state == kLive) {
      socket.CreateSocket("0", address, AF_INET, SOCK_STREAM, CSocketComm::kOptionReuseAddress);
    } else {
      SockAddrIn local;
      local.CreateFrom(address, "0");
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd >= 0) socket.SetHandle(fd);  // closed by `socket`
      if (fd >= 0 && bind(fd, local.Raw(), SockAddrIn::RawSize()) != 0) socket.CloseComm();
    }
    SockAddrIn bound;
    if (socket.GetSockName(&bound)) port = std::to_string(bound.GetPort());
  }
};

int PeerPort(const CSocketComm& mta) {
  SockAddrIn peer;
  return mta.GetPeerName(&peer) ? peer.GetPort() : -1;
}

class ConnectLoopTest : public ::testing::Test {
 protected:
  static constexpr int kConnectionId = 42;
  void SetUp() override {
    request_.connection_id = kConnectionId;
    request_.adapter_ip = "127.0.0.1";
    request_.log = &log_;
    request_.stats = &stats_;
  }
  void Use(unsigned int type, std::initializer_list<const Endpoint*> servers) {
    CriticalScope hold(balancer_);
    balancer_.SetType(type);
    for (const Endpoint* server : servers) {
      ASSERT_FALSE(server->port.empty());
      balancer_.AddSmtpServer(server->host.c_str(), std::stoi(server->port), ("name of " + server->host).c_str());
    }
  }
  // The log lines written since the last look.
  std::vector<std::string> Entries() {
    std::vector<std::string> out;
    log_.Drain([&out](const CLogSimple::LogSimple_item& item) {
      EXPECT_EQ(item.level, 1);
      EXPECT_STREQ(item.type.GetData(), "SYS");
      EXPECT_EQ(item.idConnection, kConnectionId);
      out.push_back(item.entry.ToStdString());
    });
    return out;
  }
  static std::string Ok(const Endpoint& server) {
    return "O.K. Connect To: " + server.host + " port: " + server.port;
  }
  static std::string Failed(const Endpoint& server) {
    return "FAILED to Connect a: " + server.host + " port: " + server.port;
  }
  float Successes(const Endpoint& server) {
    return stats_.GetValueByName(("f2cooperative_[" + server.host + "]").c_str());
  }
  float Failures(const Endpoint& server) {
    return stats_.GetValueByName(("f2cooperative_fail_[" + server.host + "]").c_str());
  }

  CSmtpBilancimento balancer_;
  CSmtpBilancimento::ConnectRequest request_;
  CLogSimple log_;
  CStatitiche_Day stats_;
  CSocketComm mta_;
};

using Lines = std::vector<std::string>;

// Distinct loopback addresses keep the per-host counters apart.
TEST_F(ConnectLoopTest, ModeOneFailsWhenTheFirstIsDown) {
  Endpoint a("127.0.0.2", Endpoint::kDead), b("127.0.0.3", Endpoint::kLive), c("127.0.0.4", Endpoint::kLive);
  Use(1, {&a, &b, &c});
  EXPECT_FALSE(balancer_.ConnectToDefaultMTA(&mta_, request_, nullptr));
  EXPECT_FALSE(mta_.IsOpen());
  EXPECT_EQ(Entries(), Lines({Failed(a)}));
  EXPECT_EQ(Failures(a), 1);
  EXPECT_EQ(Successes(b), 0);
}

TEST_F(ConnectLoopTest, ModeTwoFailsOverToTheNextServer) {
  Endpoint a("127.0.0.2", Endpoint::kDead), b("127.0.0.3", Endpoint::kLive), c("127.0.0.4", Endpoint::kLive);
  Use(2, {&a, &b, &c});
  Server connected;
  ASSERT_TRUE(balancer_.ConnectToDefaultMTA(&mta_, request_, &connected));
  EXPECT_EQ(PeerPort(mta_), std::stoi(b.port));
  EXPECT_EQ(connected.host.ToStdString(), b.host);
  EXPECT_EQ(connected.replace_name.ToStdString(), "name of " + b.host);
  EXPECT_EQ(Entries(), Lines({Failed(a), Ok(b)}));
  EXPECT_EQ(Failures(a), 1);
  EXPECT_EQ(Successes(b), 1);
  EXPECT_EQ(Successes(c) + Failures(c), 0);
}

TEST_F(ConnectLoopTest, ModeTwoAllDownLogsThreeFailures) {
  Endpoint a("127.0.0.2", Endpoint::kDead), b("127.0.0.3", Endpoint::kDead), c("127.0.0.4", Endpoint::kDead);
  Use(2, {&a, &b, &c});
  EXPECT_FALSE(balancer_.ConnectToDefaultMTA(&mta_, request_, nullptr));
  EXPECT_FALSE(mta_.IsOpen());
  EXPECT_EQ(Entries(), Lines({Failed(a), Failed(b), Failed(c)}));
  for (const Endpoint* server : {&a, &b, &c}) EXPECT_EQ(Failures(*server), 1) << server->host;
}

TEST_F(ConnectLoopTest, ModeThreeBothDownTriesABAThenNextStartsAtB) {
  Endpoint a("127.0.0.2", Endpoint::kDead), b("127.0.0.3", Endpoint::kDead);
  Use(3, {&a, &b});
  EXPECT_FALSE(balancer_.ConnectToDefaultMTA(&mta_, request_, nullptr));
  EXPECT_EQ(Entries(), Lines({Failed(a), Failed(b), Failed(a)}));
  EXPECT_EQ(Failures(a), 2);
  EXPECT_EQ(Failures(b), 1);
  EXPECT_FALSE(balancer_.ConnectToDefaultMTA(&mta_, request_, nullptr));
  EXPECT_EQ(Entries(), Lines({Failed(b), Failed(a), Failed(b)}));
}

TEST_F(ConnectLoopTest, NothingToTryMakesNoAttempt) {
  struct Case {
    const char* name;
    unsigned int type;
    bool with_server;
  } cases[] = {
      {"empty list, mode 1", 1, false}, {"empty list, mode 2", 2, false}, {"empty list, mode 3", 3, false},
      {"mode 0", 0, true},              {"mode 4", 4, true},
  };
  Endpoint live("127.0.0.2", Endpoint::kLive);
  for (const Case& c : cases) {
    CSmtpBilancimento balancer;
    {
      CriticalScope hold(balancer);
      balancer.SetType(c.type);
      if (c.with_server) balancer.AddSmtpServer(live.host.c_str(), std::stoi(live.port), "");
    }
    EXPECT_FALSE(balancer.ConnectToDefaultMTA(&mta_, request_, nullptr)) << c.name;
    EXPECT_EQ(log_.GetCount(), 0) << c.name;
    EXPECT_EQ(stats_.GetCount(), 0) << c.name;
  }
}

TEST_F(ConnectLoopTest, BindsTheLocalSideToTheAdapterAddress) {
  Endpoint mx("127.0.0.1", Endpoint::kLive);
  Use(1, {&mx});
  request_.adapter_ip = "127.0.0.9";
  request_.log = nullptr;  // both sinks are optional
  request_.stats = nullptr;
  ASSERT_TRUE(balancer_.ConnectToDefaultMTA(&mta_, request_, nullptr));
  CSocketComm accepted;
  accepted.SetHandle(CSocketComm::WaitForConnection(mx.socket.GetSocket()));
  String peer;
  CSocketComm::GetIPFromLong(&peer, accepted.GetIP());
  EXPECT_EQ(peer.ToStdString(), "127.0.0.9");
}

TEST_F(ConnectLoopTest, ReconnectClosesThePreviousConnection) {
  Endpoint mx("127.0.0.2", Endpoint::kLive);
  Use(1, {&mx});
  ASSERT_TRUE(balancer_.ConnectToDefaultMTA(&mta_, request_, nullptr));
  request_.connection_id = 0;  // an id of 0 still starts a fresh operation
  ASSERT_TRUE(balancer_.ConnectToDefaultMTA(&mta_, request_, nullptr));
  EXPECT_TRUE(mta_.IsOpen());
  // The peer of the first connection reads its end.
  CSocketComm first;
  first.SetHandle(CSocketComm::WaitForConnection(mx.socket.GetSocket()));
  char byte;
  EXPECT_EQ(first.Riceve(&byte, 1, 2000), -1);
}

// ---- Concurrency ------------------------------------------------------------

TEST(CSmtpBilancimentoConcurrencyTest, CursorAdvancesOncePerOperation) {
  constexpr int kThreads = 4;
  constexpr int kOperationsPerThread = 3000;
  CSmtpBilancimento balancer;
  Fill(balancer, 3, {"a", "b", "c"});
  std::vector<std::map<std::string, int>> firsts(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&balancer, &firsts, t] {
      for (int op = 0; op < kOperationsPerThread; ++op) {
        int last_id = 0;
        int attempt = 0;
        Server server;
        if (balancer.GetSmtpServer(&server, 1 + t * kOperationsPerThread + op, &last_id, &attempt))
          ++firsts[t][server.host.ToStdString()];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::map<std::string, int> total;
  for (const auto& counts : firsts)
    for (const auto& [host, n] : counts) total[host] += n;
  // Every operation took the next position of the shared cursor, so the
  // first servers are spread exactly evenly.
  const int each = kThreads * kOperationsPerThread / 3;
  EXPECT_EQ(total, (std::map<std::string, int>{{"a", each}, {"b", each}, {"c", each}}));
}

TEST(CSmtpBilancimentoConcurrencyTest, ReloadNeverShowsAnEmptyList) {
  CConfig config;
  config.smtp_type = 3;
  config.smtp_server1 = "a";
  config.smtp_port1 = 25;
  config.smtp_server2 = "b";
  config.smtp_port2 = 25;
  CSmtpBilancimento balancer;
  balancer.ReplaceServers(config);
  std::atomic<bool> running{true};
  std::thread reloader([&] {
    for (int i = 0; i < 20000 && running.load(); ++i) balancer.ReplaceServers(config);
  });
  std::atomic<int> refused{0};
  std::vector<std::thread> sessions;
  for (int t = 0; t < 2; ++t) {
    sessions.emplace_back([&balancer, &refused, t] {
      for (int op = 1; op <= 20000; ++op) {
        int last_id = 0;
        int attempt = 0;
        Server server;
        if (!balancer.GetSmtpServer(&server, op * 2 + t, &last_id, &attempt)) ++refused;
      }
    });
  }
  for (std::thread& session : sessions) session.join();
  running = false;
  reloader.join();
  EXPECT_EQ(refused.load(), 0);
}

}  // namespace
