// expression - expressions (operator precedence, no short-circuit) and call
// arguments with default-argument texts.
#include <cstring>

#include "base/utility.h"
#include "script/compiler.h"
#include "script/externs.h"
#include "script/opcodes.h"
#include "script/script_error.h"
#include "script/source_reader.h"

namespace {

// Pseudo-operators kept on the operator stack besides real opcodes.
constexpr int kOpenParen = -1;
constexpr int kUnaryPlus = -2;

int Precedence(int op) {
  switch (op) {
    case cs_not: case cs_neg: case kUnaryPlus: return 7;
    case cs_mul: case cs_div: case cs_mod: return 6;
    case cs_add: case cs_sub: return 5;
    case cs_eq: case cs_ne: case cs_le: case cs_ge: case cs_lt: case cs_gt: return 4;
    case cs_bit_and: case cs_bit_or: case cs_bit_xor: return 3;
    case cs_and: case cs_or: return 2;
    default: return 0;
  }
}

bool IsOperatorChar(char c) { return c != 0 && strchr("!+-*/%=<>&|^", c) != nullptr; }

// The binary operator at `pos` (advancing past it), or -1 when the
// characters form none (a lone '=' or '!').
int BinaryOperator(std::string_view text, size_t* pos) {
  static const struct {
    const char* text;
    int op;
  } kOperators[] = {{"==", cs_eq}, {"!=", cs_ne}, {"<=", cs_le}, {">=", cs_ge}, {"&&", cs_and},
                    {"||", cs_or}, {"<", cs_lt},  {">", cs_gt},  {"&", cs_bit_and},
                    {"|", cs_bit_or}, {"^", cs_bit_xor}, {"+", cs_add}, {"-", cs_sub},
                    {"*", cs_mul}, {"/", cs_div}, {"%", cs_mod}};
  for (const auto& entry : kOperators) {
    size_t n = strlen(entry.text);
    if (text.substr(*pos, n) == entry.text) {
      *pos += n;
      return entry.op;
    }
  }
  return -1;
}


}  // namespace

// One expression being compiled: the text and the read position, pending
// operators (operator precedence by a stack), and whether an operand is due.
struct Compiler::ExpressionScan {
  ExpressionScan(std::string_view text, NameSpace* ns) : text(text), ns(ns), whole(Excerpt(TrimBlanks(text))) {}

  std::string_view text;
  NameSpace* ns;
  std::string whole;  // an excerpt of the text for messages
  size_t pos = 0;
  std::vector<int> ops;
  bool expect_operand = true;

  char At(size_t at) const { return at < text.size() ? text[at] : 0; }
  // Raises the error for an operand where an operator is due.
  void OperandAllowed(const char* token) const {
    if (!expect_operand) ScriptFailf("CS_Scripting::PR_expression(): error before \"%.256s\"", token);
  }
  // Raises the error for a '.' after an operand that has no members.
  void NoSwizzle() const {
    if (At(pos) == '.') {
      ScriptFailf("CS_Scripting::swizzle() =  unknown dot ... only pointer (class)-> \"%s\"",
                  Excerpt(text.substr(pos + 1)).c_str());
    }
  }
};

void Compiler::Expression(std::string_view text, NameSpace* ns) {
  DepthGuard guard(&depth_);
  ExpressionScan scan(text, ns);
  bool any = false;
  for (;;) {
    SkipBlanks(text, &scan.pos);
    if (scan.pos >= text.size()) break;
    const char c = text[scan.pos];
    any = true;
    if (IsDigit(c) || c == '"' || c == '\'') {
      LiteralOperand(scan);
    } else if (IsNameStart(c)) {
      NameOperand(scan);
    } else if (c == '(' || c == ')') {
      Parenthesis(scan);
    } else if (IsOperatorChar(c)) {
      OperatorToken(scan);
    } else {
      ScriptFailf("CS_Scripting::PR_expression(): unknown token '%c' in \"%s\" expression", c, scan.whole.c_str());
    }
  }
  if (!any) ScriptFail("CS_Scripting::PR_variable() = empty string");
  if (scan.expect_operand) ScriptFailf("CS_Scripting::PR_expression() = error before \"%c\"", ' ');
  while (!scan.ops.empty()) {
    if (scan.ops.back() == kOpenParen) {
      ScriptFailf("CS_Scripting::PR_expression(): unknown operation 0x%02x in \"%s\" expression", '(',
                  scan.whole.c_str());
    }
    PopOperator(scan);
  }
}

void Compiler::PopOperator(ExpressionScan& scan) {
  if (scan.ops.back() != kUnaryPlus) Emit(scan.ops.back());
  scan.ops.pop_back();
}

void Compiler::LiteralOperand(ExpressionScan& scan) {
  std::string_view text = scan.text;
  size_t& pos = scan.pos;
  const char c = text[pos];
  if (c == '"') {
    scan.OperandAllowed("\"");
    Emit(cs_pushc, ConstantRef(scan.ns, ReadString(text, &pos)));
  } else if (c == '\'') {
    if (!scan.expect_operand) {
      ScriptFailf("CS_Scripting::PR_expression(): error before \"'%c'\"", pos + 1 < text.size() ? text[pos + 1] : ' ');
    }
    if (pos + 2 >= text.size() || text[pos + 2] != '\'') {
      ScriptFailf("CS_Scripting::PR_expression(): unknown token '%c' in \"%s\" expression", c, scan.whole.c_str());
    }
    Emit(cs_pushc, ConstantRef(scan.ns, Variable(static_cast<int>(static_cast<unsigned char>(text[pos + 1])))));
    pos += 3;
  } else {
    const size_t start = pos;
    Variable number = ReadNumber(text, &pos);
    scan.OperandAllowed(std::string(text.substr(start, pos - start)).c_str());
    Emit(cs_pushc, ConstantRef(scan.ns, number));
  }
  scan.expect_operand = false;
}

void Compiler::NameOperand(ExpressionScan& scan) {
  std::string_view text = scan.text;
  NameSpace* ns = scan.ns;
  const std::string name = ReadName(text, &scan.pos, kMaxTextChars);
  scan.OperandAllowed(name.c_str());
  SkipBlanks(text, &scan.pos);
  const char next = scan.At(scan.pos);
  int ref;
  if ((ref = Lookup(ns, name, Kind::kVariable)) >= 0) {
    scan.NoSwizzle();
    Emit(cs_pushv, ref);
  } else if ((ref = program_.FindExternVariable(name)) >= 0) {
    scan.NoSwizzle();
    Emit(cs_pushev, ref);
  } else if ((ref = Lookup(ns, name, Kind::kArray)) >= 0) {
    ArrayOperand(scan, ref);
  } else if ((ref = Lookup(ns, name, Kind::kFunction)) >= 0 || program_.FindExternFunction(name) >= 0) {
    if (next != '(') ScriptFailf("CS_Scripting::getsymbol() = bad '%c' symbol expecting %s", next ? next : ' ', "'('");
    std::string_view args = ReadBracketed(text, &scan.pos, '(', ')', kMaxTextChars);
    if (ref >= 0) {
      CallFunction(ref, args, ns);
    } else {
      CallExtern(program_.FindExternFunction(name), args, ns);
    }
  } else if ((ref = Lookup(ns, name, Kind::kObject)) >= 0) {
    ObjectOperand(scan, ref);
  } else if (next == '(') {
    ScriptFailf("Interpreter::parse_function(): unknown function \"%.256s\"", name.c_str());
  } else {
    ScriptFailf("CS_Scripting::PR_expression() = unknown token \"%.256s\" in \"%s\" expression", name.c_str(),
                scan.whole.c_str());
  }
  scan.expect_operand = false;
}

// An array name: an element ("a[i]") or the array's reference.
void Compiler::ArrayOperand(ExpressionScan& scan, int ref) {
  if (scan.At(scan.pos) != '[') {
    Emit(cs_pusha, ref);
    return;
  }
  Expression(ReadBracketed(scan.text, &scan.pos, '[', ']', kMaxTextChars), scan.ns);
  Emit(cs_pushav, ref);
  SkipBlanks(scan.text, &scan.pos);
  scan.NoSwizzle();
}

// An object name: a method call ("o.m(...)" or "o->m(...)") or the object.
void Compiler::ObjectOperand(ExpressionScan& scan, int ref) {
  std::string_view text = scan.text;
  size_t& pos = scan.pos;
  const char next = scan.At(pos);
  if (next != '.' && text.substr(pos, 2) != "->") {
    Emit(cs_pushec, ref);
    return;
  }
  pos += next == '.' ? 1 : 2;
  SkipBlanks(text, &pos);
  const std::string method = ReadName(text, &pos, kMaxTextChars);
  SkipBlanks(text, &pos);
  if (pos >= text.size() || text[pos] != '(') {
    ScriptFailf("CS_Scripting::getsymbol() = bad '%c' symbol expecting %s", pos < text.size() ? text[pos] : ' ',
                "'('");
  }
  CallMethod(ref, method, ReadBracketed(text, &pos, '(', ')', kMaxTextChars), scan.ns);
}

void Compiler::Parenthesis(ExpressionScan& scan) {
  if (scan.text[scan.pos++] == '(') {
    if (!scan.expect_operand) ScriptFail("CS_Scripting::PR_expression() = error before \"(\"");
    scan.ops.push_back(kOpenParen);
    return;
  }
  if (scan.expect_operand) ScriptFail("CS_Scriptingr::PR_expression() = error before \")\"");
  while (!scan.ops.empty() && scan.ops.back() != kOpenParen) PopOperator(scan);
  if (scan.ops.empty()) ScriptFail("CS_Scripting::read_block() = some errors with counts of '(' and ')' symbols");
  scan.ops.pop_back();
}

void Compiler::OperatorToken(ExpressionScan& scan) {
  const char c = scan.text[scan.pos];
  if (scan.expect_operand) {  // a unary operator
    if (c != '!' && c != '+' && c != '-') {
      const bool after_operator = !scan.ops.empty() && scan.ops.back() != kOpenParen;
      if (after_operator) ScriptFailf("CS_Scripting::PR_expression() = error before \"%c\"", c);
      ScriptFailf("CS_Scripting::PR_expression() = bad unary operator '%c' in \"%s\" expression", c,
                  scan.whole.c_str());
    }
    if (c == '!' && scan.At(scan.pos + 1) == '=') ScriptFailf("CS_Scripting::PR_expression() = error before \"%c\"", c);
    scan.ops.push_back(c == '!' ? cs_not : c == '-' ? cs_neg : kUnaryPlus);
    ++scan.pos;
    return;
  }
  const int op = BinaryOperator(scan.text, &scan.pos);
  if (op < 0) {
    ScriptFailf("CS_Scripting::PR_expression() = unknown token '%c' in \"%s\" expression", c, scan.whole.c_str());
  }
  while (!scan.ops.empty() && scan.ops.back() != kOpenParen && Precedence(scan.ops.back()) >= Precedence(op)) {
    PopOperator(scan);
  }
  scan.ops.push_back(op);
  scan.expect_operand = true;
}

void Compiler::Args(int count, std::string_view args, const char* defaults, NameSpace* ns) {
  std::vector<std::string_view> given;
  if (!TrimBlanks(args).empty()) SplitTopLevel(args, ',', &given);
  std::vector<std::string_view> items;
  if (defaults) {
    std::string_view text(defaults);
    size_t start = 0;
    for (;;) {
      size_t comma = text.find(',', start);
      items.push_back(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
  }
  std::vector<std::string_view> all = given;
  int n = static_cast<int>(given.size());
  if (n > count) {
    if (!defaults) ScriptFail("CS_Scripting::PR_args() = too many arguments");
    bool variadic = static_cast<int>(items.size()) == count + 1 && TrimBlanks(items[count]) == "...";
    if (!variadic) ScriptFail("CS_Scripting::PR_args() = it isn't a function with the variable number of arguments");
  } else if (n < count) {
    if (!defaults) ScriptFail("CS_Scripting::PR_args() = too few arguments");
    for (int k = n; k < count; ++k) {
      if (k >= static_cast<int>(items.size()) || TrimBlanks(items[k]).empty() ||
          TrimBlanks(items[k]) == "...") {
        ScriptFailf("CS_Scripting::PR_args() = can't read %d default argument", k);
      }
      all.push_back(items[k]);
    }
    for (size_t k = count; k < items.size(); ++k) {
      bool last_ellipsis = k + 1 == items.size() && TrimBlanks(items[k]) == "...";
      if (!last_ellipsis) ScriptFail("CS_Scripting::PR_args() = too many default arguments");
    }
  }
  for (int k = static_cast<int>(all.size()) - 1; k >= 0; --k) Expression(all[k], ns);
}

void Compiler::CallFunction(int ref, std::string_view args, NameSpace* ns) {
  Args(static_cast<int>(program_.FunctionAt(ref).args.size()), args, nullptr, ns);
  Emit(cs_callf, ref);
}

void Compiler::CallExtern(int index, std::string_view args, NameSpace* ns) {
  ExternFunctionBase& binding = *program_.extern_functions[index].binding;
  Args(binding.get_num_args(), args, binding.get_default_args(), ns);
  Emit(cs_callef, index);
}

void Compiler::CallMethod(int object_ref, const std::string& method, std::string_view args, NameSpace* ns) {
  ExternClassBase& binding = ClassOf(object_ref);
  if (!binding.is_function(method.c_str())) {
    const std::string& cls = program_.extern_classes[program_.ObjectAt(object_ref).cls].name;
    ScriptFailf("CS_Scripting::PR_class() = function \"%.256s\" is not the function of class \"%.256s\"",
                method.c_str(), cls.c_str());
  }
  int index = binding.get_function(method.c_str());
  Args(binding.get_function_num_args(index), args, binding.get_function_default_args(index), ns);
  Emit(cs_callecf, object_ref, index);
}
