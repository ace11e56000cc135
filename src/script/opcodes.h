// opcodes - the instruction numbers of compiled scripts and their operand
// counts, expanded from opcodes.def so that the list exists only once.
#ifndef TORVANE_SCRIPT_OPCODES_H_
#define TORVANE_SCRIPT_OPCODES_H_

enum Opcode : int {
#define CS_OP(name, operands, stack) name,
#include "script/opcodes.def"
#undef CS_OP
  kOpcodeCount
};

// Number of operand words that follow each opcode word.
inline constexpr int kOperandCount[kOpcodeCount] = {
#define CS_OP(name, operands, stack) operands,
#include "script/opcodes.def"
#undef CS_OP
};

// Mnemonics as the disassembler prints them ("cs_pushc", ...).
inline constexpr const char* kOpcodeName[kOpcodeCount] = {
#define CS_OP(name, operands, stack) #name,
#include "script/opcodes.def"
#undef CS_OP
};

inline bool IsValidOpcode(int op) { return op >= 0 && op < kOpcodeCount; }

#endif  // TORVANE_SCRIPT_OPCODES_H_
