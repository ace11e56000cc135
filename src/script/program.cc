// program - namespace list and extern tables of one compiled script.
#include "script/program.h"

#include "script/externs.h"

namespace {

template <typename Entry>
int FindEntry(const std::vector<Entry>& table, const std::string& name) {
  for (size_t i = 0; i < table.size(); ++i) {
    if (table[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

Program::Program() { ResetSpaces(); }
Program::~Program() = default;

NameSpace* Program::NewSpace(NameSpace* parent) {
  // Namespace numbers must fit the high 16 bits of an item reference.
  if (spaces.size() >= static_cast<size_t>(kMaxNamespaceItems)) {
    ScriptFail("NS::NameSpace(): maximum namespace count is 64k");
  }
  spaces.push_back(std::make_unique<NameSpace>(static_cast<int>(spaces.size()), parent));
  NameSpace* space = spaces.back().get();
  if (parent) parent->children().push_back(space);
  return space;
}

void Program::ResetSpaces() {
  spaces.clear();
  global = nullptr;
  global = NewSpace(nullptr);
}

int Program::FindExternVariable(const std::string& name) const { return FindEntry(extern_variables, name); }
int Program::FindExternFunction(const std::string& name) const { return FindEntry(extern_functions, name); }
int Program::FindExternClass(const std::string& name) const { return FindEntry(extern_classes, name); }

bool Program::IsArrayRef(int ref) const {
  size_t space = static_cast<size_t>(RefSpace(ref));
  return space < spaces.size() && static_cast<size_t>(RefIndex(ref)) < spaces[space]->arrays.size();
}
