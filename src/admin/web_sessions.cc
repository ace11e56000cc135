// web_sessions - the page sessions table (see web_sessions.h).
#include "admin/web_sessions.h"

#include <sys/random.h>

#include <algorithm>
#include <cstdio>

void WebSessions::Start(const std::string& id, time_t expiry) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (sessions_.count(id) == 0 && sessions_.size() >= kMaxSessions) EvictOneLocked();
  sessions_[id] = Session{expiry, {}};
}

std::string WebSessions::New(time_t expiry) {
  unsigned char bytes[kIdBytes];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return "";
  std::string id;
  char hex[3];
  for (unsigned char byte : bytes) {
    snprintf(hex, sizeof hex, "%02x", byte);
    id += hex;
  }
  Start(id, expiry);
  return id;
}

void WebSessions::Delete(const std::string& id) {
  std::lock_guard<std::mutex> hold(mutex_);
  sessions_.erase(id);
}

bool WebSessions::WriteVar(const std::string& id, const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = sessions_.find(id);
  if (it == sessions_.end() || value.size() > kMaxValueBytes) return false;
  auto& values = it->second.values;
  if (values.count(name) == 0 && values.size() >= kMaxValues) return false;
  values[name] = value;
  return true;
}

std::string WebSessions::GetVar(const std::string& id, const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return "";
  auto value = it->second.values.find(name);
  return value != it->second.values.end() ? value->second : "";
}

void WebSessions::Maintenance() {
  std::lock_guard<std::mutex> hold(mutex_);
  const time_t now = clock_();
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = it->second.expiry < now ? sessions_.erase(it) : std::next(it);
  }
}

size_t WebSessions::size() {
  std::lock_guard<std::mutex> hold(mutex_);
  return sessions_.size();
}

void WebSessions::EvictOneLocked() {
  auto first = std::min_element(sessions_.begin(), sessions_.end(),
                                [](const auto& a, const auto& b) { return a.second.expiry < b.second.expiry; });
  if (first != sessions_.end()) sessions_.erase(first);
}
