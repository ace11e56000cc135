// loopback - TCP on 127.0.0.1 for socket tests: the port a socket is bound
// to, and a listener on a port the kernel picks with one connection to it.
#ifndef TORVANE_TESTS_UNIT_COMMON_LOOPBACK_H_
#define TORVANE_TESTS_UNIT_COMMON_LOOPBACK_H_

#include <sys/socket.h>

#include <string>

#include "base/socket.h"

// The port `socket` is bound to, as text ("" when it is bound to none).
inline std::string BoundPort(const CSocketComm& socket) {
  SockAddrIn bound;
  return socket.GetSockName(&bound) ? std::to_string(bound.GetPort()) : "";
}

// A listener on an ephemeral loopback port plus one connection to it:
// `client` is the connecting side, `server` the accepted one.
struct LoopbackPair {
  CSocketComm listener;
  CSocketComm client;
  CSocketComm server;

  // `source` is the client's own address, any of 127.0.0.0/8.
  bool Open(const char* source = "127.0.0.1") {
    if (!listener.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, CSocketComm::kOptionReuseAddress))
      return false;
    const std::string port = BoundPort(listener);
    if (port.empty() || !client.ConnectTo("127.0.0.1", port.c_str(), AF_INET, SOCK_STREAM, source)) return false;
    server.SetHandle(CSocketComm::WaitForConnection(listener.GetSocket()));
    return server.IsOpen();
  }
};

#endif  // TORVANE_TESTS_UNIT_COMMON_LOOPBACK_H_
