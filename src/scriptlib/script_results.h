// script_results - the text buffers behind the script functions that return
// text. Each such function owns one slot; its result stays valid until the
// same function runs again on the same script object, which is all a script
// needs since it copies every returned text at once.
#ifndef TORVANE_SCRIPTLIB_SCRIPT_RESULTS_H_
#define TORVANE_SCRIPTLIB_SCRIPT_RESULTS_H_

#include <array>
#include <cstddef>

#include "base/string.h"

// `Slot` is an enum class naming the text-returning functions of one mix-in,
// closed by an enumerator kCount. Not thread-safe: one script object is used
// by one thread.
template <typename Slot>
class ScriptTextResults {
 public:
  // Stores `value` as the result of `slot` and returns it as a C string:
  // "" (never null) for an empty or bufferless value. The previous result of
  // the slot is overwritten; every other slot is untouched.
  const char* Keep(Slot slot, const String& value) {
    String& buffer = buffers_[static_cast<size_t>(slot)];
    buffer = value;
    return buffer.GetData() != nullptr ? buffer.GetData() : "";
  }

 private:
  std::array<String, static_cast<size_t>(Slot::kCount)> buffers_;
};

#endif  // TORVANE_SCRIPTLIB_SCRIPT_RESULTS_H_
