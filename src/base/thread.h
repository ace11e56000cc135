// thread - CMyThread, one POSIX thread slot with a cooperative run flag.
// Servers, listeners and workers own one each. A thread is never cancelled:
// stopping clears the run flag, rings the thread's stop signal (which ends
// every interruptible wait the body is in, below), lets the owner unblock
// the body (Unblock) and joins the thread; a thread is never forgotten
// while its body runs, so nothing it uses can be freed under it.
#ifndef TORVANE_BASE_THREAD_H_
#define TORVANE_BASE_THREAD_H_

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <mutex>

// Thread-safety: WatchComm, StopComm and Join are called by the owning
// thread only; IhaveToRun and HasEnded may be read from any thread.
class CMyThread {
 public:
  // The thread body: takes and returns an untyped pointer.
  using Procedure = void* (*)(void*);

  // How long StopComm waits for the body to return once asked to stop.
  // Bodies poll their run flag at least every few hundred milliseconds and
  // their blocking waits end on the stop signal.
  static constexpr int kJoinTimeoutMs = 5000;

  CMyThread() = default;
  // Stops the thread and waits until its body has returned (Join). Owners
  // whose Unblock uses members of a derived class must stop the thread in
  // their own destructor.
  virtual ~CMyThread();
  CMyThread(const CMyThread&) = delete;
  CMyThread& operator=(const CMyThread&) = delete;

  // Stores the thread body and its argument (neither is owned).
  void SetFunction(Procedure procedure, void* argument);
  // Starts the thread. False when it is already started, when the procedure
  // or the argument is null, or when the thread cannot be created (the run
  // flag is then cleared again).
  bool WatchComm();
  // Asks the thread to stop and waits for it: clears the run flag, rings
  // the stop signal, calls Unblock, then joins within kJoinTimeoutMs. True
  // once the thread is joined. False when no thread was started, or when
  // the body has not returned in time: the thread then stays started (and
  // joinable), and a later StopComm or Join finishes the job.
  bool StopComm();
  // StopComm, then waits as long as it takes for the body to return.
  void Join();
  // The run flag: true from WatchComm until StopComm. Lock-free.
  bool IhaveToRun() const { return run_.load(std::memory_order_acquire); }
  // True while a started thread has not been joined.
  bool IsStart() const { return started_; }
  // True once a started body has returned (or when none was ever started).
  bool HasEnded() const { return !started_ || finished_.load(std::memory_order_acquire); }
  // The object's own mutex, free for the owner to guard its state with.
  // Not held by StopComm, so a body may take it while it runs.
  void Lock() { mutex_.lock(); }
  void UnLock() { mutex_.unlock(); }

 protected:
  // Called by StopComm after the run flag was cleared: wake the body from
  // whatever it waits on that is not an interruptible wait. The default
  // does nothing.
  virtual void Unblock() {}

 private:
  static void* Trampoline(void* self);
  // Waits up to `timeout_ms` for the body to return; true when it did.
  bool WaitEnded(int timeout_ms) const;

  Procedure procedure_ = nullptr;  // not owned
  void* argument_ = nullptr;       // not owned
  pthread_t handle_{};
  bool started_ = false;
  int stop_fd_ = -1;  // eventfd rung by StopComm, owned; -1 until the first start
  std::atomic<bool> run_{false};
  std::atomic<bool> finished_{false};  // set by the body's last instruction
  std::mutex mutex_;
};

// ---- Interruptible waits ------------------------------------------------
// A thread started by CMyThread watches its stop signal in these waits, so
// a stop request ends them at once (the signal stays rung until the thread
// is started again, so every later wait ends at once too). On other
// threads they are plain waits.

// poll(2) over `fds`, ending early when the calling thread is asked to
// stop: then -1 with errno ECANCELED. Otherwise poll's result (EINTR
// included). `fds` may be null when `count` is 0.
int InterruptiblePoll(pollfd* fds, nfds_t count, int timeout_ms);
// Sleeps `timeout_ms` (nothing for 0 or less); false when cut short by a
// stop request.
bool InterruptibleSleep(int timeout_ms);
// True when the calling thread has been asked to stop.
bool StopRequested();

#endif  // TORVANE_BASE_THREAD_H_
