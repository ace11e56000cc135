// mutex - the plain mutex every engine and table locks with.
// A CCriticalSession is a non-recursive lock that also remembers whether it
// is held, so owners can tell a busy table from an idle one.
#ifndef TORVANE_BASE_MUTEX_H_
#define TORVANE_BASE_MUTEX_H_

#include <atomic>
#include <mutex>
#include <thread>

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

// A lock one thread may keep across several calls (a store's transaction, a
// script's hold on a domain). While it keeps it, the scoped holds its own
// calls take do not lock again, so they neither deadlock nor nest.
class ThreadHeldLock {
 public:
  ThreadHeldLock() = default;
  ThreadHeldLock(const ThreadHeldLock&) = delete;
  ThreadHeldLock& operator=(const ThreadHeldLock&) = delete;

  // Locks and makes the calling thread the keeper. False, doing nothing,
  // when that thread keeps the lock already.
  bool Keep() {
    if (KeptByThisThread()) return false;
    mutex_.lock();
    keeper_.store(std::this_thread::get_id());
    return true;
  }
  // Unlocks when the calling thread keeps the lock. False, doing nothing,
  // otherwise: a thread cannot release what it does not keep.
  bool Release() {
    if (!KeptByThisThread()) return false;
    keeper_.store(std::thread::id());
    mutex_.unlock();
    return true;
  }
  bool KeptByThisThread() const { return keeper_.load() == std::this_thread::get_id(); }
  // Waits until no other thread keeps or holds the lock.
  void Wait() { Scope wait(*this); }

  // Holds the lock for a scope, unless the calling thread keeps it.
  class Scope {
   public:
    explicit Scope(ThreadHeldLock& lock) : lock_(lock), locks_(!lock.KeptByThisThread()) {
      if (locks_) lock_.mutex_.lock();
    }
    ~Scope() {
      if (locks_) lock_.mutex_.unlock();
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    ThreadHeldLock& lock_;
    const bool locks_;  // false inside the calling thread's own keep
  };

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> keeper_{};  // the keeping thread, or none
};

#endif  // TORVANE_BASE_MUTEX_H_
