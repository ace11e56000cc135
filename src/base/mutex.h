// mutex - the plain mutex every engine and table locks with.
// A CCriticalSession is a non-recursive lock that also remembers whether it
// is held, so owners can tell a busy table from an idle one.
#ifndef TORVANE_BASE_MUTEX_H_
#define TORVANE_BASE_MUTEX_H_

#include <atomic>
#include <mutex>

class CCriticalSession {
 public:
  CCriticalSession() = default;
  virtual ~CCriticalSession() = default;
  CCriticalSession(const CCriticalSession&) = delete;
  CCriticalSession& operator=(const CCriticalSession&) = delete;

  // Locks the mutex. REQUIRES: the calling thread does not hold it already.
  void StartSession() {
    mutex_.lock();
    held_.store(1, std::memory_order_relaxed);
  }
  // Unlocks. REQUIRES: the calling thread holds the lock.
  void EndSession() {
    held_.store(0, std::memory_order_relaxed);
    mutex_.unlock();
  }
  // Kept for callers that announce a lock before taking it; nothing to wait for.
  void WaitForSession() {}
  // 1 between StartSession and EndSession, else 0 (a hint, not a test-and-set).
  int IsHeld() const { return held_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::atomic<int> held_{0};
};

// Holds a CCriticalSession for the lifetime of a scope.
class CriticalScope {
 public:
  explicit CriticalScope(CCriticalSession& lock) : lock_(lock) { lock_.StartSession(); }
  ~CriticalScope() { lock_.EndSession(); }
  CriticalScope(const CriticalScope&) = delete;
  CriticalScope& operator=(const CriticalScope&) = delete;

 private:
  CCriticalSession& lock_;
};

#endif  // TORVANE_BASE_MUTEX_H_
