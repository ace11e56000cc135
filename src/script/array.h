// array - the storage of one script array: indexed (fixed size, checked
// indexes) or associative (keys ordered by the script comparison rules).
// Errors raise ScriptError with the "Array::" messages.
#ifndef TORVANE_SCRIPT_ARRAY_H_
#define TORVANE_SCRIPT_ARRAY_H_

#include <map>
#include <vector>

#include "script/variable.h"

class Array {
 public:
  enum Kind : int { kIndexed = 0, kAssociative = 1 };

  explicit Array(int element_type = Variable::kVoid) : element_type_(element_type) {}

  // size >= 1: indexed array of `size` fresh elements (kept as they are when
  // an indexed array of that size exists already); 0: an empty associative
  // array. Raises "Array::constructor(): bad array size" for size < 0.
  void Create(int size);

  // The element at `index` (indexed: int index in range; associative: an
  // existing key). Raises "Array::pop(): bad array index" or
  // "Array::push(): uninitialized key". The reference stays valid until the
  // array is changed.
  const Variable& Get(const Variable& index) const;
  // Stores `value` at `index`, creating an associative entry when needed.
  void Set(const Variable& index, Variable&& value);

  int kind() const { return kind_; }
  int element_type() const { return element_type_; }
  int size() const {
    return kind_ == kIndexed ? static_cast<int>(elements_.size()) : static_cast<int>(map_.size());
  }

 private:
  // Key order: equal keys (float keys within the tolerance) are one key.
  struct KeyLess {
    bool operator()(const Variable& a, const Variable& b) const {
      return !VariableEqual(a, b) && VariableLess(a, b);
    }
  };

  int IndexOf(const Variable& index) const;

  int element_type_;
  int kind_ = kIndexed;
  std::vector<Variable> elements_;
  std::map<Variable, Variable, KeyLess> map_;
};

#endif  // TORVANE_SCRIPT_ARRAY_H_
