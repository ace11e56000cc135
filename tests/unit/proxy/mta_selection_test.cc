// Tests of CSmtpBilancimento: selection modes, list rules, the connect loop on loopback.
#include "proxy/mta_selection.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Server = CSmtpBilancimento::SereverSMTP;

// One connect operation of a session: each Next asks for its next server.
struct Operation {
  bool Next(CSmtpBilancimento& balancer, int connection_id) {
    return balancer.GetSmtpServer(&server, connection_id, &last_id, &attempt);
  }
  std::string Where() const {
    return server.host.ToStdString() + ":" + server.port.ToStdString() + "/" + server.replace_name.ToStdString();
  }
  int last_id = 0;
  int attempt = 0;
  Server server;
};

// Hosts of one connect operation in the order given, until a no (bounded).
std::vector<std::string> OneOperation(CSmtpBilancimento& balancer, int connection_id) {
  std::vector<std::string> hosts;
  Operation operation;
  for (int i = 0; i < 20 && operation.Next(balancer, connection_id); ++i)
    hosts.push_back(operation.server.host.ToStdString());
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
      {"mode 0 selects nothing", 0, {"a", "b"}, {}},
      {"empty list", 3, {}, {}},
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
  EXPECT_EQ(OneOperation(balancer, 1), Hosts({"a", "b", "c", "a"}));
  EXPECT_EQ(OneOperation(balancer, 2), Hosts({"b", "c", "a", "b"}));
}

TEST(CSmtpBilancimentoTest, FailoverListShortenedMidOperationEndsIt) {
  CSmtpBilancimento balancer;
  Fill(balancer, 2, {"a", "b", "c"});
  Operation operation;
  ASSERT_TRUE(operation.Next(balancer, 4) && operation.Next(balancer, 4));
  EXPECT_EQ(operation.server.host.ToStdString(), "b");
  Fill(balancer, 2, {"a"});
  EXPECT_FALSE(operation.Next(balancer, 4));
  EXPECT_EQ(operation.attempt, 0);
}

// A slot with no host or no port is unused; the same host and port is listed once, under its first name.
TEST(CSmtpBilancimentoTest, ReplaceServersTakesTheConfiguration) {
  CConfig config;
  config.smtp_type = 2;
  config.smtp_server1 = "one.test";
  config.smtp_port1 = 25;
  config.trasp_1 = "first";
  config.smtp_server2 = "";
  config.smtp_port2 = 25;
  config.smtp_server3 = "one.test";
  config.smtp_port3 = 25;
  config.trasp_3 = "again";
  config.smtp_server4 = "one.test";
  config.smtp_port4 = 2526;
  config.trasp_4 = "fourth";
  CSmtpBilancimento balancer;
  Fill(balancer, 3, {"old1", "old2"});
  balancer.ReplaceServers(config);
  Operation operation;
  for (const char* expected : {"one.test:25/first", "one.test:2526/fourth"}) {
    ASSERT_TRUE(operation.Next(balancer, 1));
    EXPECT_EQ(operation.Where(), expected);
  }
  EXPECT_FALSE(operation.Next(balancer, 1));  // mode 2: no third
  config.smtp_port4 = 0;
  balancer.ReplaceServers(config);
  EXPECT_EQ(balancer.GetServerCount(), 1);
}

// An MTA on a loopback port: dead (bound, refusing), silent (listening, never
// greeting) or greeting its first connection with "220".
struct Endpoint {
  enum State { kDead, kSilent, kGreeting };
  CSocketComm socket;
  std::string host;
  std::string port;
  std::thread greeter;
  std::atomic<bool> unused{false};  // the test is over: stop waiting

  Endpoint(const char* address, State state) : host(address) {
    if (state == kDead) {
      SockAddrIn local;
      local.CreateFrom(address, "0");
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd >= 0) socket.SetHandle(fd);  // closed by `socket`
      if (fd >= 0 && bind(fd, local.Raw(), SockAddrIn::RawSize()) != 0) socket.CloseComm();
    } else {
      socket.CreateSocket("0", address, AF_INET, SOCK_STREAM, CSocketComm::kOptionReuseAddress);
    }
    SockAddrIn bound;
    if (socket.GetSockName(&bound)) port = std::to_string(bound.GetPort());
    if (state == kGreeting) greeter = std::thread([this] { Greet(); });
  }
  ~Endpoint() {
    unused = true;
    if (greeter.joinable()) greeter.join();
  }
  void Greet() {
    pollfd wait{socket.GetSocket(), POLLIN, 0};
    for (int i = 0; i < 100 && !unused && poll(&wait, 1, 50) == 0; ++i) {
    }
    if ((wait.revents & POLLIN) == 0) return;
    CSocketComm accepted;
    accepted.SetHandle(CSocketComm::WaitForConnection(socket.GetSocket()));
    accepted.Send("220 mx\r\n", 8, 1000);
    char byte;
    accepted.Riceve(&byte, 1, 2000);  // held open until the client closes
  }
};

class ConnectLoopTest : public ::testing::Test {
 protected:
  void Use(CSmtpBilancimento& balancer, unsigned int type, const std::vector<std::unique_ptr<Endpoint>>& servers) {
    CriticalScope hold(balancer);
    balancer.SetType(type);
    for (const auto& server : servers) {
      ASSERT_FALSE(server->port.empty());
      balancer.AddSmtpServer(server->host.c_str(), std::stoi(server->port), ("name of " + server->host).c_str());
    }
  }
  // The attempts logged since the last look, as "OK n" / "FAILED n" (index in `servers`).
  std::vector<std::string> Attempts(const std::vector<std::unique_ptr<Endpoint>>& servers) {
    std::vector<std::string> out;
    log_.Drain([&](const CLogSimple::LogSimple_item& item) {
      for (size_t i = 0; i < servers.size(); ++i) {
        const std::string at = servers[i]->host + " port: " + servers[i]->port;
        if (item.entry.ToStdString() == "O.K. Connect To: " + at) out.push_back("OK " + std::to_string(i));
        if (item.entry.ToStdString() == "FAILED to Connect a: " + at) out.push_back("FAILED " + std::to_string(i));
      }
    });
    return out;
  }

  CSmtpBilancimento::ConnectRequest request_{
      .connection_id = 42, .adapter_ip = "127.0.0.1", .log = &log_, .stats = &stats_};
  CLogSimple log_;
  CStatitiche_Day stats_;
  CSocketComm mta_;
  CSmtpBilancimento balancer_;
};

// Which server answers decides (the walk is OneOperationPerMode's); one address per server.
TEST_F(ConnectLoopTest, EachModeTriesItsServersUntilOneGreets) {
  using S = Endpoint::State;
  struct Case {
    const char* name;
    unsigned int type;
    std::vector<S> servers;
    int greeting_ms;
    Hosts attempts;  // as Attempts() words them
    int connected;  // index of the server connected to; -1 for none
  } cases[] = {
      {"mode 2 fails over", 2, {S::kDead, S::kGreeting, S::kGreeting}, 0, {"FAILED 0", "OK 1"}, 1},
      {"mode 2 with all down", 2, {S::kDead, S::kDead, S::kDead}, 0, {"FAILED 0", "FAILED 1", "FAILED 2"}, -1},
      {"a server that never greets counts as down", 2, {S::kSilent, S::kGreeting}, 200, {"FAILED 0", "OK 1"}, 1},
      {"without a greeting wait it is taken", 2, {S::kSilent, S::kGreeting}, 0, {"OK 0"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<Endpoint>> servers;
    for (size_t i = 0; i < c.servers.size(); ++i)
      servers.push_back(std::make_unique<Endpoint>(("127.0.0." + std::to_string(2 + i)).c_str(), c.servers[i]));
    CSmtpBilancimento balancer;
    Use(balancer, c.type, servers);
    request_.greeting_timeout_ms = c.greeting_ms;
    Server connected;
    EXPECT_EQ(balancer.ConnectToDefaultMTA(&mta_, request_, &connected), c.connected >= 0);
    EXPECT_EQ(Attempts(servers), c.attempts);
    EXPECT_EQ(mta_.IsOpen(), c.connected >= 0);
    if (c.connected >= 0) {
      EXPECT_EQ(connected.host.ToStdString(), servers[static_cast<size_t>(c.connected)]->host);
      EXPECT_GE(stats_.GetValueByName(("f2cooperative_[" + connected.host.ToStdString() + "]").c_str()), 1);
    }
    mta_.CloseComm();
  }
  EXPECT_EQ(stats_.GetValueByName("f2cooperative_fail_[127.0.0.2]"), 3);
}

// The local side is bound to the adapter address; a second connect closes the first connection.
TEST_F(ConnectLoopTest, BindsToTheAdapterAndReconnectClosesThePrevious) {
  std::vector<std::unique_ptr<Endpoint>> servers;
  servers.push_back(std::make_unique<Endpoint>("127.0.0.1", Endpoint::kSilent));
  const Endpoint& mx = *servers.front();
  Use(balancer_, 1, servers);
  request_.adapter_ip = "127.0.0.9";
  request_.log = nullptr;  // both sinks are optional
  request_.stats = nullptr;
  ASSERT_TRUE(balancer_.ConnectToDefaultMTA(&mta_, request_, nullptr));
  request_.connection_id = 0;  // an id of 0 still starts a fresh operation
  ASSERT_TRUE(balancer_.ConnectToDefaultMTA(&mta_, request_, nullptr));
  EXPECT_TRUE(mta_.IsOpen());
  CSocketComm first;
  first.SetHandle(CSocketComm::WaitForConnection(mx.socket.GetSocket()));
  String peer;
  CSocketComm::GetIPFromLong(&peer, first.GetIP());
  EXPECT_EQ(peer.ToStdString(), "127.0.0.9");
  char byte;
  EXPECT_EQ(first.Riceve(&byte, 1, 2000), -1);
}

// Without the lock two operations could take the same cursor position.
TEST(CSmtpBilancimentoConcurrencyTest, CursorAdvancesOncePerOperation) {
  constexpr int kThreads = 4;
  constexpr int kOperationsPerThread = 3000;
  CSmtpBilancimento balancer;
  Fill(balancer, 3, {"a", "b", "c"});
  std::atomic<int> firsts[3] = {};  // how often each server came first
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&balancer, &firsts, t] {
      for (int op = 0; op < kOperationsPerThread; ++op) {
        Operation operation;
        if (!operation.Next(balancer, 1 + t * kOperationsPerThread + op)) continue;
        ++firsts[operation.server.host.GetData()[0] - 'a'];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::atomic<int>& count : firsts) EXPECT_EQ(count.load(), kThreads * kOperationsPerThread / 3);
}

}  // namespace
