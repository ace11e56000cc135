// thread - start, cooperative stop and join of one POSIX thread, and the
// waits that end on its stop signal.
#include "base/thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <vector>

namespace {

// How often a join looks whether the body has returned.
constexpr int kJoinPollMs = 2;
// Waits watching this many descriptors or fewer need no heap.
constexpr nfds_t kInlineWaitFds = 8;

// The stop signal of the thread running this code; -1 outside CMyThread.
thread_local int tl_stop_fd = -1;

void SleepMs(int ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
  }
}

bool Readable(int fd) {
  pollfd probe{fd, POLLIN, 0};
  return poll(&probe, 1, 0) > 0 && (probe.revents & POLLIN) != 0;
}

}  // namespace

CMyThread::~CMyThread() {
  Join();
  if (stop_fd_ >= 0) close(stop_fd_);
}

void CMyThread::SetFunction(Procedure procedure, void* argument) {
  procedure_ = procedure;
  argument_ = argument;
}

void* CMyThread::Trampoline(void* self) {
  CMyThread* thread = static_cast<CMyThread*>(self);
  tl_stop_fd = thread->stop_fd_;
  void* result = nullptr;
  try {
    result = thread->procedure_(thread->argument_);
  } catch (...) {
    // A thread body must not take the process down with it; the owner sees
    // the thread as finished and stops it as usual.
  }
  thread->finished_.store(true, std::memory_order_release);
  return result;
}

bool CMyThread::WatchComm() {
  if (started_ || procedure_ == nullptr || argument_ == nullptr) return false;
  if (stop_fd_ < 0) stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (stop_fd_ >= 0) {  // forget a stop signal left by the previous run
    uint64_t rung = 0;
    [[maybe_unused]] const ssize_t unused = read(stop_fd_, &rung, sizeof(rung));
  }
  run_.store(true, std::memory_order_release);
  finished_.store(false, std::memory_order_release);
  if (pthread_create(&handle_, nullptr, &CMyThread::Trampoline, this) != 0) {
    run_.store(false, std::memory_order_release);
    return false;
  }
  started_ = true;
  return true;
}

bool CMyThread::WaitEnded(int timeout_ms) const {
  // Poll instead of a timed join so the wait stays bounded on every libc.
  for (int waited = 0; waited < timeout_ms; waited += kJoinPollMs) {
    if (finished_.load(std::memory_order_acquire)) return true;
    SleepMs(kJoinPollMs);
  }
  return finished_.load(std::memory_order_acquire);
}

bool CMyThread::StopComm() {
  if (!started_) return false;
  run_.store(false, std::memory_order_release);
  if (stop_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t unused = write(stop_fd_, &one, sizeof(one));
  }
  Unblock();
  if (!WaitEnded(kJoinTimeoutMs)) return false;
  pthread_join(handle_, nullptr);
  started_ = false;
  return true;
}

void CMyThread::Join() {
  while (started_ && !StopComm()) {
  }
}

// ---- Interruptible waits ------------------------------------------------

int InterruptiblePoll(pollfd* fds, nfds_t count, int timeout_ms) {
  if (tl_stop_fd < 0) return poll(fds, count, timeout_ms);
  pollfd inline_fds[kInlineWaitFds + 1];
  std::vector<pollfd> heap_fds;
  pollfd* all = inline_fds;
  if (count > kInlineWaitFds) {
    heap_fds.resize(count + 1);
    all = heap_fds.data();
  }
  for (nfds_t i = 0; i < count; ++i) all[i] = fds[i];
  all[count] = pollfd{tl_stop_fd, POLLIN, 0};
  const int ready = poll(all, count + 1, timeout_ms);
  if (ready > 0 && (all[count].revents & POLLIN) != 0) {
    errno = ECANCELED;
    return -1;
  }
  for (nfds_t i = 0; i < count; ++i) fds[i].revents = all[i].revents;
  return ready;
}

bool InterruptibleSleep(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    // Rounded up: poll's granularity must not make the sleep shorter.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return true;
    if (InterruptiblePoll(nullptr, 0, static_cast<int>(left)) < 0 && errno == ECANCELED) return false;
  }
}

bool StopRequested() { return tl_stop_fd >= 0 && Readable(tl_stop_fd); }
