// AdminAuthGuard on a fake clock: when bad keys lock an address out and
// when the lockout ends, and which signed requests are fresh.
#include "admin/admin_server.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

std::atomic<time_t> g_now{1000000};
time_t FakeNow() { return g_now.load(); }

TEST(AdminAuthGuard, LockoutAfterRepeatedBadKeys) {
  AdminAuthGuard guard(&FakeNow);
  guard.SetLimits(3, 300);
  const struct {
    int advance;  // seconds before this step
    bool fail;    // note a bad key (else only look)
    bool locked;  // expected lockout after the step
  } kSteps[] = {
      {0, true, false},  {10, true, false},  // two within the window
      {60, true, false},                     // the window started afresh
      {1, true, false},  {1, true, true},    // third within 60 s
      {299, false, true}, {1, false, false},  // the lockout ends
      {0, true, false},
  };
  for (size_t step = 0; step < std::size(kSteps); ++step) {
    const auto& s = kSteps[step];
    g_now += s.advance;
    if (s.fail) guard.NoteFailure("10.0.0.1");
    EXPECT_EQ(guard.IsLockedOut("10.0.0.1"), s.locked) << "step " << step;
    EXPECT_FALSE(guard.IsLockedOut("10.0.0.2")) << "step " << step;
  }
  guard.SetLimits(0, 300);  // no lockout at all
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(guard.NoteFailure("10.0.0.3"));
}

TEST(AdminAuthGuard, SignedRequestsAreFreshAndUnique) {
  AdminAuthGuard guard(&FakeNow);
  const time_t now = g_now.load();
  const struct {
    long ts;
    const char* nonce;
    bool accepted;
  } kCases[] = {
      {now, "n1", true},        {now, "n1", false},  // replayed
      {now - 121, "n2", false}, {now + 121, "n3", false},  // stale, from the future
      {now - 120, "n4", true},  {now, "", false},          // unsigned
  };
  for (const auto& c : kCases) EXPECT_EQ(guard.AcceptSigned(c.ts, c.nonce), c.accepted) << c.nonce << " " << c.ts;
  g_now += 2 * AdminAuthGuard::kSignatureWindowSeconds + 1;
  EXPECT_TRUE(guard.AcceptSigned(g_now.load(), "n1"));  // forgotten once it could no longer be fresh
}

}  // namespace
