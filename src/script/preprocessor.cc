// preprocessor - comments, directives and macro replacement of script source.
#include "script/preprocessor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/file.h"
#include "script/script_error.h"
#include "script/source_reader.h"

namespace {

// Longest #define replacement text and current-line text.
constexpr size_t kMaxDefineChars = 1023;
// Longest directory part kept for #include lookups.
constexpr size_t kMaxDirectoryChars = 1023;
// Nested #include levels; stops a file that includes itself.
constexpr int kMaxIncludeDepth = 16;
// Largest script file read (a policy file is a few hundred kilobytes).
constexpr size_t kMaxFileBytes = 16 * 1024 * 1024;

const char kDelimiters[] = " \n,.=:;()[]{}<>+-*/%!&|^\"'";

bool IsDelimiter(char c) { return c != 0 && strchr(kDelimiters, c) != nullptr; }

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return "";
  return path.substr(0, std::min(slash, kMaxDirectoryChars));
}

// Rest of the line from `pos` (without the line feed), cut to the buffer.
std::string_view LineFrom(std::string_view text, size_t pos) {
  size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) end = text.size();
  return text.substr(pos, std::min(end - pos, kMaxDefineChars));
}

void SkipToLineEnd(std::string_view text, size_t* pos) {
  while (*pos < text.size() && text[*pos] != '\n') ++*pos;
}

// Skips spaces (not line feeds: a directive ends with its line).
void SkipSpaces(std::string_view text, size_t* pos) {
  while (*pos < text.size() && text[*pos] == ' ') ++*pos;
}

std::string DirectiveName(std::string_view text, size_t* pos) {
  SkipSpaces(text, pos);
  return ReadName(text, pos, kMaxTokenChars);
}

}  // namespace

std::string StripComments(std::string_view source) {
  std::string out;
  out.reserve(source.size());
  size_t i = 0;
  while (i < source.size()) {
    char c = source[i];
    if (c == '"') {
      size_t end = SkipStringLiteral(source, i);
      for (size_t k = i; k < end; ++k) {
        if (source[k] != '\r') out += source[k];
      }
      i = end;
    } else if (c == '/' && i + 1 < source.size() && source[i + 1] == '/') {
      while (i < source.size() && source[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < source.size() && source[i + 1] == '*') {
      size_t end = source.find("*/", i + 2);
      end = end == std::string_view::npos ? source.size() : end + 2;
      out.append(std::count(source.begin() + i, source.begin() + end, '\n'), '\n');
      i = end;
    } else {
      if (c == '\t') {
        out += ' ';
      } else if (c != '\r') {
        out += c;
      }
      ++i;
    }
  }
  return out;
}

std::optional<std::string> Preprocessor::Process(const std::string& path, int depth, size_t base) {
  std::string raw;
  if (!ReadWholeFile(path.c_str(), kMaxFileBytes, &raw)) return std::nullopt;
  std::string stripped = StripComments(raw);
  return ProcessText(stripped, path, depth, base);
}

void Preprocessor::SetPositionDefines(const std::string& path, int line) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%d", line);
  (*defines_)["__LINE__"] = buffer;
  std::string file = "\"" + path.substr(0, kMaxDefineChars / 2) + ":" + buffer + "\"";
  (*defines_)["__FILE__"] = file;
}

std::string Preprocessor::ProcessText(std::string_view text, const std::string& path, int depth, size_t base) {
  std::string dir = DirectoryOf(path);
  const int file = source_map_ != nullptr ? source_map_->AddFile(path) : 0;
  int marked_line = -1;  // the line whose start in `out` was last marked
  std::vector<int> conditions;
  std::string out;
  out.reserve(text.size());
  size_t floor = 0;  // replacement never looks before this output position
  int line = 0;
  int defined_line = -1;
  size_t pos = 0;
  while (pos < text.size()) {
    char c = text[pos];
    if (c == '#') {
      *current_line_ = std::string(LineFrom(text, pos));
      if (current_location_ != nullptr) *current_location_ = path + ":" + std::to_string(line + 1);
      Directive(text, &pos, dir, depth, base, &conditions, &out);
      floor = out.size();
      defined_line = -1;
      marked_line = -1;  // an include may have spliced another file's lines
      continue;
    }
    current_line_->clear();
    if (line != defined_line) {
      SetPositionDefines(path, line);
      defined_line = line;
    }
    bool active = true;
    for (int condition : conditions) active = active && condition != 0;
    if (!active) {
      if (c == '\n') ++line;
      ++pos;
      continue;
    }
    if (source_map_ != nullptr && line != marked_line) {
      source_map_->Mark(base + out.size(), file, line + 1);
      marked_line = line;
    }
    size_t literal_end = pos;
    if (c == '\'' && pos + 3 < text.size() && text[pos + 1] == '\\' && text[pos + 3] == '\'') {
      literal_end = pos + 4;
    } else if (c == '\'' && pos + 2 < text.size() && text[pos + 2] == '\'') {
      literal_end = pos + 3;
    } else if (c == '"') {
      literal_end = SkipStringLiteral(text, pos);
    }
    if (literal_end != pos) {
      for (size_t k = pos; k < literal_end; ++k) line += text[k] == '\n';
      out.append(text.substr(pos, literal_end - pos));
      floor = out.size();
      pos = literal_end;
      continue;
    }
    out += c;
    ++pos;
    if (c == '\n') ++line;
    if (IsDelimiter(c)) ReplaceWordBefore(&out, &floor);
  }
  if (!conditions.empty()) ScriptFail("CS_Scripting::PS() = bad processor options");
  return out;
}

void Preprocessor::ReplaceWordBefore(std::string* out, size_t* floor) {
  size_t end = out->size() - 1;  // the delimiter just appended
  size_t start = end;
  while (start > *floor && !IsDelimiter((*out)[start - 1])) --start;
  if (start < end) {
    auto it = defines_->find(out->substr(start, end - start));
    if (it != defines_->end()) {
      char delimiter = (*out)[end];
      out->resize(start);
      out->append(it->second);
      out->push_back(delimiter);
    }
  }
  *floor = out->size() - 1;
}

void Preprocessor::Directive(std::string_view text, size_t* pos, const std::string& dir, int depth, size_t base,
                             std::vector<int>* conditions, std::string* out) {
  ++*pos;  // '#'
  if (*pos < text.size() && text[*pos] == '!') {
    SkipToLineEnd(text, pos);
    return;
  }
  std::string word = ReadToken(text, pos);
  bool active = true;
  for (int condition : *conditions) active = active && condition != 0;
  if (word == "ifdef" || word == "ifndef") {
    bool defined = defines_->count(DirectiveName(text, pos)) > 0;
    conditions->push_back(word == "ifdef" ? defined : !defined);
  } else if (word == "else") {
    if (conditions->empty()) ScriptFail("CS_Scripting::PS() = #else is before #ifdef or #ifndef");
    conditions->back() = !conditions->back();
  } else if (word == "endif") {
    if (conditions->empty()) ScriptFail("CS_Scripting::PS() = #endif is before #ifdef or #ifndef");
    conditions->pop_back();
  } else if (word == "define") {
    std::string name = DirectiveName(text, pos);
    SkipSpaces(text, pos);
    size_t end = text.find('\n', *pos);
    if (end == std::string_view::npos) end = text.size();
    if (end - *pos > kMaxDefineChars) ScriptFail("CS_Scripting::RD_block(): buffer overflow");
    if (active) (*defines_)[name] = std::string(text.substr(*pos, end - *pos));
  } else if (word == "undef") {
    std::string name = DirectiveName(text, pos);
    if (active) defines_->erase(name);
  } else if (word == "include") {
    if (active) {
      Include(text, pos, dir, depth, base, out);
    }
  } else if (word == "import") {
    Import(text, pos);
  } else {
    ScriptFailf("CS_Scripting::PS() = unknown prepocessor token \"#%s\"", word.c_str());
  }
  SkipToLineEnd(text, pos);
}

void Preprocessor::Include(std::string_view text, size_t* pos, const std::string& dir, int depth, size_t base,
                           std::string* out) {
  SkipSpaces(text, pos);
  if (*pos >= text.size() || (text[*pos] != '"' && text[*pos] != '<')) {
    ScriptFail("CS_Scripting::expectsymbol() = bad '#' symbol");
  }
  char close = text[*pos] == '"' ? '"' : '>';
  size_t end = text.find(close, *pos + 1);
  size_t line_end = text.find('\n', *pos);
  if (end == std::string_view::npos || end > line_end) {
    ScriptFailf("CS_Scripting::getsymbol() = bad '%c' symbol expecting %s", text[*pos], "file name");
  }
  if (end - *pos - 1 > kMaxTokenChars) ScriptFail("CS_Scripting::RD_name() = buffer overflow");
  std::string name(text.substr(*pos + 1, end - *pos - 1));
  *pos = end + 1;
  if (depth >= kMaxIncludeDepth) ScriptFail("CS_Scripting::PS() = #include nested too deeply");
  std::string saved_line = *current_line_;
  std::string saved_location = current_location_ != nullptr ? *current_location_ : "";
  const size_t included_base = base + out->size();
  std::optional<std::string> included = Process(name, depth + 1, included_base);
  if (!included) included = Process(dir + "/" + name, depth + 1, included_base);
  if (!included) ScriptFailf("CS_Scripting::PS() = can't find \"%s\" file", name.c_str());
  *current_line_ = saved_line;
  if (current_location_ != nullptr) *current_location_ = saved_location;
  out->append(*included);
}

void Preprocessor::Import(std::string_view text, size_t* pos) {
  SkipSpaces(text, pos);
  if (*pos >= text.size() || text[*pos] != '(') return;
  size_t close = text.find(')', *pos);
  size_t line_end = text.find('\n', *pos);
  if (close == std::string_view::npos || close > line_end) return;
  std::string_view inside = text.substr(*pos + 1, close - *pos - 1);
  *pos = close + 1;
  size_t comma = inside.find(',');
  if (comma == std::string_view::npos) return;
  auto trim = [](std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
  };
  std::string_view kind = trim(inside.substr(0, comma));
  std::string name(trim(inside.substr(comma + 1)));
  int kind_number = kind == "class" ? 1 : kind == "lib" ? 2 : 0;
  if (kind_number == 0) return;
  for (const STR_ScriptImport& item : *imports_) {
    if (item.kind == kind_number && item.name == name) return;
  }
  imports_->push_back(STR_ScriptImport{kind_number, name});
}
