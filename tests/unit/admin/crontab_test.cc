// CCronJob's field forms and SplitCrontab's line rules.
#include "admin/crontab.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

CronMinute At(int minute, int hour = 0, int day = 1, int month = 1, int weekday = 0) {
  return CronMinute{minute, hour, day, month, weekday};
}

// A fixed-time job has a numeric minute and hour: the scheduler runs it once
// when the clock skips its minute, not again when the clock repeats it.
TEST(CCronJobTest, FieldForms) {
  const struct {
    const char* job;
    bool fixed_time;
    std::vector<std::pair<CronMinute, bool>> checks;
  } kCases[] = {
      {"*/15 * * * * a.cs", false, {{At(0), true}, {At(45), true}, {At(10), false}}},
      {"*/0 * * * * a.cs", false, {{At(7), true}, {At(58), true}}},  // a step of 0 counts as 1
      {"5,10 * * * * a.cs", false, {{At(5), true}, {At(10), true}, {At(6), false}}},
      {"1-5 2 * * * a.cs", true, {{At(1, 2), true}, {At(5, 2), true}, {At(0, 2), false}, {At(6, 2), false}}},
      {"0 0 * * 0 a.cs", true, {{At(0, 0, 7, 1, 0), true}, {At(0, 0, 8, 1, 1), false}}},  // Sunday is 0
      {"0 0 31 * * a.cs", true, {{At(0, 0, 31, 5), true}, {At(0, 0, 30, 4), false}, {At(0, 0, 1, 5), false}}},
      {"0 0 * */3 * a.cs", true, {{At(0, 0, 1, 1), true}, {At(0, 0, 1, 4), true}, {At(0, 0, 1, 3), false}}},
      {"0\t0  *  * * a.cs", true, {{At(0), true}}},  // tabs and runs of blanks separate
      {"*/5 2 * * * ../a.cs", false, {{At(5, 2), true}}},  // the script cannot climb out
  };
  for (const auto& c : kCases) {
    CCronJob job(c.job, nullptr);
    ASSERT_TRUE(job.IsValid()) << c.job << ": " << job.GetError();
    EXPECT_EQ(job.GetScriptName(), "a.cs");
    EXPECT_EQ(job.IsFixedTime(), c.fixed_time) << c.job;
    for (const auto& [when, expected] : c.checks) {
      EXPECT_EQ(job.CalcolateJob(when), expected)
          << c.job << " at " << when.hour << ":" << when.minute << " " << when.day << "/" << when.month;
    }
  }
}

TEST(CCronJobTest, BadJobsSayWhyAndNeverMatch) {
  const struct {
    const char* job;
    const char* error;
  } kCases[] = {
      {"61 * * * * a.cs", "minute 61 is outside 0-59"},
      {"0 24 * * * a.cs", "hour 24 is outside 0-23"},
      {"0 0 0 * * a.cs", "day of month 0 is outside 1-31"},
      {"0 0 * 13 * a.cs", "month 13 is outside 1-12"},
      {"0 0 * * 7 a.cs", "day of week 7 is outside 0-6"},
      {",5 * * * * a.cs", "minute list \",5\" has an empty item"},
      {"30-10 * * * * a.cs", "minute range \"30-10\" runs backwards"},
      {"1-x * * * * a.cs", "minute range \"1-x\" is not two numbers"},
      {"x * * * * a.cs", "minute \"x\" is not a number, a range, a list or a step"},
      {"9999999999 * * * * a.cs", "minute \"9999999999\" is not a number, a range, a list or a step"},
      {"*/61 * * * * a.cs", "minute step \"*/61\" is not a number up to 60"},
      {"0 0 * * *", "expected 6 fields (minute hour day month weekday script), found 5"},
      {"0 0 * * * /..", "the script name \"/..\" names no file"},
  };
  for (const auto& c : kCases) {
    CCronJob job(c.job, "sig");
    EXPECT_FALSE(job.IsValid()) << c.job;
    EXPECT_EQ(job.GetError(), c.error) << c.job;
    EXPECT_FALSE(job.CalcolateJob(At(0)));
    EXPECT_EQ(job.GetScriptName(), "");
  }
}

TEST(SplitCrontabTest, LinesSignaturesAndProblems) {
  const std::string long_job = "0 0 * * * " + std::string(CCronJob::kMaxLineBytes, 'x') + ".cs";
  const std::string text = "0 3 * * * a.cs=nightly\r\n"
                           "\r\n"
                           "   =only a signature\n"
                           " */5 * * * * b.cs = b = ignored \n" +
                           long_job + "\n" + std::string("1 * * * * c\x01.cs\n") + "2 * * * * last.cs";
  const std::vector<CrontabLine> lines = SplitCrontab(text);
  const struct {
    int number;
    const char* job;
    const char* signature;
    const char* error;
  } kExpected[] = {
      {1, "0 3 * * * a.cs", "nightly", ""},
      {4, "*/5 * * * * b.cs", "b", ""},
      {5, nullptr, "", "longer than 1024 bytes"},
      {6, "1 * * * * c\x01.cs", "", "holds a control character"},
      {7, "2 * * * * last.cs", "", ""},  // kept without its "\n"
  };
  ASSERT_EQ(lines.size(), std::size(kExpected));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].number, kExpected[i].number);
    if (kExpected[i].job != nullptr) {
      EXPECT_EQ(lines[i].job, kExpected[i].job);
    }
    EXPECT_EQ(lines[i].signature, kExpected[i].signature);
    EXPECT_EQ(lines[i].error, kExpected[i].error) << "line " << lines[i].number;
  }
  EXPECT_EQ(CrontabLineProblem("0 0 * * * a.cs", "x=y"), "holds \"=\" in the job or the signature");
}

}  // namespace
