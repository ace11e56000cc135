// script_budget - metering one script call against its CPU and wall time.
#include "scriptlib/script_budget.h"

#include <algorithm>
#include <ctime>

#include "base/thread.h"
#include "base/wall_clock.h"

namespace {

// The budget metering the call running on this thread; null outside calls.
thread_local ScriptBudget* tl_running = nullptr;
thread_local int64_t tl_wall_deadline_ms = 0;

int64_t ClockNs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

ScriptBudget::ScriptBudget(int cpu_ms, int wall_ms) { SetLimits(cpu_ms, wall_ms); }

ScriptBudget::~ScriptBudget() {
  if (in_ != nullptr) in_->setThreadFunction(nullptr);
  if (tl_running == this) tl_running = nullptr;
}

void ScriptBudget::SetLimits(int cpu_ms, int wall_ms) {
  cpu_ms_ = std::max(cpu_ms, 0);
  wall_ms_ = std::max(wall_ms, 0);
}

void ScriptBudget::Begin(Interpreter* in) {
  if (in_ != nullptr && in_ != in) in_->setThreadFunction(nullptr);
  in_ = in;
  verdict_ = Verdict::kWithinBudget;
  countdown_ = kCheckpointsPerLook;
  cpu_start_ns_ = ClockNs(CLOCK_THREAD_CPUTIME_ID);
  wall_deadline_ms_ = wall_ms_ > 0 ? SystemMonotonicMs() + wall_ms_ : 0;
  tl_running = this;
  tl_wall_deadline_ms = wall_deadline_ms_;
  if (in_ == nullptr) return;
  in_->setThreadFunction(&ScriptBudget::Checkpoint);
  in_->setThreadFunctionPramn(this);
}

ScriptBudget::Verdict ScriptBudget::End() {
  if (tl_running == this) {
    tl_running = nullptr;
    tl_wall_deadline_ms = 0;
  }
  return verdict_;
}

void ScriptBudget::Checkpoint(void* self) {
  ScriptBudget* budget = static_cast<ScriptBudget*>(self);
  if (--budget->countdown_ > 0) return;
  budget->countdown_ = kCheckpointsPerLook;
  budget->Look();
}

void ScriptBudget::Look() {
  if (verdict_ != Verdict::kWithinBudget || in_ == nullptr) return;
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

int ScriptBudget::SleepAllowance(int ms) {
  if (tl_running == nullptr || tl_wall_deadline_ms == 0 || ms <= 0) return ms;
  const int64_t left = tl_wall_deadline_ms - SystemMonotonicMs();
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
