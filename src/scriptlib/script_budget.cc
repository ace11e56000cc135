// script_budget - metering one script call against its CPU and wall time.
#include "scriptlib/script_budget.h"

#include <algorithm>
#include <ctime>

#include "base/thread.h"
#include "base/wall_clock.h"

namespace {

// The budget metering the call running on this thread; null outside calls.
thread_local ScriptBudget* tl_running = nullptr;

int64_t ClockNs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

ScriptBudget::ScriptBudget(int cpu_ms, int wall_ms) { SetLimits(cpu_ms, wall_ms); }

ScriptBudget::~ScriptBudget() { End(); }

void ScriptBudget::SetLimits(int cpu_ms, int wall_ms) {
  cpu_ms_ = std::max(cpu_ms, 0);
  wall_ms_ = std::max(wall_ms, 0);
}

void ScriptBudget::Begin(Interpreter* in) {
  if (in_ != nullptr && in_ != in) RestoreHook();
  in_ = in;
  verdict_ = Verdict::kWithinBudget;
  countdown_ = kCheckpointsPerLook;
  // The clocks are first read at the first look: most calls end long
  // before it, and a call's first checkpoints cost next to nothing.
  cpu_start_ns_ = 0;
  wall_deadline_ms_ = 0;
  if (tl_running != this) outer_ = tl_running;  // a call made from inside another one
  // The outer call pays for this one too, so its meters run from here on.
  if (outer_ != nullptr) outer_->StartMeters();
  tl_running = this;
  if (in_ == nullptr || in_->threadFunction() == &ScriptBudget::Checkpoint) return;
  // The host's own hook (a job's stop request) still runs at every checkpoint.
  chained_ = in_->threadFunction();
  chained_param_ = in_->threadFunctionParam();
  in_->setThreadFunction(&ScriptBudget::Checkpoint);
  in_->setThreadFunctionPramn(this);
}

void ScriptBudget::RestoreHook() {
  if (in_ == nullptr) return;
  in_->setThreadFunction(chained_);
  in_->setThreadFunctionPramn(chained_param_);
  chained_ = nullptr;
  chained_param_ = nullptr;
  in_ = nullptr;
}

ScriptBudget::Verdict ScriptBudget::End() {
  RestoreHook();
  if (tl_running == this) {
    tl_running = outer_;
    outer_ = nullptr;
  }
  return verdict_;
}

void ScriptBudget::Checkpoint(void* self) {
  ScriptBudget* budget = static_cast<ScriptBudget*>(self);
  if (budget->chained_ != nullptr) budget->chained_(budget->chained_param_);
  if (--budget->countdown_ > 0) return;
  budget->countdown_ = kCheckpointsPerLook;
  budget->Look();
}

void ScriptBudget::Look() {
  if (verdict_ != Verdict::kWithinBudget || in_ == nullptr) return;
  StartMeters();
  if (StopRequested()) {
    verdict_ = Verdict::kStopRequested;
  } else if (cpu_ms_ > 0 && ClockNs(CLOCK_THREAD_CPUTIME_ID) - cpu_start_ns_ > int64_t{cpu_ms_} * 1000000) {
    verdict_ = Verdict::kCpuSpent;
  } else if (wall_deadline_ms_ > 0 && SystemMonotonicMs() > wall_deadline_ms_) {
    verdict_ = Verdict::kTimeSpent;
  } else {
    return;
  }
  in_->exit();
}

void ScriptBudget::StartMeters() {
  if (cpu_start_ns_ != 0) return;
  cpu_start_ns_ = ClockNs(CLOCK_THREAD_CPUTIME_ID);
  if (wall_ms_ <= 0) return;
  wall_deadline_ms_ = SystemMonotonicMs() + wall_ms_;
}

int ScriptBudget::SleepAllowance(int ms) {
  if (tl_running == nullptr || ms <= 0) return ms;
  tl_running->StartMeters();
  const int64_t deadline = tl_running->wall_deadline_ms_;
  if (deadline == 0) return ms;
  const int64_t left = deadline - SystemMonotonicMs();
  return static_cast<int>(std::clamp<int64_t>(left, 0, ms));
}

const char* BudgetVerdictText(ScriptBudget::Verdict verdict) {
  switch (verdict) {
    case ScriptBudget::Verdict::kCpuSpent: return "stopped: over its CPU time budget";
    case ScriptBudget::Verdict::kTimeSpent: return "stopped: over its time budget";
    case ScriptBudget::Verdict::kStopRequested: return "stopped: the daemon is stopping";
    case ScriptBudget::Verdict::kWithinBudget: break;
  }
  return "";
}
