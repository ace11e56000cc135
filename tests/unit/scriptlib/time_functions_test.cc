// Tests of CS_Tempo: the never-decreasing tick count on a fake clock, UTC dates, sleep.
#include "scriptlib/time_functions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace {

// The fake tick source: returns the readings in order, then the last one.
std::vector<uint32_t> fake_readings;
size_t fake_next = 0;

uint32_t FakeTicks() {
  const uint32_t reading = fake_readings[std::min(fake_next, fake_readings.size() - 1)];
  ++fake_next;
  return reading;
}

std::vector<int> CountsFor(const std::vector<uint32_t>& readings) {
  fake_readings = readings;
  fake_next = 0;
  CS_Tempo tempo(FakeTicks);
  std::vector<int> counts;
  for (size_t i = 0; i < readings.size(); ++i) counts.push_back(tempo.GetTickCount());
  return counts;
}

TEST(CS_TempoTest, GetTickCountNeverDecreases) {
  const struct {
    const char* name;
    std::vector<uint32_t> readings;
    std::vector<int> expected;
  } cases[] = {
      {"steady", {1000, 1500, 2500}, {1000, 1500, 2500}},
      {"one drop", {1000, 5000, 1000, 1200}, {1000, 5000, 5000, 5200}},
      {"past int range", {2147483000u, 4000000000u}, {2147483000, INT32_MAX}},
  };
  for (const auto& c : cases) EXPECT_EQ(CountsFor(c.readings), c.expected) << c.name;
}

TEST(CS_TempoTest, DateTimeFormatInUtc) {
  const struct {
    const char* format;
    int time;
    const char* expected;
  } cases[] = {
      {"%Y-%m-%d %H:%M:%S", 784111777, "1994-11-06 08:49:37"},
      {nullptr, 784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"", 784111777, ""},
  };
  CS_Tempo tempo;
  for (const auto& c : cases) {
    EXPECT_STREQ(tempo.DateTimeFormat(c.format, c.time), c.expected)
        << (c.format ? c.format : "(null)");
  }
}

TEST(CS_TempoTest, DateTimeFormatBoundsAndNow) {
  CS_Tempo tempo;
  const std::string fits(CS_Tempo::kMaxDateChars, 'x');
  EXPECT_EQ(tempo.DateTimeFormat(fits.c_str(), 1), fits);
  const std::string too_long(CS_Tempo::kMaxDateChars + 1, 'x');
  EXPECT_STREQ(tempo.DateTimeFormat(too_long.c_str(), 1), "");
  // 0 means now (the null format's date is MakeDataGMT's).
  const time_t now = time(nullptr);
  struct tm parts;
  gmtime_r(&now, &parts);
  EXPECT_EQ(tempo.DateTimeFormat("%Y", 0), std::to_string(parts.tm_year + 1900));
}

TEST(CS_TempoTest, NegativeSleepReturns) {
  CS_Tempo tempo;
  tempo.Sleep(-100);  // taken as unsigned it would sleep for weeks (the test's time-out)
}

}  // namespace
