// network_info - CNetInfo, the host's own IPv4 addresses. Scripts ("CNetInfo") use
// the list to tell mail from the host itself apart from mail from outside.
#ifndef TORVANE_BASE_NETWORK_INFO_H_
#define TORVANE_BASE_NETWORK_INFO_H_

#include "base/key_value_sink.h"

struct ifaddrs;

// Stateless; safe to call from any thread.
class CNetInfo {
 public:
  // Clears `out`, then adds the dotted IPv4 address of every interface that
  // is up, as both key and value. False (and `out` untouched) when `out` is
  // null or the interface list cannot be read.
  static bool BuildNetInfo(KeyValueSink* out);
  // The filtering half of BuildNetInfo, on a list the caller supplies (as
  // getifaddrs gives it): adds every up interface's IPv4 address to `out`
  // without clearing it. Entries without an address are skipped.
  static void AddUpAddresses(const struct ifaddrs* list, KeyValueSink* out);
};

#endif  // TORVANE_BASE_NETWORK_INFO_H_
