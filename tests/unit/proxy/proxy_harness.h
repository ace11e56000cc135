// proxy_harness - what the proxy tests read back: a peer's bytes until it
// closes, and the entries of a log buffer.
#ifndef TORVANE_TESTS_UNIT_PROXY_PROXY_HARNESS_H_
#define TORVANE_TESTS_UNIT_PROXY_PROXY_HARNESS_H_

#include <string>
#include <vector>

#include "base/xml_log.h"
#include "base/socket.h"

// What the peer sent until it closed (bounded: 50 reads of at most 100 ms).
inline std::string ReadUntilClosed(CSocketComm& socket) {
  std::string got;
  char buffer[256];
  for (int i = 0; i < 50; ++i) {
    const int n = socket.Riceve(buffer, sizeof(buffer), 100);
    if (n < 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// The entries of `log`, oldest first, taken out of it.
inline std::vector<std::string> LogEntries(CLogSimple& log) {
  std::vector<std::string> entries;
  log.Drain([&entries](const CLogSimple::LogSimple_item& item) { entries.push_back(item.entry.ToStdString()); });
  return entries;
}

#endif  // TORVANE_TESTS_UNIT_PROXY_PROXY_HARNESS_H_
