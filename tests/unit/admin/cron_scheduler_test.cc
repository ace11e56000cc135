// CCron on a fake clock with POSIX time zones: when jobs run, the job table and stopping jobs.
#include "admin/cron_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/app_directory.h"
#include "common/time_zone.h"
#include "scriptlib/lib_hash_array.h"

namespace {

std::atomic<time_t> g_now{0};
time_t FakeNow() { return g_now.load(); }

// 2024-01-15 00:00:00 UTC, a Monday.
constexpr time_t kMonday = 1705276800;
constexpr auto kWait = std::chrono::seconds(10);

std::string Open() { return "int main() { CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);\n"; }

class CronTest : public ::testing::Test {
 protected:
  CronTest() : dir_("scripts/cron") {}
  ~CronTest() override { cron_.reset(); }  // its threads end before the zone goes back
  void Crontab(const std::string& text) { dir_.Write("torvane.crontab", text); }
  void Script(const char* name, const std::string& body) { dir_.Write(name, Open() + body + "\n}"); }
  void Start(time_t now, CConfig* config = nullptr) {
    g_now = now;
    CronContext context;
    context.config = config;
    cron_ = std::make_unique<CCron>(context, &FakeNow);
  }
  // Passes at the current fake time until a record from `from` on contains `text`, or kWait has passed.
  bool RunUntil(const std::string& text, size_t from = 0) {
    for (auto end = std::chrono::steady_clock::now() + kWait; std::chrono::steady_clock::now() < end;) {
      if (Logged(text, from)) return true;
      Pass(g_now);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return Logged(text, from);
  }
  // One pass at `now`; each job started is noted with the local time and, unless told not to, waited for.
  void Pass(time_t now) {
    g_now = now;
    cron_->Run();
    const size_t first = records_.size();
    cron_->log().Drain([&](const CLogSimple::LogSimple_item& item) {
      records_.emplace_back(item.entry.GetData() != nullptr ? item.entry.GetData() : "");
    });
    const size_t last = records_.size();  // later ones are a nested pass's
    for (size_t i = first; i < last; ++i) {
      const std::string text = records_[i];
      const size_t suffix = text.rfind(" started");
      if (suffix == std::string::npos || suffix + 8 != text.size()) continue;
      tm local{};
      localtime_r(&now, &local);
      char at[16];
      strftime(at, sizeof at, "%H:%M:%S", &local);
      const std::string job = text.substr(0, suffix);
      runs_[job].push_back(at);
      if (wait_for_end_) {
        EXPECT_TRUE(RunUntil(job + " ended", i)) << job;
      }
    }
  }
  // Passes every `step` seconds from `from` to `to`.
  void Sweep(time_t from, time_t to, int step) {
    for (time_t t = from; t <= to; t += step) Pass(t);
  }
  std::vector<std::string> Runs(const char* job) { return runs_["cron job \"" + std::string(job) + "\""]; }
  bool Logged(const std::string& text, size_t from = 0) const {
    for (size_t i = from; i < records_.size(); ++i) {
      if (records_[i].find(text) != std::string::npos) return true;
    }
    return false;
  }

  ScopedTimeZone zone_{"UTC0"};
  TempAppDirectory dir_;
  std::unique_ptr<CCron> cron_;
  std::vector<std::string> records_;
  std::map<std::string, std::vector<std::string>> runs_;
  bool wait_for_end_ = true;
};

TEST_F(CronTest, FirstRunComesThirtySecondsAfterStartAtSecond35ThenOnceAMinute) {
  Script("a.cs", "return 0;");
  Crontab("* * * * * a.cs\n");
  const struct {
    time_t start;
    std::vector<std::string> runs;
  } kCases[] = {
      {kMonday + 4, {"00:00:35", "00:01:35", "00:02:35"}},
      {kMonday + 10, {"00:01:35", "00:02:35"}},  // 00:00:35 is too soon
  };
  for (const auto& c : kCases) {
    runs_.clear();
    Start(c.start);
    Sweep(c.start, kMonday + 179, 1);
    EXPECT_EQ(Runs("* * * * * a.cs"), c.runs) << "start at second " << c.start - kMonday;
  }
}

TEST_F(CronTest, AStillRunningJobIsSkippedAndLoggedAndMaxRunMinutesStopsIt) {
  Script("endless.cs", "while (1) {}");
  Crontab("* * * * * endless.cs\n");
  CConfig config;
  ASSERT_TRUE(config.LoadBuffer("[CRON]\r\nmax_run_minutes=2\r\n"));
  config.ReadConfig();
  wait_for_end_ = false;
  Start(kMonday, &config);
  Sweep(kMonday, kMonday + 100, 5);
  EXPECT_EQ(Runs("* * * * * endless.cs").size(), 1u);
  EXPECT_TRUE(Logged("cron job \"* * * * * endless.cs\" is still running: its run at 00:01 is skipped"));
  g_now = kMonday + 155;  // two minutes after it started
  EXPECT_TRUE(RunUntil("cron job \"* * * * * endless.cs\" ended"));
  EXPECT_TRUE(Logged("cron job \"* * * * * endless.cs\" ran longer than 2 minutes: asked to stop"));
}

// A clock set back repeats the steps but not a fixed-time job's run.
TEST_F(CronTest, ClockStepBack) {
  Script("a.cs", "return 0;");
  Crontab("*/30 * * * * a.cs\n45 10 * * * a.cs=fixed\n");
  const time_t ten = kMonday + 10 * 3600;
  Start(ten - 60);
  Sweep(ten, ten + 50 * 60, 20);            // 10:00 - 10:50
  Sweep(ten - 10 * 60, ten + 50 * 60, 20);  // set back an hour
  EXPECT_EQ(Runs("*/30 * * * * a.cs"), (std::vector<std::string>{"10:00:40", "10:30:40", "10:00:40", "10:30:40"}));
  EXPECT_EQ(Runs("45 10 * * * a.cs"), (std::vector<std::string>{"10:45:40"}));
}

// 2024-03-31: 02:00 CET becomes 03:00 CEST; the fixed 02:30 run comes at once, the steps follow the clock.
TEST_F(CronTest, SpringForwardRunsASkippedFixedJobOnce) {
  ScopedTimeZone::Set("CET-1CEST,M3.5.0,M10.5.0/3");  // before Start: the scheduler's threads read the zone
  Script("a.cs", "return 0;");
  Crontab("30 2 * * * a.cs\n*/15 * * * * a.cs\n");
  const time_t midnight_utc = 1711843200;
  Start(midnight_utc - 60);
  Sweep(midnight_utc, midnight_utc + 90 * 60, 20);
  EXPECT_EQ(Runs("30 2 * * * a.cs"), (std::vector<std::string>{"03:00:40"}));
  EXPECT_EQ(Runs("*/15 * * * * a.cs"),
            (std::vector<std::string>{"01:00:40", "01:15:40", "01:30:40", "01:45:40", "03:00:40", "03:15:40"}));
}

TEST_F(CronTest, CrontabLinesAreReadOrLoggedAndSaveWritesThemBack) {
  Crontab("0 3 * * * a.cs=nightly\r\n61 * * * * a.cs\n0 3 * * *  a.cs\n*/5 * * * * b.cs=nightly\n"
          "0 3 * * * a.cs\n1 1 * * * last.cs");
  Start(kMonday);
  Pass(kMonday);
  for (const char* problem : {"crontab line 2: minute 61 is outside 0-59",
                              "crontab line 4: the signature \"nightly\" belongs to another job",
                              "crontab line 5: the same job is in the table already"}) {
    EXPECT_TRUE(Logged(problem)) << problem;
  }
  CS_Array view;
  ArraySink sink(&view);
  cron_->ViewJob(&sink, nullptr, CCron::kByJob);
  EXPECT_EQ(view.GetRecordCount(), 3);
  ASSERT_TRUE(cron_->Save());
  EXPECT_EQ(ScratchDir::Contents(dir_.ScriptPath("torvane.crontab")),
            "0 3 * * * a.cs=nightly\n0 3 * * *  a.cs=\n1 1 * * * last.cs=\n");
}

// A reload takes a changed crontab: a kept job keeps its thread, a removed running one is stopped.
TEST_F(CronTest, ReloadTakesAChangedCrontab) {
  Script("loop.cs", "while (1) {}");
  Crontab("* * * * * loop.cs=kept\n*/2 * * * * loop.cs=removed\n");
  CConfig config;
  ASSERT_TRUE(config.LoadBuffer("[CRON]\r\nreload_crontab=1\r\n"));
  config.ReadConfig();
  wait_for_end_ = false;
  Start(kMonday, &config);
  Pass(kMonday + 35);
  ASSERT_EQ(runs_.size(), 2u);
  Crontab("* * * * * loop.cs=kept\n0 0 * * * loop.cs=added\n");
  cron_->ReloadConfig();
  EXPECT_TRUE(RunUntil("cron job \"*/2 * * * * loop.cs\" ended"));
  EXPECT_TRUE(Logged("crontab re-read: 2 jobs"));
  Pass(kMonday + 95);
  EXPECT_TRUE(Logged("cron job \"* * * * * loop.cs\" is still running: its run at 00:01 is skipped"));
  CS_Array view;
  ArraySink sink(&view);
  cron_->ViewJob(&sink, nullptr, CCron::kByJob);
  EXPECT_EQ(std::string(view.GetS("0 0 * * * loop.cs").toCString()), "added");
  EXPECT_EQ(view.GetRecordCount(), 2);
}

TEST_F(CronTest, AddDeleteAndViewRules) {
  Start(kMonday);
  std::string why;
  EXPECT_TRUE(cron_->AddJob(" 0 3 * * * a.cs\r\n", "one"));
  EXPECT_TRUE(cron_->AddJob("0 4 * * * a.cs", ""));
  // The table's own refusals are shared with the crontab's lines, checked above.
  EXPECT_FALSE(cron_->AddJob(nullptr, "x", &why));
  EXPECT_EQ(why, "the job is empty");
  EXPECT_FALSE(cron_->AddJob("0 5 * * * a.cs", "one", &why));
  EXPECT_EQ(why, "the signature \"one\" belongs to another job");
  CS_Array view;
  ArraySink sink(&view);
  cron_->ViewJob(&sink, "one", CCron::kBySignature);
  ASSERT_EQ(view.GetRecordCount(), 1);
  EXPECT_EQ(std::string(view.GetS("0 3 * * * a.cs").toCString()), "one");
  EXPECT_FALSE(cron_->DeleteJob(nullptr, "one"));
  EXPECT_FALSE(cron_->DeleteJob("1 1 * * * none.cs", "none"));
  EXPECT_TRUE(cron_->DeleteJob("0 4 * * * a.cs", "one"));  // both: one by signature, one by text
  cron_->ViewJob(&sink, nullptr, CCron::kByJob);
  EXPECT_EQ(view.GetRecordCount(), 0);
}

TEST_F(CronTest, ScriptErrorsNameTheirJob) {
  Script("broken.cs", "return undefined_name;");
  Crontab("* * * * * broken.cs\n* * * * * missing.cs=m\n");
  Start(kMonday);
  g_now = kMonday + 35;
  EXPECT_TRUE(RunUntil("broken.cs:2: CS_Scripting::PR_expression() = unknown token \"undefined_name\""));
  EXPECT_TRUE(RunUntil("cron job \"* * * * * missing.cs\": CS_Scripting::load() = can't open"));
}

// Jobs that would never end by themselves end on Stop; deleting a running job does not wait for it.
TEST_F(CronTest, StopAndDeleteEndJobsThatWouldRunOn) {
  const std::string marker = dir_.root() + "/child_runs";
  Script("loop.cs", "while (1) {}");
  Script("sleep.cs", "cs.Sleep(600000); return 0;");
  Script("parent.cs", "return cs.RunScript(\"child.cs\");");
  Script("child.cs", "CS_File f = new CS_File(); f.Open(\"" + marker + "\", 36929); f.Close(); while (1) {}");
  Script("deleted.cs", "while (1) {}");
  Crontab("* * * * * loop.cs\n* * * * * sleep.cs\n* * * * * parent.cs\n* * * * * deleted.cs\n");
  wait_for_end_ = false;
  Start(kMonday);
  Pass(kMonday + 35);
  EXPECT_EQ(runs_.size(), 4u);
  for (auto end = std::chrono::steady_clock::now() + kWait;
       !std::filesystem::exists(marker) && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(std::filesystem::exists(marker)) << "the RunScript child never ran";
  EXPECT_TRUE(cron_->DeleteJob("* * * * * deleted.cs", nullptr));
  EXPECT_TRUE(RunUntil("cron job \"* * * * * deleted.cs\" ended"));
  EXPECT_TRUE(cron_->Stop());
  EXPECT_FALSE(cron_->LeftJobsRunning());
}

// The job's configuration re-read runs on the main loop, not under the job thread's reads.
TEST_F(CronTest, WaitForReplaceConfigRunsOnTheMainLoop) {
  CConfig config;
  ASSERT_TRUE(config.LoadBuffer("[CONFIG]\r\nloglevel=1\r\n"));
  config.ReadConfig();
  Script("replace.cs", "cs.SetConfig(\"CONFIG\", \"loglevel\", \"3\"); cs.WaitForReplaceConfig(); return 0;");
  Crontab("* * * * * replace.cs\n");
  wait_for_end_ = false;
  Start(kMonday, &config);
  int seen = 0;
  for (auto end = std::chrono::steady_clock::now() + kWait; std::chrono::steady_clock::now() < end && seen != 3;) {
    Pass(kMonday + 35);
    seen = config.loglevel;
  }
  EXPECT_EQ(seen, 3);
  EXPECT_TRUE(RunUntil("cron job \"* * * * * replace.cs\" ended"));
}

}  // namespace
