// script_fuzz - text through preprocess, compile, optimize and a budgeted run: a crash, sanitizer report or hang.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "script/externs.h"
#include "script/interpreter.h"
#include "script/preprocessor.h"
#include "script/script_error.h"
#include "script/wrapping_int.h"

namespace script_fuzz {

// Backward jumps and calls one input may take; keeps every run short.
constexpr long kStepBudget = 20000;
// Longest input tried: beyond this the engine only repeats itself.
constexpr size_t kMaxInputBytes = 64 * 1024;

class Probe {
 public:
  int Add(int n) { return total_ = WrapAdd(total_, n); }
  const char* Name(const char* s) { return s ? s : ""; }

 private:
  int total_ = 0;
};

// Host functions wrap like the engine's integers: a saturated float arrives as INT_MIN or INT_MAX.
inline int Twice(int v) { return WrapMul(v, 2); }

// Runs one input; never reports anything (the sanitizers do).
inline void RunInput(const uint8_t* data, size_t size) {
  if (size > kMaxInputBytes) return;
  std::string source(reinterpret_cast<const char*>(data), size);
  Interpreter in;
  in.SetStepLimit(kStepBudget);
  addFunction(&in, "Twice", &Twice, "0,...");
  auto* probe = new ExternClass<Probe>();
  probe->addMethod("Add", &Probe::Add, "1");
  probe->addMethod("Name", &Probe::Name);
  in.addExternClass("Probe", probe);
  std::string text;
  {
    std::map<std::string, std::string> defines;
    std::vector<STR_ScriptImport> imports;
    std::string line;
    Preprocessor preprocessor(&defines, &imports, &line);
    try {
      // At the include depth limit an #include is parsed but opens no file (a device could block).
      text = preprocessor.ProcessText(StripComments(source), "fuzz.cs", 16);
    } catch (const ScriptError&) {
      return;
    }
  }
  if (!in.loadbyram(text.c_str())) return;
  if (in.isExist("main")) in.run("main");
  in.Reset();
  in.BuildAllLog();
}

}  // namespace script_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  script_fuzz::RunInput(data, size);
  return 0;
}
