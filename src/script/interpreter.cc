// interpreter - loading, host calls, registration and the log of one script.
#include "script/interpreter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "base/xml_log.h"
#include "script/builtins.h"
#include "script/compiler.h"
#include "script/externs.h"
#include "script/optimizer.h"
#include "script/preprocessor.h"
#include "script/script_error.h"
#include "script/source_reader.h"

namespace {

std::string Format(const char* format, const char* a, const char* b = "") {
  char buffer[kMaxErrorChars];
  snprintf(buffer, sizeof buffer, format, a, b);
  return buffer;
}

std::string Cut(const char* name) {
  std::string text = name ? name : "";
  if (text.size() > kMaxExternNameChars) text.resize(kMaxExternNameChars);
  return text;
}

// Stores `binding` (taking ownership) under `key` unless `defined` says the
// table already holds that name; false for such a duplicate, whose binding is
// freed, since the first registration of a name is the one scripts see.
template <typename Binding>
bool StoreUnlessDefined(std::vector<ExternEntry<Binding>>& table, bool defined, const std::string& key,
                        Binding* binding) {
  std::unique_ptr<Binding> owned(binding);
  if (defined) return false;
  table.push_back({key, std::move(owned)});
  return true;
}

}  // namespace

namespace {

// The language version scripts see as __VERSION__ (a string literal).
constexpr char kVersionLiteral[] = "\"2.0\"";

}  // namespace

// __VERSION__ is defined from the start so that PreProcessorRAM, which hosts
// call before loadbyram, sees it as load does.
Interpreter::Interpreter() {
  RegisterBuiltins(this);
  define("__VERSION__", kVersionLiteral);
}

Interpreter::~Interpreter() = default;

// {=========== log

void Interpreter::LogMessage(const std::string& text) {
  log_queue_.push_back(text);
  if (log_sink_) log_sink_->Write(kLogError, log_type::kScript, text.c_str());
}

void Interpreter::LogError(const std::string& text) { LogMessage(text); }

const char* Interpreter::BuildAllLog() {
  for (auto& entry : program_.extern_classes) {
    for (std::string& message : entry.binding->log()) LogMessage(message);
    entry.binding->log().clear();
  }
  all_log_.clear();
  for (const std::string& message : log_queue_) {
    all_log_ += message;
    all_log_ += "\n";
  }
  log_queue_.clear();
  return all_log_.c_str();
}

// }===========

// {=========== loading

void Interpreter::ClearStack() {
  for (int i = 0; i < sp_; ++i) stack_[i].setType(Variable::kVoid);
  sp_ = 0;
}

int Interpreter::define(const char* name, const char* value) {
  if (!name) return 0;
  defines_[name] = value ? value : "";
  return 1;
}

int Interpreter::undef(const char* name) { return name && defines_.erase(name) ? 1 : 0; }

int Interpreter::ifdef(const char* name) { return name && defines_.count(name) ? 1 : 0; }

int Interpreter::isExist(const char* name) {
  return name && program_.global->FindFunction(name) >= 0 ? 1 : 0;
}

void Interpreter::ForgetSourcePosition() {
  current_line_.clear();
  current_location_.clear();
  source_map_.Clear();
  preprocessed_.clear();
  preprocessed_.shrink_to_fit();
}

std::string Interpreter::Located(const std::string& message) const {
  return current_location_.empty() ? message : current_location_ + ": " + message;
}

void Interpreter::ReportLoadError(const std::string& message) {
  program_.code.clear();
  operand_values_.clear();
  program_.ResetSpaces();
  ClearStack();
  // As compilers do: the location in front of the message, the line after.
  std::string text = Located(message);
  if (!current_line_.empty()) text += "\n" + current_line_;
  LogError(text);
  good_script_ = 1;
}

void Interpreter::RunTopLevel() {
  Execute(0, nullptr);
  ClearStack();
}

int Interpreter::Compile(const char* text) {
  try {
    std::string_view source(text);
    Compiler compiler(this, source);
    compiler.CompileProgram();
    current_line_.clear();
    current_location_.clear();
    Optimizer(this).Run();
    Link();
    exit_flag_ = 0;
    call_depth_ = 0;
    steps_left_ = step_limit_;
    RunTopLevel();
    return 1;
  } catch (const ScriptError& error) {
    ReportLoadError(error.message());
  } catch (const std::exception& error) {
    ReportLoadError(std::string("CS_Scripting::load() = ") + error.what());
  }
  return 0;
}

// The global namespace is kept: objects a host declared before loading
// (addExternClassObject) belong to the script about to be compiled.
int Interpreter::load(const char* path) {
  exit_flag_ = 0;
  ForgetSourcePosition();
  program_.code.clear();
  ClearStack();
  define("__VERSION__", kVersionLiteral);
  std::string text;
  try {
    Preprocessor preprocessor(&defines_, &imports_, &current_line_, &source_map_, &current_location_);
    std::optional<std::string> processed = preprocessor.Run(path ? path : "");
    if (!processed) {
      ReportLoadError(Format("CS_Scripting::load() = can't open \"%.1024s\" file", path ? path : ""));
      return 0;
    }
    text = std::move(*processed);
  } catch (const ScriptError& error) {
    ReportLoadError(error.message());
    return 0;
  }
  return Compile(text.c_str());
}

int Interpreter::loadbyram(const char* text) {
  exit_flag_ = 0;
  // The text PreProcessorRAM just gave keeps its map; any other has none.
  const bool mapped = text != nullptr && preprocessed_ == text;
  SourceMap map = mapped ? std::move(source_map_) : SourceMap();
  ForgetSourcePosition();
  source_map_ = std::move(map);
  program_.code.clear();
  ClearStack();
  if (!text) {
    LogError("CS_Scripting::loadbyram()... can't open pointer");
    good_script_ = 1;
    return 0;
  }
  define("__VERSION__", kVersionLiteral);
  return Compile(text);
}

char* Interpreter::PreProcessorRAM(const char* path) {
  ForgetSourcePosition();
  try {
    Preprocessor preprocessor(&defines_, &imports_, &current_line_, &source_map_, &current_location_);
    std::optional<std::string> processed = preprocessor.Run(path ? path : "");
    if (!processed) return nullptr;
    preprocessed_ = *processed;
    char* out = static_cast<char*>(malloc(processed->size() + 1));
    if (!out) return nullptr;
    memcpy(out, processed->c_str(), processed->size() + 1);
    return out;
  } catch (const ScriptError& error) {
    LogError(Located(error.message()));
    good_script_ = 1;
    return nullptr;
  }
}

// }===========

// {=========== host calls

void Interpreter::Reset() {
  if (!good_script_) return;
  try {
    exit_flag_ = 0;
    call_depth_ = 0;
    steps_left_ = step_limit_;
    for (auto& cls : program_.extern_classes) cls.binding->ReleaseScriptObjects();
    RunTopLevel();
  } catch (const ScriptError& error) {
    LogError(error.message());
  }
  ClearStack();
}

int Interpreter::run(const char* name, const char* types, ...) {
  va_list args;
  va_start(args, types);
  int result = vrun(name, types, args);
  va_end(args);
  return result;
}

int Interpreter::CallPrepared(NSFunction& fn) {
  call_depth_ = 0;
  steps_left_ = step_limit_;
  Execute(fn.start, &fn);
  if (exit_flag_) return 0;
  int result = PopValue().toInt();
  if (sp_ != 0) ScriptFail("CS_Scripting::run() = depth of stack is not zero");
  return result;
}

// The host-facing call boundary, like a protected call: a script error is
// logged, marks the script bad and gives 0; the value stack is left empty.
int Interpreter::ProtectedCall(const std::function<int()>& body) {
  exit_flag_ = 0;
  int result = 0;
  try {
    result = body();
  } catch (const ScriptError& error) {
    LogError(error.message());
    good_script_ = 1;
    result = 0;
  } catch (const std::exception& error) {
    LogError(std::string("CS_Scripting::run() = native error: ") + error.what());
    good_script_ = 1;
    result = 0;
  }
  ClearStack();
  return result;
}

NSFunction& Interpreter::FunctionToCall(const char* name) {
  if (program_.code.empty()) ScriptFail("CS_Scripting::run(): empty program");
  int index = name ? program_.global->FindFunction(name) : -1;
  if (index < 0) ScriptFailf("NS::getfunction(): can't find \"%.256s\" function", name ? name : "");
  return program_.global->functions[index];
}

int Interpreter::vrun(const char* name, const char* types, va_list args) {
  return ProtectedCall([&]() {
    if (!types) ScriptFail("CS_Scripting::run() = args is NULL");
    NSFunction& fn = FunctionToCall(name);
    std::vector<Variable> values;
    std::string_view list(types);
    size_t pos = 0;
    for (size_t k = 0; k < fn.args.size(); ++k) {
      size_t comma = pos <= list.size() ? list.find(',', pos) : list.npos;
      std::string_view item =
          pos <= list.size() ? list.substr(pos, comma == list.npos ? list.npos : comma - pos) : "";
      pos = comma == list.npos ? list.size() + 1 : comma + 1;
      const NSArgument& arg = fn.args[k];
      if (item.empty() || item.size() > kMaxTokenChars || item != arg.type_name) {
        ScriptFailf("CS_Scripting::run() = bad arguments for \"%.256s\" function", name);
      }
      int cls = program_.FindExternClass(arg.type_name);
      Variable value;
      if (arg.is_array || (arg.type_name != "int" && arg.type_name != "float" &&
                           arg.type_name != "string" && cls < 0)) {
        ScriptFailf("CS_Scripting::run() = unknown type of argument %d in \"%.256s\" function",
                    static_cast<int>(k), name);
      } else if (arg.type_name == "int") {
        if (int* p = va_arg(args, int*)) value = Variable(*p);
      } else if (arg.type_name == "float") {
        if (float* p = va_arg(args, float*)) value = Variable(*p);
      } else if (arg.type_name == "string") {
        if (const char* p = va_arg(args, const char*)) value = Variable(p);
      } else if (void* p = va_arg(args, void*)) {
        value = program_.extern_classes[cls].binding->get_variable(p);
      }
      values.push_back(std::move(value));
    }
    bool leftover = fn.args.empty() ? !list.empty() : pos <= list.size();
    if (leftover) ScriptFail("CS_Scripting::run() = too many arguments");
    for (auto it = values.rbegin(); it != values.rend(); ++it) PushValue(std::move(*it));
    return CallPrepared(fn);
  });
}

int Interpreter::run(const char* name) {
  return ProtectedCall([&]() {
    NSFunction& fn = FunctionToCall(name);
    if (!fn.args.empty()) {
      ScriptFailf("CS_Scripting::run() = you must specify function arguments\"%.256s\"", name);
    }
    return CallPrepared(fn);
  });
}

// }===========

// {=========== value stack

Variable Interpreter::PopValue() {
  if (sp_ <= 0) ScriptFail("Stack::pop(): stack underflow\n");
  return std::move(stack_[--sp_]);
}

void Interpreter::StackOverflow() { ScriptFail("Stack::push(): stack overflow\n"); }

void Interpreter::PushValue(Variable&& value) {
  if (sp_ >= kStackSize) StackOverflow();
  stack_[sp_++] = std::move(value);
}

// }===========

// {=========== registration

void Interpreter::addExternFunction(const char* name, ExternFunctionBase* binding) {
  const std::string key = Cut(name);
  if (!StoreUnlessDefined(program_.extern_functions, program_.FindExternFunction(key) >= 0, key, binding)) {
    LogError(Format("CS_Scripting::addExternFunction(): \"%.1024s\" function already defined", key.c_str()));
  }
}

void Interpreter::addExternVariable(const char* name, ExternVariableBase* binding) {
  const std::string key = Cut(name);
  if (!StoreUnlessDefined(program_.extern_variables, program_.FindExternVariable(key) >= 0, key, binding)) {
    LogError(Format("CS_Scripting::addExternVariable(): \"%.1024s\" variable already defined", key.c_str()));
  }
}

void Interpreter::addExternClass(const char* name, ExternClassBase* binding) {
  const std::string key = Cut(name);
  if (!StoreUnlessDefined(program_.extern_classes, program_.FindExternClass(key) >= 0, key, binding)) {
    LogError(Format("CS_Scripting::addExternClass(): \"%.1024s\" class already defined", key.c_str()));
  }
}

void Interpreter::ModificaSpecialVar(const char* name, ExternVariableBase* binding) {
  std::unique_ptr<ExternVariableBase> owned(binding);
  int index = program_.FindExternVariable(Cut(name));
  if (index < 0) {
    LogError(Format("CS_Scripting::Changing Variable(): \"%.1024s\" variable does not exist", Cut(name).c_str()));
    return;
  }
  program_.extern_variables[index].binding = std::move(owned);
}

void Interpreter::addExternClassObject(const char* class_name, const char* object_name, void* object) {
  int cls = program_.FindExternClass(Cut(class_name));
  if (cls < 0) {
    LogError(Format("CS_Scripting::addExternClassObject(): unknown type \"%.1024s\"", Cut(class_name).c_str()));
    return;
  }
  std::string name = Cut(object_name);
  if (program_.global->HasName(name) || name.size() > kMaxTokenChars) {
    LogError(Format("CS_Scripting::addExternClassObject(): name \"%.1024s\" already defined", name.c_str()));
    return;
  }
  ExternClassBase& binding = *program_.extern_classes[cls].binding;
  int slot = binding.add_object();
  binding.assignment(slot, object);
  program_.global->AddExternClass(name, cls, slot);
}

void Interpreter::setExternClassObject(const char* class_name, const char* object_name, void* object) {
  int cls = program_.FindExternClass(Cut(class_name));
  if (cls < 0) {
    LogError(Format("CS_Scripting::setExternClassObject(): unknown type \"%.1024s\"", Cut(class_name).c_str()));
    return;
  }
  std::string name = Cut(object_name);
  NameSpace* global = program_.global;
  if (!global->HasName(name)) {
    LogError(Format("CS_Scripting::setExternClassObject(): can't find \"%.1024s\" in global namespace", name.c_str()));
    return;
  }
  int index = global->FindExternClass(name);
  if (index < 0) {
    LogError(Format("CS_Scripting::setExternClassObject(): \"%.1024s\" is not extern class object", name.c_str()));
    return;
  }
  NSExternClass& item = global->objects[index];
  if (item.cls != cls) {
    LogError(Format("CS_Scripting::setExternClassObject(): class \"%.512s\" has an another type \"%.512s\"",
                    name.c_str(), program_.extern_classes[item.cls].name.c_str()));
    return;
  }
  program_.extern_classes[cls].binding->assignment(item.slot, object);
}

std::string Interpreter::ExternsText() {
  std::string out;
  for (auto& entry : program_.extern_variables) out += entry.binding->print(entry.name.c_str());
  for (auto& entry : program_.extern_functions) out += entry.binding->print(entry.name.c_str());
  for (auto& entry : program_.extern_classes) out += entry.binding->print(entry.name.c_str());
  return out;
}

void Interpreter::printExterns() {
  std::string text = ExternsText();
  fwrite(text.data(), 1, text.size(), stdout);
}

// }===========

// {=========== binding helpers (externs.h)

void CheckPointerType(const Variable& v, const std::type_info& wanted) {
  if (!v.typeInfo()) ScriptFail("VariableToType: unknown type of pointer\n");
  if (*v.typeInfo() != wanted) ScriptFail("VariableToType: pointer of another type\n");
}

std::string DeclarationLine(const char* result, const char* name, const std::vector<const char*>& args) {
  std::string out = std::string("\t") + result + " " + name + "(";
  for (size_t i = 0; i < args.size(); ++i) {
    if (i) out += ",";
    out += args[i];
  }
  return out + ");\n";
}

void PopArguments(Interpreter* in, Variable* out, size_t count) {
  for (size_t i = 0; i < count; ++i) out[i] = in->PopValue();
}

// }===========
