// antispam_policy - the antispam scripts of one reload as text: the proxy
// core reads and compiles them once, and the session workers build their
// interpreters from this copy, never from the files, so a script saved
// half-edited or broken after a reload cannot reach a session.
#ifndef TORVANE_PROXY_ANTISPAM_POLICY_H_
#define TORVANE_PROXY_ANTISPAM_POLICY_H_

#include <algorithm>
#include <string>
#include <vector>

#include "base/string.h"

// Immutable once made; shared by the settings snapshots and the workers
// compiling from it, so any thread may read it.
struct AntispamPolicy {
  struct Script {
    String file;        // "/scripts/antispam/" + the entry's file part
    std::string text;   // preprocessed (includes resolved); empty unless good
    std::string error;  // why it could not be read or compiled; may be empty
    bool good = false;  // it compiled and its top level ran cleanly
  };

  // True when every script compiled (also for an empty list).
  bool Compiled() const {
    return std::all_of(scripts.begin(), scripts.end(), [](const Script& script) { return script.good; });
  }

  std::vector<Script> scripts;  // configured entries, in run order
};

#endif  // TORVANE_PROXY_ANTISPAM_POLICY_H_
