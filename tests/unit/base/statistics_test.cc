// Tests of the statistics counters, their day file and the day change.
#include "base/statistics.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "common/map_sink.h"
#include "common/scratch_dir.h"
#include "common/time_zone.h"

namespace {

time_t g_now = 1709629451;  // 2024-03-05 09:04:11 UTC
time_t FixedNow() { return g_now; }

std::string U32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}
std::string U16(uint16_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; }
std::string F32(float f) {
  uint32_t bits;
  memcpy(&bits, &f, sizeof(bits));
  return U32(bits);
}
std::string Counter(const std::string& name, uint16_t group, uint16_t sub, float value) {
  return U32(static_cast<uint32_t>(name.size())) + name + U16(group) + U16(sub) + F32(value);
}

class StatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override { g_now = 1709629451; }
  ScopedTimeZone utc_{"UTC"};
  ScratchDir dir_;
};

TEST(StatisticsOpTest, SetValueOperations) {
  struct Case {
    float old;
    float value;
    int op;
    float result;
  } cases[] = {
      {5, 100, 1, 6}, {5, 100, 2, 4}, {5, 100, 3, 100}, {5, 2, 4, 7}, {5, 2, 5, 3}, {5, 2, 6, 5},
      {5, 9, 6, 9},   {5, 2, 7, 2},   {5, 9, 7, 5},     {5, 9, 0, 5}, {5, 9, 8, 5},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CStatitiche_Day::SetValue(c.old, c.value, c.op), c.result) << "op " << c.op;
  }
}

TEST(StatisticsOpTest, AddItemCreatesUpdatesAndIgnoresBadNames) {
  struct Case {
    const char* name;
    float value;
    int op;
    float expected;
  } cases[] = {
      {"f1tot_conn", 99, 1, 1},   // op 1 ignores its value
      {"f1tot_conn", 99, 1, 2},
      {"f3down", 7, 2, -1},       // a new counter starts from 0
      {"f9unknown", 3, 42, 0},    // unknown op: created at 0
      {"f1min", 4, 7, 0},         // the minimum of the start value 0 and 4
  };
  CStatitiche_Day store(&FixedNow);
  for (const Case& c : cases) {
    store.AddItem(c.name, 1, 0, c.value, c.op);
    EXPECT_EQ(store.GetValueByName(c.name), c.expected) << c.name << " op " << c.op;
  }
  const int before = store.GetCount();
  store.AddItem(nullptr, 1, 0, 1, 1);
  store.AddItem("", 1, 0, 1, 1);
  store.AddItem(std::string(32769, 'k').c_str(), 1, 0, 1, 1);
  EXPECT_EQ(store.GetCount(), before);
  EXPECT_EQ(store.FindItem("f1tot_conn"), 0);
  EXPECT_EQ(store.FindItem("F1TOT_CONN"), -1);
}

TEST_F(StatisticsTest, FileBytesAndRoundTrip) {
  const std::string path = dir_.File("DAY_2024-03-05.stc");
  CStatitiche_Day store(&FixedNow);
  EXPECT_FALSE(store.Load(path.c_str()));  // no file yet, but the path is kept
  store.AddItem("f6_tot-dnsbl", 6, 0, 12, 3);
  store.AddItem("f3fw_iphell_[1.2.3.4]", 3, 2, 0, 1);
  ASSERT_TRUE(store.Save());
  EXPECT_EQ(ScratchDir::Contents(path), U32(1709629451) + U32(2) + Counter("f6_tot-dnsbl", 6, 0, 12) +
                                            Counter("f3fw_iphell_[1.2.3.4]", 3, 2, 1));

  CStatitiche_Day copy(&FixedNow);
  ASSERT_TRUE(copy.Load(path.c_str()));
  EXPECT_EQ(copy.GetStamp(), 1709629451);
  MapSink sink;
  sink.pairs["stale"] = "x";
  copy.PololateArray(&sink);
  EXPECT_EQ(sink.pairs, (std::map<std::string, std::string>{{"f6_tot-dnsbl", "12.000|6"},
                                                            {"f3fw_iphell_[1.2.3.4]", "1.000|3"}}));
}

TEST_F(StatisticsTest, DuplicateNamesInAFileStaySeparate) {
  const std::string path =
      dir_.Put("dup.stc", U32(7) + U32(2) + Counter("a", 1, 0, 1) + Counter("a", 1, 0, 2));
  CStatitiche_Day store(&FixedNow);
  ASSERT_TRUE(store.Load(path.c_str()));
  EXPECT_EQ(store.GetCount(), 2);
  EXPECT_EQ(store.GetValueByName("a"), 1);
}

TEST_F(StatisticsTest, CorruptFilesAreDiscarded) {
  struct Case {
    const char* what;
    std::string contents;
    int32_t stamp;
  } cases[] = {
      {"name length 0", U32(7) + U32(1) + U32(0), 1709629451},
      {"name length 32769", U32(7) + U32(2) + Counter("ok", 1, 0, 1) + U32(32769) + "x", 1709629451},
      {"truncated record", U32(7) + U32(2) + Counter("ok", 1, 0, 1) + U32(5) + "abc", 1709629451},
      {"count past the end", U32(7) + U32(1000000) + Counter("ok", 1, 0, 1), 1709629451},
      {"negative count", U32(7) + U32(0x80000000u), 1709629451},
      {"short header", U32(7), 1709629451},
      {"no counters", U32(7) + U32(0), 7},
  };
  for (const Case& c : cases) {
    const std::string path = dir_.Put("bad.stc", c.contents);
    CStatitiche_Day store(&FixedNow);
    store.AddItem("previous", 1, 0, 1, 1);
    EXPECT_FALSE(store.Load(path.c_str())) << c.what;
    EXPECT_EQ(store.GetCount(), 0) << c.what;
    EXPECT_EQ(store.GetStamp(), c.stamp) << c.what;
  }
}

TEST_F(StatisticsTest, SavingNothingKeepsTheFile) {
  const std::string path = dir_.Put("keep.stc", "old contents");
  CStatitiche_Day store(&FixedNow);
  EXPECT_FALSE(store.Load(path.c_str()));
  store.Reset();
  EXPECT_FALSE(store.Save());
  EXPECT_EQ(ScratchDir::Contents(path), "old contents");
  CStatitiche_Day no_path(&FixedNow);
  no_path.AddItem("a", 1, 0, 1, 1);
  EXPECT_FALSE(no_path.Save());
}

class LiveStatisticsTest : public StatisticsTest {
 protected:
  void SetUp() override {
    StatisticsTest::SetUp();
    mkdir(dir_.File("db").c_str(), 0755);
  }
  std::string Day(const std::string& date) { return dir_.File("db/DAY_" + date + ".stc"); }
};

TEST_F(LiveStatisticsTest, ContinuesTodayAndClosesTheFinishedDay) {
  dir_.Put("db/DAY_2024-03-05.stc", U32(100) + U32(1) + Counter("f1tot_conn", 1, 0, 40));
  {
    CStatitiche_Torvane live(&FixedNow);
    live.SetPathDB((dir_.path() + "/").c_str());  // the doubled "/" is folded
    EXPECT_EQ(live.GetValueByName("f1tot_conn"), 40);
    live.AddItem("f1tot_conn", 1, 0, 1, 1);
    live.AddItem("f1n_restart_service", 1, 0, 1000, 3);
    EXPECT_TRUE(live.SaveAll());

    // Past midnight: the next save closes the old day in the old day's file.
    live.AddItem("f1tot_conn", 1, 0, 1, 1);
    g_now = 1709683200 + 30;  // 2024-03-06 00:00:30
    EXPECT_TRUE(live.SaveAll());
    CStatitiche_Day finished(&FixedNow);
    ASSERT_TRUE(finished.Load(Day("2024-03-05").c_str()));
    EXPECT_EQ(finished.GetValueByName("f1tot_conn"), 42);
    EXPECT_EQ(finished.GetStamp(), 1709683200 + 30 - 600);
    EXPECT_FALSE(std::filesystem::exists(Day("2024-03-06")));
    EXPECT_EQ(live.GetCount(), 1);
    EXPECT_EQ(live.GetValueByName("f1n_restart_service"), 1000);
    live.AddItem("f8_grey_bloc", 8, 0, 1, 1);
  }
  // The destructor saved the new day.
  CStatitiche_Day next(&FixedNow);
  ASSERT_TRUE(next.Load(Day("2024-03-06").c_str()));
  EXPECT_EQ(next.GetValueByName("f8_grey_bloc"), 1);
}

TEST_F(LiveStatisticsTest, StartsEmptyWithoutTodaysFileAndNeedsAPath) {
  dir_.Put("db/DAY_2024-03-05.stc", U32(7) + U32(1) + U32(0));  // corrupt
  CStatitiche_Torvane unbound(&FixedNow);
  unbound.AddItem("a", 1, 0, 1, 1);
  EXPECT_FALSE(unbound.SaveAll());
  CStatitiche_Torvane live(&FixedNow);
  live.SetPathDB(dir_.path().c_str());
  EXPECT_EQ(live.GetCount(), 0);
  String name;
  live.GetName(&name);
  EXPECT_STREQ(name.GetData(), "2024-03-05.stc");
  EXPECT_FALSE(live.IsRotate());
  g_now += 86400;
  EXPECT_TRUE(live.IsRotate());
  EXPECT_FALSE(live.IsRotate());
}

}  // namespace
