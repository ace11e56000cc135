// Tests of "CS_Buffer" and "CS_Socket" against echo servers on 127.0.0.1.
#include "scriptlib/lib_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "lib_harness.h"

namespace lib_test {
namespace {

using Texts = std::vector<std::string>;

// How long an echo server waits for its one client before giving up.
constexpr int kServerWaitMs = 5000;

// One echo exchange on 127.0.0.1 (TCP or UDP), served by a thread.
class EchoServer {
 public:
  explicit EchoServer(int type) : fd_(socket(AF_INET, type, 0)) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&at), size) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size) != 0 ||
        (type == SOCK_STREAM && listen(fd_, 1) != 0)) {
      return;
    }
    port_ = ntohs(at.sin_port);
    thread_ = std::thread(type == SOCK_STREAM ? &EchoServer::ServeStream : &EchoServer::ServeDatagram, this);
  }
  ~EchoServer() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  std::string port() const { return std::to_string(port_); }

 private:
  bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, kServerWaitMs) == 1;
  }
  void ServeStream() {
    if (!Readable(fd_)) return;
    int client = accept(fd_, nullptr, nullptr);
    if (client < 0) return;
    char buffer[256];
    ssize_t n = Readable(client) ? read(client, buffer, sizeof buffer) : 0;
    if (n > 0) (void)!write(client, buffer, static_cast<size_t>(n));
    close(client);
  }
  void ServeDatagram() {
    if (!Readable(fd_)) return;
    char buffer[256];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n > 0) sendto(fd_, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), size);
  }

  int fd_;
  int port_ = 0;
  std::thread thread_;
};

TEST(CS_BufferTest, CapacityAndContents) {
  Texts got = RunBody(
      "CS_Buffer b = new CS_Buffer();"
      "Capture(b.GetLen()); Capture(b.ToString()); Capture(b.GetAt(0));"
      "b.Write(\"hello\", 4); Capture(b.GetLen()); Capture(b.ToString()); Capture(b.GetAt(1));"
      "Capture(b.GetAt(4)); Capture(b.GetAt(-1));"
      "b.Write(\"xy\", 3); Capture(b.ToString());"  // longer than the data: refused
      "b.Write(\"xy\", 0); Capture(b.ToString());"
      "CS_Buffer same = b.GetBuffer(); Capture(same.GetLen());"
      "b.Write(b.GetPointer(), 2); Capture(b.ToString());");  // from itself
  EXPECT_EQ(got, (Texts{Int(0), Text(""), Int(0), Int(4), Text("hell"), Int('e'), Int(0), Int(0), Text("hell"),
                        Text("hell"), Int(4), Text("he")}));
}

TEST(CS_SocketTest, UnusableBuffersAndClosedSockets) {
  const struct {
    const char* body;
    int expected;
  } kCases[] = {
      {"CS_Socket s = new CS_Socket(); CS_Buffer b = new CS_Buffer(); b.Allocate(8); return s.Riceve(b, 10);", -1},
      {"CS_Socket s = new CS_Socket(1); return s.Send(\"abc\", 3, 10);", -1},
      {"CS_Socket s = new CS_Socket(1); s.ConnectTo(\"127.0.0.1\", \"9\"); CS_Buffer b = new CS_Buffer();"
       " return s.Riceve(b, 10);", -1},  // never allocated
      {"CS_Socket s = new CS_Socket(1); s.ConnectTo(\"127.0.0.1\", \"9\"); CS_Buffer b;"
       " return s.Riceve(b, 10);", -1},  // no buffer object
      {"CS_Socket s = new CS_Socket(1); return s.ConnectTo(\"127.0.0.1\", \"0\");", 0},
      {"CS_Socket s = new CS_Socket(1); return s.ConnectTo(\"127.0.0.1\", \"70000\");", 0},
      {"CS_Socket s = new CS_Socket(1); return s.ConnectTo(\"127.0.0.1\", \"9\") * 10 + s.IsOpen();", 11},
  };
  for (const auto& c : kCases) {
    LibHarness h;
    EXPECT_EQ(h.LoadAndRun(std::string("int main() { ") + c.body + " }"), c.expected) << c.body << h.log;
  }
}

// Captures the results of `send` over a socket of `mode` to an echo server of `type`.
Texts EchoThrough(int type, int mode, const std::string& send) {
  EchoServer server(type);
  return RunBody("CS_Socket s = new CS_Socket(" + std::to_string(mode) +
                 "); Capture(s.ConnectTo(\"127.0.0.1\", \"" + server.port() +
                 "\", \"127.0.0.1\")); Capture(s.IsOpen());" + send +
                 "CS_Buffer b = new CS_Buffer(); b.Allocate(64); Capture(s.Riceve(b, 3000));"
                 "Capture(b.ToString()); s.Close(); Capture(s.IsOpen());");
}

TEST(CS_SocketTest, TcpEcho) {
  Texts got = EchoThrough(SOCK_STREAM, 0, "Capture(s.Send(\"hello there\", 5, 2000));");
  EXPECT_EQ(got, (Texts{Int(1), Int(1), Int(5), Int(5), Text("hello"), Int(0)}));
}

TEST(CS_SocketTest, TcpSendFromBuffer) {
  Texts got = EchoThrough(SOCK_STREAM, 0,
                          "CS_Buffer d = new CS_Buffer(); d.Write(\"bytes!\", 6);"
                          "Capture(s.SendB(d.GetPointer(), 7, 2000)); Capture(s.SendB(d.GetPointer(), 6, 2000));");
  EXPECT_EQ(got, (Texts{Int(1), Int(1), Int(0), Int(6), Int(6), Text("bytes!"), Int(0)}));
}

TEST(CS_SocketTest, UdpEcho) {
  Texts got = EchoThrough(SOCK_DGRAM, 1, "Capture(s.Send(\"ping\", 9, 500)); Capture(s.Send(\"ping\", 4, 500));");
  EXPECT_EQ(got, (Texts{Int(1), Int(1), Int(0), Int(1), Int(4), Text("ping"), Int(0)}));
}

}  // namespace
}  // namespace lib_test
