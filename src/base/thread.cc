// thread - start, cooperative stop and bounded join of one POSIX thread.
#include "base/thread.h"

#include <ctime>
#include <cerrno>

namespace {

// How often StopComm looks whether the body has returned.
constexpr int kJoinPollMs = 2;

void SleepMs(int ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
  }
}

}  // namespace

CMyThread::~CMyThread() { StopComm(); }

void CMyThread::SetFunction(Procedure procedure, void* argument) {
  procedure_ = procedure;
  argument_ = argument;
}

void* CMyThread::Trampoline(void* self) {
  CMyThread* thread = static_cast<CMyThread*>(self);
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
  run_.store(true, std::memory_order_release);
  finished_.store(false, std::memory_order_release);
  if (pthread_create(&handle_, nullptr, &CMyThread::Trampoline, this) != 0) {
    run_.store(false, std::memory_order_release);
    return false;
  }
  started_ = true;
  return true;
}

bool CMyThread::StopComm() {
  if (!started_) return false;
  run_.store(false, std::memory_order_release);
  Unblock();
  started_ = false;
  // Poll instead of a timed join so the wait stays bounded on every libc.
  for (int waited = 0; waited < kJoinTimeoutMs; waited += kJoinPollMs) {
    if (finished_.load(std::memory_order_acquire)) {
      pthread_join(handle_, nullptr);
      return true;
    }
    SleepMs(kJoinPollMs);
  }
  pthread_detach(handle_);
  return false;
}
