// wake_signal - WakeSignal, a doorbell between threads: one side rings when
// it has posted work, the other waits for the ring or a time-out, whichever
// comes first. It lets a loop that polls on a timer answer new work at once
// without spinning while there is none.
#ifndef TORVANE_BASE_WAKE_SIGNAL_H_
#define TORVANE_BASE_WAKE_SIGNAL_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

// Thread-safe. A ring that comes while nobody waits is kept until the next
// wait, so work posted just before a wait is never slept through.
class WakeSignal {
 public:
  void Notify() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      rung_ = true;
    }
    ready_.notify_all();
  }
  // Waits until rung or `timeout_ms` passed; forgets the ring. True when
  // it was rung.
  bool WaitFor(int timeout_ms) {
    std::unique_lock<std::mutex> hold(mutex_);
    const bool rung = ready_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [this] { return rung_; });
    rung_ = false;
    return rung;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  bool rung_ = false;  // guarded by mutex_
};

#endif  // TORVANE_BASE_WAKE_SIGNAL_H_
