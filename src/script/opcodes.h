// opcodes - the instruction numbers of compiled scripts, their operand counts
// and their classes, expanded from opcodes.def so that the list exists only
// once.
#ifndef TORVANE_SCRIPT_OPCODES_H_
#define TORVANE_SCRIPT_OPCODES_H_

enum Opcode : int {
#define CS_OP(name, operands, stack, kind) name,
#include "script/opcodes.def"
#undef CS_OP
  kOpcodeCount
};

// Number of operand words that follow each opcode word.
inline constexpr int kOperandCount[kOpcodeCount] = {
#define CS_OP(name, operands, stack, kind) operands,
#include "script/opcodes.def"
#undef CS_OP
};

// Mnemonics as the disassembler prints them ("cs_pushc", ...).
inline constexpr const char* kOpcodeName[kOpcodeCount] = {
#define CS_OP(name, operands, stack, kind) #name,
#include "script/opcodes.def"
#undef CS_OP
};

// The "kind" column of opcodes.def.
enum class OpcodeKind : unsigned char { other, unary, binary, compare, jump, compare_jump };

inline constexpr OpcodeKind kOpcodeKind[kOpcodeCount] = {
#define CS_OP(name, operands, stack, kind) OpcodeKind::kind,
#include "script/opcodes.def"
#undef CS_OP
};

inline bool IsValidOpcode(int op) { return op >= 0 && op < kOpcodeCount; }

// Opcode classes. REQUIRES: IsValidOpcode(op).
// a -> OP a: cs_not, cs_neg, cs_inc, cs_dec.
inline bool IsUnary(int op) { return kOpcodeKind[op] == OpcodeKind::unary; }
// a, b -> a OP b, comparisons included.
inline bool IsBinary(int op) {
  return kOpcodeKind[op] == OpcodeKind::binary || kOpcodeKind[op] == OpcodeKind::compare;
}
// a, b -> int(a REL b).
inline bool IsCompare(int op) { return kOpcodeKind[op] == OpcodeKind::compare; }
// A fused compare-and-jump: pops b, a; jumps when a REL b.
inline bool IsCompareJump(int op) { return kOpcodeKind[op] == OpcodeKind::compare_jump; }
// Any instruction whose operand is a jump target.
inline bool IsJump(int op) {
  return kOpcodeKind[op] == OpcodeKind::jump || kOpcodeKind[op] == OpcodeKind::compare_jump;
}

// The fused compare-and-jumps keep the comparisons' order, so each maps to
// its comparison and back by offset.
static_assert(cs_jne - cs_jeq == cs_ne - cs_eq && cs_vjle - cs_jeq == cs_le - cs_eq &&
              cs_jge - cs_jeq == cs_ge - cs_eq && cs_jlt - cs_jeq == cs_lt - cs_eq &&
              cs_jgt - cs_jeq == cs_gt - cs_eq);
// The comparison a compare-and-jump tests. REQUIRES: IsCompareJump(op).
inline int CompareOfJump(int op) { return op - cs_jeq + cs_eq; }
// The compare-and-jump that jumps when `compare` holds. REQUIRES: IsCompare.
inline int JumpOfCompare(int compare) { return compare - cs_eq + cs_jeq; }

#endif  // TORVANE_SCRIPT_OPCODES_H_
