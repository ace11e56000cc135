// externs - native bindings: extern functions, extern variables and extern
// classes that scripts call. Arguments come off the interpreter's value stack
// (first pop = first argument) and are converted by ScriptArg<T>; results go
// back through ScriptResult<T>. A conversion failure raises ScriptError,
// which ends the running host call. Registering one native function or class
// is one line:
//   addFunction(&interp, "Twice", &Twice);                    // int Twice(int)
//   auto* c = new ExternClass<Counter, int>(nullptr);        // Counter(int)
//   c->addMethod("Add", &Counter::Add, ",1");  interp.addExternClass("Counter", c);
#ifndef TORVANE_SCRIPT_EXTERNS_H_
#define TORVANE_SCRIPT_EXTERNS_H_

#include <algorithm>
#include <cstdio>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "script/interpreter.h"
#include "script/script_error.h"
#include "script/variable.h"

// {=========== argument and result conversions

template <typename T, typename Enable = void>
struct ScriptArg;

template <>
struct ScriptArg<int> {
  static int From(const Variable& v) { return v.toInt(); }
  static const char* Name() { return "int"; }
};
template <>
struct ScriptArg<float> {
  static float From(const Variable& v) { return v.toFloat(); }
  static const char* Name() { return "float"; }
};
template <>
struct ScriptArg<double> {
  static double From(const Variable& v) { return v.toFloat(); }
  static const char* Name() { return "double"; }
};
// Texts point into the popped value, which lives until the native call ends.
template <>
struct ScriptArg<const char*> {
  static const char* From(const Variable& v) { return v.toCString(); }
  static const char* Name() { return "const char*"; }
};
template <>
struct ScriptArg<char*> {
  static char* From(const Variable& v) { return const_cast<char*>(v.toCString()); }
  static const char* Name() { return "char*"; }
};
template <>
struct ScriptArg<Variable> {
  static const Variable& From(const Variable& v) { return v; }
  static const char* Name() { return "Variable"; }
};

// Pointer to a native class: int 0 gives null; a pointer must carry the type
// info of exactly this type, so a script cannot hand one class's object to
// another class's method.
void CheckPointerType(const Variable& v, const std::type_info& wanted);

template <typename T>
struct ScriptArg<T*, std::enable_if_t<!std::is_same_v<std::remove_cv_t<T>, char>>> {
  static T* From(const Variable& v) {
    void* p = v.toPointer();
    if (p && !std::is_void_v<T>) CheckPointerType(v, typeid(T*));
    return static_cast<T*>(p);
  }
  static const char* Name() { return std::is_void_v<T> ? "void*" : typeid(T).name(); }
};

template <typename T, typename Enable = void>
struct ScriptResult;

template <>
struct ScriptResult<int> {
  static Variable To(int v) { return Variable(v); }
};
template <>
struct ScriptResult<bool> {
  static Variable To(bool v) { return Variable(v ? 1 : 0); }
};
template <>
struct ScriptResult<float> {
  static Variable To(float v) { return Variable(v); }
};
template <>
struct ScriptResult<double> {
  static Variable To(double v) { return Variable(v); }
};
template <>
struct ScriptResult<const char*> {
  static Variable To(const char* v) { return Variable(v); }
};
template <>
struct ScriptResult<char*> {
  static Variable To(char* v) { return Variable(static_cast<const char*>(v)); }
};
template <>
struct ScriptResult<Variable> {
  static Variable To(Variable v) { return v; }
};
template <typename T>
struct ScriptResult<T*, std::enable_if_t<!std::is_same_v<std::remove_cv_t<T>, char>>> {
  static Variable To(T* v) {
    Variable out;
    out.setPointer(v, &typeid(T*));
    return out;
  }
};

template <typename T>
const char* ScriptTypeName() {
  if constexpr (std::is_void_v<T>) {
    return "void";
  } else {
    return ScriptArg<std::decay_t<T>>::Name();
  }
}

// The "\t%s %s(%s,...);\n" declaration line printExterns shows.
std::string DeclarationLine(const char* result, const char* name,
                            const std::vector<const char*>& args);

// Pops `count` values, first pop first, into `out`.
void PopArguments(Interpreter* in, Variable* out, size_t count);

// Calls `fn` with converted arguments and pushes the converted result (the
// int 0 for void).
template <typename R, typename... Args, typename Fn, size_t... I>
void CallAndPush(Interpreter* in, Fn&& fn, const Variable* values, std::index_sequence<I...>) {
  if constexpr (std::is_void_v<R>) {
    fn(ScriptArg<std::decay_t<Args>>::From(values[I])...);
    in->PushValue(Variable(0));
  } else {
    in->PushValue(ScriptResult<std::decay_t<R>>::To(fn(ScriptArg<std::decay_t<Args>>::From(values[I])...)));
  }
}

// }===========

// Argument count plus default-argument text shared by every callable binding.
class ArgumentRules {
 public:
  // `defaults`: comma-separated default texts ("" items are required, a last
  // item "..." allows further arguments); null: all required, no more.
  ArgumentRules(int num_args, const char* defaults)
      : num_args_(num_args), has_defaults_(defaults != nullptr),
        defaults_(defaults ? std::string(defaults).substr(0, kMaxDefaultChars) : std::string()) {}
  int get_num_args() const { return num_args_; }
  // Null when the binding has no default text.
  const char* get_default_args() const { return has_defaults_ ? defaults_.c_str() : nullptr; }

 private:
  // A default-argument text is cut to this many characters.
  static constexpr size_t kMaxDefaultChars = 1023;
  int num_args_;
  bool has_defaults_;
  std::string defaults_;
};

class ExternFunctionBase : public ArgumentRules {
 public:
  using ArgumentRules::ArgumentRules;
  virtual ~ExternFunctionBase() = default;
  // The declaration line for printExterns.
  virtual std::string print(const char* name) const = 0;
  // Pops the declared arguments, calls, pushes exactly one result.
  virtual void run(Interpreter* in) = 0;
};

template <typename R, typename... Args>
class ExternFunction : public ExternFunctionBase {
 public:
  using Fn = R (*)(Args...);
  ExternFunction(Fn fn, const char* defaults)
      : ExternFunctionBase(sizeof...(Args), defaults), fn_(fn) {}
  std::string print(const char* name) const override {
    return DeclarationLine(ScriptTypeName<R>(), name, {ScriptTypeName<Args>()...});
  }
  void run(Interpreter* in) override {
    Variable values[sizeof...(Args) + 1];
    PopArguments(in, values, sizeof...(Args));
    CallAndPush<R, Args...>(in, fn_, values, std::index_sequence_for<Args...>{});
  }

 private:
  Fn fn_;
};

// Registers a free native function; `defaults` as for ArgumentRules.
template <typename R, typename... Args>
void addFunction(Interpreter* in, const char* name, R (*fn)(Args...),
                 const char* defaults = nullptr) {
  in->addExternFunction(name, new ExternFunction<R, Args...>(fn, defaults));
}

class ExternVariableBase {
 public:
  virtual ~ExternVariableBase() = default;
  virtual std::string print(const char* name) const = 0;
  // The host storage's current value.
  virtual Variable get_variable() const = 0;
};

// A read-only view of host storage. The storage must outlive the binding.
template <typename T>
class ExternVariable : public ExternVariableBase {
 public:
  explicit ExternVariable(T* storage) : storage_(storage) {}
  std::string print(const char* name) const override {
    return std::string(ScriptTypeName<T>()) + " " + name + ";\n";
  }
  Variable get_variable() const override { return ScriptResult<std::decay_t<T>>::To(*storage_); }

 private:
  T* storage_;  // not owned
};

// {=========== extern classes

class ExternClassBase : public ArgumentRules {
 public:
  using ArgumentRules::ArgumentRules;
  virtual ~ExternClassBase() = default;

  virtual std::string print(const char* name) const = 0;
  virtual std::string print_constructor(const char* name) const = 0;
  // Appends an empty slot; returns its number.
  virtual int add_object() = 0;
  // Creates an object from popped constructor arguments into `slot`.
  virtual void constructor(int slot, Interpreter* in) = 0;
  // Deletes the object in `slot` (it must have been created by constructor);
  // every slot holding it becomes null.
  virtual void destructor(int slot, Interpreter* in) = 0;
  // Deletes every object scripts created and empties the slots that held
  // them (host objects stay): the script's state is being started afresh,
  // and the objects of the old state would otherwise pile up for the life
  // of the interpreter.
  virtual void ReleaseScriptObjects() = 0;
  virtual Variable get_variable(int slot) const = 0;
  // Wraps a host object pointer of this class (host call arguments).
  virtual Variable get_variable(void* object) const = 0;
  // Pops a value (a pointer of this class or int 0) into `slot`.
  virtual void assignment(int slot, Interpreter* in) = 0;
  virtual void assignment(int slot, void* object) = 0;
  virtual bool is_function(const char* name) const = 0;
  // The method's index; unknown names are logged and give -1.
  virtual int get_function(const char* name) = 0;
  virtual const char* get_function_name(int index) const = 0;
  virtual int get_function_num_args(int index) const = 0;
  virtual const char* get_function_default_args(int index) const = 0;
  // Calls method `index` on the object in `slot`.
  virtual void run(int slot, int index, Interpreter* in) = 0;
  // Slot count, for checks of compiled slot numbers.
  virtual int object_count() const = 0;
  virtual int method_count() const = 0;

  // Messages of the binding itself (merged by Interpreter::BuildAllLog).
  std::vector<std::string>& log() { return log_; }

 protected:
  std::vector<std::string> log_;
};

template <typename T>
class ExternClassFunctionBase : public ArgumentRules {
 public:
  using ArgumentRules::ArgumentRules;
  virtual ~ExternClassFunctionBase() = default;
  virtual std::string print(const char* name) const = 0;
  virtual void run(T* object, Interpreter* in) = 0;
};

template <typename T, typename R, typename Method, typename... Args>
class ExternClassFunction : public ExternClassFunctionBase<T> {
 public:
  ExternClassFunction(Method method, const char* defaults)
      : ExternClassFunctionBase<T>(sizeof...(Args), defaults), method_(method) {}
  std::string print(const char* name) const override {
    return DeclarationLine(ScriptTypeName<R>(), name, {ScriptTypeName<Args>()...});
  }
  void run(T* object, Interpreter* in) override {
    Variable values[sizeof...(Args) + 1];
    PopArguments(in, values, sizeof...(Args));
    Method method = method_;
    auto call = [object, method](auto&&... a) -> R { return (object->*method)(a...); };
    CallAndPush<R, Args...>(in, call, values, std::index_sequence_for<Args...>{});
  }

 private:
  Method method_;
};

// A native class T whose script constructor takes CtorArgs.
template <typename T, typename... CtorArgs>
class ExternClass : public ExternClassBase {
 public:
  explicit ExternClass(const char* ctor_defaults = nullptr)
      : ExternClassBase(sizeof...(CtorArgs), ctor_defaults) {}
  ~ExternClass() override {
    for (T* object : owned_) delete object;
  }

  // Adds a method; a duplicate name is logged and ignored (the binding freed).
  template <typename R, typename... Args>
  void addMethod(const char* name, R (T::*method)(Args...), const char* defaults = nullptr) {
    addClassFunction(name, new ExternClassFunction<T, R, R (T::*)(Args...), Args...>(method, defaults));
  }
  template <typename R, typename... Args>
  void addMethod(const char* name, R (T::*method)(Args...) const, const char* defaults = nullptr) {
    addClassFunction(name,
                     new ExternClassFunction<T, R, R (T::*)(Args...) const, Args...>(method, defaults));
  }
  // Takes ownership of `binding`.
  void addClassFunction(const char* name, ExternClassFunctionBase<T>* binding) {
    std::unique_ptr<ExternClassFunctionBase<T>> owned(binding);
    if (find(name) >= 0) {
      log_.push_back(Quote("addClassFunction(): \"%s\" function already defined", name));
      return;
    }
    methods_.push_back(Method{name, std::move(owned)});
  }

  std::string print(const char* name) const override {
    std::string out = std::string(name) + " {\n" + print_constructor(name);
    for (const Method& m : methods_) out += m.binding->print(m.name.c_str());
    return out + "};\n";
  }
  std::string print_constructor(const char* name) const override {
    std::string args;
    for (const char* a : {ScriptTypeName<CtorArgs>()..., static_cast<const char*>(nullptr)}) {
      if (!a) break;
      if (!args.empty()) args += ",";
      args += a;
    }
    return "\t" + std::string(name) + "(" + args + ");\n";
  }
  int add_object() override {
    slots_.push_back(nullptr);
    return static_cast<int>(slots_.size() - 1);
  }
  void constructor(int slot, Interpreter* in) override {
    Variable values[sizeof...(CtorArgs) + 1];
    PopArguments(in, values, sizeof...(CtorArgs));
    T* object = Construct(values, std::index_sequence_for<CtorArgs...>{});
    owned_.push_back(object);
    slots_.at(slot) = object;
  }
  void destructor(int slot, Interpreter*) override {
    T* object = slots_.at(slot);
    if (!object) ScriptFail("ExternClass::destructor(): object is NULL");
    auto it = std::find(owned_.begin(), owned_.end(), object);
    if (it == owned_.end()) ScriptFail("destructor(): object is not constructed");
    owned_.erase(it);
    std::replace(slots_.begin(), slots_.end(), object, static_cast<T*>(nullptr));
    delete object;
  }
  void ReleaseScriptObjects() override {
    for (T* object : owned_) {
      std::replace(slots_.begin(), slots_.end(), object, static_cast<T*>(nullptr));
      delete object;
    }
    owned_.clear();
  }
  Variable get_variable(int slot) const override { return get_variable(static_cast<void*>(slots_.at(slot))); }
  Variable get_variable(void* object) const override {
    Variable v;
    v.setPointer(object, &typeid(T*));
    return v;
  }
  void assignment(int slot, Interpreter* in) override {
    Variable value = in->PopValue();
    slots_.at(slot) = ScriptArg<T*>::From(value);
  }
  void assignment(int slot, void* object) override { slots_.at(slot) = static_cast<T*>(object); }
  bool is_function(const char* name) const override { return find(name) >= 0; }
  int get_function(const char* name) override {
    int index = find(name);
    if (index < 0) log_.push_back(Quote("get_function(): can't find \"%s\" function\n", name));
    return index;
  }
  const char* get_function_name(int index) const override { return methods_.at(index).name.c_str(); }
  int get_function_num_args(int index) const override { return methods_.at(index).binding->get_num_args(); }
  const char* get_function_default_args(int index) const override {
    return methods_.at(index).binding->get_default_args();
  }
  void run(int slot, int index, Interpreter* in) override {
    T* object = slots_.at(slot);
    if (!object) ScriptFail("ScriptClass::run(): object is NULL");
    methods_.at(index).binding->run(object, in);
  }
  int object_count() const override { return static_cast<int>(slots_.size()); }
  int method_count() const override { return static_cast<int>(methods_.size()); }

 private:
  struct Method {
    std::string name;
    std::unique_ptr<ExternClassFunctionBase<T>> binding;
  };

  template <size_t... I>
  T* Construct(const Variable* values, std::index_sequence<I...>) {
    return new T(ScriptArg<std::decay_t<CtorArgs>>::From(values[I])...);
  }
  int find(const char* name) const {
    for (size_t i = 0; i < methods_.size(); ++i) {
      if (methods_[i].name == name) return static_cast<int>(i);
    }
    return -1;
  }
  static std::string Quote(const char* format, const char* name) {
    char buffer[1200];
    snprintf(buffer, sizeof buffer, format, name);
    return buffer;
  }

  std::vector<T*> slots_;   // not owned: may alias owned_ or host objects
  std::vector<T*> owned_;   // created by scripts; deleted by delete or with us
  std::vector<Method> methods_;
};

// }===========

#endif  // TORVANE_SCRIPT_EXTERNS_H_
