// bench_host - runs a benchmark script's int main() like torvane-script, with
// the three text natives the benchmarks need until the common script
// functions exist: Length, SubStr (String::Mid clamping) and REeq.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/regex.h"
#include "script/externs.h"
#include "script/interpreter.h"

namespace {

class StderrLog : public ScriptLog {
 public:
  void Write(int, const char*, const char* text) override { fprintf(stderr, "%s\n", text); }
};

int Length(const char* text) { return text ? static_cast<int>(strlen(text)) : 0; }

// Slice with start and count clamped to the text; the result lives until the
// next call.
const char* SubStr(const char* text, int start, int count) {
  static std::string result;
  int length = Length(text);
  if (start < 0) start = 0;
  if (count < 0) count = 0;
  if (start > length) count = 0;
  if (start + count > length) count = length - start;
  result.assign(text ? text + start : "", count > 0 ? count : 0);
  return result.c_str();
}

int REeq(const char* subject, const char* pattern) {
  return RegexMatch(pattern, 0, subject, subject ? strlen(subject) : 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: bench_host FILE.cs\n");
    return 2;
  }
  StderrLog log;
  Interpreter interpreter;
  interpreter.SetLog(&log);
  addFunction(&interpreter, "Length", &Length);
  addFunction(&interpreter, "SubStr", &SubStr);
  addFunction(&interpreter, "REeq", &REeq);
  if (!interpreter.load(argv[1])) return 1;
  int result = interpreter.run("main");
  fflush(stdout);
  return interpreter.BuildAllLog()[0] != '\0' ? 1 : result;
}
