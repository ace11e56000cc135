// dns_client - a connected UDP socket with waits bounded by poll.
#include "engines/dns_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

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
  // with a deadline wait again for what is left.
  const int ready = poll(&waiting, 1, ms < 0 ? -1 : ms);
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
