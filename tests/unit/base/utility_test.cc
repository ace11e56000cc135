// Tests of the free utility routines: application path, clocks, the HTTP date and text helpers.
#include "base/utility.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/scratch_dir.h"
#include "common/time_zone.h"

namespace {

std::string Text(const String& s) { return s.GetData() == nullptr ? "" : s.GetData(); }

class AppPathTest : public ::testing::Test {
 protected:
  void TearDown() override { SetAppPath(""); }
};

TEST_F(AppPathTest, MakeAppPathJoinsWithSlash) {
  SetAppPath("/opt/app");
  struct Case {
    const char* name;
    const char* expected;
  } cases[] = {
      {"db/greylist.dat", "/opt/app/db/greylist.dat"},
      {"/scripts/admin/1.cs", "/opt/app//scripts/admin/1.cs"},  // no slash folding
      {nullptr, "/opt/app/"},
  };
  for (const Case& c : cases) {
    String out("stale");
    MakeAppPath(&out, c.name);
    EXPECT_EQ(Text(out), c.expected) << (c.name ? c.name : "(null)");
  }
  MakeAppPath(nullptr, "x");  // ignored
  EXPECT_EQ(Text(GetAppPath()), "/opt/app");
  // An empty path becomes the current directory at the first join.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  SetAppPath(nullptr);
  EXPECT_EQ(Text(GetAppPath()), "");
  String out;
  MakeAppPath(&out, "x.conf");
  EXPECT_EQ(Text(out), std::string(cwd) + "/x.conf");
  EXPECT_EQ(Text(GetAppPath()), cwd);
}

TEST_F(AppPathTest, MakeAppDirectoryCreatesOnceAndRefusesAFile) {
  ScratchAppDir dir;
  EXPECT_TRUE(MakeAppDirectory("db"));
  EXPECT_TRUE(MakeAppDirectory("db"));  // already there
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("db")));
  dir.Put("plain", "x");
  EXPECT_FALSE(MakeAppDirectory("plain"));
  EXPECT_FALSE(MakeAppDirectory("no/such/parent"));
}

TEST_F(AppPathTest, ConcurrentReadersSeeWholeValues) {
  const std::string a(300, 'a');
  const std::string b(40, 'b');
  constexpr int kRounds = 2000;
  std::atomic<int> torn{0};
  SetAppPath(b.c_str());
  std::thread writer([&] {
    for (int i = 0; i < kRounds; ++i) SetAppPath((i % 2 ? a : b).c_str());
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        String out;
        MakeAppPath(&out, "f");
        std::string joined = Text(out);
        if (joined != a + "/f" && joined != b + "/f") ++torn;
        std::string path = Text(GetAppPath());
        if (path != a && path != b) ++torn;
      }
    });
  }
  writer.join();
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
}

TEST(TickCounterTest, CountsFromOneSecondBeforeFirstReading) {
  struct Reading {
    int64_t seconds;
    int64_t microseconds;
    uint32_t expected;
  } readings[] = {
      {1000, 0, 1000},
      {1000, 250999, 1250},
      {1005, 0, 6000},
      {999 + TickCounter::kMaxElapsedSeconds, 999999, 2147483999u},  // last before rebase
      {1000 + TickCounter::kMaxElapsedSeconds, 0, 1000},             // rebased: drops
      {10, 0, 1000},  // clock behind the base: rebased rather than wrapped
      {12, 3000, 3003},
  };
  TickCounter counter;
  for (const Reading& r : readings) {
    EXPECT_EQ(counter.Tick(r.seconds, r.microseconds), r.expected) << r.seconds;
  }
}

// Run in a zone away from UTC: the HTTP form is UTC whatever the zone.
class TimeTextTest : public ::testing::Test {
  ScopedTimeZone away_{"CET-1"};
};

TEST_F(TimeTextTest, FixedInstantsAndNow) {
  struct Case {
    time_t t;
    const char* gmt;
  } cases[] = {
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
  };
  for (const Case& c : cases) {
    String gmt;
    MakeDataGMT(&gmt, c.t);
    EXPECT_EQ(Text(gmt), c.gmt) << c.t;
  }
  // Zero or negative means now.
  time_t now = time(nullptr);
  struct tm parts;
  gmtime_r(&now, &parts);
  char year[16];
  snprintf(year, sizeof year, " %04d ", parts.tm_year + 1900);
  for (time_t t : {time_t{0}, time_t{-5}}) {
    String gmt;
    MakeDataGMT(&gmt, t);
    EXPECT_EQ(gmt.GetLength(), 29) << Text(gmt);
    EXPECT_NE(Text(gmt).find(year), std::string::npos) << Text(gmt);
  }
}

// Quoted untrusted text is cut and cannot start a line of its own.
TEST(ExcerptTest, CutsAndMasksControlCharacters) {
  EXPECT_EQ(Excerpt("plain text"), "plain text");
  EXPECT_EQ(Excerpt("a\r\nFAKE\tb\x7f\x01", 100), "a??FAKE?b??");
  EXPECT_EQ(Excerpt(std::string_view("a\0b", 3)), "a?b");
  EXPECT_EQ(Excerpt("\xe9t\xe9"), "\xe9t\xe9");  // bytes of other scripts stay
  EXPECT_EQ(Excerpt(std::string(300, 'x')).size(), kMaxExcerptChars);
  EXPECT_EQ(Excerpt("abcdef", 3), "abc");
}

TEST(SubStringTest, FieldsAtSeparator) {
  struct Case {
    const char* text;
    int index;
    char separator;
    bool found;
    const char* field;
  } cases[] = {
      {"a;;b", 1, ';', false, ""}, {"a;;b", 2, ';', true, "b"}, {"a;;b", 3, ';', false, ""},
      {"abc", 0, ';', true, "abc"}, {"a;b", -1, ';', false, ""}, {nullptr, 0, ';', false, ""},
      {"abc", 0, '\0', true, "abc"}, {"abc", 1, '\0', false, ""},
  };
  for (const Case& c : cases) {
    String out("stale");
    EXPECT_EQ(SubString(&out, c.text, c.index, c.separator), c.found)
        << (c.text ? c.text : "(null)") << " #" << c.index;
    EXPECT_EQ(Text(out), c.field) << (c.text ? c.text : "(null)") << " #" << c.index;
  }
  EXPECT_FALSE(SubString(nullptr, "a;b", 0, ';'));
}

TEST(HextoIntTest, ReadsUpToFourDigits) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {
      {"1A", 26}, {"ff", 255}, {"12345", 0x1234}, {"1g", 1}, {"*", 10}, {"?", 15}, {nullptr, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HextoInt(c.text), c.value) << (c.text ? c.text : "(null)");
  }
}

}  // namespace
