// namespace - the item tables of one scope.
#include "script/namespace.h"

#include <cstring>

#include "script/script_error.h"

namespace {

int FindByName(const std::unordered_map<std::string, int>& index, const std::string& name) {
  auto it = index.find(name);
  return it == index.end() ? -1 : it->second;
}

// Raises `message` when a table is full, so the index fits its reference.
template <typename Table>
void CheckRoom(const Table& table, const char* message) {
  if (table.size() >= static_cast<size_t>(kMaxNamespaceItems)) ScriptFail(message);
}

bool SameConstant(const Variable& a, const Variable& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Variable::kInt: return a.rawInt() == b.rawInt();
    case Variable::kFloat: {
      float x = a.rawFloat(), y = b.rawFloat();
      return memcmp(&x, &y, sizeof x) == 0;
    }
    case Variable::kString: return a.hasText() == b.hasText() && a.rawString() == b.rawString();
    case Variable::kPointer: return a.rawPointer() == b.rawPointer() && a.typeInfo() == b.typeInfo();
    default: return true;
  }
}

}  // namespace

void NameSpace::CheckFree(const std::string& name, const char* duplicate_message) const {
  if (HasName(name)) ScriptFailf(duplicate_message, name.c_str());
}

bool NameSpace::HasName(const std::string& name) const {
  return FindVariable(name) >= 0 || FindArray(name) >= 0 || FindFunction(name) >= 0 ||
         FindExternClass(name) >= 0;
}

int NameSpace::AddConstant(const Variable& value) {
  for (size_t i = 0; i < constants.size(); ++i) {
    if (SameConstant(constants[i], value)) return MakeRef(number_, static_cast<int>(i));
  }
  CheckRoom(constants, "NS::addconstant(): maximum constants count per namespace is 64k");
  constants.push_back(value);
  return MakeRef(number_, static_cast<int>(constants.size() - 1));
}

int NameSpace::AddVariable(const std::string& name, int type) {
  CheckFree(name, "NS::add_variable(): name \"%.256s\" already defined");
  CheckRoom(variables, "NS::addvariable(): maximum variable count per namespace is 64k");
  NSVariable item;
  item.name = name;
  item.value.setType(type);
  variables.push_back(std::move(item));
  variable_index_[name] = static_cast<int>(variables.size() - 1);
  return MakeRef(number_, static_cast<int>(variables.size() - 1));
}

int NameSpace::AddArray(const std::string& name, int element_type) {
  CheckFree(name, "NS::addarray(): name \"%.256s\" already defined");
  CheckRoom(arrays, "NS::addarray(): maximum array count per namespace is 64k");
  arrays.emplace_back();
  NSArray& item = arrays.back();
  item.name = name;
  item.element_type = element_type;
  item.storage = Array(element_type);
  int ref = MakeRef(number_, static_cast<int>(arrays.size() - 1));
  item.reference = ref;
  array_index_[name] = RefIndex(ref);
  return ref;
}

int NameSpace::AddFunction(const std::string& name, const std::string& return_type) {
  CheckFree(name, "NS::addfunction(): name \"%.256s\" already defined");
  CheckRoom(functions, "NS::addfunction(): maximum function count per namespace is 64k");
  functions.emplace_back();
  functions.back().name = name;
  functions.back().return_type = return_type;
  function_index_[name] = static_cast<int>(functions.size() - 1);
  return MakeRef(number_, static_cast<int>(functions.size() - 1));
}

int NameSpace::AddExternClass(const std::string& name, int cls, int slot) {
  CheckFree(name, "NS::addexternclass(): name \"%.256s\" already defined");
  CheckRoom(objects, "NS::addexternclass(): maximum class count per namespace is 64k");
  objects.push_back(NSExternClass{name, cls, slot});
  object_index_[name] = static_cast<int>(objects.size() - 1);
  return MakeRef(number_, static_cast<int>(objects.size() - 1));
}

int NameSpace::FindVariable(const std::string& name) const { return FindByName(variable_index_, name); }
int NameSpace::FindArray(const std::string& name) const { return FindByName(array_index_, name); }
int NameSpace::FindFunction(const std::string& name) const { return FindByName(function_index_, name); }
int NameSpace::FindExternClass(const std::string& name) const { return FindByName(object_index_, name); }
