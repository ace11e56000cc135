// script_harness - runs script texts for the engine tests and captures values and diagnostics.
#ifndef TORVANE_TESTS_UNIT_SCRIPT_SCRIPT_HARNESS_H_
#define TORVANE_TESTS_UNIT_SCRIPT_SCRIPT_HARNESS_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/scratch_dir.h"
#include "script/externs.h"
#include "script/interpreter.h"

namespace script_test {

// Values passed to the extern function Capture(value), in call order.
inline std::vector<Variable>& Captured() {
  static std::vector<Variable> values;
  return values;
}

inline int Capture(Variable value) {
  Captured().push_back(value);
  return 0;
}

// The captured values as ints, and as MORE texts, in call order.
inline std::vector<int> CapturedInts() {
  std::vector<int> out;
  for (const Variable& v : Captured()) out.push_back(v.rawInt());
  return out;
}
inline std::vector<std::string> CapturedTexts() {
  std::vector<std::string> out;
  for (const Variable& v : Captured()) out.push_back(v.MoreText());
  return out;
}

// An interpreter with Capture registered; Load/Run keep the log text.
class Harness {
 public:
  Harness() { addFunction(&interpreter, "Capture", &Capture); Captured().clear(); }

  // Compiles `source` (no preprocessing); 1 on success.
  int Load(const std::string& source) {
    int ok = interpreter.loadbyram(source.c_str());
    log += interpreter.BuildAllLog();
    return ok;
  }
  // Calls int name() and returns its result.
  int Run(const char* name = "main") {
    int result = interpreter.run(name);
    log += interpreter.BuildAllLog();
    return result;
  }
  // Loads and runs main; -999 when the load fails.
  int LoadAndRun(const std::string& source) { return Load(source) ? Run() : -999; }

  // The MORE text of the only captured value, or "" when not one.
  static std::string CapturedText() {
    return Captured().size() == 1 ? Captured()[0].MoreText() : "captured " + std::to_string(Captured().size());
  }

  Interpreter interpreter;
  std::string log;
};

// The MORE text of `expression` evaluated in main, or the log when that failed.
inline std::string Eval(const std::string& expression, const std::string& prelude = "") {
  Harness h;
  int result = h.LoadAndRun(prelude + "int main() { Capture(" + expression + "); return 7; }");
  if (result != 7) return h.log;
  return Harness::CapturedText();
}

// Whether `text` contains `part`.
inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace script_test

#endif  // TORVANE_TESTS_UNIT_SCRIPT_SCRIPT_HARNESS_H_
