// lib_binding - the bounded byte view of script arguments.
#include "scriptlib/lib_binding.h"

#include <typeinfo>

#include "scriptlib/lib_files.h"
#include "base/string.h"

bool ScriptBytes(const Variable& value, std::string_view* out) {
  *out = std::string_view();
  if (value.type() == Variable::kString) {
    *out = value.rawString();
    return true;
  }
  void* pointer = value.rawPointer();
  const std::type_info* type = value.typeInfo();
  if (pointer == nullptr || type == nullptr) return false;
  if (*type == typeid(String*)) {
    *out = static_cast<const String*>(pointer)->BufferView();
    return true;
  }
  if (*type == typeid(CS_MemoryFile*)) {
    const auto* file = static_cast<const CS_MemoryFile*>(pointer);
    if (file->GetBuffer() != nullptr) {
      *out = std::string_view(reinterpret_cast<const char*>(file->GetBuffer()), file->GetLength());
    }
    return true;
  }
  return false;
}

bool ScriptBytesPrefix(const Variable& value, int length, std::string_view* out) {
  std::string_view all;
  *out = std::string_view();
  if (length < 1 || !ScriptBytes(value, &all) || static_cast<size_t>(length) > all.size()) return false;
  *out = all.substr(0, static_cast<size_t>(length));
  return true;
}
