// script_error - raising script errors (see script_error.h).
#include "script/script_error.h"

#include <cstdarg>
#include <cstdio>

void ScriptFail(const char* message) { throw ScriptError(message); }

void ScriptFailf(const char* format, ...) {
  char buffer[kMaxErrorChars];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  throw ScriptError(buffer);
}
