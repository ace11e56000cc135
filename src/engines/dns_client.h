// dns_client - CDnsClient, one UDP socket aimed at one peer. The resolver opens
// one per query; scripts use it as their datagram endpoint. ExchangeOverTcp
// asks again over TCP when a datagram answer came back cut.
#ifndef TORVANE_ENGINES_DNS_CLIENT_H_
#define TORVANE_ENGINES_DNS_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <vector>

// Not thread-safe: one query or script object owns it. Non-copyable; closes
// its socket when destroyed.
class CDnsClient {
 public:
  // Wait of Read until SetTimeOut says otherwise.
  static constexpr int32_t kDefaultTimeoutMs = 200;

  // Opens an IPv4 UDP socket (none - every call then fails - when the system
  // refuses one).
  CDnsClient();
  ~CDnsClient();
  CDnsClient(const CDnsClient&) = delete;
  CDnsClient& operator=(const CDnsClient&) = delete;

  // Connects the socket to `address` (a dotted quad, or a host name looked up
  // for IPv4) and `port`. The kernel then drops datagrams from any other
  // address or port, and reports a peer that is not listening as an error on
  // the next Read instead of letting it run into the time-out. Each socket
  // gets a fresh ephemeral source port. False without a socket or for an
  // address that does not resolve.
  bool SetDestination(const char* address, uint16_t port);
  // Milliseconds Read waits; -1 waits without limit.
  void SetTimeOut(int32_t ms) { timeout_ms_ = ms; }
  int32_t GetTimeOut() const { return timeout_ms_; }

  // Sends `len` bytes as one datagram: 1, or -1 without a socket or
  // destination, or when the send fails.
  int Send(const void* data, int len);
  // Receives one datagram into `buffer` (cut at `len` bytes): its length, 0
  // when nothing came within the time-out, -1 without a socket or on an error
  // (such as the peer refusing).
  int Read(void* buffer, int len) { return ReadFor(buffer, len, timeout_ms_); }
  // Read with an explicit wait in milliseconds (-1: without limit).
  int ReadFor(void* buffer, int len, int32_t ms);
  // Closes the socket; later calls fail.
  void Close();

 private:
  int socket_ = -1;
  bool connected_ = false;
  int32_t timeout_ms_ = kDefaultTimeoutMs;
};

// One DNS exchange over TCP: connects to `address` (a dotted quad) and
// `port`, sends the `n` bytes of `query` behind the two-byte length DNS over
// TCP puts in front of a message, and reads the answer's length and bytes
// into `answer`. Everything, connecting included, happens within
// `timeout_ms`. False when the address does not parse, the connection is
// refused, the peer closes early or time runs out; `answer` is then empty.
bool ExchangeOverTcp(const char* address, uint16_t port, const uint8_t* query, size_t n,
                     std::vector<uint8_t>* answer, int32_t timeout_ms);

#endif  // TORVANE_ENGINES_DNS_CLIENT_H_
