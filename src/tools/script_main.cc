// torvane-script - compiles a script file and calls its int main(), printing
// the interpreter's diagnostics to standard error. Exit status: main's
// result, or 1 after an error. With --disassemble the code listing is
// printed to standard output instead of running main.
#include <cstdio>
#include <cstring>

#include "script/externs.h"
#include "script/interpreter.h"

namespace {

class StderrLog : public ScriptLog {
 public:
  void Write(int, const char*, const char* text) override { fprintf(stderr, "%s\n", text); }
};

int Usage() {
  fprintf(stderr, "usage: torvane-script [--disassemble] FILE.cs\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool disassemble = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--disassemble") == 0) {
      disassemble = true;
    } else if (!path) {
      path = argv[i];
    } else {
      return Usage();
    }
  }
  if (!path) return Usage();
  StderrLog log;
  Interpreter interpreter;
  interpreter.SetLog(&log);
  interpreter.SetScriptPath(path);
  if (!interpreter.load(path)) return 1;
  if (disassemble) {
    std::string listing = interpreter.DisassemblyText();
    fwrite(listing.data(), 1, listing.size(), stdout);
    return 0;
  }
  if (!interpreter.isExist("main")) {
    fprintf(stderr, "torvane-script: %s has no int main()\n", path);
    return 1;
  }
  int result = interpreter.run("main");
  fflush(stdout);
  return interpreter.BuildAllLog()[0] != '\0' ? 1 : result;
}
