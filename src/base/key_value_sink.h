// key_value_sink - where a table hands its key/value pairs to a caller.
// Stores and INI files fill script arrays through this interface, so the base
// and engine layers stay ignorant of the script engine's value types.
#ifndef TORVANE_BASE_KEY_VALUE_SINK_H_
#define TORVANE_BASE_KEY_VALUE_SINK_H_

#include <cstddef>

class KeyValueSink {
 public:
  virtual ~KeyValueSink() = default;
  // Removes every pair added so far.
  virtual void Clear() = 0;
  // Adds (or, where keys are unique, replaces) one pair. `value` holds
  // `value_len` bytes and is NUL-terminated; neither pointer is kept.
  virtual void Add(const char* key, const char* value, size_t value_len) = 0;
};

#endif  // TORVANE_BASE_KEY_VALUE_SINK_H_
