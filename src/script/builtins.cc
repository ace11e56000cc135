// builtins - the functions every interpreter has from construction: the
// conversions int, float and string, MORE, the math set, rand and pow.
#include "script/builtins.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "script/externs.h"
#include "script/script_error.h"
#include "script/wrapping_int.h"

namespace {

// The argument of a math function as float, or the function's own error.
float MathArgument(const Variable& v, const char* message) {
  if (v.type() != Variable::kInt && v.type() != Variable::kFloat) ScriptFail(message);
  return v.toFloat();
}

int ToInt(Variable v) { return v.toInt(); }
float ToFloat(Variable v) { return v.toFloat(); }
const char* ToString(Variable v) { return v.toCString(); }

int More(Variable v) {
  std::string text = v.MoreText();
  fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

// A one-argument math function: takes an int or float, gives a float, and
// fails with "<name>(): unknown type of operand\n" for other types.
class MathFunction : public ExternFunctionBase {
 public:
  using Fn = float (*)(float);
  MathFunction(const char* name, Fn fn)
      : ExternFunctionBase(1, nullptr), message_(std::string(name) + "(): unknown type of operand\n"), fn_(fn) {}
  std::string print(const char* name) const override { return DeclarationLine("float", name, {"Variable"}); }
  void run(Interpreter* in) override {
    Variable value = in->PopValue();
    in->PushValue(Variable(fn_(MathArgument(value, message_.c_str()))));
  }

 private:
  std::string message_;
  Fn fn_;
};

struct MathEntry {
  const char* name;
  MathFunction::Fn fn;
};

// Registration order is part of the interpreter's extern function table.
const MathEntry kMathFunctions[] = {
    {"sin", [](float x) { return std::sin(x); }},
    {"asin", [](float x) { return std::asin(x); }},
    {"cos", [](float x) { return std::cos(x); }},
    {"acos", [](float x) { return std::acos(x); }},
    {"tan", [](float x) { return std::tan(x); }},
    {"atan", [](float x) { return std::atan(x); }},
    {"log", [](float x) { return std::log(x); }},
    {"exp", [](float x) { return std::exp(x); }},
    {"sqrt", [](float x) { return std::sqrt(x); }},
    {"fabs", [](float x) { return std::fabs(x); }},
    {"floor", [](float x) { return std::floor(x); }},
    {"rsq", [](float x) { return 1.0f / std::sqrt(x); }},
    {"rcp", [](float x) { return 1.0f / x; }},
};

Variable Rand(Variable n) {
  float range = MathArgument(n, "rand(): unknown type of operand\n");
  int bound = FloatToInt(range);
  // A zero range would divide by zero.
  if (bound == 0) ScriptFail("rand(): range is zero\n");
  srand(static_cast<unsigned>(time(nullptr)));
  int value = rand() % bound + 1;
  if (n.type() == Variable::kFloat) return Variable(static_cast<float>(value));
  return Variable(value);
}

float Pow(Variable x, Variable y) {
  float base = MathArgument(x, "pow(): unknown type of operand\n");
  float exponent = MathArgument(y, "pow(): unknown type of operand\n");
  return std::pow(base, exponent);
}

}  // namespace

void RegisterBuiltins(Interpreter* in) {
  addFunction(in, "int", &ToInt);
  addFunction(in, "float", &ToFloat);
  addFunction(in, "string", &ToString);
  addFunction(in, "MORE", &More);
  for (const MathEntry& entry : kMathFunctions) in->addExternFunction(entry.name, new MathFunction(entry.name, entry.fn));
  addFunction(in, "rand", &Rand);
  addFunction(in, "pow", &Pow);
}
