// lib_hash_array - the HashArray dictionary and its KeyValueSink adapter.
#include "scriptlib/lib_hash_array.h"

#include <cstdlib>
#include <iterator>
#include <string_view>

#include "base/string.h"
#include "scriptlib/lib_binding.h"

void CS_Array::Store(const char* key, std::string bytes, bool binary) {
  auto [it, inserted] = entries_.try_emplace(key);
  it->second.bytes = std::move(bytes);
  it->second.binary = binary;
  if (inserted) insertion_.push_back(it->first);
}

const CS_Array::Value* CS_Array::Find(const char* key) const {
  if (key == nullptr) return nullptr;
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

const std::pair<const std::string, CS_Array::Value>* CS_Array::EntryAt(int index) const {
  if (index < 0 || index >= static_cast<int>(entries_.size())) return nullptr;
  return &*std::next(entries_.begin(), index);
}

void CS_Array::AddValueS(const char* key, const char* value) {
  if (key == nullptr || value == nullptr) return;
  Store(key, value, false);
}

void CS_Array::AddValueI(const char* key, int value) {
  if (value == 0) return;
  AddValueS(key, String(value).GetData());
}

void CS_Array::AddValueF(const char* key, float value) {
  if (value == 0.0f) return;
  AddValueS(key, String(value).GetData());
}

void CS_Array::AddValueB(const char* key, Variable data, int length) {
  std::string_view bytes;
  if (ScriptBytesPrefix(data, length, &bytes)) AddBinary(key, bytes);
}

void CS_Array::AddBinary(const char* key, std::string_view bytes) {
  if (key == nullptr || bytes.empty() || bytes.size() >= static_cast<size_t>(kMaxBinaryBytes)) return;
  Store(key, std::string(bytes), true);
}

Variable CS_Array::GetS(const char* key) const {
  const Value* v = Find(key);
  return TextResult(v ? v->bytes.c_str() : "");
}

int CS_Array::GetI(const char* key) const {
  const Value* v = Find(key);
  return v ? atoi(v->bytes.c_str()) : 0;
}

float CS_Array::GetF(const char* key) const {
  const Value* v = Find(key);
  return v ? static_cast<float>(atof(v->bytes.c_str())) : 0.0f;
}

Variable CS_Array::GetB(const char* key) const {
  const Value* v = Find(key);
  Variable out("");
  if (v) out.setString(v->bytes.data(), v->bytes.size());
  return out;
}

int CS_Array::GetLenValue(const char* key) const {
  const Value* v = Find(key);
  return v && v->binary ? static_cast<int>(v->bytes.size()) : 0;
}

Variable CS_Array::GetByIndexS(int index) const {
  const auto* entry = EntryAt(index);
  return TextResult(entry ? entry->second.bytes.c_str() : "");
}

int CS_Array::GetByIndexI(int index) const {
  const auto* entry = EntryAt(index);
  return entry ? atoi(entry->second.bytes.c_str()) : 0;
}

float CS_Array::GetByIndexF(int index) const {
  const auto* entry = EntryAt(index);
  return entry ? static_cast<float>(atof(entry->second.bytes.c_str())) : 0.0f;
}

int CS_Array::GetIndexByKey(const char* key) const {
  if (key == nullptr) return -1;
  auto it = entries_.find(key);
  return it == entries_.end() ? -1 : static_cast<int>(std::distance(entries_.begin(), it));
}

Variable CS_Array::GetKeyByIndex(int index) const {
  const auto* entry = EntryAt(index);
  return entry ? Variable(entry->first.c_str()) : Variable(0);
}

Variable CS_Array::GetByIndexB(int index) const {
  if (index < 0 || index >= GetRecordCount()) return Variable("");
  return GetB(insertion_[static_cast<size_t>(index)].c_str());
}

int CS_Array::KeyExists(const char* key) const { return Find(key) ? 1 : 0; }

void CS_Array::Reset() {
  entries_.clear();
  insertion_.clear();
}

void CS_Array::Merge(CS_Array* other) {
  if (other == nullptr || other == this) return;
  for (const std::string& key : other->insertion_) {
    const Value& v = other->entries_.at(key);
    Store(key.c_str(), v.bytes, v.binary);
  }
}

void ArraySink::Clear() {
  if (array_) array_->Reset();
}

void ArraySink::Add(const char* key, const char* value, size_t value_len) {
  if (array_ == nullptr || key == nullptr || value == nullptr) return;
  if (std::string_view(value, value_len).find('\0') == std::string_view::npos) {
    array_->AddValueS(key, value);
  } else {
    array_->AddBinary(key, std::string_view(value, value_len));
  }
}

void RegisterHashArray(Interpreter* interpreter) {
  auto* c = new ExternClass<CS_Array>();
  c->addMethod("AddValueS", &CS_Array::AddValueS);
  c->addMethod("AddValueI", &CS_Array::AddValueI);
  c->addMethod("AddValueF", &CS_Array::AddValueF);
  c->addMethod("AddValueB", &CS_Array::AddValueB);
  c->addMethod("GetS", &CS_Array::GetS);
  c->addMethod("GetI", &CS_Array::GetI);
  c->addMethod("GetF", &CS_Array::GetF);
  c->addMethod("GetB", &CS_Array::GetB);
  c->addMethod("GetLenValue", &CS_Array::GetLenValue);
  c->addMethod("GetByIndexS", &CS_Array::GetByIndexS);
  c->addMethod("GetByIndexI", &CS_Array::GetByIndexI);
  c->addMethod("GetByIndexF", &CS_Array::GetByIndexF);
  c->addMethod("GetIndexByKey", &CS_Array::GetIndexByKey);
  c->addMethod("GetKeyByIndex", &CS_Array::GetKeyByIndex);
  c->addMethod("Reset", &CS_Array::Reset);
  c->addMethod("GetRecordCount", &CS_Array::GetRecordCount);
  c->addMethod("Merge", &CS_Array::Merge);
  c->addMethod("KeyExists", &CS_Array::KeyExists);
  interpreter->addExternClass("HashArray", c);
}
