// web_sessions - WebSessions, the server-side sessions of the web pages: an
// id maps to an expiry time and the page's named values. Bounded: a full
// table makes room by dropping the session that would expire first.
#ifndef TORVANE_ADMIN_WEB_SESSIONS_H_
#define TORVANE_ADMIN_WEB_SESSIONS_H_

#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "base/wall_clock.h"

// Thread-safe: every method takes the table's lock.
class WebSessions {
 public:
  // Sessions kept at most: a client creating sessions in a loop costs a
  // bounded amount of memory.
  static constexpr size_t kMaxSessions = 10000;
  // Values one session keeps at most, and bytes of one value.
  static constexpr size_t kMaxValues = 256;
  static constexpr size_t kMaxValueBytes = 64 * 1024;
  // Bytes of a session id made by New: 128 bits, as 32 hexadecimal digits.
  static constexpr size_t kIdBytes = 16;

  explicit WebSessions(WallClock clock = &SystemWallClock) : clock_(clock) {}

  // Creates or replaces `id` with no values, expiring at `expiry` (seconds
  // since 1970).
  void Start(const std::string& id, time_t expiry);
  // A fresh session with an unguessable id (from getrandom); "" when no
  // random bytes could be had.
  std::string New(time_t expiry);
  void Delete(const std::string& id);
  // Sets a value of an existing session; false when there is no such
  // session, or the value or the count is over its bound.
  bool WriteVar(const std::string& id, const std::string& name, const std::string& value);
  // The value; "" when the session or the value does not exist.
  std::string GetVar(const std::string& id, const std::string& name);
  // Removes every session whose expiry has passed.
  void Maintenance();
  size_t size();

 private:
  struct Session {
    time_t expiry = 0;
    std::map<std::string, std::string> values;
  };
  // Drops the session that expires first. REQUIRES: mutex_ held.
  void EvictOneLocked();

  WallClock clock_;
  std::mutex mutex_;
  std::map<std::string, Session> sessions_;  // guarded by mutex_
};

#endif  // TORVANE_ADMIN_WEB_SESSIONS_H_
