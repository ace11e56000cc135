// ban_list_test - bans, the sweep with its save, and concurrent bans of one address.
#include "engines/ban_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/utility.h"
#include "common/scratch_dir.h"

namespace {

class CIP_ImbargoTest : public ::testing::Test {
 protected:
  ScratchAppDir dir_;
};

TEST_F(CIP_ImbargoTest, BanKeepsItsFirstExpiry) {
  CIP_Imbargo list;
  EXPECT_EQ(list.IsIpImbargo("192.0.2.1"), 0);
  EXPECT_EQ(list.AddIP_Imbargo("192.0.2.1", 2000000000), 1);
  EXPECT_EQ(list.IsIpImbargo("192.0.2.1"), 1);
  EXPECT_GE(list.AddIP_Imbargo("192.0.2.1", 2100000000), 0);  // its record number
  const int32_t n = list.Find("192.0.2.1", 0);
  ASSERT_GE(n, 0);
  EXPECT_STREQ(list.GetByIndexPtr(n)->value.get(), "2000000000");
  EXPECT_EQ(list.GetRealRecordCount(), 1);
  EXPECT_EQ(list.AddIP_Imbargo("", 5), -1);
  EXPECT_EQ(list.IsIpImbargo(nullptr), 0);
  EXPECT_EQ(list.IsIpImbargo("192.0.2.10"), 0);  // exact addresses only
}

// An expired ban holds until the sweep, which removes the bans due by its time and saves.
TEST_F(CIP_ImbargoTest, SweepRemovesDueBansAndSaves) {
  constexpr time_t kNow = 1800000000;
  {
    CIP_Imbargo list;
    struct Ban {
      const char* address;
      const char* expiry;  // as stored
      bool stays;
    };
    const Ban bans[] = {
        {"192.0.2.1", "1799999999", false},  // past
        {"192.0.2.2", "1800000000", false},  // exactly now
        {"192.0.2.3", "1800000001", true},   // future
        {"192.0.2.4", "junk", false},        // unreadable: 0
        {"192.0.2.5", "99999999999", true},  // beyond 32 bits, still read
    };
    for (const Ban& b : bans) ASSERT_EQ(list.CSInsert(b.address, b.expiry, 0), 1);
    for (const Ban& b : bans) EXPECT_EQ(list.IsIpImbargo(b.address), 1) << "held until the sweep";
    EXPECT_EQ(list.SuperSanitary(kNow), 3);
    for (const Ban& b : bans) EXPECT_EQ(list.IsIpImbargo(b.address), b.stays ? 1 : 0) << b.address;
    EXPECT_EQ(list.SuperSanitary(kNow), 0);
  }
  CIP_Imbargo reloaded;  // the sweep saved; the destructor does not
  EXPECT_EQ(reloaded.GetRealRecordCount(), 2);
  EXPECT_EQ(reloaded.IsIpImbargo("192.0.2.3"), 1);
  EXPECT_EQ(reloaded.IsIpImbargo("192.0.2.1"), 0);
}

TEST_F(CIP_ImbargoTest, SweepOnTheClockAndEmptyList) {
  CIP_Imbargo list;
  EXPECT_EQ(list.SuperSanitary(), 0);
  const int32_t now = static_cast<int32_t>(GetTimeNow());
  list.AddIP_Imbargo("192.0.2.1", now - 1);
  list.AddIP_Imbargo("192.0.2.2", now + 3600);
  EXPECT_EQ(list.SuperSanitary(), 1);
  EXPECT_EQ(list.IsIpImbargo("192.0.2.2"), 1);
}

TEST_F(CIP_ImbargoTest, ConcurrentBansOfOneAddressLeaveOneRecord) {
  constexpr int kThreads = 8;
  CIP_Imbargo list;
  std::atomic<int> inserted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // The one record is number 0, so only the insertion answers 1.
      if (list.AddIP_Imbargo("192.0.2.9", 2000000000 + t) == 1) ++inserted;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(list.GetRealRecordCount(), 1);
  EXPECT_EQ(inserted.load(), 1);
}

}  // namespace
