// thread - CMyThread, one POSIX thread slot with a cooperative run flag.
// Servers, listeners and workers own one each. A thread is never cancelled:
// stopping clears the run flag, lets the owner unblock the body (Unblock) and
// joins the thread within a bounded wait, so no thread dies holding a lock.
#ifndef TORVANE_BASE_THREAD_H_
#define TORVANE_BASE_THREAD_H_

#include <pthread.h>

#include <atomic>
#include <mutex>

// Thread-safety: WatchComm and StopComm are called by the owning thread only;
// IhaveToRun may be read from any thread (the body polls it).
class CMyThread {
 public:
  // The thread body: takes and returns an untyped pointer.
  using Procedure = void* (*)(void*);

  // How long StopComm waits for the body to return once asked to stop.
  // Bodies poll their run flag at least every few hundred milliseconds.
  static constexpr int kJoinTimeoutMs = 5000;

  CMyThread() = default;
  // Stops the thread (StopComm) if it still runs. Owners whose Unblock uses
  // members of a derived class must call StopComm in their own destructor.
  virtual ~CMyThread();
  CMyThread(const CMyThread&) = delete;
  CMyThread& operator=(const CMyThread&) = delete;

  // Stores the thread body and its argument (neither is owned).
  void SetFunction(Procedure procedure, void* argument);
  // Starts the thread. False when it is already started, when the procedure
  // or the argument is null, or when the thread cannot be created (the run
  // flag is then cleared again).
  bool WatchComm();
  // Asks the thread to stop and waits for it: clears the run flag, calls
  // Unblock, then joins within kJoinTimeoutMs. False when no thread was
  // started or when the body did not return in time; the latter thread is
  // detached and left to finish alone, so whatever it uses must outlive it.
  bool StopComm();
  // The run flag: true from WatchComm until StopComm. Lock-free.
  bool IhaveToRun() const { return run_.load(std::memory_order_acquire); }
  // True while a started thread has not been stopped.
  bool IsStart() const { return started_; }
  // True once the body of the started thread has returned: StopComm then
  // joins without waiting. Lock-free.
  bool HasFinished() const { return finished_.load(std::memory_order_acquire); }
  // The object's own mutex, free for the owner to guard its state with.
  // Not held by StopComm, so a body may take it while it runs.
  void Lock() { mutex_.lock(); }
  void UnLock() { mutex_.unlock(); }

 protected:
  // Called by StopComm after the run flag was cleared: wake the body from
  // whatever it waits on (shut a socket down, signal a condition). The
  // default does nothing, for bodies that only sleep briefly between polls.
  virtual void Unblock() {}

 private:
  static void* Trampoline(void* self);

  Procedure procedure_ = nullptr;  // not owned
  void* argument_ = nullptr;       // not owned
  pthread_t handle_{};
  bool started_ = false;
  std::atomic<bool> run_{false};
  std::atomic<bool> finished_{false};  // set by the body's last instruction
  std::mutex mutex_;
};

#endif  // TORVANE_BASE_THREAD_H_
