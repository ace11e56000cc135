// Tests of the free utility routines: application path, files, clocks, time
// texts, field splitting, tag extraction and the keyed hex field encoding,
// including hostile encoded input.
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

// ---- Application path ------------------------------------------------------

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
      {"torvane_log.xml", "/opt/app/torvane_log.xml"},
      {"db/greylist.dat", "/opt/app/db/greylist.dat"},
      {"/scripts/admin/1.cs", "/opt/app//scripts/admin/1.cs"},  // no slash folding
      {"", "/opt/app/"},
      {nullptr, "/opt/app/"},
  };
  for (const Case& c : cases) {
    String out("stale");
    MakeAppPath(&out, c.name);
    EXPECT_EQ(Text(out), c.expected) << (c.name ? c.name : "(null)");
  }
  MakeAppPath(nullptr, "x");  // ignored
  EXPECT_EQ(Text(GetAppPath()), "/opt/app");
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

TEST_F(AppPathTest, EmptyPathBecomesCurrentDirectory) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  SetAppPath(nullptr);
  EXPECT_EQ(Text(GetAppPath()), "");
  String out;
  MakeAppPath(&out, "x.conf");
  EXPECT_EQ(Text(out), std::string(cwd) + "/x.conf");
  EXPECT_EQ(Text(GetAppPath()), cwd);
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

// ---- Files -----------------------------------------------------------------

TEST(FileRoutinesTest, FileNameAfterLastBackslash) {
  struct Case {
    const char* path;
    const char* expected;
  } cases[] = {
      {"C:\\mail\\queue\\msg.eml", "msg.eml"},
      {"dir\\", ""},
      {"/unix/style/path", "Error"},
      {nullptr, "Error"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(FileName(c.path), c.expected) << (c.path ? c.path : "(null)");
  }
}

// ---- Clocks ----------------------------------------------------------------

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
      {1000 + TickCounter::kMaxElapsedSeconds, 500000, 1500},
      {10, 0, 1000},  // clock behind the base: rebased rather than wrapped
      {12, 3000, 3003},
  };
  TickCounter counter;
  for (const Reading& r : readings) {
    EXPECT_EQ(counter.Tick(r.seconds, r.microseconds), r.expected) << r.seconds;
  }
}

TEST(TickCounterTest, SharedCounterNeverDecreasesAndFollowsSleep) {
  constexpr int kThreads = 3;
  constexpr int kReadings = 20000;
  std::atomic<int> drops{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      uint32_t last = GetMyTickCount();
      for (int i = 0; i < kReadings; ++i) {
        uint32_t now = GetMyTickCount();
        if (now < last) ++drops;
        last = now;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(drops.load(), 0);

  uint32_t before = GetMyTickCount();
  MySleep(30);
  uint32_t elapsed = GetMyTickCount() - before;
  EXPECT_GE(elapsed, 29u);  // tick resolution is whole milliseconds
}

// ---- Date and time texts ---------------------------------------------------

// Runs the local-time routines in UTC.
class TimeTextTest : public ::testing::Test {
  ScopedTimeZone utc_{"UTC"};
};

TEST_F(TimeTextTest, FixedInstants) {
  struct Case {
    time_t t;
    const char* date;
    const char* time;
    const char* gmt;
  } cases[] = {
      {784111777, "1994-11-06", "08:49:37", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {1, "1970-01-01", "00:00:01", "Thu, 01 Jan 1970 00:00:01 GMT"},
      {951782400, "2000-02-29", "00:00:00", "Tue, 29 Feb 2000 00:00:00 GMT"},
      {4102444799, "2099-12-31", "23:59:59", "Thu, 31 Dec 2099 23:59:59 GMT"},
  };
  for (const Case& c : cases) {
    String date, clock, gmt;
    GetDateToLongTime(&date, c.t);
    GetTimeToLongTime(&clock, c.t);
    MakeDataGMT(&gmt, c.t);
    EXPECT_EQ(Text(date), c.date) << c.t;
    EXPECT_EQ(Text(clock), c.time) << c.t;
    EXPECT_EQ(Text(gmt), c.gmt) << c.t;
  }
}

TEST_F(TimeTextTest, ZeroOrNegativeMeansNow) {
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
  String date;
  GetDateToLongTime(&date, 0);
  EXPECT_EQ(Text(date).substr(0, 4), std::string(year + 1, 4));
}

// ---- Text ------------------------------------------------------------------

TEST(FormatTest, CutsAt1023Characters) {
  std::string big(2000, 'x');
  String out;
  FORMAT(&out, "%s", big.c_str());
  EXPECT_EQ(out.GetLength(), static_cast<int>(kMaxFormatChars));
  FORMAT(&out, "%d-%s", 42, "ok");
  EXPECT_EQ(Text(out), "42-ok");
  FORMAT(&out, nullptr);
  EXPECT_EQ(Text(out), "");
  FORMAT(nullptr, "%d", 1);  // ignored
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
      {"a;;b", 0, ';', true, "a"},   {"a;;b", 1, ';', false, ""},
      {"a;;b", 2, ';', true, "b"},   {"a;;b", 3, ';', false, ""},
      {";x", 0, ';', false, ""},     {";x", 1, ';', true, "x"},
      {"a;b;", 2, ';', false, ""},   {"abc", 0, ';', true, "abc"},
      {"abc", 1, ';', false, ""},    {"", 0, ';', false, ""},
      {"a;b", -1, ';', false, ""},   {nullptr, 0, ';', false, ""},
      {"k\x02v", 1, '\x02', true, "v"}, {"abc", 0, '\0', true, "abc"},
      {"abc", 1, '\0', false, ""},
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
      {"1A", 26},      {"12345", 0x1234}, {"ff", 255},   {"FFFF", 65535},
      {"0", 0},        {"1g", 1},         {"zz", 0},     {"", 0},
      {"7 8", 7},      {"*", 10},         {"?", 15},     {":", 10},
      {"-", 13},       {nullptr, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HextoInt(c.text), c.value) << (c.text ? c.text : "(null)");
  }
}

TEST(RAGetTagXMLTest, TextBetweenTags) {
  struct Case {
    const char* text;
    const char* open;
    const char* close;
    int max_len;
    const char* expected;
  } cases[] = {
      {"<h><cmd>0042</cmd></h>", "<cmd>", "</cmd>", 0, "0042"},
      {"<a></a>", "<a>", "</a>", 0, ""},
      {"<a>x</a><a>y</a>", "<a>", "</a>", 0, "x"},
      {"</a><a>y</a>", "<a>", "</a>", 0, "y"},  // a close before the open is skipped
      {"<a>never closed", "<a>", "</a>", 0, ""},
      {"no tags</a>", "<a>", "</a>", 0, ""},
      {"<a>abcdef</a>", "<a>", "</a>", 3, "abc"},
      {"<a>abcdef</a>", "<a>", "</a>", 100, "abcdef"},
      {"<a>1&gt;2&lt;3</a>", "<a>", "</a>", 100, "1>2<3"},
      {"<a>1&gt;2</a>", "<a>", "</a>", 0, "1&gt;2"},  // entities kept without a limit
      {"<a>x</a>", "", "</a>", 0, ""},
      {nullptr, "<a>", "</a>", 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(RAGetTagXML(c.text, c.open, c.close, c.max_len)), c.expected)
        << (c.text ? c.text : "(null)") << " max " << c.max_len;
  }
}

TEST(RAGetTagXMLTest, EachCallOwnsItsResult) {
  String first = RAGetTagXML("<r>1</r><c>2</c>", "<r>", "</r>", 0);
  String second = RAGetTagXML("<r>1</r><c>2</c>", "<c>", "</c>", 0);
  EXPECT_EQ(Text(first), "1");
  EXPECT_EQ(Text(second), "2");
}

// ---- Keyed hexadecimal field encoding --------------------------------------

// Worked by hand: with key "ab" the sequence is 'a' (61), 'b' (62), 0, ...
TEST(HexCryptTest, KnownVectors) {
  struct Case {
    std::string plain;
    const char* key;
    const char* hex;
  } cases[] = {
      {"Hello!", "ab", "29076c0d0d21"},  // 48^61 65^62 6c^00 6c^61 6f^62 21^00
      {"ABC", "k", "2a4228"},             // 41^6b 42^00 43^6b
      {std::string("\x00\xff\x00\x10", 4), "ab", "619d0071"},
      {"", "ab", ""},
  };
  for (const Case& c : cases) {
    String hex;
    ASSERT_TRUE(EnHexCrypt(&hex, c.plain.data(), c.plain.size(), c.key)) << c.hex;
    EXPECT_EQ(Text(hex), c.hex);

    String back;
    ASSERT_TRUE(DeHexCrypt(&back, c.hex, c.key)) << c.hex;
    EXPECT_EQ(std::string(back.BufferView()), c.plain) << c.hex;
    EXPECT_EQ(back.GetRealBufferSize(), static_cast<int>(c.plain.size())) << "binary: " << c.hex;
  }
  String back;
  ASSERT_TRUE(DeHexCrypt(&back, "619D0071", "ab"));  // upper case accepted
  EXPECT_EQ(std::string(back.BufferView()), std::string("\x00\xff\x00\x10", 4));
}

TEST(HexCryptTest, TextPairStopsAtZeroByte) {
  String hex;
  ASSERT_TRUE(GetStrigEnCrypt(&hex, "Hello!", "ab"));
  EXPECT_EQ(Text(hex), "29076c0d0d21");
  String text;
  ASSERT_TRUE(GetStrigDeCrypt(&text, "29076c0d0d21", "ab"));
  EXPECT_EQ(Text(text), "Hello!");
  EXPECT_EQ(text.GetRealBufferSize(), 0);
  ASSERT_TRUE(GetStrigDeCrypt(&text, "006262", "ab"));  // 'a', 0, 'b'
  EXPECT_EQ(Text(text), "a");
}

TEST(HexCryptTest, RoundTripOfEveryByteValue) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (const char* key : {"k", "ab", "a much longer key than usual"}) {
    String hex, back;
    ASSERT_TRUE(EnHexCrypt(&hex, all.data(), all.size(), key));
    EXPECT_EQ(hex.GetLength(), 512);
    ASSERT_TRUE(DeHexCrypt(&back, Text(hex).c_str(), key));
    EXPECT_EQ(std::string(back.BufferView()), all) << key;
  }
}

TEST(HexCryptTest, HostileEncodedText) {
  struct Case {
    const char* name;
    std::string hex;
    bool ok;
  } cases[] = {
      {"odd length", "290", false},
      {"non-hex pair", "zz", false},
      {"non-hex second digit", "2g", false},
      {"blank inside", "29 7", false},
      {"sign inside", "-1", false},
      {"high byte", "\xff\xfe", false},
      {"one character", "2", true},  // shorter than a pair: empty text
      {"empty", "", true},
      {"largest accepted", std::string(2 * (kMaxCryptBytes - 1), '0'), true},
      {"one byte too long", std::string(2 * kMaxCryptBytes, '0'), false},
  };
  for (const Case& c : cases) {
    for (auto decode : {DeHexCrypt, GetStrigDeCrypt}) {
      String out("stale");
      EXPECT_EQ(decode(&out, c.hex.c_str(), "ab"), c.ok) << c.name;
      if (!c.ok || c.hex.size() < 2) {
        EXPECT_EQ(Text(out), "") << c.name;
      }
    }
  }
  String out;
  ASSERT_TRUE(DeHexCrypt(&out, std::string(2 * (kMaxCryptBytes - 1), '0').c_str(), "ab"));
  EXPECT_EQ(out.GetRealBufferSize(), static_cast<int>(kMaxCryptBytes - 1));
  EXPECT_TRUE(DeHexCrypt(&out, nullptr, "ab"));
  EXPECT_EQ(Text(out), "");
}

TEST(HexCryptTest, OversizedValueMissingKeyOrOutput) {
  std::string big(kMaxCryptBytes, 'x');
  String stale("stale");
  EXPECT_FALSE(EnHexCrypt(&stale, big.data(), big.size(), "ab"));
  EXPECT_EQ(Text(stale), "");
  EXPECT_FALSE(EnHexCrypt(&stale, nullptr, 3, "ab"));
  EXPECT_TRUE(EnHexCrypt(&stale, nullptr, 0, "ab"));
  for (const char* key : {static_cast<const char*>(nullptr), ""}) {
    String out("keep");
    EXPECT_FALSE(EnHexCrypt(&out, "ab", 2, key));
    EXPECT_FALSE(DeHexCrypt(&out, "6162", key));
    EXPECT_FALSE(GetStrigEnCrypt(&out, "ab", key));
    EXPECT_FALSE(GetStrigDeCrypt(&out, "6162", key));
    EXPECT_EQ(Text(out), "keep");
  }
}

}  // namespace
