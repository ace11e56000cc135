// lib_hash_array - CS_Array, the script class "HashArray": a dictionary of
// texts and binary values keyed by text, read in key (byte) order or in
// insertion order, and ArraySink, the adapter through which every table of
// the engines (stores, INI files, statistics, interfaces) fills one.
#ifndef TORVANE_SCRIPTLIB_LIB_HASH_ARRAY_H_
#define TORVANE_SCRIPTLIB_LIB_HASH_ARRAY_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/key_value_sink.h"
#include "script/interpreter.h"
#include "script/variable.h"

// Not thread-safe: one script's object, used by one thread.
class CS_Array {
 public:
  // Binary values hold at least 1 and fewer than this many bytes: the
  // largest attachment a script may keep in one entry.
  static constexpr int kMaxBinaryBytes = 11048577;

  CS_Array() = default;
  CS_Array(const CS_Array&) = delete;
  CS_Array& operator=(const CS_Array&) = delete;

  // Adds `key` or replaces its value (keeping its insertion position). A
  // null key or value stores nothing.
  void AddValueS(const char* key, const char* value);
  // The number as "%d" / "%g" text; 0 is not stored at all.
  void AddValueI(const char* key, int value);
  void AddValueF(const char* key, float value);
  // The first `length` bytes of `data` (a text or a buffer pointer) as a
  // binary value; nothing unless 1 <= length < kMaxBinaryBytes and the data
  // really holds that many bytes.
  void AddValueB(const char* key, Variable data, int length);
  // Native callers: `bytes` as a binary value (same length rule).
  void AddBinary(const char* key, std::string_view bytes);

  // The value text, "" when absent.
  Variable GetS(const char* key) const;
  int GetI(const char* key) const;
  float GetF(const char* key) const;
  // The value's bytes (binary values whole), "" when absent.
  Variable GetB(const char* key) const;
  // The byte count of a binary value; 0 for texts and absent keys.
  int GetLenValue(const char* key) const;

  // By position in key order: "", 0, 0.0 out of range.
  Variable GetByIndexS(int index) const;
  int GetByIndexI(int index) const;
  float GetByIndexF(int index) const;
  // Position of `key` in key order, -1 when absent.
  int GetIndexByKey(const char* key) const;
  // The index-th key in key order; int 0 (null) out of range.
  Variable GetKeyByIndex(int index) const;
  // The index-th value in insertion order (native callers), "" out of range.
  Variable GetByIndexB(int index) const;

  int GetRecordCount() const { return static_cast<int>(insertion_.size()); }
  int KeyExists(const char* key) const;
  void Reset();
  // Adds every entry of `other` (null: nothing), binary values as binary.
  void Merge(CS_Array* other);

 private:
  struct Value {
    std::string bytes;
    bool binary = false;
  };
  void Store(const char* key, std::string bytes, bool binary);
  const Value* Find(const char* key) const;
  // The entry at `index` in key order, null out of range.
  const std::pair<const std::string, Value>* EntryAt(int index) const;

  std::map<std::string, Value> entries_;  // byte order of the keys
  std::vector<std::string> insertion_;     // keys in the order first added
};

// KeyValueSink over a HashArray, for every native call that fills a script
// array (record-store queries, INI sections, statistics, interface lists).
// A null array swallows the pairs. The array must outlive the sink.
class ArraySink : public KeyValueSink {
 public:
  explicit ArraySink(CS_Array* array) : array_(array) {}
  void Clear() override;
  void Add(const char* key, const char* value, size_t value_len) override;

 private:
  CS_Array* array_;  // not owned
};

// Registers "HashArray".
void RegisterHashArray(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_HASH_ARRAY_H_
