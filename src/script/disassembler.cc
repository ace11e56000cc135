// disassembler - the listing of a program's code, one line per instruction,
// naming the items each operand refers to.
#include <cstdio>

#include "script/externs.h"
#include "script/interpreter.h"
#include "script/opcodes.h"
#include "script/script_error.h"

namespace {

// Operand names; "?" for a reference that names nothing (never emitted by
// the compiler, but the listing must not fault on it).
class Names {
 public:
  explicit Names(Program& program) : program_(program) {}

  template <typename Item>
  const char* Of(const std::vector<Item>& items, int index) const {
    return index >= 0 && static_cast<size_t>(index) < items.size() ? items[index].name.c_str() : "?";
  }
  NameSpace* Space(int ref) const {
    size_t s = static_cast<size_t>(RefSpace(ref));
    return s < program_.spaces.size() ? program_.spaces[s].get() : nullptr;
  }
  const char* Variable_(int ref) const { return Space(ref) ? Of(Space(ref)->variables, RefIndex(ref)) : "?"; }
  const char* Array(int ref) const { return Space(ref) ? Of(Space(ref)->arrays, RefIndex(ref)) : "?"; }
  const char* Function(int ref) const { return Space(ref) ? Of(Space(ref)->functions, RefIndex(ref)) : "?"; }
  const char* Object(int ref) const { return Space(ref) ? Of(Space(ref)->objects, RefIndex(ref)) : "?"; }
  const char* ExternVariable(int index) const { return Of(program_.extern_variables, index); }
  const char* ExternFunction(int index) const { return Of(program_.extern_functions, index); }
  std::string Constant(int ref) const {
    NameSpace* space = Space(ref);
    if (!space || static_cast<size_t>(RefIndex(ref)) >= space->constants.size()) return "?\n";
    return space->constants[RefIndex(ref)].MoreText();
  }
  const char* Method(int object_ref, int method) const {
    NameSpace* space = Space(object_ref);
    if (!space || static_cast<size_t>(RefIndex(object_ref)) >= space->objects.size()) return "?";
    const NSExternClass& object = space->objects[RefIndex(object_ref)];
    if (static_cast<size_t>(object.cls) >= program_.extern_classes.size()) return "?";
    ExternClassBase& binding = *program_.extern_classes[object.cls].binding;
    return method >= 0 && method < binding.method_count() ? binding.get_function_name(method) : "?";
  }

 private:
  Program& program_;
};

std::string Line(const char* mnemonic, const char* operand) {
  char buffer[1200];
  snprintf(buffer, sizeof buffer, "%-12s%s\n", mnemonic, operand);
  return buffer;
}

std::string InstructionLine(const Names& names, int op, const int* operands) {
  const char* name = kOpcodeName[op];
  char text[1100];
  switch (op) {
    case cs_pushc:
      snprintf(text, sizeof text, "%-12s", name);
      return text + names.Constant(operands[0]);
    case cs_pushv: case cs_popv: case cs_incv: case cs_decv:
      return Line(name, names.Variable_(operands[0]));
    case cs_pushev: return Line(name, names.ExternVariable(operands[0]));
    case cs_pushec: case cs_popec: case cs_callecc: case cs_callecd:
      return Line(name, names.Object(operands[0]));
    case cs_callac: return Line(name, names.Array(operands[0]));
    case cs_callf: return Line(name, names.Function(operands[0]));
    case cs_callef: return Line(name, names.ExternFunction(operands[0]));
    case cs_pusha: case cs_pushav: case cs_popa: case cs_popav:
      snprintf(text, sizeof text, "%s[]", names.Array(operands[0]));
      return Line(name, text);
    case cs_pushvs: case cs_popvs:
      snprintf(text, sizeof text, "%s.%d", names.Variable_(operands[0]), operands[1]);
      return Line(name, text);
    case cs_pushevs:
      snprintf(text, sizeof text, "%s.%d", names.ExternVariable(operands[0]), operands[1]);
      return Line(name, text);
    case cs_pushavs: case cs_popavs:
      snprintf(text, sizeof text, "%s[].%d", names.Array(operands[0]), operands[1]);
      return Line(name, text);
    case cs_callecf:
      snprintf(text, sizeof text, "%s->%s", names.Object(operands[0]), names.Method(operands[0], operands[1]));
      return Line(name, text);
    default:
      if (IsJump(op)) {
        snprintf(text, sizeof text, "0x%08x", operands[0]);
        return Line(name, text);
      }
      return std::string(name) + "\n";
  }
}

}  // namespace

std::string Interpreter::DisassemblyText() {
  const std::vector<int>& code = program_.code;
  if (code.empty()) {
    LogError("CS_Scripting::disassemble() = empty program");
    return "";
  }
  Names names(program_);
  std::string out;
  for (size_t ip = 0; ip < code.size();) {
    int op = code[ip];
    if (!IsValidOpcode(op) || ip + kOperandCount[op] >= code.size()) {
      char message[128];
      snprintf(message, sizeof message, "CS_Scripting::disassemble() = unknown code 0x%02x", op);
      LogError(message);
      break;
    }
    out += InstructionLine(names, op, &code[ip + 1 < code.size() ? ip + 1 : ip]);
    ip += 1 + kOperandCount[op];
  }
  return out;
}

void Interpreter::disassemble() {
  std::string text = DisassemblyText();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    LogMessage(text.substr(start, end - start));
    start = end + 1;
  }
}
