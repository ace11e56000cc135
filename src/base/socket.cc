// socket - poll-driven IPv4 sockets and thread-safe name lookups.
#include "base/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/thread.h"

namespace {

// Room for the local host name.
constexpr size_t kMaxCanonicalName = 256;
// Scratch for getservbyname_r: ample for one service entry.
constexpr size_t kServiceBufferBytes = 1024;
// Room for a dotted IPv4 address and its terminator.
constexpr size_t kDottedChars = 16;

// First IPv4 address of host `name` in network order; 0 when none.
uint32_t ResolveHost(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
  uint32_t address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return address;
}

void FormatDotted(char* out, size_t size, uint32_t address) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
  snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

}  // namespace

// ---- SockAddrIn ---------------------------------------------------------

SockAddrIn::SockAddrIn() { memset(&address_, 0, sizeof(address_)); }

bool SockAddrIn::CreateFrom(const char* address, const char* port, int family) {
  memset(&address_, 0, sizeof(address_));
  address_.sin_family = static_cast<sa_family_t>(family);
  const bool any = address != nullptr &&
                   (strcmp(address, "0.0.0.0") == 0 || strcmp(address, "255.255.255.255") == 0);
  address_.sin_addr.s_addr = any ? htonl(INADDR_ANY) : htonl(SCOMM_GetIPAddress(address));
  address_.sin_port = htons(SCOMM_GetPortNumber(port));
  return !IsNull();
}

void SockAddrIn::SetFrom(const sockaddr_in& raw) {
  address_ = raw;
  memset(address_.sin_zero, 0, sizeof(address_.sin_zero));
}

bool SockAddrIn::IsNull() const { return address_.sin_addr.s_addr == 0 && address_.sin_port == 0; }

// ---- Lookups ------------------------------------------------------------

uint16_t SCOMM_GetPortNumber(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  if (*text >= '0' && *text <= '9') return static_cast<uint16_t>(atoi(text) & 0xFFFF);
  servent entry{};
  servent* found = nullptr;
  char scratch[kServiceBufferBytes];
  if (getservbyname_r(text, nullptr, &entry, scratch, sizeof(scratch), &found) != 0 || found == nullptr)
    return 0;
  return ntohs(static_cast<uint16_t>(found->s_port));
}

uint32_t SCOMM_GetIPAddress(const char* text) {
  char local[kMaxCanonicalName];
  if (text == nullptr) {
    if (gethostname(local, sizeof(local)) != 0) return 0;
    local[sizeof(local) - 1] = '\0';
    text = local;
  }
  in_addr dotted{};
  if (inet_aton(text, &dotted) != 0) return ntohl(dotted.s_addr);
  return ntohl(ResolveHost(text));
}

bool InitCSocketComm() {
  // A peer that resets a connection must cost one failed send, not the
  // process: writes to closed sockets return EPIPE instead of a signal.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

// ---- CSocketComm --------------------------------------------------------

CSocketComm::~CSocketComm() { CloseComm(); }

bool CSocketComm::CreateSocket(const char* port, const char* address, int family, int type,
                               int options) {
  if (IsOpen()) return false;
  int fd = socket(family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (options & kOptionReuseAddress) {
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
      close(fd);
      return false;
    }
  }
  SockAddrIn local;
  local.CreateFrom(address, port, family);
  if (bind(fd, local.Raw(), SockAddrIn::RawSize()) != 0 ||
      (type == SOCK_STREAM && listen(fd, kListenBacklog) != 0)) {
    close(fd);
    return false;
  }
  SetHandle(fd);
  return true;
}

// REQUIRES: `fd` was made non-blocking (it is made blocking again).
bool CSocketComm::ConnectBounded(int fd, const SockAddrIn& peer) {
  bool connected = connect(fd, peer.Raw(), SockAddrIn::RawSize()) == 0;
  if (!connected && errno == EINPROGRESS && WaitReady(fd, POLLOUT, kConnectTimeoutMs) == 1) {
    int error = 0;
    socklen_t length = sizeof(error);
    connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  return connected && fcntl(fd, F_SETFL, 0) == 0;  // no status flag but O_NONBLOCK was set
}

bool CSocketComm::ConnectTo(const char* host, const char* port, int family, int type,
                            const char* local_address) {
  if (IsOpen()) return false;
  SockAddrIn local;
  const char* bind_to = (local_address == nullptr || *local_address == '\0') ? nullptr : local_address;
  if (!local.CreateFrom(bind_to, "0", family)) return false;
  SockAddrIn peer;
  if (!peer.CreateFrom(host, port, family)) return false;
  int fd = socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  if (bind(fd, local.Raw(), SockAddrIn::RawSize()) != 0 || !ConnectBounded(fd, peer)) {
    close(fd);
    return false;
  }
  SetHandle(fd);
  return true;
}

int CSocketComm::WaitReady(int fd, short events, int timeout_ms) {
  pollfd watch{fd, events, 0};
  const int ready = InterruptiblePoll(&watch, 1, timeout_ms < 0 ? -1 : timeout_ms);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return 0;
  return ready < 0 ? -1 : 1;
}

int CSocketComm::Riceve(void* buffer, int length, int timeout_ms) {
  if (!IsOpen()) return -1;
  if (buffer == nullptr || length < 1) return 0;
  if (WaitReady(GetSocket(), POLLIN, timeout_ms) <= 0) return 0;
  return ReceiveAvailable(buffer, length);
}

int CSocketComm::Send(const void* buffer, int length, int timeout_ms) {
  if (!IsOpen()) return -1;
  if (buffer == nullptr || length < 1) return 0;
  const int ready = WaitReady(GetSocket(), POLLOUT, timeout_ms);
  if (ready <= 0) return ready;
  return SendAvailable(buffer, length);
}

// MSG_DONTWAIT: a readiness report can be stale; never block past it.
int CSocketComm::ReceiveAvailable(void* buffer, int length) {
  const int fd = GetSocket();
  if (fd == kNoSocket) return -1;
  if (buffer == nullptr || length < 1) return 0;
  const ssize_t got = recv(fd, buffer, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return got > 0 ? static_cast<int>(got) : -1;
}

int CSocketComm::SendAvailable(const void* buffer, int length) {
  const int fd = GetSocket();
  if (fd == kNoSocket) return -1;
  if (buffer == nullptr || length < 1) return 0;
  const ssize_t sent = send(fd, buffer, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return sent < 0 ? -1 : static_cast<int>(sent);
}

bool CSocketComm::AwaitBytes(int timeout_ms) {
  const int fd = GetSocket();
  if (fd == kNoSocket || WaitReady(fd, POLLIN, timeout_ms) != 1) return false;
  char first;
  return recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
}

int CSocketComm::WaitForConnection(int listen_fd) {
  const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? -1 : fd;
}

void CSocketComm::CloseComm() {
  const int fd = handle_.exchange(kNoSocket, std::memory_order_acq_rel);
  if (fd != kNoSocket) ShutdownConnection(fd);
}

bool CSocketComm::ShutdownConnection(int fd) {
  if (fd < 0) return false;
  shutdown(fd, SHUT_RDWR);
  return close(fd) == 0;
}

bool CSocketComm::SetNoDelay() {
  const int fd = GetSocket();
  const int on = 1;
  return fd != kNoSocket && setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0;
}

void CSocketComm::Interrupt() {
  const int fd = GetSocket();
  if (fd != kNoSocket) shutdown(fd, SHUT_RDWR);
}

bool CSocketComm::GetPeerName(SockAddrIn* out) const {
  sockaddr_in raw{};
  socklen_t length = sizeof(raw);
  if (out == nullptr || getpeername(GetSocket(), reinterpret_cast<sockaddr*>(&raw), &length) != 0)
    return false;
  out->SetFrom(raw);
  return true;
}

bool CSocketComm::GetSockName(SockAddrIn* out) const {
  sockaddr_in raw{};
  socklen_t length = sizeof(raw);
  if (out == nullptr || getsockname(GetSocket(), reinterpret_cast<sockaddr*>(&raw), &length) != 0)
    return false;
  out->SetFrom(raw);
  return true;
}

uint32_t CSocketComm::GetIP() const {
  SockAddrIn peer;
  return GetPeerName(&peer) ? peer.GetIPAddr() : 0;
}

const char* CSocketComm::GetIPFromLong(String* out, uint32_t address) {
  char dotted[kDottedChars];
  FormatDotted(dotted, sizeof(dotted), address);
  *out = dotted;
  return out->GetData();
}
