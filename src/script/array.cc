// array - indexed and associative script array storage.
#include "script/array.h"

#include "script/script_error.h"

namespace {

// Largest indexed array a script may create; each element is a Variable, so
// this bounds one declaration at a few hundred megabytes.
constexpr int kMaxArrayElements = 4 * 1024 * 1024;

}  // namespace

void Array::Create(int size) {
  if (size < 0) ScriptFail("Array::constructor(): bad array size");
  if (size > kMaxArrayElements) ScriptFail("Array::constructor(): array too large");
  if (size == 0) {
    kind_ = kAssociative;
    map_.clear();
    elements_.clear();
    return;
  }
  if (kind_ == kIndexed && static_cast<int>(elements_.size()) == size) return;
  kind_ = kIndexed;
  map_.clear();
  Variable initial;
  initial.setType(element_type_);
  elements_.assign(static_cast<size_t>(size), initial);
}

int Array::IndexOf(const Variable& index) const {
  int i = index.toInt();
  if (i < 0 || i >= static_cast<int>(elements_.size())) ScriptFail("Array::pop(): bad array index");
  return i;
}

const Variable& Array::Get(const Variable& index) const {
  if (kind_ == kIndexed) return elements_[IndexOf(index)];
  auto it = map_.find(index);
  if (it == map_.end()) ScriptFail("Array::push(): uninitialized key");
  return it->second;
}

void Array::Set(const Variable& index, Variable&& value) {
  if (kind_ == kIndexed) {
    elements_[IndexOf(index)] = std::move(value);
    return;
  }
  map_[index] = std::move(value);
}
