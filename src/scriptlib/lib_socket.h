// lib_socket - the script classes of raw bytes on the wire: "CS_Buffer" (the
// program's String as a byte buffer) and "CS_Socket", a TCP connection
// (CSocketComm) or a UDP endpoint (CDnsClient) chosen at construction.
#ifndef TORVANE_SCRIPTLIB_LIB_SOCKET_H_
#define TORVANE_SCRIPTLIB_LIB_SOCKET_H_

#include <memory>

#include "base/socket.h"
#include "base/string.h"
#include "engines/dns_client.h"
#include "script/interpreter.h"
#include "script/variable.h"

// Not thread-safe: one script's object. Every wait is bounded: a timeout
// below 0 or above kMaxWaitMs waits kMaxWaitMs.
class CS_Socket {
 public:
  // Longest single send or receive wait a script can ask for.
  static constexpr int kMaxWaitMs = 60000;
  // The UDP endpoint's wait between script calls.
  static constexpr int kUdpIdleTimeoutMs = 200;

  // mode <= 0: TCP; mode >= 1: UDP.
  explicit CS_Socket(int mode);
  CS_Socket(const CS_Socket&) = delete;
  CS_Socket& operator=(const CS_Socket&) = delete;

  // 1 when connected (TCP) or aimed at a destination (UDP).
  int IsOpen() const;
  void Close();
  // Closes what is open, then connects (TCP, from the local `adapter`
  // address when given) or sets the destination (UDP). 1 on success, else 0.
  int ConnectTo(const char* host, const char* port, const char* adapter);
  // Sends the first `length` bytes of `data` (a text or buffer pointer):
  // -1 when not open; 0 unless 1 <= length <= the bytes data holds; else
  // the send's result (UDP: the whole data as one datagram, 1 on success).
  int Send(Variable data, int length, int timeout_ms);
  // Empties `buffer` and reads at most its capacity into it within the
  // timeout: the count (0 on timeout), -1 for a null buffer, one without
  // capacity (never allocated), a closed socket, or an error.
  int Riceve(String* buffer, int timeout_ms);

 private:
  static int BoundedWait(int timeout_ms);

  const bool udp_;
  std::unique_ptr<CSocketComm> tcp_;
  std::unique_ptr<CDnsClient> datagram_;  // null while not aimed
};

// Registers "CS_Buffer" and "CS_Socket".
void RegisterSocketClasses(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_SOCKET_H_
