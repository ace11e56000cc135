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
#include "script/source_map.h"

class Preprocessor {
 public:
  // All four are the interpreter's and must outlive the preprocessor;
  // `source_map` (optional) records where each output line came from, and
  // `current_location` (optional) is set to "FILE:LINE" of each directive.
  Preprocessor(std::map<std::string, std::string>* defines,
               std::vector<STR_ScriptImport>* imports, std::string* current_line,
               SourceMap* source_map = nullptr, std::string* current_location = nullptr)
      : defines_(defines),
        imports_(imports),
        current_line_(current_line),
        source_map_(source_map),
        current_location_(current_location) {}

  // The processed text of the file; nullopt when it cannot be read.
  std::optional<std::string> Run(const std::string& path) { return Process(path, 0, 0); }

  // Processing of text already in memory (`path` names it in __FILE__);
  // `base` is where its output starts in the whole preprocessed text.
  std::string ProcessText(std::string_view source, const std::string& path, int depth, size_t base = 0);

 private:
  std::optional<std::string> Process(const std::string& path, int depth, size_t base);
  void Directive(std::string_view text, size_t* pos, const std::string& dir, int depth, size_t base,
                 std::vector<int>* conditions, std::string* out);
  void Include(std::string_view text, size_t* pos, const std::string& dir, int depth, size_t base,
               std::string* out);
  void Import(std::string_view text, size_t* pos);
  // Replaces the defined word that ends just before the delimiter last
  // appended to `out`; never looks below `*floor` (no re-scan).
  void ReplaceWordBefore(std::string* out, size_t* floor);
  void SetPositionDefines(const std::string& path, int line);

  std::map<std::string, std::string>* defines_;  // not owned
  std::vector<STR_ScriptImport>* imports_;       // not owned
  std::string* current_line_;                    // not owned
  SourceMap* source_map_;                        // not owned, may be null
  std::string* current_location_;                // not owned, may be null
};

// The text with comments, carriage returns and tabs handled (first pass); a
// comment's line feeds stay, so lines keep their numbers.
std::string StripComments(std::string_view source);

#endif  // TORVANE_SCRIPT_PREPROCESSOR_H_
