// variable - the dynamically typed script value and the operator rules the
// executor, the optimizer's constant folding and the array keys share.
// Operators raise ScriptError with the "CS_Variable::" messages on bad
// operand types; they never fault.
#ifndef TORVANE_SCRIPT_VARIABLE_H_
#define TORVANE_SCRIPT_VARIABLE_H_

#include <string>
#include <typeinfo>

class Variable {
 public:
  // Value types; the numbers are the ones scripts and hosts see.
  enum Type : int { kVoid = 0, kInt = 1, kFloat = 2, kString = 3, kPointer = 4 };

  Variable() = default;
  Variable(int value) : type_(kInt) { int_ = value; }  // NOLINT: implicit by design
  Variable(unsigned value) : type_(kInt) { int_ = static_cast<int>(value); }
  Variable(float value) : type_(kFloat) { float_ = value; }
  Variable(double value) : type_(kFloat) { float_ = static_cast<float>(value); }
  // A null text gives the empty string (which does hold a text).
  Variable(const char* text);
  Variable(const void* pointer) : type_(kPointer), pointer_(const_cast<void*>(pointer)) {}
  Variable(const Variable& other) { *this = other; }
  Variable(Variable&& other) noexcept { *this = std::move(other); }
  virtual ~Variable() = default;

  // Copies type, type info and the value of that type. Inline for the
  // scalar types: the executor copies values at every push and pop.
  Variable& operator=(const Variable& other) {
    if (other.type_ == kString) {  // types are always valid: setType checks them
      return AssignSlow(other);
    }
    type_ = other.type_;
    type_info_ = other.type_info_;
    pointer_ = other.pointer_;  // the whole scalar union
    return *this;
  }
  Variable& operator=(Variable&& other) noexcept {
    type_ = other.type_;
    type_info_ = other.type_info_;
    pointer_ = other.pointer_;
    if (type_ == kString) {
      string_.swap(other.string_);
      has_text_ = other.has_text_;
    }
    return *this;
  }

  int type() const { return type_; }
  // "void", "int", "float", "string" or "pointer".
  const char* getTypeName() const;
  static const char* TypeName(int type);

  // Sets the type and that type's initial value (0, 0.0, a string without
  // text, null). Raises "CS_Variable::setType() ..." for an unknown type.
  void setType(int type);
  void setInt(int value) { type_ = kInt; int_ = value; }
  void setFloat(float value) { type_ = kFloat; float_ = value; }
  void setString(const char* text);
  void setString(const char* text, size_t length);
  void setString(std::string&& text);
  // `type_info` names the pointed native type (null when unknown).
  void setPointer(const void* pointer, const std::type_info* type_info = nullptr);

  // Raw access for the engine; valid only for the matching type.
  int rawInt() const { return type_ == kInt ? int_ : 0; }
  float rawFloat() const { return type_ == kFloat ? float_ : 0; }
  const std::string& rawString() const { return string_; }
  std::string& mutableString() { has_text_ = true; return string_; }
  bool hasText() const { return has_text_; }
  void* rawPointer() const { return type_ == kPointer ? pointer_ : nullptr; }
  const std::type_info* typeInfo() const { return type_info_; }

  // Conversions; each raises its "CS_Variable::operator ...()" message for a
  // type it does not accept.
  int toInt() const;       // float truncates (NaN 0, saturating); string: length > 0
  float toFloat() const;   // int or float
  const char* toCString() const;  // int 0 gives null; string its text
  void* toPointer() const;        // int 0 gives null; pointer its value

  // The value as MORE prints it: "int: 5\n", "string: \"a\\n\"\n", ...
  std::string MoreText() const;

 private:
  Variable& AssignSlow(const Variable& other);

  int type_ = kVoid;
  bool has_text_ = false;  // false for a string that never held a text
  const std::type_info* type_info_ = nullptr;
  // The scalar value of the current type; copied as one word.
  union {
    void* pointer_ = nullptr;
    int int_;
    float float_;
  };
  std::string string_;
};

// Operators by opcode (cs_mul ... cs_bit_xor): a = a OP b. Raises the
// operator's "bad operands" message for types it does not accept.
void ApplyBinary(int opcode, Variable& a, const Variable& b);
// Unary operators by opcode (cs_not, cs_neg, cs_inc, cs_dec): a = OP a.
void ApplyUnary(int opcode, Variable& a);

// Comparisons with the script rules (float equality within 1e-6).
bool VariableEqual(const Variable& a, const Variable& b);
bool VariableNotEqual(const Variable& a, const Variable& b);
bool VariableLess(const Variable& a, const Variable& b);
bool VariableGreater(const Variable& a, const Variable& b);
bool VariableLessEqual(const Variable& a, const Variable& b);
bool VariableGreaterEqual(const Variable& a, const Variable& b);
// The comparison opcode `opcode` (cs_eq ... cs_gt) on a, b. Every ordering
// with a NaN operand is false, as is ==; != is true.
bool CompareVariables(int opcode, const Variable& a, const Variable& b);

#endif  // TORVANE_SCRIPT_VARIABLE_H_
