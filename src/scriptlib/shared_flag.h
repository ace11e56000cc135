// shared_flag - CS_Flag, a typed value cell (a float, an int, a bool and a
// text) that scripts share between threads, mostly as a persistent object
// kept by the CS_Torvane_kernel registry.
#ifndef TORVANE_SCRIPTLIB_SHARED_FLAG_H_
#define TORVANE_SCRIPTLIB_SHARED_FLAG_H_

#include "base/mutex.h"
#include "base/string.h"

// Thread-safe: every setter and getter holds the cell's own lock (the
// inherited CCriticalSession) while it touches the values. All values start
// at zero / empty.
class CS_Flag : public CCriticalSession {
 public:
  CS_Flag() = default;
  ~CS_Flag() override = default;

  void SetFloat(float value);
  void SetInt(int value);
  // Stores 1 for any non-zero value, else 0.
  void SetBool(int value);
  // Stores a copy of the text (null stores "").
  void SetString(const char* text);

  float GetFloat();
  int GetInt();
  int GetBool();
  // A copy of the stored text, taken under the lock into a buffer of the
  // calling thread: valid until the same thread calls GetString again on
  // any CS_Flag, whatever other threads store meanwhile. Never null.
  const char* GetString();

 private:
  // Guarded by the inherited CCriticalSession:
  float float_value_ = 0.0f;
  int int_value_ = 0;
  int bool_value_ = 0;
  String string_value_{""};
};

#endif  // TORVANE_SCRIPTLIB_SHARED_FLAG_H_
