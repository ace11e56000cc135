// sessions_per_address - per-address session counts with their statistics.
#include "engines/sessions_per_address.h"

namespace {

const char* OrEmpty(const char* text) { return text == nullptr ? "" : text; }

}  // namespace

int CIP_Session::CountLocked(const char* address) const {
  const auto found = sessions_.find(OrEmpty(address));
  return found == sessions_.end() ? 0 : found->second;
}

void CIP_Session::AddSession(const char* address) {
  CriticalScope hold(lock_);
  ++sessions_[OrEmpty(address)];
  if (++total_ > max_stat_) max_stat_ = total_;
}

int CIP_Session::RemoveSession(const char* address) {
  CriticalScope hold(lock_);
  const auto found = sessions_.find(OrEmpty(address));
  if (found == sessions_.end()) return 0;
  if (--found->second == 0) sessions_.erase(found);
  --total_;
  return 1;
}

int CIP_Session::GetSessionIP(const char* address) {
  CriticalScope hold(lock_);
  const int count = CountLocked(address);
  if (count >= max_session_per_ip_) ++over_stat_;
  return count;
}

int CIP_Session::IsIpInMaxSession(const char* address) {
  CriticalScope hold(lock_);
  const int count = CountLocked(address);
  if (count >= max_session_per_ip_) ++over_stat_;
  return count > max_session_per_ip_ ? 1 : 0;
}

int CIP_Session::GetNumberOfSession() {
  CriticalScope hold(lock_);
  return total_;
}

int CIP_Session::GetMaxStat() {
  CriticalScope hold(lock_);
  return max_stat_;
}

int CIP_Session::GetOverStat() {
  CriticalScope hold(lock_);
  return over_stat_;
}

void CIP_Session::SetMaxSessionFromIP(int32_t n) {
  CriticalScope hold(lock_);
  max_session_per_ip_ = n;
}

int32_t CIP_Session::GetMaxSessionFromIP() {
  CriticalScope hold(lock_);
  return max_session_per_ip_;
}
