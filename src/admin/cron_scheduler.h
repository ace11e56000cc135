// cron_scheduler - CCron, the scheduler that runs cron scripts at the times
// the crontab gives, and CCronThread ("cron thread"), the thread of one
// running job. The main loop calls CCron::Run on every pass: once per local
// minute it decides which jobs are due and starts each on a thread of its
// own, where the job's script is compiled and run; every 200 ms it collects
// the jobs' log records and joins the threads that have ended. It never
// waits for a job. Admin threads edit the job table meanwhile (AddJob,
// DeleteJob, ViewJob, Save).
#ifndef TORVANE_ADMIN_CRON_SCHEDULER_H_
#define TORVANE_ADMIN_CRON_SCHEDULER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "admin/crontab.h"
#include "base/key_value_sink.h"
#include "base/mutex.h"
#include "base/thread.h"
#include "base/wall_clock.h"
#include "base/xml_log.h"
#include "scriptlib/cron_script.h"

class CTorvaneCore;

// What jobs reach of `core`: its configuration, resolver, engines and
// persistent objects (null members where the core lacks them).
CronContext CronContextOf(CTorvaneCore* core);

// The work job threads hand to the main loop. Post may be called from any
// thread; RunPending only by the main loop.
class MainLoopTasks {
 public:
  // One task and its completion, shared by the poster and the queue.
  class Task {
   public:
    explicit Task(std::function<void()> body) : body_(std::move(body)) {}
    // Waits up to `milliseconds` for the task to have run; true when it has.
    bool WaitDone(int milliseconds);

   private:
    friend class MainLoopTasks;
    std::function<void()> body_;
    std::mutex mutex_;
    std::condition_variable done_signal_;
    bool done_ = false;  // guarded by mutex_
  };

  void Post(std::shared_ptr<Task> task);
  // Runs every task posted so far, oldest first, and marks each done.
  void RunPending();

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<Task>> pending_;  // guarded by mutex_
};

// One running job: the thread that compiles the job's script and runs its
// main, with the job's stop request. Built and reaped by CCron on the main
// loop; the script's log records collect in log() for CCron to merge.
class CCronThread : public CMyThread, public CronJobControl, public ScriptLog {
 public:
  // The thread hook sleeps kYieldMs after every kCallsPerYield calls, so a
  // busy job leaves processor time to the mail path.
  static constexpr int kCallsPerYield = 1000;
  static constexpr int kYieldMs = 1;
  // Longest wait of a job for a task it handed to the main loop.
  static constexpr int kMainLoopWaitMs = 10000;

  // `context`'s configuration and engines are what the script reaches (its
  // job and diagnostics are set to this thread); `job` is copied; `tasks`
  // runs RunOnMainLoop's tasks. `started` is the wall-clock start time.
  CCronThread(const CronContext& context, const CCronJob& job, std::shared_ptr<MainLoopTasks> tasks,
              time_t started);
  // REQUIRES: the thread has finished (HasEnded) or never started.
  ~CCronThread() override;

  // Starts the thread. False when it cannot be created.
  bool Start();
  // Asks the job to end: its scripts stop before their next instruction
  // (RunScript children too), and a Sleep or a main-loop wait returns at
  // once. True for the first request. Any thread.
  bool RequestStop();
  bool IsStopRequested() const { return stop_.load(std::memory_order_acquire); }

  // The job's records: its WriteLog calls and its scripts' errors.
  CLogSimple& log() { return instance_.log(); }
  const std::string& job() const { return job_; }
  time_t started() const { return started_; }

  // CronJobControl (called on the job's thread):
  bool Sleep() override;
  bool Pause(int milliseconds) override;
  bool RunOnMainLoop(std::function<void()> task) override;
  // ScriptLog: an interpreter message, logged naming the job.
  void Write(int level, const char* category, const char* text) override;

 protected:
  void Unblock() override { RequestStop(); }

 private:
  static void* Body(void* self);
  void Run();

  const std::string job_;
  const std::string script_name_;
  const time_t started_;
  std::shared_ptr<MainLoopTasks> tasks_;
  CS_CRON_INSTANCE instance_;  // built here, its script built on the thread
  int sleep_count_ = 0;        // the thread's own
  std::atomic<bool> stop_{false};
  std::mutex stop_mutex_;                  // with stop_signal_, wakes Pause
  std::condition_variable stop_signal_;
};

// Thread-safety: Run, ReloadConfig and Stop are called by the main loop
// only; AddJob, DeleteJob, ViewJob and Save by any thread. The job table has
// one lock, never held while waiting for a job.
class CCron {
 public:
  // The crontab, under the application path.
  static constexpr const char* kCrontabFile = "/scripts/cron/torvane.crontab";
  // Bytes of the crontab read and jobs kept: plenty for any site, and
  // bounds what a damaged or hostile file costs.
  static constexpr size_t kMaxCrontabBytes = 64 * 1024;
  static constexpr size_t kMaxJobs = 256;
  // The first minute evaluated starts at least this long after
  // construction, so jobs do not run while the daemon is still starting.
  static constexpr int kFirstCheckDelaySeconds = 30;
  // A minute is evaluated at its first pass from this second on.
  static constexpr int kEvaluationSecond = 35;
  // Reaping period, in milliseconds of GetMyTickCount.
  static constexpr int kReapPeriodMs = 200;
  // How long Stop waits for the jobs to end.
  static constexpr int kStopWaitMs = 5000;
  // Local time moving by less than this counts as the same clock moved
  // (a DST change, a correction): fixed-time jobs of skipped minutes run
  // once and those of repeated minutes do not run again. A larger move
  // starts afresh.
  static constexpr int kMaxCatchUpMinutes = 180;
  // A clock set back by at most this many minutes waits until it reaches
  // the last evaluated minute again, rather than rerun those minutes.
  static constexpr int kBackStepToleranceMinutes = 2;

  // How FindJob and ViewJob's filter compare.
  enum Match { kByJob = 0, kBySignature = 1 };

  // Reads the crontab and builds the job table; each line that cannot be a
  // job is logged with its number and reason. A missing crontab gives an
  // empty table. What `context` points to must outlive the scheduler and,
  // when Stop leaves jobs running, the process. `clock` gives the time of
  // day (tests pass a fake); the local time zone is taken from the system
  // at every evaluation.
  explicit CCron(const CronContext& context, WallClock clock = &SystemWallClock);
  // Stops the jobs (Stop) unless that was done.
  ~CCron();
  CCron(const CCron&) = delete;
  CCron& operator=(const CCron&) = delete;

  // One pass: the main-loop tasks of jobs, the evaluation when a new minute
  // is due, the reaping on its period. Returns without waiting for a job.
  void Run();
  // Takes CRON "max_run_minutes" and, when CRON "reload_crontab" is set,
  // re-reads a crontab that changed since it was last read or saved:
  // unchanged jobs keep running, removed ones are asked to stop.
  void ReloadConfig();
  // Asks every job to end and waits at most kStopWaitMs for them. True when
  // all ended; false when some are left running (each logged): what they
  // use must then never be freed. Run must not be called afterwards.
  bool Stop();
  // True after a Stop that left jobs running.
  bool LeftJobsRunning() const { return left_running_; }

  // Replaces the crontab with the table, one "JOB=SIGNATURE\n" per job, in
  // table order, crash-safely. False when the file cannot be written (it
  // is then left as it was).
  bool Save();
  // Appends a job (evaluated from the next minute on); `job` and
  // `signature` are cleaned as crontab fields. False, with the reason in
  // `why` (may be null), for a null or empty job, a job that does not
  // parse, a line the crontab could not hold, a non-empty signature
  // another job has, a job text already in the table, or a full table.
  // Does not save.
  bool AddJob(const char* job, const char* signature, std::string* why = nullptr);
  // Removes the job whose signature is `signature` (when not empty) and
  // the job whose text is `job` (after cleaning); a running one is asked
  // to stop and reaped once it has ended. False when `job` is null or
  // nothing was removed. Does not save.
  bool DeleteJob(const char* job, const char* signature);
  // Empties `out` and adds one pair per job, in table order: key = job
  // text, value = signature ("" when none). With a non-empty `filter` only
  // jobs whose signature (mode kBySignature) or text (kByJob) equals it.
  void ViewJob(KeyValueSink* out, const char* filter, int mode);

  // The scheduler's records for the main loop to write.
  CLogSimple& log() { return log_; }

 private:
  struct Entry {
    std::unique_ptr<CCronJob> job;
    std::unique_ptr<CCronThread> worker;  // null while the job is idle
  };

  // The crontab text (at most kMaxCrontabBytes + 1 bytes); false when it
  // cannot be read.
  static bool ReadCrontab(std::string* text);
  // Replaces the table by the jobs of `text`, keeping the workers of jobs
  // that stay; logs every line that cannot be a job.
  void LoadCrontab(const std::string& text);
  void Evaluate(int64_t utc_minute, time_t now);
  void StartJob(Entry* entry, time_t now);
  void Reap(time_t now);
  // Merges a worker's records; true when its thread has ended (it is then
  // joined). Asks an overrunning one to stop.
  bool ReapWorker(CCronThread* worker, time_t now);
  // REQUIRES for the *Locked functions: table_lock_ is held.
  int FindJobLocked(const std::string& text, int mode) const;
  void DeleteSjobLocked(int index);
  std::string TableProblemLocked(const CCronJob& job) const;
  void Note(int level, const std::string& text);

  CronContext context_;
  WallClock clock_;
  std::shared_ptr<MainLoopTasks> tasks_ = std::make_shared<MainLoopTasks>();
  CLogSimple log_;

  // Main loop only.
  int64_t last_minute_ = 0;  // the last evaluated minute, in minutes since 1970 UTC
  int64_t fixed_high_ = 0;   // local minutes up to which fixed-time jobs are evaluated
  uint32_t next_reap_ms_ = 0;
  uint32_t last_tick_ms_ = 0;
  int max_run_minutes_ = 0;  // 0: no limit
  bool stopped_ = false;
  bool left_running_ = false;
  // Jobs Stop left running. Deliberately never freed: their threads may
  // still use them.
  std::vector<CCronThread*> abandoned_;

  // Guarded by table_lock_.
  mutable CCriticalSession table_lock_;
  std::vector<Entry> jobs_;
  std::vector<std::unique_ptr<CCronThread>> retiring_;  // deleted while running
  std::string crontab_text_;  // as last read or saved
};

#endif  // TORVANE_ADMIN_CRON_SCHEDULER_H_
