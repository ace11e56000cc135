// Tests of CMyThread: start conditions, cooperative stop, join, and the waits a stop request ends.
#include "base/thread.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// A body that polls its run flag and counts its passes.
struct PollingBody {
  CMyThread* thread = nullptr;
  std::atomic<int> passes{0};
  std::atomic<bool> returned{false};

  static void* Run(void* self) {
    auto* body = static_cast<PollingBody*>(self);
    while (body->thread->IhaveToRun()) {
      ++body->passes;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    body->returned = true;
    return nullptr;
  }
};

// A thread whose body waits on a flag that only Unblock sets.
class BlockedThread : public CMyThread {
 public:
  std::atomic<bool> woken{false};
  std::atomic<int> unblocks{0};

 protected:
  void Unblock() override {
    ++unblocks;
    woken = true;
  }
};

void* WaitUntilWoken(void* self) {
  auto* thread = static_cast<BlockedThread*>(self);
  while (!thread->woken) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return nullptr;
}

// A thread starts once with a procedure and an argument; a stop is cooperative, joins, and frees the slot.
TEST(CMyThreadTest, StartOnceThenStopJoins) {
  CMyThread thread;
  EXPECT_FALSE(thread.WatchComm());  // nothing set
  PollingBody body;
  body.thread = &thread;
  thread.SetFunction(&PollingBody::Run, nullptr);
  EXPECT_FALSE(thread.WatchComm());  // no argument
  thread.SetFunction(&PollingBody::Run, &body);
  ASSERT_TRUE(thread.WatchComm());
  EXPECT_TRUE(thread.IhaveToRun());
  EXPECT_FALSE(thread.WatchComm());  // already running
  for (int i = 0; i < 1000 && body.passes == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GT(body.passes.load(), 0);
  EXPECT_TRUE(thread.StopComm());
  EXPECT_TRUE(body.returned);
  EXPECT_FALSE(thread.IsStart());
  EXPECT_FALSE(thread.StopComm());  // nothing left to stop
  body.returned = false;
  ASSERT_TRUE(thread.WatchComm());
  EXPECT_TRUE(thread.StopComm());
  EXPECT_TRUE(body.returned);
}

TEST(CMyThreadTest, StopWakesABlockedBodyThroughUnblock) {
  BlockedThread thread;
  thread.SetFunction(&WaitUntilWoken, &thread);
  ASSERT_TRUE(thread.WatchComm());
  EXPECT_TRUE(thread.StopComm());  // would wait forever without the unblock
  EXPECT_EQ(thread.unblocks.load(), 1);
}

// A stop request ends the interruptible waits a body is in, so StopComm joins at once.
TEST(CMyThreadTest, StopEndsInterruptibleWaits) {
  struct Body {
    std::atomic<int> result{1};
    static void* Sleep(void* self) {
      static_cast<Body*>(self)->result = InterruptibleSleep(60000) ? 1 : 0;
      return nullptr;
    }
    static void* Poll(void* self) {
      int never[2];
      if (pipe(never) != 0) return nullptr;
      pollfd wait{never[0], POLLIN, 0};
      const int ready = InterruptiblePoll(&wait, 1, -1);
      static_cast<Body*>(self)->result = ready < 0 && errno == ECANCELED ? 0 : 1;
      close(never[0]);
      close(never[1]);
      return nullptr;
    }
  };
  for (CMyThread::Procedure procedure : {&Body::Sleep, &Body::Poll}) {
    CMyThread thread;
    Body body;
    thread.SetFunction(procedure, &body);
    ASSERT_TRUE(thread.WatchComm());
    EXPECT_TRUE(thread.StopComm());
    EXPECT_EQ(body.result.load(), 0);
    EXPECT_FALSE(StopRequested());  // this thread was never asked
  }
}

}  // namespace
