// shared_flag - the shared value cell: each access is one short hold of its lock.
#include "scriptlib/shared_flag.h"

void CS_Flag::SetFloat(float value) {
  CriticalScope hold(*this);
  float_value_ = value;
}

void CS_Flag::SetInt(int value) {
  CriticalScope hold(*this);
  int_value_ = value;
}

void CS_Flag::SetBool(int value) {
  CriticalScope hold(*this);
  bool_value_ = value != 0 ? 1 : 0;
}

void CS_Flag::SetString(const char* text) {
  CriticalScope hold(*this);
  string_value_ = text != nullptr ? text : "";
}

float CS_Flag::GetFloat() {
  CriticalScope hold(*this);
  return float_value_;
}

int CS_Flag::GetInt() {
  CriticalScope hold(*this);
  return int_value_;
}

int CS_Flag::GetBool() {
  CriticalScope hold(*this);
  return bool_value_;
}

const char* CS_Flag::GetString() {
  // A pointer into string_value_ could be freed by another thread's
  // SetString while the caller still reads it; a per-thread copy cannot.
  thread_local String copy;
  {
    CriticalScope hold(*this);
    copy = string_value_;
  }
  return copy.GetData() != nullptr ? copy.GetData() : "";
}
