// sessions_per_address - CIP_Session, the count of open SMTP sessions per client
// address. Admission refuses an address that already holds the allowed
// number of sessions; the connection's script registers its session and the
// relay removes it when the connection ends.
#ifndef TORVANE_ENGINES_SESSIONS_PER_ADDRESS_H_
#define TORVANE_ENGINES_SESSIONS_PER_ADDRESS_H_

#include <cstdint>
#include <string>
#include <unordered_map>

#include "base/mutex.h"

// Thread-safe: every method holds the counter's own lock, never across
// anything slower than a table update. Addresses are compared as texts, byte
// for byte; a null address counts as "".
class CIP_Session {
 public:
  // Sessions one address may hold when nothing else is set.
  static constexpr int32_t kDefaultMaxSessionPerIP = 3;

  CIP_Session() = default;
  CIP_Session(const CIP_Session&) = delete;
  CIP_Session& operator=(const CIP_Session&) = delete;

  // Registers one more session of `address`; raises GetMaxStat() when the
  // total reaches a new high.
  void AddSession(const char* address);
  // 1 after removing one session of `address`, 0 when it holds none.
  int RemoveSession(const char* address);
  // Sessions `address` holds. One at or above the limit counts into
  // GetOverStat().
  int GetSessionIP(const char* address);
  // 1 when `address` holds more sessions than the limit, else 0; counts into
  // GetOverStat() as GetSessionIP does.
  int IsIpInMaxSession(const char* address);

  // Sessions open now, all addresses together.
  int GetNumberOfSession();
  // The highest GetNumberOfSession() ever reached.
  int GetMaxStat();
  // How many counts found an address at or above the limit.
  int GetOverStat();
  void SetMaxSessionFromIP(int32_t n);
  int32_t GetMaxSessionFromIP();

 private:
  // REQUIRES: lock_ held.
  int CountLocked(const char* address) const;

  CCriticalSession lock_;
  // Guarded by lock_.
  std::unordered_map<std::string, int> sessions_;  // address -> open sessions (> 0)
  int total_ = 0;
  int max_stat_ = 0;
  int over_stat_ = 0;
  int32_t max_session_per_ip_ = kDefaultMaxSessionPerIP;
};

#endif  // TORVANE_ENGINES_SESSIONS_PER_ADDRESS_H_
