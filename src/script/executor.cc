// executor - the dispatch loop over compiled code and script function calls.
// Integer fast paths sit inline; every other case goes through the operator
// rules of variable.cc, so the two cannot disagree on a result.
#include <climits>

#include "script/externs.h"
#include "script/interpreter.h"
#include "script/opcodes.h"
#include "script/script_error.h"
#include "script/wrapping_int.h"

namespace {

// Nested script calls (each is a nested executor on the native stack); deeper
// recursion ends the call with an error instead of overflowing that stack.
constexpr int kMaxCallDepth = 200;

// Fused compare-and-jump: whether jump opcode `op` jumps for a, b.
bool JumpTaken(int op, const Variable& a, const Variable& b) {
  if (a.type() == Variable::kInt && b.type() == Variable::kInt) {
    int x = a.rawInt(), y = b.rawInt();
    switch (op) {
      case cs_jeq: return x == y;
      case cs_jne: return x != y;
      case cs_vjle: return x <= y;
      case cs_jge: return x >= y;
      case cs_jlt: return x < y;
      default: return x > y;
    }
  }
  switch (op) {
    case cs_jeq: return VariableEqual(a, b);
    case cs_jne: return VariableNotEqual(a, b);
    case cs_vjle: return VariableLessEqual(a, b);
    case cs_jge: return VariableGreaterEqual(a, b);
    case cs_jlt: return VariableLess(a, b);
    default: return VariableGreater(a, b);
  }
}

[[noreturn]] void Underflow() { ScriptFail("Stack::pop(): stack underflow\n"); }

// Shortcuts over the code, found by Link: "push b; op" with a on the stack
// (pair) and "push a; push b; op" (triple), where op is an int operator or a
// fused compare-and-jump. Taken only when both values are ints; anything
// else runs the instructions one by one, so results cannot differ.
constexpr unsigned char kFusedPair = 1;
constexpr unsigned char kFusedTriple = 2;
constexpr unsigned char kFusedTripleStore = 3;  // a triple whose result a cs_popv takes

bool IsPush(int op) { return op == cs_pushc || op == cs_pushv; }
bool IsFusableOperator(int op) {
  return op == cs_add || op == cs_sub || op == cs_mul || op == cs_mod || (op >= cs_eq && op <= cs_gt) ||
         (op >= cs_jeq && op <= cs_jgt);
}

// x op y for the fusable operators; false when op must take the slow path
// (modulo by 0 or -1 reports its error there).
bool IntOperator(int op, int x, int y, int* result) {
  switch (op) {
    case cs_add: *result = WrapAdd(x, y); return true;
    case cs_sub: *result = WrapSub(x, y); return true;
    case cs_mul: *result = WrapMul(x, y); return true;
    case cs_mod:
      if (y == 0 || y == -1) return false;
      *result = x % y;
      return true;
    case cs_eq: *result = x == y; return true;
    case cs_ne: *result = x != y; return true;
    case cs_le: *result = x <= y; return true;
    case cs_ge: *result = x >= y; return true;
    case cs_lt: *result = x < y; return true;
    case cs_gt: *result = x > y; return true;
    case cs_jeq: *result = x == y; return true;
    case cs_jne: *result = x != y; return true;
    case cs_vjle: *result = x <= y; return true;
    case cs_jge: *result = x >= y; return true;
    case cs_jlt: *result = x < y; return true;
    default: *result = x > y; return true;
  }
}

}  // namespace

void Interpreter::Link() {
  const std::vector<int>& code = program_.code;
  operand_values_.assign(code.size(), nullptr);
  for (size_t ip = 0; ip < code.size();) {
    int op = code[ip];
    if (!IsValidOpcode(op) || ip + kOperandCount[op] >= code.size()) break;
    if (op == cs_pushc) {
      operand_values_[ip + 1] = const_cast<Variable*>(&program_.Constant(code[ip + 1]));
    } else if (op == cs_pushv || op == cs_popv || op == cs_incv || op == cs_decv) {
      operand_values_[ip + 1] = &program_.VariableAt(code[ip + 1]);
    }
    ip += 1 + kOperandCount[op];
  }
  fused_.assign(code.size(), 0);
  for (size_t ip = 0; ip + 4 < code.size(); ++ip) {
    if (!operand_values_[ip + 1] || !IsPush(code[ip]) || !IsPush(code[ip + 2])) continue;
    if (!operand_values_[ip + 3]) continue;
    if (IsFusableOperator(code[ip + 4]) && ip + 4 + kOperandCount[code[ip + 4]] < code.size()) {
      bool store = code[ip + 4] < cs_jeq && ip + 6 < code.size() && code[ip + 5] == cs_popv &&
                   operand_values_[ip + 6];
      fused_[ip] = store ? kFusedTripleStore : kFusedTriple;
    }
  }
  for (size_t ip = 0; ip + 2 < code.size(); ++ip) {
    if (fused_[ip] || !operand_values_[ip + 1] || !IsPush(code[ip])) continue;
    if (IsFusableOperator(code[ip + 2]) && ip + 2 + kOperandCount[code[ip + 2]] < code.size()) {
      fused_[ip] = kFusedPair;
    }
  }
}

void Interpreter::CallFunction(int ref, const NSFunction* current) {
  const NSFunction& fn = program_.FunctionAt(ref);
  if (call_depth_ >= kMaxCallDepth) ScriptFail("CS_Scripting::run(): too deep recursion");
  ++call_depth_;
  if (&fn != current) {
    Execute(fn.start, &fn);
    --call_depth_;
    return;
  }
  // A direct self-call shares the caller's variables: save them on the value
  // stack under a copy of the arguments, restore them after the call.
  const int nargs = static_cast<int>(fn.args.size());
  const int nsaved = static_cast<int>(fn.saved.size());
  if (sp_ < nargs) Underflow();
  const int args_base = sp_ - nargs;
  if (sp_ + nsaved + nargs > kStackSize) StackOverflow();
  for (Variable* v : fn.saved) stack_[sp_++] = *v;
  for (int k = 0; k < nargs; ++k) stack_[sp_++] = std::move(stack_[args_base + k]);
  Execute(fn.start, &fn);
  --call_depth_;
  if (exit_flag_) return;
  // The callee left exactly its result above the saved values.
  if (sp_ != args_base + nargs + nsaved + 1) Underflow();
  Variable* saved = &stack_[args_base + nargs];
  for (int i = 0; i < nsaved; ++i) *fn.saved[i] = std::move(saved[i]);
  stack_[args_base] = std::move(stack_[sp_ - 1]);
  sp_ = args_base + 1;
}

void Interpreter::Execute(int address, const NSFunction* current) {
  const int size = static_cast<int>(program_.code.size());
  if (size == 0) ScriptFail("CS_Scripting::run(): empty program");
  if (address < 0 || address >= size) ScriptFailf("CS_Scripting::run(): bad address 0x%08x", address);
  const int* code = program_.code.data();
  Variable* const* operands = operand_values_.data();
  const unsigned char* fused = fused_.data();
  Variable* const stack = stack_;
  int sp = sp_;
  int ip = address;
  auto push = [&](const Variable& v) {
    if (sp >= kStackSize) {
      sp_ = sp;
      StackOverflow();
    }
    stack[sp++] = v;
  };
  auto need = [&](int n) {
    if (sp < n) Underflow();
  };
  // Hands the stack to code that uses it through sp_ (natives, calls).
  auto out = [&]() { sp_ = sp; };
  auto back = [&]() { sp = sp_; };
  // The exit flag can change only in code that ran outside this loop (a
  // native, a nested call, the thread hook), so it is tested after those.
  auto stopped = [&]() {
    if (!exit_flag_) return false;
    out();
    return true;
  };
  // Every backward jump and call: the step limit, the thread hook and the
  // exit flag are looked at here, so that a long loop keeps calling the
  // hook and stops promptly on exit.
  auto checkpoint = [&]() {
    if (step_limit_ > 0 && --steps_left_ < 0) ScriptFail("CS_Scripting::run(): step limit reached");
    if (thread_function_) thread_function_(thread_param_);
  };
  if (exit_flag_) return;
  auto jump = [&](int target) {
    if (target < 0 || target >= size) ScriptFail("CS_Scripting::run(): bad program");
    bool backward = target <= ip;
    ip = target;
    if (backward) checkpoint();
    return backward && exit_flag_;
  };
  for (;;) {
    int op = code[ip];
    switch (op) {
      case cs_pushc:
      case cs_pushv: {
        if (unsigned char kind = fused[ip]) {
          bool triple = kind != kFusedPair;
          const Variable& b = *operands[ip + (triple ? 3 : 1)];
          const Variable* a = triple ? operands[ip + 1] : sp > 0 ? &stack[sp - 1] : nullptr;
          int next = ip + (triple ? 4 : 2);
          int fused_op = code[next];
          // "s = s + x" on a string appends in place instead of copying s.
          if (kind == kFusedTripleStore && fused_op == cs_add && operands[next + 2] == operands[ip + 1] &&
              a->type() == Variable::kString) {
            ApplyBinary(cs_add, *operands[ip + 1], b);
            ip = next + 3;
            break;
          }
          int result;
          if (a && a->type() == Variable::kInt && b.type() == Variable::kInt &&
              IntOperator(fused_op, a->rawInt(), b.rawInt(), &result)) {
            if (fused_op >= cs_jeq) {
              if (!triple) --sp;
              if (result) {
                ip = next;
                if (jump(code[next + 1])) return out();
              } else {
                ip = next + 2;
              }
            } else if (kind == kFusedTripleStore) {
              operands[next + 2]->setInt(result);
              ip = next + 3;
            } else if (triple) {
              if (sp >= kStackSize) {
                sp_ = sp;
                StackOverflow();
              }
              stack[sp++].setInt(result);
              ip = next + 1;
            } else {
              stack[sp - 1].setInt(result);
              ip = next + 1;
            }
            break;
          }
        }
        push(*operands[ip + 1]);
        ip += 2;
        break;
      }
      case cs_pushev: push(program_.extern_variables[code[ip + 1]].binding->get_variable()); ip += 2; break;
      case cs_pusha: push(Variable(program_.ArrayAt(code[ip + 1]).reference)); ip += 2; break;
      case cs_pushav: {
        need(1);
        NSArray& named = program_.ArrayAt(code[ip + 1]);
        stack[sp - 1] = program_.ArrayAt(named.reference).storage.Get(stack[sp - 1]);
        ip += 2;
        break;
      }
      case cs_pushec: {
        const NSExternClass& object = program_.ObjectAt(code[ip + 1]);
        push(program_.extern_classes[object.cls].binding->get_variable(object.slot));
        ip += 2;
        break;
      }
      case cs_pop: need(1); --sp; ++ip; break;
      case cs_popv: need(1); *operands[ip + 1] = std::move(stack[--sp]); ip += 2; break;
      case cs_popa: {
        need(1);
        const Variable& value = stack[sp - 1];
        if (value.type() != Variable::kInt || !program_.IsArrayRef(value.rawInt())) {
          ScriptFail("CS_Scripting::run(): bad array reference");
        }
        program_.ArrayAt(code[ip + 1]).reference = value.rawInt();
        --sp;
        ip += 2;
        break;
      }
      case cs_popav: {
        need(2);
        NSArray& named = program_.ArrayAt(code[ip + 1]);
        program_.ArrayAt(named.reference).storage.Set(stack[sp - 1], std::move(stack[sp - 2]));
        sp -= 2;
        ip += 2;
        break;
      }
      case cs_popec: {
        const NSExternClass& object = program_.ObjectAt(code[ip + 1]);
        out();
        program_.extern_classes[object.cls].binding->assignment(object.slot, this);
        back();
        if (stopped()) return;
        ip += 2;
        break;
      }
      case cs_copy:
        if (sp < 1) ScriptFail("Stack::top(): stack underflow\n");
        push(stack[sp - 1]);
        ++ip;
        break;
      case cs_swap: need(2); std::swap(stack[sp - 1], stack[sp - 2]); ++ip; break;
      case cs_callac: {
        need(1);
        NSArray& named = program_.ArrayAt(code[ip + 1]);
        named.reference = code[ip + 1];
        named.storage.Create(stack[--sp].toInt());
        ip += 2;
        break;
      }
      case cs_callf: {
        int ref = code[ip + 1];
        ip += 2;
        checkpoint();
        out();
        CallFunction(ref, current);
        back();
        if (stopped()) return;
        break;
      }
      case cs_callef: {
        int index = code[ip + 1];
        ip += 2;
        out();
        program_.extern_functions[index].binding->run(this);
        back();
        if (stopped()) return;
        break;
      }
      case cs_callecc:
      case cs_callecd: {
        const NSExternClass& object = program_.ObjectAt(code[ip + 1]);
        ExternClassBase& binding = *program_.extern_classes[object.cls].binding;
        ip += 2;
        out();
        if (op == cs_callecc) {
          binding.constructor(object.slot, this);
        } else {
          binding.destructor(object.slot, this);
        }
        back();
        if (stopped()) return;
        break;
      }
      case cs_callecf: {
        const NSExternClass& object = program_.ObjectAt(code[ip + 1]);
        int method = code[ip + 2];
        ip += 3;
        out();
        program_.extern_classes[object.cls].binding->run(object.slot, method, this);
        back();
        if (stopped()) return;
        break;
      }
      case cs_nop: ++ip; break;
      case cs_not:
      case cs_neg:
      case cs_inc:
      case cs_dec: {
        need(1);
        Variable& a = stack[sp - 1];
        if (a.type() == Variable::kInt && op != cs_not) {
          int x = a.rawInt();
          a.setInt(op == cs_neg ? WrapMul(x, -1) : op == cs_inc ? WrapAdd(x, 1) : WrapSub(x, 1));
        } else {
          ApplyUnary(op, a);
        }
        ++ip;
        break;
      }
      case cs_incv:
      case cs_decv: {
        Variable& v = *operands[ip + 1];
        if (v.type() == Variable::kInt) {
          v.setInt(op == cs_incv ? WrapAdd(v.rawInt(), 1) : WrapSub(v.rawInt(), 1));
        } else {
          ApplyUnary(op == cs_incv ? cs_inc : cs_dec, v);
        }
        ip += 2;
        break;
      }
      case cs_add:
      case cs_sub:
      case cs_mul:
      case cs_lt:
      case cs_gt:
      case cs_le:
      case cs_ge:
      case cs_eq:
      case cs_ne: {
        need(2);
        Variable& a = stack[sp - 2];
        const Variable& b = stack[sp - 1];
        if (a.type() == Variable::kInt && b.type() == Variable::kInt) {
          int x = a.rawInt(), y = b.rawInt();
          int r;
          switch (op) {
            case cs_add: r = WrapAdd(x, y); break;
            case cs_sub: r = WrapSub(x, y); break;
            case cs_mul: r = WrapMul(x, y); break;
            case cs_lt: r = x < y; break;
            case cs_gt: r = x > y; break;
            case cs_le: r = x <= y; break;
            case cs_ge: r = x >= y; break;
            case cs_eq: r = x == y; break;
            default: r = x != y; break;
          }
          a.setInt(r);
        } else {
          ApplyBinary(op, a, b);
        }
        --sp;
        ++ip;
        break;
      }
      case cs_mod: {
        need(2);
        Variable& a = stack[sp - 2];
        const Variable& b = stack[sp - 1];
        int y = b.rawInt();
        if (a.type() == Variable::kInt && b.type() == Variable::kInt && y != 0 && y != -1) {
          a.setInt(a.rawInt() % y);
        } else {
          ApplyBinary(op, a, b);
        }
        --sp;
        ++ip;
        break;
      }
      case cs_div:
      case cs_and:
      case cs_or:
      case cs_bit_and:
      case cs_bit_or:
      case cs_bit_xor:
        need(2);
        ApplyBinary(op, stack[sp - 2], stack[sp - 1]);
        --sp;
        ++ip;
        break;
      case cs_jmp:
        if (jump(code[ip + 1])) return out();
        break;
      case cs_jz:
      case cs_jnz: {
        need(1);
        const Variable& v = stack[--sp];
        bool zero = (v.type() == Variable::kInt ? v.rawInt() : v.toInt()) == 0;
        if (zero == (op == cs_jz)) {
          if (jump(code[ip + 1])) return out();
        } else {
          ip += 2;
        }
        break;
      }
      case cs_jeq:
      case cs_jne:
      case cs_vjle:
      case cs_jge:
      case cs_jlt:
      case cs_jgt: {
        need(2);
        bool taken = JumpTaken(op, stack[sp - 2], stack[sp - 1]);
        sp -= 2;
        if (taken) {
          if (jump(code[ip + 1])) return out();
        } else {
          ip += 2;
        }
        break;
      }
      case cs_ret: out(); return;
      default: ScriptFailf("CS_Scripting::run(): unknown code 0x%02x", op);
    }
  }
}
