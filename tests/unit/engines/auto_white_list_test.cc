// auto_white_list_test - the auto light white list on a fake clock.
#include "engines/auto_white_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <map>
#include <memory>
#include <string>

#include "base/md5.h"
#include "base/utility.h"
#include "common/map_sink.h"
#include "common/scratch_dir.h"

namespace {

constexpr time_t kStart = 1700000000;
constexpr time_t kHour = 3600;
std::atomic<time_t> g_now{kStart};

class CAutoLightWhiteListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = kStart;
    list_ = std::make_unique<CAutoLightWhiteList>();
    list_->SetClock([] { return g_now.load(); });
  }
  std::map<std::string, std::string> View(int32_t count, int32_t start, const char* filter = nullptr,
                                          int32_t mode = 0) {
    MapSink listing;
    EXPECT_EQ(list_->ViewALWLDB(&listing, count, start, filter, mode), 1);
    return listing.pairs;
  }

  ScratchAppDir dir_;
  std::unique_ptr<CAutoLightWhiteList> list_;
};

TEST_F(CAutoLightWhiteListTest, LearnsWhoOurUserWroteTo) {
  EXPECT_EQ(list_->AddALWL("Me@L.test", "x@far.test  Y@Far.test me@l.TEST"), 1);
  const struct {
    const char* sender;
    const char* recipient;
    int known;
  } cases[] = {
      {"x@far.test", "me@l.test", 1},          {"y@far.test", "ME@l.test", 1},  // case does not matter
      {"X@far.test", "prvs=5ab=me@l.test", 1},  // nor a bounce address tag
      {"x@far.test", "other@l.test", 0},        // another local user
      {"me@l.test", "me@l.test", 0},            // writing to oneself teaches nothing
      {"me@l.test", "x@far.test", 0},           {"", "me@l.test", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(list_->IsALWL(c.sender, c.recipient), c.known) << c.sender;
  EXPECT_EQ(list_->GetRealRecordCount(), 2);
  EXPECT_EQ(list_->AddALWL("", "x@far.test") + list_->AddALWL("me@l.test", nullptr), 0);
}

// "a@x.co" + "mbob@l.test" and "a@x.com" + "bob@l.test" spell one text.
TEST_F(CAutoLightWhiteListTest, PairsThatSpellTheSameTextStayApart) {
  list_->AddALWL("mbob@l.test", "a@x.co");
  EXPECT_EQ(list_->IsALWL("a@x.com", "bob@l.test"), 0);
}

// Learning again keeps the first time: the pair expires 96 hours after it was first learned.
TEST_F(CAutoLightWhiteListTest, RelearningKeepsTheFirstTime) {
  list_->SetTimeOfValidityRecord(96, kHour);
  list_->AddALWL("me@l.test", "x@far.test");
  g_now += 50 * kHour;
  list_->AddALWL("me@l.test", "X@far.test");
  g_now = kStart + 96 * kHour;
  EXPECT_EQ(list_->SanitaryAndSave(), 1);
  EXPECT_EQ(list_->IsALWL("x@far.test", "me@l.test"), 0);
}

// A file keyed by the older digest of external + local loads with today's keys, times kept.
TEST_F(CAutoLightWhiteListTest, OlderKeysAreRekeyedAtLoad) {
  list_.reset();
  auto int32 = [](int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  const std::string value = std::string("Me@L.test\x02") + "Ext@Far.test";
  dir_.Put("db/AL_whitelist.db", "DBK2.0" + int32(1) + int32(kStart - 7) + int32(32) +
                                     int32(static_cast<int32_t>(value.size())) +
                                     MD5Hex("ext@far.testme@l.test").ToStdString() + value);
  list_ = std::make_unique<CAutoLightWhiteList>();
  EXPECT_EQ(list_->IsALWL("ext@far.test", "me@l.test"), 1);
  EXPECT_EQ(View(9, 0).begin()->second, std::to_string(kStart - 7) + "\x02" + value + "\x02");
  EXPECT_EQ(list_->SaveIfChanged(), 1);
}

// Pages of `count` records after the first `start` ones.
TEST_F(CAutoLightWhiteListTest, ListingPagesAndFilters) {
  list_->AddALWL("me@l.test", "a@far.test b@far.test c@far.test");
  list_->AddALWL("you@l.test", "d@far.test e@far.test");
  const struct {
    int32_t count, start;
    const char* filter;
    int32_t mode;
    size_t taken;
  } cases[] = {
      {2, 0, nullptr, 0, 2},       {2, 4, nullptr, 0, 1},             {0, 0, nullptr, 0, 5},
      {INT_MAX, 1, nullptr, 0, 4}, {INT_MAX, INT_MAX, nullptr, 0, 0}, {1, -3, nullptr, 0, 1},
      {9, 0, "^ME@", 1, 3},        {9, 0, "^d@", 2, 1},               {9, 0, "^zz", 7, 5},
      {9, 0, "^[0-9a-f]{32}$", 0, 5},
  };
  for (const auto& c : cases) EXPECT_EQ(View(c.count, c.start, c.filter, c.mode).size(), c.taken) << c.count << " " << c.start;
}

}  // namespace
