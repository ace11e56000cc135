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

[[noreturn]] void Underflow() { ScriptFail("Stack::pop(): stack underflow\n"); }

bool IsPush(int op) { return op == cs_pushc || op == cs_pushv; }

// x OP y on ints for the operators with an int shortcut; false when OP has
// none or must take the slow path (modulo by 0 or -1 reports its error there).
inline bool IntOperator(int op, int x, int y, int* result) {
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
    default: return false;
  }
}

bool IsFusableOperator(int op) {
  return op == cs_add || op == cs_sub || op == cs_mul || op == cs_mod || IsCompare(op) || IsCompareJump(op);
}

// a = a OP b for a binary opcode.
inline void Binary(int op, Variable& a, const Variable& b) {
  int result;
  if (a.type() == Variable::kInt && b.type() == Variable::kInt && IntOperator(op, a.rawInt(), b.rawInt(), &result)) {
    a.setInt(result);
  } else {
    ApplyBinary(op, a, b);
  }
}

// a = OP a for cs_not, cs_neg, cs_inc, cs_dec.
inline void Unary(int op, Variable& a) {
  if (a.type() != Variable::kInt || op == cs_not) return ApplyUnary(op, a);
  const int x = a.rawInt();
  a.setInt(op == cs_neg ? WrapMul(x, -1) : op == cs_inc ? WrapAdd(x, 1) : WrapSub(x, 1));
}

// Whether the compare-and-jump `op` jumps for a, b.
inline bool CompareJumpTaken(int op, const Variable& a, const Variable& b) {
  int result;
  if (a.type() == Variable::kInt && b.type() == Variable::kInt &&
      IntOperator(CompareOfJump(op), a.rawInt(), b.rawInt(), &result)) {
    return result;
  }
  return CompareVariables(CompareOfJump(op), a, b);
}

// Whether cs_jz / cs_jnz jumps on `v`.
inline bool ConditionTaken(int op, const Variable& v) {
  const bool zero = (v.type() == Variable::kInt ? v.rawInt() : v.toInt()) == 0;
  return zero == (op == cs_jz);
}

}  // namespace

// ---- Linking ----------------------------------------------------------------

void Interpreter::Link() {
  const std::vector<int>& code = program_.code;
  operand_values_.assign(code.size(), nullptr);
  fusions_.assign(code.size(), Fusion{});
  std::vector<size_t> pushes;
  for (size_t ip = 0; ip < code.size();) {
    int op = code[ip];
    if (!IsValidOpcode(op) || ip + kOperandCount[op] >= code.size()) break;
    if (op == cs_pushc) {
      operand_values_[ip + 1] = const_cast<Variable*>(&program_.Constant(code[ip + 1]));
    } else if (op == cs_pushv || op == cs_popv || op == cs_incv || op == cs_decv) {
      operand_values_[ip + 1] = &program_.VariableAt(code[ip + 1]);
    }
    if (IsPush(op)) pushes.push_back(ip);
    ip += 1 + kOperandCount[op];
  }
  for (size_t ip : pushes) fusions_[ip] = FuseAt(ip);
}

Interpreter::Fusion Interpreter::FuseAt(size_t ip) const {
  const std::vector<int>& code = program_.code;
  const size_t size = code.size();
  // The word at `at`, or -1 past the end.
  auto word = [&](size_t at) { return at < size ? code[at] : -1; };
  Fusion f;
  const bool triple = IsPush(word(ip + 2)) && ip + 3 < size && operand_values_[ip + 3] != nullptr;
  f.a = triple ? operand_values_[ip + 1] : nullptr;
  f.b = operand_values_[ip + (triple ? 3 : 1)];
  const size_t next = ip + (triple ? 4 : 2);
  const int op = word(next);
  if (!IsValidOpcode(op) || !IsFusableOperator(op) || next + kOperandCount[op] >= size) return Fusion{};
  f.op = op;
  if (IsCompareJump(op)) {
    f.then = Fusion::kJumpIf;
    f.op = CompareOfJump(op);
    f.target = code[next + 1];
    f.resume = static_cast<int>(next + 2);
  } else if (IsCompare(op) && (word(next + 1) == cs_jz || word(next + 1) == cs_jnz) && next + 2 < size) {
    f.then = word(next + 1) == cs_jz ? Fusion::kJumpUnless : Fusion::kJumpIf;
    f.target = code[next + 2];
    f.resume = static_cast<int>(next + 3);
  } else if (triple && word(next + 1) == cs_popv && next + 2 < size && operand_values_[next + 2]) {
    f.then = Fusion::kStore;
    f.store = operand_values_[next + 2];
    f.resume = static_cast<int>(next + 3);
  } else {
    f.then = triple ? Fusion::kPush : Fusion::kSetTop;
    f.resume = static_cast<int>(next + 1);
  }
  return f;
}

// ---- Running ----------------------------------------------------------------

__attribute__((always_inline)) inline Interpreter::FusionStep Interpreter::RunFusion(const Fusion& f, int& ip,
                                                                                      int& sp) {
  Variable* a = f.a != nullptr ? f.a : sp > 0 ? &stack_[sp - 1] : nullptr;
  int result;
  if (a == nullptr || a->type() != Variable::kInt || f.b->type() != Variable::kInt ||
      !IntOperator(f.op, a->rawInt(), f.b->rawInt(), &result)) {
    // "s = s + x" on a string appends in place instead of copying s.
    if (f.then != Fusion::kStore || f.op != cs_add || f.store != a || a->type() != Variable::kString) {
      return FusionStep::kDeclined;
    }
    ApplyBinary(cs_add, *a, *f.b);
    ip = f.resume;
    return FusionStep::kDone;
  }
  if (f.then >= Fusion::kJumpIf) {
    if (f.a == nullptr) --sp;
    if ((result != 0) == (f.then == Fusion::kJumpIf)) return FusionStep::kJump;
  } else if (f.then == Fusion::kStore) {
    f.store->setInt(result);
  } else if (f.then == Fusion::kSetTop) {
    a->setInt(result);
  } else {
    if (sp >= kStackSize) {
      sp_ = sp;
      StackOverflow();
    }
    stack_[sp++].setInt(result);
  }
  ip = f.resume;
  return FusionStep::kDone;
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
  const Fusion* fusions = fusions_.data();
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
  // Hands the stack back to the caller when this level ends.
  auto out = [&]() { sp_ = sp; };
  // Every backward jump and call: the step limit, the thread hook and the
  // exit flag are looked at here, so that a long loop keeps calling the
  // hook and stops promptly on exit.
  auto checkpoint = [&]() {
    if (step_limit_ > 0 && --steps_left_ < 0) ScriptFail("CS_Scripting::run(): step limit reached");
    if (thread_function_) thread_function_(thread_param_);
  };
  // Moves to `target`; true when the run is to stop (the exit flag was set
  // while passing a checkpoint).
  auto jump = [&](int target) {
    if (target < 0 || target >= size) ScriptFail("CS_Scripting::run(): bad program");
    const bool backward = target <= ip;
    ip = target;
    if (backward) checkpoint();
    return backward && exit_flag_;
  };
  // A conditional jump with its target in the next word.
  auto branch = [&](bool taken) {
    if (taken) return jump(code[ip + 1]);
    ip += 2;
    return false;
  };
  // Runs `call` (a native, a nested run) on the stack through sp_; true when
  // the run is to stop. The exit flag can change only in code that ran
  // outside this loop, so it is tested after those.
  auto host = [&](auto&& call) {
    sp_ = sp;
    call();
    sp = sp_;
    return exit_flag_ != 0;
  };
  if (exit_flag_) return;
  for (;;) {
    const int op = code[ip];
    switch (op) {
      case cs_pushc:
      case cs_pushv: {
        const Fusion& fusion = fusions[ip];
        if (fusion.then != Fusion::kNone) {
          const FusionStep step = RunFusion(fusion, ip, sp);
          if (step == FusionStep::kDone) break;
          if (step == FusionStep::kJump) {
            if (jump(fusion.target)) return out();
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
        if (host([&] { program_.extern_classes[object.cls].binding->assignment(object.slot, this); })) return;
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
        const int ref = code[ip + 1];
        ip += 2;
        checkpoint();
        if (host([&] { CallFunction(ref, current); })) return;
        break;
      }
      case cs_callef: {
        const int index = code[ip + 1];
        ip += 2;
        if (host([&] { program_.extern_functions[index].binding->run(this); })) return;
        break;
      }
      case cs_callecc:
      case cs_callecd: {
        const NSExternClass& object = program_.ObjectAt(code[ip + 1]);
        ExternClassBase& binding = *program_.extern_classes[object.cls].binding;
        ip += 2;
        auto call = [&] {
          if (op == cs_callecc) {
            binding.constructor(object.slot, this);
          } else {
            binding.destructor(object.slot, this);
          }
        };
        if (host(call)) return;
        break;
      }
      case cs_callecf: {
        const NSExternClass& object = program_.ObjectAt(code[ip + 1]);
        const int method = code[ip + 2];
        ip += 3;
        if (host([&] { program_.extern_classes[object.cls].binding->run(object.slot, method, this); })) return;
        break;
      }
      case cs_nop: ++ip; break;
      case cs_not:
      case cs_neg:
      case cs_inc:
      case cs_dec: need(1); Unary(op, stack[sp - 1]); ++ip; break;
      case cs_incv: Unary(cs_inc, *operands[ip + 1]); ip += 2; break;
      case cs_decv: Unary(cs_dec, *operands[ip + 1]); ip += 2; break;
      case cs_mul:
      case cs_div:
      case cs_mod:
      case cs_add:
      case cs_sub:
      case cs_eq:
      case cs_ne:
      case cs_le:
      case cs_ge:
      case cs_lt:
      case cs_gt:
      case cs_and:
      case cs_or:
      case cs_bit_and:
      case cs_bit_or:
      case cs_bit_xor:
        need(2);
        Binary(op, stack[sp - 2], stack[sp - 1]);
        --sp;
        ++ip;
        break;
      case cs_jmp:
        if (jump(code[ip + 1])) return out();
        break;
      case cs_jz:
      case cs_jnz:
        need(1);
        --sp;
        if (branch(ConditionTaken(op, stack[sp]))) return out();
        break;
      case cs_jeq:
      case cs_jne:
      case cs_vjle:
      case cs_jge:
      case cs_jlt:
      case cs_jgt:
        need(2);
        sp -= 2;
        if (branch(CompareJumpTaken(op, stack[sp], stack[sp + 1]))) return out();
        break;
      case cs_ret: return out();
      default: ScriptFailf("CS_Scripting::run(): unknown code 0x%02x", op);
    }
  }
}
