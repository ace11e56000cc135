// cron_scheduler - the job table, the once-a-minute evaluation with its
// clock rules, the job threads and their reaping (see cron_scheduler.h).
#include "admin/cron_scheduler.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "base/atomic_file.h"
#include "base/file.h"
#include "base/utility.h"
#include "proxy/proxy_core.h"

namespace {

constexpr char kSource[] = "cron";
constexpr char kRoutine[] = "CCron";
constexpr int kSecondsPerMinute = 60;
constexpr int kMinutesPerDay = 1440;
// How often Stop and a job waiting on the main loop look again.
constexpr int kPollMs = 5;
// 1970-01-01 was a Thursday.
constexpr int kEpochWeekday = 4;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days from 1970-01-01 to the given date of the Gregorian calendar, and
// back (H. Hinnant's algorithms): plain arithmetic, so minutes that the
// local clock skips can be broken down too.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = FloorDiv(year, 400);
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

void CivilFromDays(int64_t days, int* month, int* day) {
  days += 719468;
  const int64_t era = FloorDiv(days, 146097);
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;
  *day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  *month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
}

// The local date and time of `t` counted as minutes since 1970-01-01 00:00
// of the local calendar: local wall-clock minutes on one line.
int64_t LocalMinuteOf(time_t t) {
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return FloorDiv(t, kSecondsPerMinute);
  return DaysFromCivil(local.tm_year + 1900LL, local.tm_mon + 1, local.tm_mday) * kMinutesPerDay +
         local.tm_hour * 60 + local.tm_min;
}

CronMinute MinuteFromLocalCount(int64_t count) {
  const int64_t days = FloorDiv(count, kMinutesPerDay);
  const int64_t of_day = count - days * kMinutesPerDay;
  CronMinute when;
  when.hour = static_cast<int>(of_day / 60);
  when.minute = static_cast<int>(of_day % 60);
  CivilFromDays(days, &when.month, &when.day);
  when.weekday = static_cast<int>(days + kEpochWeekday - FloorDiv(days + kEpochWeekday, 7) * 7);
  return when;
}

std::string Quote(const std::string& job) { return "cron job \"" + job + "\""; }

CronContext ForJob(CronContext context, CCronThread* job) {
  context.job = job;
  context.diagnostics = job;
  return context;
}

}  // namespace

CronContext CronContextOf(CTorvaneCore* core) {
  CronContext context;
  if (core == nullptr) return context;
  context.config = core->config();
  context.dns = core->dns();
  context.kernel = core->kernel();
  context.dnsbl = core->dnsbl();
  context.inferno = core->inferno();
  context.helo = core->helo_forget();
  context.grey_list = core->grey_list();
  context.alwl = core->alwl();
  context.bayes = core->bayes();
  context.domains = core->local_domains();
  context.traps = core->spam_trap();
  context.community = core->community();
  context.rules = core->rules();
  context.phishing = core->phishing();
  return context;
}

// {=========== MainLoopTasks

bool MainLoopTasks::Task::WaitDone(int milliseconds) {
  std::unique_lock<std::mutex> hold(mutex_);
  return done_signal_.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return done_; });
}

void MainLoopTasks::Post(std::shared_ptr<Task> task) {
  std::lock_guard<std::mutex> hold(mutex_);
  pending_.push_back(std::move(task));
}

void MainLoopTasks::RunPending() {
  std::vector<std::shared_ptr<Task>> tasks;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    tasks.swap(pending_);
  }
  for (const std::shared_ptr<Task>& task : tasks) {
    task->body_();
    std::lock_guard<std::mutex> hold(task->mutex_);
    task->done_ = true;
    task->done_signal_.notify_all();
  }
}

// }===========

// {=========== CCronThread

CCronThread::CCronThread(const CronContext& context, const CCronJob& job, std::shared_ptr<MainLoopTasks> tasks,
                         time_t started)
    : job_(job.GetJob()),
      script_name_(job.GetScriptName()),
      started_(started),
      tasks_(std::move(tasks)),
      instance_(ForJob(context, this)) {}

CCronThread::~CCronThread() { StopComm(); }

bool CCronThread::Start() {
  SetFunction(&CCronThread::Body, this);
  return WatchComm();
}

void* CCronThread::Body(void* self) {
  static_cast<CCronThread*>(self)->Run();
  return nullptr;
}

// Compiling happens here, on the job's own thread, so a large script never
// holds up the main loop.
void CCronThread::Run() {
  String path;
  MakeAppPath(&path, (kCronScriptDir + script_name_).c_str());
  if (instance_.InitScript(path.GetData())) instance_.RunMain();
  instance_.DeleteScript();
}

bool CCronThread::RequestStop() {
  if (stop_.exchange(true, std::memory_order_acq_rel)) return false;
  std::lock_guard<std::mutex> hold(stop_mutex_);
  stop_signal_.notify_all();
  return true;
}

bool CCronThread::Sleep() {
  if (++sleep_count_ > kCallsPerYield) {
    sleep_count_ = 0;
    MySleep(kYieldMs);
  }
  return IsStopRequested();
}

bool CCronThread::Pause(int milliseconds) {
  std::unique_lock<std::mutex> hold(stop_mutex_);
  return stop_signal_.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return IsStopRequested(); });
}

bool CCronThread::RunOnMainLoop(std::function<void()> task) {
  auto posted = std::make_shared<MainLoopTasks::Task>(std::move(task));
  tasks_->Post(posted);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMainLoopWaitMs);
  while (!IsStopRequested() && std::chrono::steady_clock::now() < deadline) {
    if (posted->WaitDone(kPollMs)) return true;
  }
  return false;
}

void CCronThread::Write(int level, const char* category, const char* text) {
  (void)category;  // the interpreter's own; the job's records are the scheduler's
  log().LogS(level, (Quote(job_) + ": " + (text != nullptr ? text : "")).c_str(), script_name_.c_str(), "",
             log_type::kCron, 0);
}

// }===========

// {=========== CCron: the table

CCron::CCron(const CronContext& context, WallClock clock) : context_(context), clock_(clock) {
  const time_t now = clock_();
  // The first minute whose evaluation second comes at least
  // kFirstCheckDelaySeconds from now.
  const int64_t first = FloorDiv(now + kFirstCheckDelaySeconds - kEvaluationSecond + kSecondsPerMinute - 1,
                                 kSecondsPerMinute);
  last_minute_ = first - 1;
  tzset();
  fixed_high_ = LocalMinuteOf(last_minute_ * kSecondsPerMinute);
  next_reap_ms_ = GetMyTickCount() + kReapPeriodMs;
  if (context_.config != nullptr) max_run_minutes_ = context_.config->cron_max_run_minutes;
  std::string text;
  if (ReadCrontab(&text)) LoadCrontab(text);
}

CCron::~CCron() { Stop(); }

bool CCron::ReadCrontab(std::string* text) {
  String path;
  MakeAppPath(&path, kCrontabFile);
  return ReadFileHead(path.GetData(), kMaxCrontabBytes + 1, text);
}

void CCron::LoadCrontab(const std::string& text) {
  std::string_view usable(text);
  if (usable.size() > kMaxCrontabBytes) {
    // The cut may fall inside a line: only whole lines are taken.
    usable = usable.substr(0, kMaxCrontabBytes);
    usable = usable.substr(0, usable.rfind('\n') + 1);
    Note(kLogError, "crontab: only the first " + std::to_string(kMaxCrontabBytes) + " bytes are read");
  }
  std::vector<Entry> old;
  {
    CriticalScope hold(table_lock_);
    old.swap(jobs_);
    crontab_text_ = text;
  }
  for (const CrontabLine& line : SplitCrontab(usable)) {
    const std::string where = "crontab line " + std::to_string(line.number) + ": ";
    bool full;
    {
      CriticalScope hold(table_lock_);
      full = jobs_.size() >= kMaxJobs;
    }
    if (full) {
      Note(kLogError, where + "more than " + std::to_string(kMaxJobs) + " jobs: the rest are ignored");
      break;
    }
    std::string why = line.error;
    if (why.empty()) AddJob(line.job.c_str(), line.signature.c_str(), &why);
    if (!why.empty()) Note(kLogError, where + why);
  }
  // A job that stays keeps its running worker; the others' are retired.
  CriticalScope hold(table_lock_);
  for (Entry& was : old) {
    if (!was.worker) continue;
    auto same = std::find_if(jobs_.begin(), jobs_.end(), [&](const Entry& now) {
      return !now.worker && now.job->GetJob() == was.job->GetJob() &&
             now.job->GetSignature() == was.job->GetSignature();
    });
    if (same != jobs_.end()) {
      same->worker = std::move(was.worker);
    } else {
      was.worker->RequestStop();
      retiring_.push_back(std::move(was.worker));
    }
  }
}

void CCron::ReloadConfig() {
  CConfig* config = context_.config;
  if (config == nullptr) return;
  max_run_minutes_ = config->cron_max_run_minutes;
  if (!config->cron_reload_crontab) return;
  std::string text;
  if (!ReadCrontab(&text)) {
    Note(kLogError, "crontab cannot be read: the jobs stay as they are");
    return;
  }
  {
    CriticalScope hold(table_lock_);
    if (text == crontab_text_) return;
  }
  LoadCrontab(text);
  CriticalScope hold(table_lock_);
  Note(kLogEngine, "crontab re-read: " + std::to_string(jobs_.size()) + " jobs");
}

bool CCron::Save() {
  String path;
  MakeAppPath(&path, kCrontabFile);
  std::string text;
  CriticalScope hold(table_lock_);
  for (const Entry& entry : jobs_) text += entry.job->GetJob() + "=" + entry.job->GetSignature() + "\n";
  AtomicFile file(path.GetData());
  if (!file.Open() || !file.Write(text.data(), text.size()) || !file.Commit()) return false;
  crontab_text_ = text;
  return true;
}

bool CCron::AddJob(const char* job, const char* signature, std::string* why) {
  const std::string text = CleanCrontabField(job != nullptr ? job : "");
  const std::string sign = CleanCrontabField(signature != nullptr ? signature : "");
  std::string problem = text.empty() ? "the job is empty" : CrontabLineProblem(text, sign);
  auto parsed = std::make_unique<CCronJob>(text.c_str(), sign.c_str());
  if (problem.empty()) problem = parsed->GetError();
  CriticalScope hold(table_lock_);
  if (problem.empty()) problem = TableProblemLocked(*parsed);
  if (!problem.empty()) {
    if (why != nullptr) *why = problem;
    return false;
  }
  jobs_.push_back(Entry{std::move(parsed), nullptr});
  return true;
}

std::string CCron::TableProblemLocked(const CCronJob& job) const {
  if (!job.GetSignature().empty() && FindJobLocked(job.GetSignature(), kBySignature) >= 0) {
    return "the signature \"" + job.GetSignature() + "\" belongs to another job";
  }
  if (FindJobLocked(job.GetJob(), kByJob) >= 0) return "the same job is in the table already";
  if (jobs_.size() >= kMaxJobs) return "more than " + std::to_string(kMaxJobs) + " jobs";
  return "";
}

bool CCron::DeleteJob(const char* job, const char* signature) {
  if (job == nullptr) return false;
  const std::string text = CleanCrontabField(job);
  const std::string sign = CleanCrontabField(signature != nullptr ? signature : "");
  CriticalScope hold(table_lock_);
  bool removed = false;
  for (const auto& [key, mode] : {std::pair(sign, kBySignature), std::pair(text, kByJob)}) {
    const int index = FindJobLocked(key, mode);
    if (index < 0) continue;
    DeleteSjobLocked(index);
    removed = true;
  }
  return removed;
}

int CCron::FindJobLocked(const std::string& text, int mode) const {
  if (text.empty()) return -1;
  for (size_t i = 0; i < jobs_.size(); ++i) {
    const CCronJob& job = *jobs_[i].job;
    if ((mode == kBySignature ? job.GetSignature() : job.GetJob()) == text) return static_cast<int>(i);
  }
  return -1;
}

// A running job is not waited for here: it is asked to stop and reaped by
// Run once its thread has ended.
void CCron::DeleteSjobLocked(int index) {
  Entry& entry = jobs_[index];
  if (entry.worker) {
    entry.worker->RequestStop();
    retiring_.push_back(std::move(entry.worker));
  }
  jobs_.erase(jobs_.begin() + index);
}

void CCron::ViewJob(KeyValueSink* out, const char* filter, int mode) {
  if (out == nullptr) return;
  out->Clear();
  const std::string wanted = filter != nullptr ? filter : "";
  CriticalScope hold(table_lock_);
  for (const Entry& entry : jobs_) {
    const CCronJob& job = *entry.job;
    if (!wanted.empty() && (mode == kBySignature ? job.GetSignature() : job.GetJob()) != wanted) continue;
    out->Add(job.GetJob().c_str(), job.GetSignature().c_str(), job.GetSignature().size());
  }
}

void CCron::Note(int level, const std::string& text) {
  log_.LogS(level, text.c_str(), kSource, kRoutine, log_type::kCron, 0);
}

// }===========

// {=========== CCron: the pass

void CCron::Run() {
  if (stopped_) return;
  tasks_->RunPending();
  const time_t now = clock_();
  const int64_t due = FloorDiv(now - kEvaluationSecond, kSecondsPerMinute);
  if (due > last_minute_ || due < last_minute_ - kBackStepToleranceMinutes) {
    last_minute_ = due;
    Evaluate(due, now);
  }
  // The tick counter may drop back (it rebases every ~24 days).
  const uint32_t tick = GetMyTickCount();
  if (tick < last_tick_ms_) next_reap_ms_ = tick;
  last_tick_ms_ = tick;
  if (tick >= next_reap_ms_) {
    next_reap_ms_ = tick + kReapPeriodMs;
    Reap(now);
  }
}

// One snapshot of local time serves every job of the minute. Jobs given by
// "*" or steps follow the clock as it reads now; fixed-time jobs are
// checked against every local minute since the last one they saw, so a
// skipped minute (a DST gap, a clock set forward) runs them once and a
// repeated one (DST's second pass, a clock set back) does not run them
// again.
void CCron::Evaluate(int64_t utc_minute, time_t now) {
  tzset();  // the host's zone may have changed since
  const int64_t local = LocalMinuteOf(utc_minute * kSecondsPerMinute);
  const CronMinute when = MinuteFromLocalCount(local);
  std::vector<CronMinute> fixed_minutes;
  const int64_t gap = local - fixed_high_;
  if (gap >= kMaxCatchUpMinutes || gap <= -kMaxCatchUpMinutes) {
    fixed_minutes.push_back(when);
    fixed_high_ = local;
  } else if (gap > 0) {
    for (int64_t minute = fixed_high_ + 1; minute <= local; ++minute) {
      fixed_minutes.push_back(MinuteFromLocalCount(minute));
    }
    fixed_high_ = local;
  }
  CriticalScope hold(table_lock_);
  for (Entry& entry : jobs_) {
    const CCronJob& job = *entry.job;
    const bool due = job.IsFixedTime() ? std::any_of(fixed_minutes.begin(), fixed_minutes.end(),
                                                     [&](const CronMinute& m) { return job.CalcolateJob(m); })
                                       : job.CalcolateJob(when);
    if (!due) continue;
    if (entry.worker) {
      char at[8];
      snprintf(at, sizeof at, "%02d:%02d", when.hour, when.minute);
      Note(kLogError, Quote(job.GetJob()) + " is still running: its run at " + at + " is skipped");
      continue;
    }
    StartJob(&entry, now);
  }
}

void CCron::StartJob(Entry* entry, time_t now) {
  auto worker = std::make_unique<CCronThread>(context_, *entry->job, tasks_, now);
  if (!worker->Start()) {
    Note(kLogError, Quote(entry->job->GetJob()) + ": no thread could be started");
    return;
  }
  Note(kLogDebug, Quote(entry->job->GetJob()) + " started");
  entry->worker = std::move(worker);
}

void CCron::Reap(time_t now) {
  CriticalScope hold(table_lock_);
  for (Entry& entry : jobs_) {
    if (entry.worker && ReapWorker(entry.worker.get(), now)) entry.worker.reset();
  }
  std::erase_if(retiring_, [&](const std::unique_ptr<CCronThread>& worker) { return ReapWorker(worker.get(), now); });
}

bool CCron::ReapWorker(CCronThread* worker, time_t now) {
  log_.Merge(worker->log(), 0);
  if (worker->HasEnded()) {
    worker->StopComm();  // joins at once: the body has returned
    Note(kLogDebug, Quote(worker->job()) + " ended");
    return true;
  }
  if (max_run_minutes_ > 0 && now - worker->started() >= int64_t{max_run_minutes_} * kSecondsPerMinute &&
      worker->RequestStop()) {
    Note(kLogError, Quote(worker->job()) + " ran longer than " + std::to_string(max_run_minutes_) +
                        " minutes: asked to stop");
  }
  return false;
}

bool CCron::Stop() {
  if (stopped_) return !left_running_;
  stopped_ = true;
  std::vector<std::unique_ptr<CCronThread>> workers;
  {
    CriticalScope hold(table_lock_);
    for (Entry& entry : jobs_) {
      if (entry.worker) workers.push_back(std::move(entry.worker));
    }
    for (auto& worker : retiring_) workers.push_back(std::move(worker));
    retiring_.clear();
  }
  for (auto& worker : workers) worker->RequestStop();
  auto all_ended = [&] {
    return std::all_of(workers.begin(), workers.end(), [](const auto& w) { return w->HasEnded(); });
  };
  // Timed by the clock, not by counting pauses: on a loaded host each pause
  // may last much longer than asked.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
  while (!all_ended() && std::chrono::steady_clock::now() < deadline) MySleep(kPollMs);
  for (auto& worker : workers) {
    log_.Merge(worker->log(), 0);
    if (worker->HasEnded()) {
      worker->StopComm();
      continue;
    }
    Note(kLogError, Quote(worker->job()) + " did not end within " + std::to_string(kStopWaitMs / 1000) +
                        " s of the stop: left running");
    abandoned_.push_back(worker.release());
  }
  left_running_ = !abandoned_.empty();
  return !left_running_;
}

// }===========
