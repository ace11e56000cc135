// lib_harness - the script test harness with the library classes registered.
#ifndef TORVANE_TESTS_UNIT_SCRIPTLIB_LIB_HARNESS_H_
#define TORVANE_TESTS_UNIT_SCRIPTLIB_LIB_HARNESS_H_

#include <string>
#include <vector>

#include "../script/script_harness.h"
#include "scriptlib/library_classes.h"

namespace lib_test {

using script_test::Captured;
using script_test::Harness;

// An interpreter with Capture and every library class.
class LibHarness : public Harness {
 public:
  LibHarness() { SetClassScript(&interpreter); }
};

// The MORE texts of what `body` captured as main's body, or the log when it failed.
inline std::vector<std::string> RunBody(const std::string& body, const std::string& globals = "") {
  LibHarness h;
  if (h.LoadAndRun(globals + "int main() { " + body + " return 7; }") != 7) return {"failed: " + h.log};
  std::vector<std::string> out;
  for (const Variable& v : Captured()) out.push_back(v.MoreText());
  return out;
}

inline std::string Int(int v) { return "int: " + std::to_string(v) + "\n"; }
inline std::string Text(const std::string& v) { return "string: \"" + v + "\"\n"; }

}  // namespace lib_test

#endif  // TORVANE_TESTS_UNIT_SCRIPTLIB_LIB_HARNESS_H_
