// variable - conversions and operator rules of script values.
#include "script/variable.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "script/opcodes.h"
#include "script/script_error.h"
#include "script/wrapping_int.h"

namespace {

// Two floats closer than this compare equal.
constexpr float kFloatEqualTolerance = 1e-6f;

const char* const kTypeNames[] = {"void", "int", "float", "string", "pointer"};

bool IsNumber(const Variable& v) {
  return v.type() == Variable::kInt || v.type() == Variable::kFloat;
}

double AsDouble(const Variable& v) {
  return v.type() == Variable::kInt ? static_cast<double>(v.rawInt())
                                    : static_cast<double>(v.rawFloat());
}

// The text an int or float contributes to a string concatenation.
std::string NumberText(const Variable& v) {
  char buffer[64];
  if (v.type() == Variable::kInt) {
    snprintf(buffer, sizeof buffer, "%d", v.rawInt());
  } else {
    snprintf(buffer, sizeof buffer, "%g", static_cast<double>(v.rawFloat()));
  }
  return buffer;
}

void Add(Variable& a, const Variable& b) {
  int ta = a.type(), tb = b.type();
  if (ta == Variable::kInt && tb == Variable::kInt) {
    a.setInt(WrapAdd(a.rawInt(), b.rawInt()));
  } else if (IsNumber(a) && IsNumber(b)) {
    a.setFloat(static_cast<float>(AsDouble(a) + AsDouble(b)));
  } else if (ta == Variable::kString && (tb == Variable::kString || IsNumber(b))) {
    std::string& text = a.mutableString();
    if (tb == Variable::kString) {
      text += b.rawString();
    } else {
      text += NumberText(b);
    }
  } else if (tb == Variable::kString && IsNumber(a)) {
    std::string text = NumberText(a);
    text += b.rawString();
    a.setString(std::move(text));
  } else {
    ScriptFail("CS_Variable::operator+(): bad operands");
  }
}

void SubOrMul(int opcode, Variable& a, const Variable& b) {
  if (!IsNumber(a) || !IsNumber(b)) {
    ScriptFail(opcode == cs_sub ? "CS_Variable::operator-(): bad operands"
                                : "CS_Variable::operator*(): bad operands");
  }
  if (a.type() == Variable::kInt && b.type() == Variable::kInt) {
    a.setInt(opcode == cs_sub ? WrapSub(a.rawInt(), b.rawInt())
                              : WrapMul(a.rawInt(), b.rawInt()));
  } else {
    double x = AsDouble(a), y = AsDouble(b);
    a.setFloat(static_cast<float>(opcode == cs_sub ? x - y : x * y));
  }
}

void Divide(Variable& a, const Variable& b) {
  if (!IsNumber(a) || !IsNumber(b)) ScriptFail("CS_Variable::operator/(): bad operands");
  a.setFloat(static_cast<float>(AsDouble(a)) / static_cast<float>(AsDouble(b)));
}

void Modulo(Variable& a, const Variable& b) {
  if (!IsNumber(a) || !IsNumber(b)) ScriptFail("CS_Variable::operator%(): bad operands");
  int x = a.toInt(), y = b.toInt();
  // The hardware traps on both; a script must not take the daemon down.
  if (y == 0) ScriptFail("CS_Variable::operator%(): division by zero");
  if (x == INT_MIN && y == -1) ScriptFail("CS_Variable::operator%(): overflow");
  a.setInt(x % y);
}

void IntsOnly(int opcode, Variable& a, const Variable& b) {
  if (a.type() != Variable::kInt || b.type() != Variable::kInt) {
    switch (opcode) {
      case cs_and: ScriptFail("CS_Variable::operator&&(): bad operands");
      case cs_or: ScriptFail("CS_Variable::operator||(): bad operands");
      case cs_bit_and: ScriptFail("CS_Variable::operator&(): bad operands");
      default: ScriptFail("CS_Variable::operator|(): bad operands");
    }
  }
  int x = a.rawInt(), y = b.rawInt();
  switch (opcode) {
    case cs_and: a.setInt(x && y); break;
    case cs_or: a.setInt(x || y); break;
    case cs_bit_and: a.setInt(x & y); break;
    default: a.setInt(x | y); break;
  }
}

// strcmp order with a missing text counting as "".
int CompareTexts(const Variable& a, const Variable& b) {
  return strcmp(a.rawString().c_str(), b.rawString().c_str());
}

// Neither less, equal nor greater: a NaN on either side.
constexpr int kUnordered = 2;

// Ordering shared by < > <= >=: -1, 0, 1 or kUnordered; `message` names the
// operator on failure.
int Order(const Variable& a, const Variable& b, const char* message) {
  if (IsNumber(a) && IsNumber(b)) {
    if (a.type() == Variable::kInt && b.type() == Variable::kInt) {
      return (a.rawInt() > b.rawInt()) - (a.rawInt() < b.rawInt());
    }
    double x = AsDouble(a), y = AsDouble(b);
    if (std::isnan(x) || std::isnan(y)) return kUnordered;
    return (x > y) - (x < y);
  }
  if (a.type() == Variable::kString && b.type() == Variable::kString) {
    int c = CompareTexts(a, b);
    return (c > 0) - (c < 0);
  }
  ScriptFail(message);
}

// Equality, or -1 when the pair of types cannot be compared.
int Equality(const Variable& a, const Variable& b) {
  int ta = a.type(), tb = b.type();
  if (ta == Variable::kInt && tb == Variable::kInt) return a.rawInt() == b.rawInt();
  if (IsNumber(a) && IsNumber(b)) {
    return std::fabs(AsDouble(a) - AsDouble(b)) <= static_cast<double>(kFloatEqualTolerance);
  }
  if (ta == Variable::kString && tb == Variable::kString) {
    // A string that never held a text equals nothing.
    if (!a.hasText() || !b.hasText()) return 0;
    return a.rawString() == b.rawString();
  }
  auto address = [](const Variable& v) {
    return v.type() == Variable::kInt
               ? static_cast<uintptr_t>(static_cast<intptr_t>(v.rawInt()))
               : reinterpret_cast<uintptr_t>(v.rawPointer());
  };
  bool pointers = (ta == Variable::kPointer || tb == Variable::kPointer) &&
                  (ta == Variable::kPointer || ta == Variable::kInt) &&
                  (tb == Variable::kPointer || tb == Variable::kInt);
  if (pointers) return address(a) == address(b);
  return -1;
}

void AppendEscaped(std::string& out, const std::string& text) {
  for (char c : text) {
    switch (c) {
      case 8: out += "\\b"; break;
      case 12: out += "\\f"; break;
      case 10: out += "\\n"; break;
      case 13: out += "\\r"; break;
      case 9: out += "\\t"; break;
      case '"': out += "\\\""; break;
      case 11: out += "\\v"; break;
      case 7: out += "\\a"; break;
      case '\\': out += "\\\\"; break;
      case 0: out += "\\0"; break;
      default: out += c; break;
    }
  }
}

}  // namespace

Variable::Variable(const char* text) : type_(kString), has_text_(true) {
  pointer_ = nullptr;
  if (text) string_ = text;
}

Variable& Variable::AssignSlow(const Variable& other) {
  type_ = other.type_;
  type_info_ = other.type_info_;
  if (type_ < kVoid || type_ > kPointer) ScriptFail("CS_Variable::operator=(): unknown type of CS_Variable");
  pointer_ = other.pointer_;
  if (type_ == kString) {
    string_ = other.string_;
    has_text_ = other.has_text_;
  }
  return *this;
}

const char* Variable::TypeName(int type) {
  return type >= kVoid && type <= kPointer ? kTypeNames[type] : "unknown";
}

const char* Variable::getTypeName() const { return TypeName(type_); }

void Variable::setType(int type) {
  if (type < kVoid || type > kPointer) {
    ScriptFail("CS_Variable::setType() unknown type of CS_Variable");
  }
  type_ = type;
  type_info_ = nullptr;
  pointer_ = nullptr;
  string_.clear();
  has_text_ = false;
}

void Variable::setString(const char* text) {
  type_ = kString;
  type_info_ = nullptr;
  has_text_ = true;
  if (text) {
    string_.assign(text);
  } else {
    string_.clear();
  }
}

void Variable::setString(const char* text, size_t length) {
  type_ = kString;
  type_info_ = nullptr;
  has_text_ = true;
  string_.assign(text, length);
}

void Variable::setString(std::string&& text) {
  type_ = kString;
  type_info_ = nullptr;
  has_text_ = true;
  string_ = std::move(text);
}

void Variable::setPointer(const void* pointer, const std::type_info* type_info) {
  type_ = kPointer;
  pointer_ = const_cast<void*>(pointer);
  type_info_ = type_info;
}

int Variable::toInt() const {
  switch (type_) {
    case kInt: return int_;
    case kFloat: return FloatToInt(float_);
    case kString: return string_.empty() ? 0 : 1;
    default: ScriptFail("CS_Variable::operator int(): can't convert to int");
  }
}

float Variable::toFloat() const {
  if (type_ == kInt) return static_cast<float>(int_);
  if (type_ == kFloat) return float_;
  ScriptFail("CS_Variable::operator float(): can't convert  to float");
}

const char* Variable::toCString() const {
  if (type_ == kInt && int_ == 0) return nullptr;
  if (type_ == kString) return string_.c_str();
  ScriptFail("CS_Variable::operator const char*(): can't convert to const char*");
}

void* Variable::toPointer() const {
  if (type_ == kInt && int_ == 0) return nullptr;
  if (type_ == kPointer) return pointer_;
  ScriptFail("CS_Variable::operator const void*(): can't convert %s to const void*");
}

std::string Variable::MoreText() const {
  char buffer[512];
  switch (type_) {
    case kInt: snprintf(buffer, sizeof buffer, "int: %d\n", int_); return buffer;
    case kFloat:
      snprintf(buffer, sizeof buffer, "float: %g\n", static_cast<double>(float_));
      return buffer;
    case kPointer:
      if (type_info_) {
        snprintf(buffer, sizeof buffer, "pointer: %p %.200s\n", pointer_, type_info_->name());
      } else {
        snprintf(buffer, sizeof buffer, "pointer: %p\n", pointer_);
      }
      return buffer;
    case kVoid: return "void\n";
    case kString: {
      std::string out = "string: \"";
      AppendEscaped(out, string_);
      out += "\"\n";
      return out;
    }
    default: ScriptFail("CS_Variable::print(): unknown type of CS_Variable");
  }
}

void ApplyBinary(int opcode, Variable& a, const Variable& b) {
  switch (opcode) {
    case cs_add: Add(a, b); return;
    case cs_sub:
    case cs_mul: SubOrMul(opcode, a, b); return;
    case cs_div: Divide(a, b); return;
    case cs_mod: Modulo(a, b); return;
    case cs_eq:
    case cs_ne:
    case cs_le:
    case cs_ge:
    case cs_lt:
    case cs_gt: a.setInt(CompareVariables(opcode, a, b)); return;
    case cs_and:
    case cs_or:
    case cs_bit_and:
    case cs_bit_or: IntsOnly(opcode, a, b); return;
    case cs_bit_xor: a.setInt(a.toInt() ^ b.toInt()); return;
    default: ScriptFailf("CS_Scripting::::OPT() = unknown code 0x%02x in binary math optimizator", opcode);
  }
}

void ApplyUnary(int opcode, Variable& a) {
  switch (opcode) {
    case cs_not: a.setInt(a.toInt() == 0); return;
    case cs_neg: SubOrMul(cs_mul, a, Variable(-1)); return;
    case cs_inc: Add(a, Variable(1)); return;
    case cs_dec: SubOrMul(cs_sub, a, Variable(1)); return;
    default: ScriptFailf("CS_Scripting::::OPT() = unknown opcode 0x%02x in unary math optimizator", opcode);
  }
}

bool VariableEqual(const Variable& a, const Variable& b) {
  int result = Equality(a, b);
  if (result < 0) ScriptFail("CS_Variable::operator==(): bad operands");
  return result;
}

bool VariableNotEqual(const Variable& a, const Variable& b) {
  int result = Equality(a, b);
  if (result < 0) ScriptFail("CS_Variable::operator!=(): bad operands %s and %s");
  return !result;
}

bool VariableLess(const Variable& a, const Variable& b) {
  return Order(a, b, "CS_Variable::operator<(): bad operands") == -1;
}
bool VariableGreater(const Variable& a, const Variable& b) {
  return Order(a, b, "CS_Variable::operator>(): bad operands") == 1;
}
bool VariableLessEqual(const Variable& a, const Variable& b) {
  const int order = Order(a, b, "CS_Variable::operator<=(): bad operands");
  return order == -1 || order == 0;
}
bool VariableGreaterEqual(const Variable& a, const Variable& b) {
  const int order = Order(a, b, "CS_Variable::operator>=(): bad operands");
  return order == 0 || order == 1;
}

bool CompareVariables(int opcode, const Variable& a, const Variable& b) {
  switch (opcode) {
    case cs_eq: return VariableEqual(a, b);
    case cs_ne: return VariableNotEqual(a, b);
    case cs_le: return VariableLessEqual(a, b);
    case cs_ge: return VariableGreaterEqual(a, b);
    case cs_lt: return VariableLess(a, b);
    case cs_gt: return VariableGreater(a, b);
    default: ScriptFailf("CS_Scripting::run(): unknown comparison 0x%02x", opcode);
  }
}
