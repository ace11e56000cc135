// preprocessor - turns a script file into compiler input: strips comments,
// carriage returns and tabs, handles the # directives (#ifdef, #ifndef,
// #else, #endif, #define, #undef, #include, #import) and replaces defined
// words. Errors raise ScriptError; an unreadable file is reported by the
// caller.
#ifndef TORVANE_SCRIPT_PREPROCESSOR_H_
#define TORVANE_SCRIPT_PREPROCESSOR_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "script/interpreter.h"

class Preprocessor {
 public:
  // All three are the interpreter's and must outlive the preprocessor.
  Preprocessor(std::map<std::string, std::string>* defines,
               std::vector<STR_ScriptImport>* imports, std::string* current_line)
      : defines_(defines), imports_(imports), current_line_(current_line) {}

  // The processed text of the file; nullopt when it cannot be read.
  std::optional<std::string> Run(const std::string& path) { return Process(path, 0); }

  // Processing of text already in memory (`path` names it in __FILE__).
  std::string ProcessText(std::string_view source, const std::string& path, int depth);

 private:
  std::optional<std::string> Process(const std::string& path, int depth);
  void Directive(std::string_view text, size_t* pos, const std::string& dir, int depth,
                 std::vector<int>* conditions, std::string* out);
  void Include(std::string_view text, size_t* pos, const std::string& dir, int depth,
               std::string* out);
  void Import(std::string_view text, size_t* pos);
  // Replaces the defined word that ends just before the delimiter last
  // appended to `out`; never looks below `*floor` (no re-scan).
  void ReplaceWordBefore(std::string* out, size_t* floor);
  void SetPositionDefines(const std::string& path, int line);

  std::map<std::string, std::string>* defines_;  // not owned
  std::vector<STR_ScriptImport>* imports_;       // not owned
  std::string* current_line_;                    // not owned
};

// The text with comments, carriage returns and tabs handled (first pass).
std::string StripComments(std::string_view source);

#endif  // TORVANE_SCRIPT_PREPROCESSOR_H_
