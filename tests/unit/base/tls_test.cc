// Tests of the TLS contexts and channels over a local socket pair: handshake, bytes both ways, refusals.
#include "base/tls.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const std::string kData = TORVANE_SOURCE_DIR "/tests/unit/base/tls_data/";
// Handshake steps both sides may take before the test gives up.
constexpr int kMaxSteps = 200;

std::shared_ptr<TlsContext> ServerContext() {
  std::string error;
  auto context = TlsContext::ForServer(kData + "cert.pem", kData + "key.pem", &error);
  EXPECT_NE(context, nullptr) << error;
  return context;
}

class TlsPairTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }

  // Steps both handshakes in turn: the server's and the client's last steps.
  std::pair<TlsChannel::Step, TlsChannel::Step> Handshake(TlsChannel& server, TlsChannel& client) {
    TlsChannel::Step s = TlsChannel::Step::kWantRead, c = TlsChannel::Step::kWantRead;
    for (int i = 0; i < kMaxSteps; ++i) {
      if (c != TlsChannel::Step::kDone && c != TlsChannel::Step::kFailed) c = client.Handshake();
      if (s != TlsChannel::Step::kDone && s != TlsChannel::Step::kFailed) s = server.Handshake();
      const bool client_over = c == TlsChannel::Step::kDone || c == TlsChannel::Step::kFailed;
      const bool server_over = s == TlsChannel::Step::kDone || s == TlsChannel::Step::kFailed;
      if (client_over && (server_over || c == TlsChannel::Step::kFailed)) break;
    }
    return {s, c};
  }

  int fds_[2] = {-1, -1};
};

TEST_F(TlsPairTest, BytesCrossBothWaysOnceTheHandshakeIsDone) {
  std::string error;
  TlsChannel server(ServerContext(), fds_[0], true, "");
  TlsChannel client(TlsContext::ForClient("", &error), fds_[1], false, "mta.test");
  ASSERT_TRUE(server.ok() && client.ok());
  EXPECT_EQ(server.Protocol(), "");
  const auto [s, c] = Handshake(server, client);
  ASSERT_EQ(s, TlsChannel::Step::kDone) << server.error();
  ASSERT_EQ(c, TlsChannel::Step::kDone) << client.error();
  EXPECT_EQ(server.Protocol(), "TLSv1.3");
  EXPECT_EQ(server.Cipher(), client.Cipher());
  EXPECT_FALSE(server.Cipher().empty());

  // More than the socket takes at once: partial writes, the rest offered
  // again from a moved buffer, all of it read in order.
  std::string sent(1 << 20, 'x');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
  std::string pending = sent, got;
  std::vector<char> buffer(4096);
  for (int rounds = 0; rounds < 100000 && got.size() < sent.size(); ++rounds) {
    if (!pending.empty()) {
      const int n = client.Write(pending.data(), static_cast<int>(pending.size()));
      ASSERT_GE(n, 0) << client.error();
      pending.erase(0, static_cast<size_t>(n));
    }
    const int n = server.Read(buffer.data(), static_cast<int>(buffer.size()));
    ASSERT_GE(n, 0) << server.error();
    got.append(buffer.data(), static_cast<size_t>(n));
  }
  EXPECT_TRUE(got == sent);
  ASSERT_EQ(server.Write("250 OK\r\n", 8), 8);
  int n = 0;
  for (int rounds = 0; rounds < kMaxSteps && n == 0; ++rounds) n = client.Read(buffer.data(), 64);
  EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(std::max(n, 0))), "250 OK\r\n");
  // The peer's closing alert: the reader sees the end.
  server.Close();
  n = 0;
  for (int rounds = 0; rounds < kMaxSteps && n == 0; ++rounds) n = client.Read(buffer.data(), 64);
  EXPECT_EQ(n, -1);
}

TEST_F(TlsPairTest, AServerRefusesGarbageAndAPeerThatLeaves) {
  const std::string garbage = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_EQ(write(fds_[1], garbage.data(), garbage.size()), static_cast<ssize_t>(garbage.size()));
  TlsChannel server(ServerContext(), fds_[0], true, "");
  EXPECT_EQ(server.Handshake(), TlsChannel::Step::kFailed);
  EXPECT_FALSE(server.error().empty());

  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  TlsChannel waiting(ServerContext(), pair[0], true, "");
  EXPECT_EQ(waiting.Handshake(), TlsChannel::Step::kWantRead);  // nothing yet: it waits, never blocks
  close(pair[1]);
  EXPECT_EQ(waiting.Handshake(), TlsChannel::Step::kFailed);
  EXPECT_EQ(waiting.Read(pair, 1), -1);
  close(pair[0]);
}

TEST_F(TlsPairTest, AVerifyingClientTakesOnlyTheNameItAsked) {
  struct Case {
    const char* name;
    bool verified;
  } cases[] = {{"mta.test", true}, {"other.test", false}};
  for (const Case& c : cases) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::string error;
    auto trusting = TlsContext::ForClient(kData + "cert.pem", &error);
    ASSERT_NE(trusting, nullptr) << error;
    TlsChannel server(ServerContext(), pair[0], true, "");
    TlsChannel client(trusting, pair[1], false, c.name);
    const auto [s, step] = Handshake(server, client);
    EXPECT_EQ(step == TlsChannel::Step::kDone, c.verified) << c.name << ": " << client.error();
    close(pair[0]);
    close(pair[1]);
  }
}

TEST(TlsContextTest, FilesThatDoNotLoadGiveNoContext) {
  std::string error;
  EXPECT_EQ(TlsContext::ForServer(kData + "cert.pem", kData + "cert.pem", &error), nullptr);  // no key
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_EQ(TlsContext::ForClient(kData + "missing.pem", &error), nullptr);
  EXPECT_FALSE(error.empty());
}

}  // namespace
