// program - what one compiled script consists of: the code words, the
// namespaces and the extern binding tables. The compiler fills it, the
// optimizer rewrites its code, the executor and the disassembler read it.
#ifndef TORVANE_SCRIPT_PROGRAM_H_
#define TORVANE_SCRIPT_PROGRAM_H_

#include <memory>
#include <string>
#include <vector>

#include "script/namespace.h"

class ExternFunctionBase;
class ExternVariableBase;
class ExternClassBase;

// Longest extern variable, function or class name kept.
inline constexpr size_t kMaxExternNameChars = 1023;

template <typename Binding>
struct ExternEntry {
  std::string name;
  std::unique_ptr<Binding> binding;  // owned
};

struct Program {
  Program();
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // A new namespace numbered by its position, registered with its parent.
  NameSpace* NewSpace(NameSpace* parent);
  // Drops every namespace and starts again with an empty global one.
  void ResetSpaces();

  // Index in the extern table, or -1.
  int FindExternVariable(const std::string& name) const;
  int FindExternFunction(const std::string& name) const;
  int FindExternClass(const std::string& name) const;

  // Item access by reference. REQUIRES: the reference was made by the
  // compiler for that kind of item (the executor trusts its own code).
  NameSpace& SpaceOf(int ref) { return *spaces[RefSpace(ref)]; }
  const Variable& Constant(int ref) { return SpaceOf(ref).constants[RefIndex(ref)]; }
  Variable& VariableAt(int ref) { return SpaceOf(ref).variables[RefIndex(ref)].value; }
  NSArray& ArrayAt(int ref) { return SpaceOf(ref).arrays[RefIndex(ref)]; }
  NSFunction& FunctionAt(int ref) { return SpaceOf(ref).functions[RefIndex(ref)]; }
  NSExternClass& ObjectAt(int ref) { return SpaceOf(ref).objects[RefIndex(ref)]; }
  // Whether `ref` names an existing array (array references are script values).
  bool IsArrayRef(int ref) const;

  std::vector<int> code;
  std::vector<std::unique_ptr<NameSpace>> spaces;
  NameSpace* global = nullptr;  // spaces[0]
  std::vector<ExternEntry<ExternVariableBase>> extern_variables;
  std::vector<ExternEntry<ExternFunctionBase>> extern_functions;
  std::vector<ExternEntry<ExternClassBase>> extern_classes;
};

#endif  // TORVANE_SCRIPT_PROGRAM_H_
