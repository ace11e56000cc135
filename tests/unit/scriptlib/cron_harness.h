// cron_harness - runs a text as a cron script; collects result, diagnostics and WriteLog records.
#ifndef TORVANE_TESTS_UNIT_SCRIPTLIB_CRON_HARNESS_H_
#define TORVANE_TESTS_UNIT_SCRIPTLIB_CRON_HARNESS_H_

#include <string>
#include <vector>

#include "common/scratch_dir.h"
#include "scriptlib/cron_script.h"

namespace cron_test {

// The opening line of every test script.
constexpr const char kOpen[] = "CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);\n";

struct LogRecord {
  int level;
  std::string text;
  std::string category;
  std::string source;
};

struct CronRun {
  bool compiled = false;
  int result = 0;
  std::string diagnostics;  // the interpreter's messages
  std::vector<LogRecord> records;
};

// Compiles `source` as a cron script with `context` and calls its main.
inline CronRun RunCron(const std::string& source, const CronContext& context = CronContext()) {
  ScratchFile file(source);
  CS_CRON_INSTANCE instance(context);
  CronRun run;
  run.compiled = instance.InitScript(file.path().c_str());
  if (run.compiled) run.result = instance.interpreter()->run("main");
  run.diagnostics = instance.interpreter()->BuildAllLog();
  instance.log().Drain([&run](const CLogSimple::LogSimple_item& item) {
    auto text = [](const String& s) { return std::string(s.GetData() ? s.GetData() : ""); };
    run.records.push_back({item.level, text(item.entry), text(item.type), text(item.filename)});
  });
  return run;
}

// The text of `expression` as WriteLog receives it, or the diagnostics when the script failed.
inline std::string EvalText(const std::string& expression, const CronContext& context = CronContext()) {
  CronRun run = RunCron(std::string("int main() {\n") + kOpen + "cs.WriteLog(1, " + expression +
                            ", \"T\");\nreturn 7; }",
                        context);
  if (run.result != 7 || run.records.size() != 1) return "FAILED: " + run.diagnostics;
  return run.records[0].text;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace cron_test

#endif  // TORVANE_TESTS_UNIT_SCRIPTLIB_CRON_HARNESS_H_
