// network_info - CNetInfo over getifaddrs.
#include "base/network_info.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

bool CNetInfo::BuildNetInfo(KeyValueSink* out) {
  if (out == nullptr) return false;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  out->Clear();
  AddUpAddresses(list, out);
  freeifaddrs(list);
  return true;
}

void CNetInfo::AddUpAddresses(const struct ifaddrs* list, KeyValueSink* out) {
  for (const struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0) continue;
    const auto* address = reinterpret_cast<const struct sockaddr_in*>(entry->ifa_addr);
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
    out->Add(text, text, strlen(text));
  }
}
