// dns_client - a connected UDP socket with waits bounded by poll, and the
// TCP exchange for answers too long for a datagram.
#include "engines/dns_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstring>

#include "base/thread.h"

namespace {

// The IPv4 address of `address`: dotted quad first, else a host lookup.
bool ToIPv4(const char* address, in_addr* out) {
  if (inet_pton(AF_INET, address, out) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

using Clock = std::chrono::steady_clock;

// Bytes of the length in front of every DNS message over TCP.
constexpr size_t kTcpLengthBytes = 2;

// Milliseconds left until `deadline`, at least 0.
int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until `fd` is ready for `events` or the deadline passes.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const int left = MillisecondsLeft(deadline);
    if (left == 0) return false;
    pollfd waiting{fd, events, 0};
    const int ready = poll(&waiting, 1, left);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

// A non-blocking TCP socket connected to `peer` within the deadline, or -1.
int ConnectBefore(const sockaddr_in& peer, Clock::time_point deadline) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return fd;
  int error = errno;
  if (error == EINPROGRESS && WaitFor(fd, POLLOUT, deadline)) {
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) return fd;
  }
  close(fd);
  return -1;
}

bool SendAll(int fd, const uint8_t* data, size_t n, Clock::time_point deadline) {
  while (n > 0) {
    const ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      n -= static_cast<size_t>(sent);
    } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (!WaitFor(fd, POLLOUT, deadline)) {
      return false;
    }
  }
  return true;
}

bool ReceiveAll(int fd, uint8_t* data, size_t n, Clock::time_point deadline) {
  while (n > 0) {
    const ssize_t got = recv(fd, data, n, 0);
    if (got > 0) {
      data += got;
      n -= static_cast<size_t>(got);
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      return false;  // closed early, or failed
    } else if (!WaitFor(fd, POLLIN, deadline)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ExchangeOverTcp(const char* address, uint16_t port, const uint8_t* query, size_t n,
                     std::vector<uint8_t>* answer, int32_t timeout_ms) {
  answer->clear();
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  if (address == nullptr || inet_pton(AF_INET, address, &peer.sin_addr) != 1 || n > 0xFFFF) return false;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
  const int fd = ConnectBefore(peer, deadline);
  if (fd < 0) return false;
  std::vector<uint8_t> framed(kTcpLengthBytes + n);
  framed[0] = static_cast<uint8_t>(n >> 8);
  framed[1] = static_cast<uint8_t>(n);
  std::memcpy(framed.data() + kTcpLengthBytes, query, n);
  uint8_t length[kTcpLengthBytes];
  bool ok = SendAll(fd, framed.data(), framed.size(), deadline) && ReceiveAll(fd, length, sizeof length, deadline);
  if (ok) {
    answer->resize(static_cast<size_t>(length[0] << 8 | length[1]));
    ok = ReceiveAll(fd, answer->data(), answer->size(), deadline);
  }
  close(fd);
  if (!ok) answer->clear();
  return ok;
}

CDnsClient::CDnsClient() : socket_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

CDnsClient::~CDnsClient() { Close(); }

bool CDnsClient::SetDestination(const char* address, uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  if (socket_ < 0 || address == nullptr || !ToIPv4(address, &peer.sin_addr)) return false;
  connected_ = connect(socket_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0;
  return connected_;
}

int CDnsClient::Send(const void* data, int len) {
  if (socket_ < 0 || !connected_ || data == nullptr || len < 0) return -1;
  const ssize_t sent = send(socket_, data, static_cast<size_t>(len), MSG_NOSIGNAL);
  return sent == len ? 1 : -1;
}

int CDnsClient::ReadFor(void* buffer, int len, int32_t ms) {
  if (socket_ < 0 || buffer == nullptr || len < 1) return -1;
  pollfd waiting{socket_, POLLIN, 0};
  // A signal cuts the wait short; it counts as nothing received, and callers
  // with a deadline wait again for what is left. A stop request of the
  // thread is an error: the query is abandoned.
  const int ready = InterruptiblePoll(&waiting, 1, ms < 0 ? -1 : ms);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;
  const ssize_t got = recv(socket_, buffer, static_cast<size_t>(len), MSG_DONTWAIT);
  if (got < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
  return static_cast<int>(got);
}

void CDnsClient::Close() {
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
  connected_ = false;
}
