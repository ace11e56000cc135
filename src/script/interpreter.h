// interpreter - one compiled script and everything a host does with it:
// preprocess and load the source, register native bindings, call script
// functions by name with typed arguments. Errors never leave it: they are
// logged (see ScriptLog and BuildAllLog) and the call returns 0.
// Thread safety: none; one thread at a time may load or run an interpreter.
#ifndef TORVANE_SCRIPT_INTERPRETER_H_
#define TORVANE_SCRIPT_INTERPRETER_H_

#include <cstdarg>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "script/program.h"
#include "script/source_map.h"
#include "script/variable.h"

// Where an interpreter's diagnostics go besides its own queue. Hosts plug in
// their log; the command-line tool prints to standard error.
class ScriptLog {
 public:
  virtual ~ScriptLog() = default;
  // Levels and categories as in base/xml_log.h; `text` is one message.
  virtual void Write(int level, const char* category, const char* text) = 0;
};

// One #import line: kind 1 = class, 2 = lib.
struct STR_ScriptImport {
  int kind;
  std::string name;
};

class Interpreter {
 public:
  using ThreadFunction = void (*)(void*);

  // Capacity of the value stack; also what bounds data-heavy recursion.
  static constexpr int kStackSize = 1024;

  Interpreter();
  ~Interpreter();
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;

  // {=========== loading
  // Preprocesses and compiles the file, optimizes, runs the top-level code.
  // 1 on success; 0 after logging the error (the program is then empty and
  // the good-script flag 1).
  int load(const char* path);
  // As load, on text already preprocessed (PreProcessorRAM).
  int loadbyram(const char* text);
  // The preprocessed text of a file, heap-allocated with malloc (the caller
  // frees it with free), or null: unreadable file (not logged) or a
  // directive error (logged, good-script flag 1).
  char* PreProcessorRAM(const char* path);
  int define(const char* name, const char* value);
  int undef(const char* name);
  int ifdef(const char* name);
  // 1 when the global namespace has a function `name`.
  int isExist(const char* name);
  const std::vector<STR_ScriptImport>& imports() const { return imports_; }
  // }===========

  // {=========== calls
  // Calls global function `name`; `types` lists its parameter types
  // ("string,int"); each argument is an int*, float*, C string or object
  // pointer (null gives void). Returns the result as int; 0 on any error.
  int run(const char* name, const char* types, ...);
  int vrun(const char* name, const char* types, va_list args);
  // Calls a global function without parameters.
  int run(const char* name);
  // Stops the running call before its next instruction, at every level.
  void exit() { exit_flag_ = 1; }
  // Re-runs the top-level code (re-initialising globals) when the
  // good-script flag is set. Objects the script created before are deleted
  // first: like a deleted object, one still named by a plain variable or an
  // array no longer exists.
  void Reset();
  // Called as fn(param) while code runs (when bit 3 of the next instruction's
  // word index is 0).
  void setThreadFunction(ThreadFunction fn) { thread_function_ = fn; }
  void setThreadFunctionPramn(void* param) { thread_param_ = param; }
  ThreadFunction threadFunction() const { return thread_function_; }
  void* threadFunctionParam() const { return thread_param_; }
  // Ends a call with an error after this many backward jumps and calls
  // (0: no limit). A safety net for untrusted scripts.
  void SetStepLimit(long steps) { step_limit_ = steps; }
  void SetGoodScript(int good) { good_script_ = static_cast<char>(good); }
  int IsGoodScript() const { return good_script_; }
  // Gathers queued messages (own and extern classes') into the text
  // returned; empties the queue. A non-empty text means errors were reported.
  const char* BuildAllLog();
  // }===========

  // {=========== diagnostics
  void SetLog(ScriptLog* log) { log_sink_ = log; }  // not owned; may be null
  void SetScriptPath(const char* path) { script_path_ = path ? path : ""; }
  const std::string& script_path() const { return script_path_; }
  // The files the loaded text was preprocessed from: the script's own
  // first, then each include (empty for text loaded without a map).
  const std::vector<std::string>& source_files() const { return source_map_.files; }
  // Queues one message (and forwards it to the ScriptLog).
  void LogMessage(const std::string& text);
  // Writes the listing of the code to the log, one line per instruction.
  void disassemble();
  // The same listing as one text ("" with a logged error for no program).
  std::string DisassemblyText();
  // }===========

  // {=========== native bindings (the interpreter owns every binding)
  void addExternFunction(const char* name, ExternFunctionBase* binding);
  void addExternVariable(const char* name, ExternVariableBase* binding);
  void addExternClass(const char* name, ExternClassBase* binding);
  void ModificaSpecialVar(const char* name, ExternVariableBase* binding);
  void addExternClassObject(const char* class_name, const char* object_name, void* object);
  void setExternClassObject(const char* class_name, const char* object_name, void* object);
  // Declarations of every extern, printed to standard output.
  void printExterns();
  std::string ExternsText();

  // Value stack access for bindings (variable argument lists). Raise
  // "Stack::..." on underflow or overflow.
  Variable PopValue();
  void PushValue(Variable&& value);
  int StackDepth() const { return sp_; }
  // }===========

  Program& program() { return program_; }

 private:
  friend class Compiler;
  friend class Optimizer;

  // A short run of instructions starting at a push that the executor takes
  // in one step when both values are ints: "push b; OP" with a on the stack
  // (pair) or "push a; push b; OP" (triple), and what becomes of a OP b.
  // Any other values run the instructions one by one, so results agree.
  struct Fusion {
    enum Then : unsigned char {
      kNone,         // no shortcut starts here
      kPush,         // triple: push the result
      kSetTop,       // pair: the result replaces a
      kStore,        // triple followed by cs_popv: store the result
      kJumpIf,       // a compare-and-jump, or a comparison and cs_jnz
      kJumpUnless,   // a comparison and cs_jz
    };
    Then then = kNone;
    int op = 0;                 // the operator; for jumps the comparison
    int resume = 0;             // the next instruction when not jumping
    int target = 0;             // jumps: the target word
    Variable* a = nullptr;      // triple: the first operand; pair: null (the stack top)
    const Variable* b = nullptr;  // the pushed operand
    Variable* store = nullptr;  // kStore: the variable (not owned)
  };
  enum class FusionStep { kDeclined, kDone, kJump };
  // Takes the shortcut `f` of the push at `ip` when its values allow: kDone
  // with ip and sp moved on, kJump when f.target is to be jumped to (the
  // caller does, with its checks), kDeclined with nothing changed when the
  // instructions must run one by one.
  FusionStep RunFusion(const Fusion& f, int& ip, int& sp);

  // Runs code from `address` until cs_ret; the result is left on the stack.
  // `current` is the function whose body this level runs (null: top level).
  void Execute(int address, const NSFunction* current);
  // Resolves the constant and variable operands of the final code into
  // direct pointers (operand_values_), so the executor skips the lookups,
  // and finds the shortcuts (fusions_).
  void Link();
  // The shortcut starting at the push at `ip`, if any.
  Fusion FuseAt(size_t ip) const;
  void CallFunction(int ref, const NSFunction* current);
  int Compile(const char* text);
  void ReportLoadError(const std::string& message);
  // `message` with "FILE:LINE: " in front when the position is known.
  std::string Located(const std::string& message) const;
  // Before a new load: no line, location or map of the last one.
  void ForgetSourcePosition();
  void ClearStack();
  void RunTopLevel();
  // Runs `fn` with its arguments pushed; its result as int.
  int CallPrepared(NSFunction& fn);
  int ProtectedCall(const std::function<int()>& body);
  // The global function `name`; raises the script error when there is none.
  NSFunction& FunctionToCall(const char* name);
  void LogError(const std::string& text);
  [[noreturn]] void StackOverflow();

  Program program_;
  // Per code word: the Variable a constant or variable operand names (null
  // elsewhere). Valid while the code and namespaces stay as linked.
  std::vector<Variable*> operand_values_;
  // Per code word: the shortcut a push there starts (see Link).
  std::vector<Fusion> fusions_;
  Variable stack_[kStackSize];
  int sp_ = 0;
  int call_depth_ = 0;
  long steps_left_ = 0;
  long step_limit_ = 0;
  int exit_flag_ = 0;
  ThreadFunction thread_function_ = nullptr;
  void* thread_param_ = nullptr;
  char good_script_ = 1;
  std::string script_path_;
  std::string all_log_;
  std::vector<std::string> log_queue_;
  ScriptLog* log_sink_ = nullptr;  // not owned

  // Preprocessor state.
  std::map<std::string, std::string> defines_;
  std::vector<STR_ScriptImport> imports_;
  // The source line being preprocessed or compiled, and its "FILE:LINE"
  // (from source_map_ while compiling), named in load errors.
  std::string current_line_;
  std::string current_location_;
  SourceMap source_map_;
  std::string preprocessed_;  // PreProcessorRAM's last text, until it is loaded
};

#endif  // TORVANE_SCRIPT_INTERPRETER_H_
