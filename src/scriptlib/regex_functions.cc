// regex_functions - REeq over String::eq, which holds the compiled-pattern cache.
#include "scriptlib/regex_functions.h"

int CREeq::REeq(const char* text, const char* pattern, int options) {
  subject_ = text != nullptr ? text : "";
  for (String& group : groups_) group = "";
  if (!subject_.eq(pattern, options)) return 0;
  const auto& matches = subject_.matches();
  for (int i = 0; i < kKeptGroups && i < matches.GetSize(); ++i) groups_[i] = matches[i];
  return 1;
}

const char* CREeq::Capture(int group) const {
  if (group < 1 || group > kKeptGroups) return "";
  const char* text = groups_[group - 1].GetData();
  return text != nullptr ? text : "";
}
