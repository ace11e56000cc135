// script_budget - ScriptBudget, the CPU and wall time one call into a script
// may take. It drives the interpreter's own stop (Interpreter::exit) from
// the checkpoint hook the executor calls at every backward jump and call,
// so a runaway loop ends without the interpreter knowing about budgets. A
// stop request of the calling CMyThread ends the call the same way. Every
// script kind's host owns one per thread that runs its scripts.
#ifndef TORVANE_SCRIPTLIB_SCRIPT_BUDGET_H_
#define TORVANE_SCRIPTLIB_SCRIPT_BUDGET_H_

#include <cstdint>

#include "script/interpreter.h"

// Not thread-safe: used by the thread that runs the interpreters it is
// attached to, one call at a time.
class ScriptBudget {
 public:
  // The clocks are read once per this many checkpoints: often enough to
  // stop a loop within a millisecond or so of its budget, rarely enough to
  // cost nothing measurable.
  static constexpr int kCheckpointsPerLook = 1024;

  // Why the last call was stopped.
  enum class Verdict { kWithinBudget, kCpuSpent, kTimeSpent, kStopRequested };

  // `cpu_ms`: thread CPU time one call may use; `wall_ms`: time it may take
  // (sleeps included). 0 or less: no limit of that kind.
  ScriptBudget(int cpu_ms, int wall_ms);
  ScriptBudget(const ScriptBudget&) = delete;
  ScriptBudget& operator=(const ScriptBudget&) = delete;
  // Ends a call still metered (End).
  ~ScriptBudget();

  void SetLimits(int cpu_ms, int wall_ms);
  int cpu_ms() const { return cpu_ms_; }

  // Starts metering a call into `in` (a load or reset runs code too): from
  // now on, the call is stopped as by Exit once it passes a limit or the
  // thread is asked to stop. The meter starts at the call's first
  // kCheckpointsPerLook checkpoints (or its first sleep, or a call made
  // from inside it), so a short call reads no clock. `in` must outlive the call; null detaches.
  void Begin(Interpreter* in);
  // Ends metering (the interpreter gets back the hook it had before Begin)
  // and tells whether the call was stopped, and why.
  Verdict End();

  // How long a script sleep of `ms` may really sleep in the running call:
  // `ms` cut to what is left of its wall time (a sleep outside any call, or
  // without a wall limit, is not cut).
  static int SleepAllowance(int ms);

 private:
  static void Checkpoint(void* self);
  // Looks at the clocks and the stop request; stops the call when due.
  void Look();
  // Starts the CPU meter and sets the wall deadline from now, once per
  // call: at its first look, its first sleep, or the first call made from
  // inside it.
  void StartMeters();
  // Gives the interpreter back its own hook and forgets it.
  void RestoreHook();

  int cpu_ms_ = 0;
  int wall_ms_ = 0;
  Interpreter* in_ = nullptr;  // not owned; the interpreter being metered, null between calls
  Interpreter::ThreadFunction chained_ = nullptr;  // the hook `in_` had before Begin
  void* chained_param_ = nullptr;
  ScriptBudget* outer_ = nullptr;  // the budget of the call this one runs inside
  int countdown_ = kCheckpointsPerLook;
  int64_t cpu_start_ns_ = 0;      // thread CPU time when the meters started; 0 before
  int64_t wall_deadline_ms_ = 0;  // monotonic; 0 without a wall limit or before the meters started
  Verdict verdict_ = Verdict::kWithinBudget;
};

// What a stopped call's log record says about why ("" within budget).
const char* BudgetVerdictText(ScriptBudget::Verdict verdict);

#endif  // TORVANE_SCRIPTLIB_SCRIPT_BUDGET_H_
