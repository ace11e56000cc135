// namespace - one compile-time scope of a script: its constants, variables,
// arrays, functions and extern class objects. Compiled code names an item by
// a reference word: namespace number in the high 16 bits, table index in the
// low 16 bits. Namespaces live as long as the compiled program.
#ifndef TORVANE_SCRIPT_NAMESPACE_H_
#define TORVANE_SCRIPT_NAMESPACE_H_

#include <string>
#include <unordered_map>
#include <vector>

#include "script/array.h"
#include "script/variable.h"

class NameSpace;

// Items per namespace table: the index must fit the low 16 bits of a reference.
inline constexpr int kMaxNamespaceItems = 65536;

inline int MakeRef(int space, int index) { return (space << 16) | index; }
inline int RefSpace(int ref) { return static_cast<unsigned>(ref) >> 16; }
inline int RefIndex(int ref) { return ref & 0xffff; }

struct NSVariable {
  std::string name;
  Variable value;
};

struct NSArray {
  std::string name;
  int element_type = Variable::kVoid;
  int reference = 0;  // the array whose storage this name uses (its own at first)
  Array storage;
};

struct NSArgument {
  std::string name;
  std::string type_name;  // "int", "string", a class name; "name[]" arrays have "array"
  bool is_array = false;
};

struct NSFunction {
  std::string name;
  std::string return_type;
  int start = 0;  // first word of the body
  int end = 0;    // word after the body
  std::vector<NSArgument> args;
  NameSpace* scope = nullptr;  // not owned: owned by the interpreter's namespace list
  // Variables of the scope and its nested scopes, depth-first; saved and
  // restored around a direct self-call. Filled when compilation ends.
  std::vector<Variable*> saved;
};

struct NSExternClass {
  std::string name;
  int cls = 0;   // index in the interpreter's extern class table
  int slot = 0;  // object slot in that class binding
};

class NameSpace {
 public:
  // `number` is this namespace's position in the interpreter's list.
  NameSpace(int number, NameSpace* parent) : number_(number), parent_(parent) {}
  virtual ~NameSpace() = default;
  NameSpace(const NameSpace&) = delete;
  NameSpace& operator=(const NameSpace&) = delete;

  int number() const { return number_; }
  NameSpace* parent() const { return parent_; }
  std::vector<NameSpace*>& children() { return children_; }

  // Adders return the item's reference; they raise "NS::..." on a duplicate
  // name in this namespace or a full table.
  int AddConstant(const Variable& value);  // equal constants are shared
  int AddVariable(const std::string& name, int type);
  int AddArray(const std::string& name, int element_type);
  int AddFunction(const std::string& name, const std::string& return_type);
  int AddExternClass(const std::string& name, int cls, int slot);

  // Index in this namespace's own table, or -1.
  int FindVariable(const std::string& name) const;
  int FindArray(const std::string& name) const;
  int FindFunction(const std::string& name) const;
  int FindExternClass(const std::string& name) const;
  bool HasName(const std::string& name) const;

  std::vector<Variable> constants;
  std::vector<NSVariable> variables;
  std::vector<NSArray> arrays;
  std::vector<NSFunction> functions;
  std::vector<NSExternClass> objects;

  int loop_flag = 0;
  bool function_scope = false;     // break/continue do not cross a function
  std::vector<int> break_list;     // jump operands to patch to the loop's end
  std::vector<int> continue_list;  // jump operands to patch to the continue point

 private:
  void CheckFree(const std::string& name, const char* duplicate_message) const;

  // Name -> index per table, so declarations and lookups stay O(1) however
  // many items a scope holds.
  std::unordered_map<std::string, int> variable_index_;
  std::unordered_map<std::string, int> array_index_;
  std::unordered_map<std::string, int> function_index_;
  std::unordered_map<std::string, int> object_index_;

  int number_;
  NameSpace* parent_;  // not owned
  std::vector<NameSpace*> children_;  // not owned
};

#endif  // TORVANE_SCRIPT_NAMESPACE_H_
