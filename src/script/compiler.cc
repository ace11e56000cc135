// compiler - statements, declarations, functions and control flow.
#include "script/compiler.h"

#include "base/utility.h"
#include "script/externs.h"
#include "script/opcodes.h"
#include "script/script_error.h"
#include "script/source_reader.h"

namespace {

const char* const kBuiltinTypes[] = {"void", "int", "float", "string", "pointer"};

// Assignment operators a statement may continue with, longest first.
const char* const kAssignOps[] = {"++", "--", "+=", "-=", "*=", "/=", "%=", "="};

int OperatorOpcode(const std::string& op) {
  switch (op[0]) {
    case '+': return cs_add;
    case '-': return cs_sub;
    case '*': return cs_mul;
    case '/': return cs_div;
    default: return cs_mod;
  }
}

// Reads the assignment operator at the start of `rest`, or "" for none.
std::string AssignOperator(std::string_view rest) {
  for (const char* op : kAssignOps) {
    std::string_view candidate(op);
    if (rest.substr(0, candidate.size()) == candidate) {
      if (candidate == "=" && rest.size() > 1 && rest[1] == '=') return "";
      return op;
    }
  }
  return "";
}


}  // namespace

int BuiltinType(const std::string& name) {
  for (int i = 0; i < 5; ++i) {
    if (name == kBuiltinTypes[i]) return i;
  }
  return -1;
}

Compiler::DepthGuard::DepthGuard(int* depth) : depth_(depth) {
  if (++*depth_ > kMaxNesting) {
    --*depth_;
    ScriptFail("CS_Scripting::PR() = source nested too deeply");
  }
}

Compiler::Compiler(Interpreter* interpreter, std::string_view source)
    : interpreter_(interpreter), program_(interpreter->program_), source_(source) {}

void Compiler::CompileProgram() {
  NameSpace* global = program_.global;
  Parse(source_, global);
  Emit(cs_pushc, ConstantRef(global, Variable(0)));
  Emit(cs_ret);
  // Direct self-calls save the variables of the function's scope tree.
  for (auto& space : program_.spaces) {
    for (NSFunction& fn : space->functions) {
      std::vector<NameSpace*> pending{fn.scope};
      while (!pending.empty()) {
        NameSpace* s = pending.back();
        pending.pop_back();
        for (NSVariable& v : s->variables) fn.saved.push_back(&v.value);
        for (auto it = s->children().rbegin(); it != s->children().rend(); ++it) pending.push_back(*it);
      }
    }
  }
}

int Compiler::Emit(int op) {
  program_.code.push_back(op);
  return Here() - 1;
}
int Compiler::Emit(int op, int operand) {
  Emit(op);
  return Emit(operand);
}
int Compiler::Emit(int op, int first, int second) {
  Emit(op);
  Emit(first);
  return Emit(second);
}
void Compiler::Patch(int operand_position, int target) { program_.code[operand_position] = target; }

void Compiler::SetCurrentLine(const char* at) {
  const char* begin = source_.data();
  const char* end = begin + source_.size();
  if (at < begin || at >= end) return;
  const char* line_start = at;
  while (line_start > begin && line_start[-1] != '\n') --line_start;
  const char* line_end = at;
  while (line_end < end && *line_end != '\n') ++line_end;
  size_t length = std::min(static_cast<size_t>(line_end - line_start), kMaxTextChars);
  interpreter_->current_line_.assign(line_start, length);
  interpreter_->current_location_ = interpreter_->source_map_.LocationOf(at - begin);
}

int Compiler::Lookup(NameSpace* ns, const std::string& name, Kind kind) const {
  std::string key = name;
  if (key.size() > 2 && key[0] == ':' && key[1] == ':') {
    key = key.substr(2);
    ns = program_.global;
  }
  bool global_only = ns == program_.global && key != name;
  for (NameSpace* s = ns; s; s = s->parent()) {
    int index = -1;
    switch (kind) {
      case Kind::kVariable: index = s->FindVariable(key); break;
      case Kind::kArray: index = s->FindArray(key); break;
      case Kind::kFunction: index = s->FindFunction(key); break;
      case Kind::kObject: index = s->FindExternClass(key); break;
    }
    if (index >= 0) return MakeRef(s->number(), index);
    if (s->HasName(key) || global_only) return -1;
  }
  return -1;
}

ExternClassBase& Compiler::ClassOf(int object_ref) {
  return *program_.extern_classes[program_.ObjectAt(object_ref).cls].binding;
}

void Compiler::EndStatement(std::string_view text, size_t* pos) {
  SkipBlanks(text, pos);
  if (*pos < text.size()) ExpectSymbol(text, pos, ';');
}

void Compiler::Parse(std::string_view text, NameSpace* ns) {
  DepthGuard guard(&depth_);
  size_t pos = 0;
  for (;;) {
    SkipBlanks(text, &pos);
    if (pos >= text.size()) return;
    SetCurrentLine(text.data() + pos);
    char c = text[pos];
    if (c == ';') {
      ++pos;
    } else if (c == '{') {
      std::string_view block = ReadBracketed(text, &pos, '{', '}', text.size());
      Parse(block, program_.NewSpace(ns));
    } else if (c == '}') {
      return;
    } else if (!IsNameStart(c)) {
      ScriptFailf("CS_Scripting::PR() = unknown symbol '%c'", c);
    } else {
      Statement(text, &pos, ns);
    }
  }
}

void Compiler::Statement(std::string_view text, size_t* pos, NameSpace* ns) {
  size_t start = *pos;
  std::string token = ReadToken(text, pos);
  int type = BuiltinType(token);
  if (type >= 0) {
    Declaration(type, token, text, pos, ns);
    return;
  }
  // The rest of the classification needs the token as a name.
  *pos = start;
  std::string name = ReadName(text, pos, kMaxTextChars);
  int ref;
  if ((ref = Lookup(ns, name, Kind::kVariable)) >= 0) {
    VariableAssignment(ref, text, pos, ns);
  } else if (program_.FindExternVariable(name) >= 0) {
    ScriptFail("CS_Scripting::PR(): extern variables is readonly");
  } else if ((ref = Lookup(ns, name, Kind::kArray)) >= 0) {
    ArrayAssignment(ref, text, pos, ns);
  } else if (Lookup(ns, name, Kind::kFunction) >= 0 || program_.FindExternFunction(name) >= 0) {
    CallStatement(name, text, pos, ns);
  } else if (int cls = program_.FindExternClass(name); cls >= 0) {
    Declaration(-1 - cls, name, text, pos, ns);
  } else if (name == "delete") {
    SkipBlanks(text, pos);
    std::string object = ReadName(text, pos, kMaxTextChars);
    int object_ref = Lookup(ns, object, Kind::kObject);
    if (object_ref < 0) ScriptFail("CS_Scripting::PR() = bad delete argument");
    Emit(cs_callecd, object_ref);
    EndStatement(text, pos);
  } else if ((ref = Lookup(ns, name, Kind::kObject)) >= 0) {
    ObjectStatement(ref, text, pos, ns);
  } else if (!Keyword(name, text, pos, ns)) {
    ScriptFailf("CS_Scripting::PR() = unknown token \"%.256s\"", name.c_str());
  }
}

bool Compiler::Keyword(const std::string& token, std::string_view text, size_t* pos, NameSpace* ns) {
  if (token == "if") {
    If(text, pos, ns);
  } else if (token == "for") {
    For(text, pos, ns);
  } else if (token == "while") {
    While(text, pos, ns);
  } else if (token == "do") {
    DoWhile(text, pos, ns);
  } else if (token == "break" || token == "continue") {
    BreakOrContinue(token == "break", text, pos, ns);
  } else if (token == "return") {
    Return(text, pos, ns);
  } else {
    return false;
  }
  return true;
}

// `type` >= 0 is a built-in type; -1 - k is extern class k.
void Compiler::Declaration(int type, const std::string& type_name, std::string_view text,
                           size_t* pos, NameSpace* ns) {
  SkipBlanks(text, pos);
  if (*pos >= text.size() || text[*pos] == ';') {
    ScriptFail(type >= 0 ? "CS_Scripting::PR_variable() = empty string" : "CS_Scripting::PR_class() = empty string");
  }
  size_t name_start = *pos;
  std::string name = ReadName(text, pos, kMaxTokenChars);
  size_t after_name = *pos;
  SkipBlanks(text, &after_name);
  if (after_name < text.size() && text[after_name] == '(') {
    *pos = after_name;
    Function(type_name, name, text, pos, ns);
    return;
  }
  *pos = name_start;
  std::string_view list = ReadUntil(text, pos, ';', kMaxDeclarationChars);
  EndStatement(text, pos);
  if (type >= 0) {
    DeclareVariables(type, list, ns);
  } else {
    DeclareObjects(-1 - type, list, ns);
  }
}

void Compiler::DeclareVariables(int type, std::string_view list, NameSpace* ns) {
  if (TrimBlanks(list).empty()) ScriptFail("CS_Scripting::PR_variable() = empty string");
  std::vector<std::string_view> items;
  SplitTopLevel(list, ',', &items);
  for (std::string_view item : items) {
    item = TrimBlanks(item);
    if (item.empty()) ScriptFail("CS_Scripting::PR_variable() = empty string");
    size_t pos = 0;
    std::string name = ReadName(item, &pos, kMaxTokenChars);
    SkipBlanks(item, &pos);
    if (pos >= item.size()) {
      ns->AddVariable(name, type);
    } else if (item[pos] == '=') {
      Expression(item.substr(pos + 1), ns);
      Emit(cs_popv, ns->AddVariable(name, type));
    } else if (item[pos] == '[') {
      DeclareArray(type, name, item, &pos, ns);
    } else {
      ScriptFailf("CS_Scripting::PR_variable() = unknown token '%c' after \"%s\"", item[pos],
                  name.c_str());
    }
  }
}

void Compiler::DeclareArray(int type, const std::string& name, std::string_view item, size_t* pos,
                            NameSpace* ns) {
  std::string_view size = ReadBracketed(item, pos, '[', ']', kMaxTextChars);
  bool associative = TrimBlanks(size).empty();
  if (associative) {
    Emit(cs_pushc, ConstantRef(ns, Variable(0)));
  } else {
    Expression(size, ns);
  }
  int ref = ns->AddArray(name, type);
  Emit(cs_callac, ref);
  SkipBlanks(item, pos);
  if (*pos >= item.size()) return;
  if (item[*pos] != '=') {
    ScriptFailf("CS_Scripting::PR_variable() = unknown token '%c' after \"%s\"", item[*pos],
                name.c_str());
  }
  ++*pos;
  SkipBlanks(item, pos);
  if (*pos >= item.size()) ScriptFail("CS_Scripting::expectsymbol() = end of string");
  if (item[*pos] != '{') ScriptFailf("CS_Scripting::expectsymbol() = bad '%c' symbol expecting '%c'", item[*pos], '{');
  std::string_view init = ReadBracketed(item, pos, '{', '}', kMaxDeclarationChars);
  std::vector<std::string_view> values;
  SplitTopLevel(init, ',', &values);
  if (associative) {
    for (std::string_view pair : values) {
      size_t colon = 0;
      std::string_view key = ReadUntil(pair, &colon, ':', pair.size());
      if (colon >= pair.size() || TrimBlanks(pair.substr(colon + 1)).empty()) {
        ScriptFailf("CS_Scripting::PR_variable() = bad value for \"%s\" key",
                    Excerpt(TrimBlanks(key)).c_str());
      }
      Expression(pair.substr(colon + 1), ns);
      Expression(key, ns);
      Emit(cs_popav, ref);
    }
    return;
  }
  for (std::string_view value : values) Expression(value, ns);
  for (int k = static_cast<int>(values.size()) - 1; k >= 0; --k) {
    Emit(cs_pushc, ConstantRef(ns, Variable(k)));
    Emit(cs_popav, ref);
  }
}

void Compiler::DeclareObjects(int cls, std::string_view list, NameSpace* ns) {
  if (TrimBlanks(list).empty()) ScriptFail("CS_Scripting::PR_class() = empty string");
  ExternClassBase& binding = *program_.extern_classes[cls].binding;
  std::vector<std::string_view> items;
  SplitTopLevel(list, ',', &items);
  for (std::string_view item : items) {
    item = TrimBlanks(item);
    if (item.empty()) ScriptFail("CS_Scripting::PR_class() = empty string");
    size_t pos = 0;
    std::string name = ReadName(item, &pos, kMaxTokenChars);
    if (ns->HasName(name)) ScriptFailf("NS::addexternclass(): name \"%s\" already defined", name.c_str());
    int ref = ns->AddExternClass(name, cls, binding.add_object());
    SkipBlanks(item, &pos);
    if (pos >= item.size()) continue;
    if (item[pos] != '=') {
      ScriptFailf("CS_Scripting::PR_class() = unknown token '%c' after \"%s\"", item[pos], name.c_str());
    }
    ObjectAssignment(ref, item.substr(pos + 1), ns, true);
  }
}

void Compiler::ObjectAssignment(int ref, std::string_view rhs, NameSpace* ns, bool in_declaration) {
  size_t pos = 0;
  SkipBlanks(rhs, &pos);
  if (ReadToken(rhs, &pos) == "new" && pos < rhs.size() && IsBlank(rhs[pos])) {
    Construct(ref, rhs, &pos, ns, in_declaration);
    SkipBlanks(rhs, &pos);
    if (pos < rhs.size()) {
      ScriptFailf("CS_Scripting::PR_class() = unknown token '%c' after \"%s\"", rhs[pos],
                  program_.ObjectAt(ref).name.c_str());
    }
    return;
  }
  Expression(rhs, ns);
  Emit(cs_popec, ref);
}

void Compiler::Construct(int ref, std::string_view text, size_t* pos, NameSpace* ns, bool in_declaration) {
  SkipBlanks(text, pos);
  std::string cls_name = ReadName(text, pos, kMaxTextChars);
  const NSExternClass& object = program_.ObjectAt(ref);
  if (program_.FindExternClass(cls_name) != object.cls) {
    ScriptFailf(in_declaration ? "CS_Scripting::PR_class() = bad \"%s\" class constructor"
                               : "CS_Scripting::PR_class(): bad \"%s\" class constructor",
                cls_name.c_str());
  }
  SkipBlanks(text, pos);
  if (*pos >= text.size() || text[*pos] != '(') {
    ScriptFailf("CS_Scripting::getsymbol() = bad '%c' symbol expecting %s",
                *pos < text.size() ? text[*pos] : ' ', "'('");
  }
  std::string_view args = ReadBracketed(text, pos, '(', ')', kMaxTextChars);
  ExternClassBase& binding = ClassOf(ref);
  Args(binding.get_num_args(), args, binding.get_default_args(), ns);
  Emit(cs_callecc, ref);
}

void Compiler::Function(const std::string& return_type, const std::string& name,
                        std::string_view text, size_t* pos, NameSpace* ns) {
  int skip = Emit(cs_jmp, 0);
  int ref = ns->AddFunction(name, return_type);
  NameSpace* scope = program_.NewSpace(ns);
  scope->function_scope = true;
  program_.FunctionAt(ref).scope = scope;
  program_.FunctionAt(ref).start = Here();
  std::string_view params = ReadBracketed(text, pos, '(', ')', kMaxTextChars);
  if (!TrimBlanks(params).empty()) {
    std::vector<std::string_view> items;
    SplitTopLevel(params, ',', &items);
    for (std::string_view param : items) Parameter(param, ref, scope);
  }
  SkipBlanks(text, pos);
  if (*pos >= text.size()) ScriptFail("CS_Scripting::expectsymbol() = end of string");
  if (text[*pos] != '{') {
    ScriptFailf("CS_Scripting::expectsymbol() = bad '%c' symbol expecting '%c'", text[*pos], '{');
  }
  std::string_view body = ReadBracketed(text, pos, '{', '}', text.size());
  Parse(body, scope);
  Emit(cs_pushc, ConstantRef(scope, Variable(0)));
  Emit(cs_ret);
  program_.FunctionAt(ref).end = Here();
  Patch(skip, Here());
}

void Compiler::Parameter(std::string_view param, int function_ref, NameSpace* scope) {
  const std::string& fn_name = program_.FunctionAt(function_ref).name;
  size_t pos = 0;
  SkipBlanks(param, &pos);
  std::string type_name = ReadToken(param, &pos);
  if (type_name.empty()) {
    ScriptFailf("CS_Scripting::PR_function() = can't read argument type in \"%s\" function", fn_name.c_str());
  }
  SkipBlanks(param, &pos);
  if (pos >= param.size() || !IsNameStart(param[pos])) {
    ScriptFailf("CS_Scripting::PR_function() = can't read argument name in \"%s\" function", fn_name.c_str());
  }
  std::string name = ReadName(param, &pos, kMaxTokenChars);
  SkipBlanks(param, &pos);
  bool is_array = param.substr(pos, 1) == "[";
  if (is_array) {
    ReadBracketed(param, &pos, '[', ']', kMaxTextChars);
    SkipBlanks(param, &pos);
  }
  if (pos < param.size()) {
    ScriptFailf("CS_Scripting::PR_function() = can't read argument name in \"%s\" function", fn_name.c_str());
  }
  int type = BuiltinType(type_name);
  if (type == Variable::kVoid) {
    ScriptFailf("CS_Scripting::PR_function(): void argument in \"%s\" function", fn_name.c_str());
  }
  int cls = program_.FindExternClass(type_name);
  if (type > 0 && is_array) {
    Emit(cs_popa, scope->AddArray(name, type));
  } else if (type > 0) {
    Emit(cs_popv, scope->AddVariable(name, type));
  } else if (cls >= 0 && !is_array) {
    int slot = program_.extern_classes[cls].binding->add_object();
    Emit(cs_popec, scope->AddExternClass(name, cls, slot));
  } else {
    ScriptFailf("CS_Scripting::PR_function(): unknown type of argument \"%s\" in \"%s\" function",
                type_name.c_str(), fn_name.c_str());
  }
  program_.FunctionAt(function_ref).args.push_back(NSArgument{name, type_name, is_array});
}

void Compiler::VariableAssignment(int ref, std::string_view text, size_t* pos, NameSpace* ns) {
  std::string_view rest = TrimBlanks(ReadUntil(text, pos, ';', kMaxTextChars));
  EndStatement(text, pos);
  if (!rest.empty() && rest[0] == '.') {
    ScriptFailf("CS_Scripting::swizzle() =  unknown dot ... only pointer (class)-> \"%s\"",
                Excerpt(rest.substr(1)).c_str());
  }
  std::string op = AssignOperator(rest);
  std::string_view rhs = op.empty() ? rest : rest.substr(op.size());
  if (op.empty() || ((op == "++" || op == "--") && !TrimBlanks(rhs).empty())) {
    ScriptFailf("CS_Scripting::PR(): unknown operation \"%s\" for varaible", Excerpt(rest).c_str());
  }
  if (op == "++" || op == "--") {
    Emit(op == "++" ? cs_incv : cs_decv, ref);
  } else if (op == "=") {
    Expression(rhs, ns);
    Emit(cs_popv, ref);
  } else {
    Emit(cs_pushv, ref);
    Expression(rhs, ns);
    Emit(OperatorOpcode(op));
    Emit(cs_popv, ref);
  }
}

void Compiler::ArrayAssignment(int ref, std::string_view text, size_t* pos, NameSpace* ns) {
  std::string_view rest = TrimBlanks(ReadUntil(text, pos, ';', kMaxTextChars));
  EndStatement(text, pos);
  if (rest.empty() || rest[0] != '[') {
    std::string op = AssignOperator(rest);
    if (op != "=") {
      ScriptFailf("CS_Scripting::PR() = unknown operation \"%s\" for array", Excerpt(rest).c_str());
    }
    Expression(rest.substr(1), ns);
    Emit(cs_popa, ref);
    return;
  }
  size_t p = 0;
  std::string_view index = ReadBracketed(rest, &p, '[', ']', kMaxTextChars);
  std::string_view after = TrimBlanks(rest.substr(p));
  if (!after.empty() && after[0] == '.') {
    ScriptFailf("CS_Scripting::swizzle() =  unknown dot ... only pointer (class)-> \"%s\"",
                Excerpt(after.substr(1)).c_str());
  }
  std::string op = AssignOperator(after);
  std::string_view rhs = op.empty() ? after : after.substr(op.size());
  if (op.empty() || ((op == "++" || op == "--") && !TrimBlanks(rhs).empty())) {
    ScriptFailf("CS_Scripting::PR() = unknown operation \"%s\" for array variable", Excerpt(after).c_str());
  }
  if (op == "=") {
    Expression(rhs, ns);
    Expression(index, ns);
    Emit(cs_popav, ref);
    return;
  }
  Expression(index, ns);
  Emit(cs_copy);
  Emit(cs_pushav, ref);
  if (op == "++" || op == "--") {
    Emit(op == "++" ? cs_inc : cs_dec);
  } else {
    Expression(rhs, ns);
    Emit(OperatorOpcode(op));
  }
  Emit(cs_swap);
  Emit(cs_popav, ref);
}

void Compiler::ObjectStatement(int ref, std::string_view text, size_t* pos, NameSpace* ns) {
  SkipBlanks(text, pos);
  if (*pos < text.size() && (text[*pos] == '.' || text.substr(*pos, 2) == "->")) {
    *pos += text[*pos] == '.' ? 1 : 2;
    SkipBlanks(text, pos);
    std::string method = ReadName(text, pos, kMaxTextChars);
    SkipBlanks(text, pos);
    if (*pos >= text.size() || text[*pos] != '(') ScriptFail("CS_Scripting::expectsymbol() = end of string");
    std::string_view args = ReadBracketed(text, pos, '(', ')', kMaxTextChars);
    CallMethod(ref, method, args, ns);
    Emit(cs_pop);
    EndStatement(text, pos);
    return;
  }
  if (*pos < text.size() && text[*pos] == '=' && text.substr(*pos, 2) != "==") {
    ++*pos;
    std::string_view rhs = ReadUntil(text, pos, ';', kMaxTextChars);
    EndStatement(text, pos);
    ObjectAssignment(ref, rhs, ns, false);
    return;
  }
  ScriptFailf("CS_Scripting::PR(): unknown operation '%c'", *pos < text.size() ? text[*pos] : ' ');
}

void Compiler::CallStatement(const std::string& name, std::string_view text, size_t* pos, NameSpace* ns) {
  SkipBlanks(text, pos);
  if (*pos >= text.size() || text[*pos] != '(') {
    ScriptFailf("CS_Scripting::getsymbol() = bad '%c' symbol expecting %s",
                *pos < text.size() ? text[*pos] : ' ', "'('");
  }
  std::string_view args = ReadBracketed(text, pos, '(', ')', kMaxTextChars);
  int ref = Lookup(ns, name, Kind::kFunction);
  if (ref >= 0) {
    CallFunction(ref, args, ns);
  } else {
    CallExtern(program_.FindExternFunction(name), args, ns);
  }
  Emit(cs_pop);
  EndStatement(text, pos);
}

void Compiler::If(std::string_view text, size_t* pos, NameSpace* ns) {
  NameSpace* if_space = program_.NewSpace(ns);
  SkipBlanks(text, pos);
  if (*pos >= text.size()) ScriptFail("CS_Scripting::expectsymbol() = end of string");
  if (text[*pos] != '(') ScriptFailf("CS_Scripting::expectsymbol() = bad '%c' symbol expecting '%c'", text[*pos], '(');
  Expression(ReadBracketed(text, pos, '(', ')', kMaxTextChars), if_space);
  int skip_then = Emit(cs_jz, 0);
  Parse(ReadStatement(text, pos), program_.NewSpace(if_space));
  size_t after = *pos;
  SkipBlanks(text, &after);
  if (ReadToken(text, &after) != "else") {
    Patch(skip_then, Here());
    return;
  }
  int skip_else = Emit(cs_jmp, 0);
  Patch(skip_then, Here());
  // The else part runs on through every further "else" so that
  // "else if (...) ...; else ..." chains stay one statement.
  size_t else_start = after;
  SkipBlanks(text, &else_start);
  *pos = after;
  for (;;) {
    ReadStatement(text, pos);
    size_t next = *pos;
    SkipBlanks(text, &next);
    if (ReadToken(text, &next) != "else") break;
    *pos = next;
  }
  Parse(text.substr(else_start, *pos - else_start), program_.NewSpace(if_space));
  Patch(skip_else, Here());
}

void Compiler::LoopBody(std::string_view body, NameSpace* loop) {
  loop->loop_flag = 1;
  Parse(body, program_.NewSpace(loop));
  loop->loop_flag = 0;
}

void Compiler::PatchLoop(NameSpace* loop, int end, int continue_target) {
  for (int position : loop->break_list) Patch(position, end);
  for (int position : loop->continue_list) Patch(position, continue_target);
  loop->break_list.clear();
  loop->continue_list.clear();
}

void Compiler::For(std::string_view text, size_t* pos, NameSpace* ns) {
  NameSpace* loop = program_.NewSpace(ns);
  SkipBlanks(text, pos);
  if (*pos >= text.size()) ScriptFail("CS_Scripting::expectsymbol() = end of string");
  if (text[*pos] != '(') ScriptFailf("CS_Scripting::expectsymbol() = bad '%c' symbol expecting '%c'", text[*pos], '(');
  std::string_view header = ReadBracketed(text, pos, '(', ')', kMaxTextChars);
  std::vector<std::string_view> parts;
  SplitTopLevel(header, ';', &parts);
  if (parts.size() != 3) ScriptFailf("CS_Scripting::expectsymbol() = bad '%c' symbol expecting '%c'", ')', ';');
  std::string_view body = ReadStatement(text, pos);
  Parse(parts[0], loop);
  int top = Here();
  int exit_jump = -1;
  if (!TrimBlanks(parts[1]).empty()) {
    Expression(parts[1], loop);
    exit_jump = Emit(cs_jz, 0);
  }
  LoopBody(body, loop);
  int step = Here();
  Parse(parts[2], loop);
  Emit(cs_jmp, top);
  if (exit_jump >= 0) Patch(exit_jump, Here());
  PatchLoop(loop, Here(), step);
}

void Compiler::While(std::string_view text, size_t* pos, NameSpace* ns) {
  NameSpace* loop = program_.NewSpace(ns);
  SkipBlanks(text, pos);
  if (*pos >= text.size()) ScriptFail("CS_Scripting::expectsymbol() = end of string");
  if (text[*pos] != '(') ScriptFailf("CS_Scripting::expectsymbol() = bad '%c' symbol expecting '%c'", text[*pos], '(');
  std::string_view condition = ReadBracketed(text, pos, '(', ')', kMaxTextChars);
  std::string_view body = ReadStatement(text, pos);
  int top = Here();
  Expression(condition, loop);
  int exit_jump = Emit(cs_jz, 0);
  LoopBody(body, loop);
  Emit(cs_jmp, top);
  Patch(exit_jump, Here());
  PatchLoop(loop, Here(), top);
}

void Compiler::DoWhile(std::string_view text, size_t* pos, NameSpace* ns) {
  NameSpace* loop = program_.NewSpace(ns);
  std::string_view body = ReadStatement(text, pos);
  ExpectToken(text, pos, "while");
  SkipBlanks(text, pos);
  if (*pos >= text.size()) ScriptFail("CS_Scripting::expectsymbol() = end of string");
  if (text[*pos] != '(') ScriptFailf("CS_Scripting::expectsymbol() = bad '%c' symbol expecting '%c'", text[*pos], '(');
  std::string_view condition = ReadBracketed(text, pos, '(', ')', kMaxTextChars);
  EndStatement(text, pos);
  int top = Here();
  LoopBody(body, loop);
  int check = Here();
  Expression(condition, loop);
  Emit(cs_jnz, top);
  PatchLoop(loop, Here(), check);
}

void Compiler::BreakOrContinue(bool is_break, std::string_view text, size_t* pos, NameSpace* ns) {
  NameSpace* loop = ns;
  while (loop && !loop->loop_flag && !loop->function_scope) loop = loop->parent();
  if (!loop || !loop->loop_flag) {
    ScriptFail(is_break ? "CS_Scripting::PR() = break statement not within loop"
                        : "CS_Scripting::PR(): continue statement not within loop");
  }
  int operand = Emit(cs_jmp, 0);
  (is_break ? loop->break_list : loop->continue_list).push_back(operand);
  EndStatement(text, pos);
}

void Compiler::Return(std::string_view text, size_t* pos, NameSpace* ns) {
  std::string_view value = ReadUntil(text, pos, ';', kMaxTextChars);
  EndStatement(text, pos);
  if (TrimBlanks(value).empty()) {
    Emit(cs_pushc, ConstantRef(ns, Variable(0)));
  } else {
    Expression(value, ns);
  }
  Emit(cs_ret);
}
