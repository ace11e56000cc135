// socket - CSocketComm, the IPv4 TCP/UDP socket every server, client and
// engine talks through, its address type SockAddrIn, and the name and port
// lookups. Sockets stay blocking descriptors; every wait goes through poll
// with a millisecond timeout, so no receive or send outlasts its timeout (and
// none outlasts a stop request of its CMyThread), and nothing here raises
// SIGPIPE.
#ifndef TORVANE_BASE_SOCKET_H_
#define TORVANE_BASE_SOCKET_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/string.h"

// An IPv4 socket address: family, port and address in network order, then
// eight zero bytes. Comparisons ignore those eight bytes.
class SockAddrIn {
 public:
  SockAddrIn();

  // Fills the address from texts. "0.0.0.0" and "255.255.255.255" give the
  // any-address; any other text (null included) goes through
  // SCOMM_GetIPAddress, the port through SCOMM_GetPortNumber. False when both
  // address and port came out 0 (the address is filled anyway).
  bool CreateFrom(const char* address, const char* port, int family = AF_INET);
  // Copies a raw address (from accept, getpeername ...).
  void SetFrom(const sockaddr_in& raw);
  // True when address and port are both 0.
  bool IsNull() const;
  void Copy(const SockAddrIn& other) { address_ = other.address_; }

  // The address in network byte order, and the port in host byte order.
  uint32_t GetIPAddr() const { return address_.sin_addr.s_addr; }
  uint16_t GetPort() const { return ntohs(address_.sin_port); }
  const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&address_); }
  static constexpr socklen_t RawSize() { return sizeof(sockaddr_in); }

 private:
  sockaddr_in address_;
};

// Port of `text`: text starting with a digit is read with atoi and kept to
// its low 16 bits; anything else is looked up in the service database (any
// protocol). 0 for null, unknown names or no digits.
uint16_t SCOMM_GetPortNumber(const char* text);
// IPv4 address of `text` in host byte order. Null means the local host name;
// dotted text is converted directly; other text is resolved as a host name
// (first address). 0 when nothing resolves.
uint32_t SCOMM_GetIPAddress(const char* text);
// Prepares the socket layer: the process ignores SIGPIPE from here on.
// Always true.
bool InitCSocketComm();

// One socket. Not synchronised as a whole, but the handle and the free flag
// are atomic: a listener slot is read by the accept thread, the main loop and
// a session thread without a lock.
class CSocketComm {
 public:
  // Option bit of CreateSocket: set SO_REUSEADDR.
  static constexpr int kOptionReuseAddress = 4;
  // Queue of not yet accepted connections of a listening stream socket.
  static constexpr int kListenBacklog = 128;
  // ConnectTo gives up on a peer that does not answer within this time
  // (far above any normal handshake, far below the kernel's own minutes).
  static constexpr int kConnectTimeoutMs = 30000;

  CSocketComm() = default;
  // Closes the socket if open.
  virtual ~CSocketComm();
  CSocketComm(const CSocketComm&) = delete;
  CSocketComm& operator=(const CSocketComm&) = delete;

  // Creates a socket bound to `address`:`port` (SockAddrIn::CreateFrom, bound
  // whatever it gives); a stream socket also listens. False, with nothing
  // kept, when already open or on any failure.
  bool CreateSocket(const char* port, const char* address, int family, int type, int options);
  // Creates a socket bound (port 0) to `local_address`, or to the first
  // address of the host's own name when that is null or empty, then connects
  // to `host`:`port`. False when already open, when the local or remote
  // address does not resolve (all-zero with port 0), or when the connection
  // fails or takes longer than kConnectTimeoutMs.
  bool ConnectTo(const char* host, const char* port, int family, int type, const char* local_address);
  // Receives up to `length` bytes within `timeout_ms` (-1: no limit). Returns
  // the count; 0 on timeout, interruption, null buffer or length < 1; -1 when
  // not open, the peer closed, or on error.
  int Riceve(void* buffer, int length, int timeout_ms);
  // Sends up to `length` bytes within `timeout_ms` (-1: no limit). Returns
  // the count written (possibly fewer than asked); 0 on timeout,
  // interruption, null buffer or length < 1; -1 when not open or on error.
  int Send(const void* buffer, int length, int timeout_ms);
  // Riceve and Send without waiting: what the socket holds or takes now.
  // 0 when nothing is there or nothing fits now (or for a null buffer or a
  // length < 1); -1 when not open, the peer closed (receiving) or on error.
  int ReceiveAvailable(void* buffer, int length);
  int SendAvailable(const void* buffer, int length);
  // Waits up to `timeout_ms` for the peer to send something: true when
  // bytes are there to read; false on timeout, interruption, end of stream
  // or error. Reads nothing.
  bool AwaitBytes(int timeout_ms);
  // Accepts one connection on `listen_fd` (blocking). The descriptor, or -1.
  static int WaitForConnection(int listen_fd);
  // Shuts both directions down and closes; the object is then not open.
  void CloseComm();
  // Shuts both directions of `fd` down and closes it. False for a bad fd.
  static bool ShutdownConnection(int fd);
  // Sends small writes at once instead of holding them for a full segment
  // (TCP_NODELAY): a relay's replies and ends of data would otherwise meet
  // the peer's delayed acknowledgement and stall. False when not open or
  // not a TCP socket.
  bool SetNoDelay();
  // Wakes a thread blocked on this socket without closing it (the owner
  // closes once that thread is gone, so the descriptor cannot be reused
  // under it).
  void Interrupt();

  bool GetPeerName(SockAddrIn* out) const;
  bool GetSockName(SockAddrIn* out) const;
  // The peer's IPv4 address in network order; 0 when unknown.
  uint32_t GetIP() const;
  // `out` = "%u.%u.%u.%u" of the four bytes of `address` in memory order
  // (network order gives the usual dotted form). Returns out's text.
  static const char* GetIPFromLong(String* out, uint32_t address);

  // Takes ownership of `fd` (an accepted connection).
  void SetHandle(int fd) { handle_.store(fd, std::memory_order_release); }
  // The descriptor, or kNoSocket.
  int GetSocket() const { return handle_.load(std::memory_order_acquire); }
  bool IsOpen() const { return GetSocket() != kNoSocket; }
  // The listener's slot flag: true while the object may be handed out.
  bool IsLibero() const { return free_.load(std::memory_order_acquire); }
  void SetLibero(bool free) { free_.store(free, std::memory_order_release); }

  // The handle of a closed socket. Not 0: a daemon without standard input
  // may well receive descriptor 0 for a socket.
  static constexpr int kNoSocket = -1;

 private:
  // Waits until `fd` is ready for `events` (poll). 1 ready, 0 timeout or
  // signal, -1 error or a stop request of the calling thread.
  static int WaitReady(int fd, short events, int timeout_ms);
  // Connects `fd` to `peer`, giving up after kConnectTimeoutMs.
  static bool ConnectBounded(int fd, const SockAddrIn& peer);

  std::atomic<int> handle_{kNoSocket};
  std::atomic<bool> free_{true};
};

#endif  // TORVANE_BASE_SOCKET_H_
