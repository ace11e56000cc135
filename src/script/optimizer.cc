// optimizer - constant folding, built-in call folding, branch fusion and
// function compaction over the code of one program.
#include "script/optimizer.h"

#include <cstring>

#include "script/externs.h"
#include "script/interpreter.h"
#include "script/opcodes.h"
#include "script/script_error.h"

namespace {

// Extern functions without side effects whose calls on constants are
// computed at load time.
const char* const kFoldableCalls[] = {"int",  "float", "string", "sin",  "asin", "cos",
                                      "acos", "tan",   "atan",   "log",  "exp",  "sqrt",
                                      "rsq",  "rcp",   "fabs",   "length", "pow"};

bool IsFoldableCall(const std::string& name) {
  for (const char* candidate : kFoldableCalls) {
    if (name == candidate) return true;
  }
  return false;
}

// A comparison followed by cs_jz / cs_jnz can become one compare-and-jump
// when the jump's condition is itself a comparison: cs_jnz jumps when the
// comparison holds; cs_jz when it fails, which is the opposite comparison
// only for == and != (an ordering with a NaN operand fails both ways round,
// so "not <" is not ">="). Returns the fused opcode, or -1 for none.
int FusedJump(int compare, int jump) {
  if (jump == cs_jnz) return JumpOfCompare(compare);
  if (compare == cs_eq) return cs_jne;
  if (compare == cs_ne) return cs_jeq;
  return -1;
}

}  // namespace

Optimizer::Optimizer(Interpreter* interpreter)
    : interpreter_(interpreter), program_(interpreter->program()) {}

void Optimizer::Run() {
  std::vector<int>& code = program_.code;
  if (code.empty()) ScriptFail("CS_Scripting::OPT() = empty program");
  int size = static_cast<int>(code.size());
  int previous = -1;
  for (int ip = 0; ip < size;) {
    int op = code[ip];
    if (!IsValidOpcode(op) || ip + kOperandCount[op] >= size) {
      ScriptFailf("CS_Scripting::OPT() = unknown code 0x%02x", op);
    }
    bool keep = false;
    if (op == cs_pushc) {
      foldable_.push_back(ip);
      keep = true;
    } else if (IsUnary(op)) {
      keep = FoldUnary(ip, op);
    } else if (IsBinary(op)) {
      keep = FoldBinary(ip, op);
    } else if (op == cs_callef) {
      keep = FoldCall(ip);
    } else if ((op == cs_jz || op == cs_jnz) && previous >= 0 && previous == ip - 1 && IsCompare(code[previous])) {
      FuseBranch(previous, ip, op);
    }
    if (!keep) foldable_.clear();
    previous = ip;
    ip += 1 + kOperandCount[op];
  }
  for (size_t s = 0; s < program_.spaces.size(); ++s) {
    NameSpace& space = *program_.spaces[s];
    for (size_t f = 0; f < space.functions.size(); ++f) {
      Compact(space.functions[f].start, space.functions[f].end);
    }
  }
}

bool Optimizer::FoldUnary(int ip, int op) {
  if (foldable_.empty()) return false;
  std::vector<int>& code = program_.code;
  int push = foldable_.back();
  Variable value = program_.Constant(code[push + 1]);
  ApplyUnary(op, value);
  code[push + 1] = program_.SpaceOf(code[push + 1]).AddConstant(value);
  code[ip] = cs_nop;
  return true;
}

bool Optimizer::FoldBinary(int ip, int op) {
  if (foldable_.size() < 2) return false;
  std::vector<int>& code = program_.code;
  int second = foldable_.back();
  int first = foldable_[foldable_.size() - 2];
  Variable value = program_.Constant(code[first + 1]);
  ApplyBinary(op, value, program_.Constant(code[second + 1]));
  code[first + 1] = program_.SpaceOf(code[first + 1]).AddConstant(value);
  code[second] = code[second + 1] = cs_nop;
  code[ip] = cs_nop;
  foldable_.pop_back();
  return true;
}

bool Optimizer::FoldCall(int ip) {
  std::vector<int>& code = program_.code;
  auto& entry = program_.extern_functions[code[ip + 1]];
  int count = entry.binding->get_num_args();
  if (count < 1 || static_cast<int>(foldable_.size()) < count || !IsFoldableCall(entry.name)) return false;
  size_t first = foldable_.size() - count;
  for (size_t k = first; k < foldable_.size(); ++k) {
    interpreter_->PushValue(Variable(program_.Constant(code[foldable_[k] + 1])));
  }
  entry.binding->run(interpreter_);
  Variable result = interpreter_->PopValue();
  int target = foldable_[first];
  code[target + 1] = program_.SpaceOf(code[target + 1]).AddConstant(result);
  for (size_t k = first + 1; k < foldable_.size(); ++k) code[foldable_[k]] = code[foldable_[k] + 1] = cs_nop;
  code[ip] = code[ip + 1] = cs_nop;
  foldable_.resize(first + 1);
  return true;
}

void Optimizer::FuseBranch(int previous, int ip, int op) {
  std::vector<int>& code = program_.code;
  const int fused = FusedJump(code[previous], op);
  if (fused < 0) return;
  int target = code[ip + 1];
  code[previous] = fused;
  code[previous + 1] = target;
  code[previous + 2] = cs_nop;
}

void Optimizer::Compact(int start, int end) {
  std::vector<int>& code = program_.code;
  if (start < 0 || end > static_cast<int>(code.size()) || start >= end) return;
  // new_position[i]: where the word at start + i moves (i == end - start
  // maps the end itself).
  std::vector<int> new_position(end - start + 1, 0);
  int written = start;
  for (int ip = start; ip < end;) {
    int op = code[ip];
    if (!IsValidOpcode(op)) ScriptFailf("CS_Scripting::OPT_function() = unknown code 0x%02x", op);
    int length = 1 + kOperandCount[op];
    for (int k = 0; k < length && ip + k <= end; ++k) new_position[ip - start + k] = written + k;
    if (op != cs_nop) written += length;
    ip += length;
  }
  new_position[end - start] = written;
  std::vector<int> body;
  body.reserve(end - start);
  for (int ip = start; ip < end;) {
    int op = code[ip];
    int length = 1 + kOperandCount[op];
    if (op != cs_nop) {
      for (int k = 0; k < length; ++k) body.push_back(code[ip + k]);
      if (IsJump(op) && code[ip + 1] >= start && code[ip + 1] <= end) {
        body.back() = new_position[code[ip + 1] - start];
      }
    }
    ip += length;
  }
  std::copy(body.begin(), body.end(), code.begin() + start);
  std::fill(code.begin() + start + body.size(), code.begin() + end, static_cast<int>(cs_nop));
  // Functions defined inside this body moved with it.
  for (auto& space : program_.spaces) {
    for (NSFunction& fn : space->functions) {
      if (fn.start > start && fn.start < end) {
        fn.start = new_position[fn.start - start];
        fn.end = new_position[fn.end - start];
      }
    }
  }
}
