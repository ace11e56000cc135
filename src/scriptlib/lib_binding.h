// lib_binding - what the library classes share: methods written as free
// functions over an existing native class (so a script class binds the very
// C++ type the engines and the persistent registry use, with a script-facing
// signature), and the bounded view of a script's byte argument.
#ifndef TORVANE_SCRIPTLIB_LIB_BINDING_H_
#define TORVANE_SCRIPTLIB_LIB_BINDING_H_

#include <string_view>
#include <utility>

#include "script/externs.h"
#include "script/variable.h"

// A method of T implemented as R fn(T*, Args...).
template <typename T, typename R, typename... Args>
class ExternAdapterMethod : public ExternClassFunctionBase<T> {
 public:
  using Fn = R (*)(T*, Args...);
  ExternAdapterMethod(Fn fn, const char* defaults)
      : ExternClassFunctionBase<T>(sizeof...(Args), defaults), fn_(fn) {}
  std::string print(const char* name) const override {
    return DeclarationLine(ScriptTypeName<R>(), name, {ScriptTypeName<Args>()...});
  }
  void run(T* object, Interpreter* in) override {
    Variable values[sizeof...(Args) + 1];
    PopArguments(in, values, sizeof...(Args));
    Fn fn = fn_;
    auto call = [object, fn](auto&&... a) -> R { return fn(object, a...); };
    CallAndPush<R, Args...>(in, call, values, std::index_sequence_for<Args...>{});
  }

 private:
  Fn fn_;
};

// Adds `fn` as method `name` of the script class `cls`; `defaults` as for
// ArgumentRules.
template <typename T, typename... CtorArgs, typename R, typename... Args>
void AddAdapterMethod(ExternClass<T, CtorArgs...>* cls, const char* name, R (*fn)(T*, Args...),
                      const char* defaults = nullptr) {
  cls->addClassFunction(name, new ExternAdapterMethod<T, R, Args...>(fn, defaults));
}

// The bytes a script passes where a method takes binary data: a text value
// gives its stored bytes; a pointer from CS_Buffer.GetPointer or
// CS_MemoryFile.GetPointer gives that object's contents. False (and `out`
// empty) for anything else, so a length argument can always be checked
// against the bytes really there.
bool ScriptBytes(const Variable& value, std::string_view* out);

// The first `length` bytes of `value` into `out`. False, with `out` empty,
// unless 1 <= length <= the bytes really there.
bool ScriptBytesPrefix(const Variable& value, int length, std::string_view* out);

// A text result: copied into the returned value at once (null gives "").
inline Variable TextResult(const char* text) { return Variable(text ? text : ""); }

#endif  // TORVANE_SCRIPTLIB_LIB_BINDING_H_
