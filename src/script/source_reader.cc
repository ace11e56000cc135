// source_reader - bounded lexical readers over script source.
#include "script/source_reader.h"

#include <cstdlib>

#include "script/script_error.h"

namespace {

// Longest statement cut out as the body of if/else/for/while/do.
constexpr size_t kMaxStatementChars = 1024 * 1024;

// Position after a character literal 'x' or '\x' at `pos`, or `pos` when
// none starts there (so quotes inside it do not count as brackets).
size_t SkipCharLiteral(std::string_view text, size_t pos) {
  if (pos + 2 < text.size() && text[pos + 1] != '\\' && text[pos + 2] == '\'') return pos + 3;
  if (pos + 3 < text.size() && text[pos + 1] == '\\' && text[pos + 3] == '\'') return pos + 4;
  return pos;
}

// Steps over a quoted literal at `pos`; true when there was one.
bool SkipLiteral(std::string_view text, size_t* pos) {
  if (text[*pos] == '"') {
    *pos = SkipStringLiteral(text, *pos);
    return true;
  }
  if (text[*pos] == '\'') {
    size_t after = SkipCharLiteral(text, *pos);
    if (after != *pos) {
      *pos = after;
      return true;
    }
  }
  return false;
}

int EscapedByte(std::string_view text, size_t* pos) {
  char c = text[*pos];
  ++*pos;
  switch (c) {
    case 'b': return 8;
    case 'f': return 12;
    case 'n': return 10;
    case 'r': return 13;
    case 't': return 9;
    case 'v': return 11;
    case 'a': return 7;
    case '"': case '\'': case '?': case '\\': return c;
    case '0': {
      auto octal = [](char d) { return d >= '0' && d <= '7'; };
      if (*pos + 1 < text.size() && octal(text[*pos]) && octal(text[*pos + 1])) {
        int value = (text[*pos] - '0') * 8 + (text[*pos + 1] - '0');
        *pos += 2;
        return value;
      }
      return 0;
    }
    default: ScriptFailf("CS_Scripting::CV_string() = unsupported string code \\%c", c);
  }
}

// Brackets counted while cutting text; `paren_message` and `brace_message`
// report a closing bracket without an opening one.
struct Depths {
  int paren = 0, square = 0, brace = 0;
  bool Zero() const { return paren == 0 && square == 0 && brace == 0; }
  // Counts `c`; raises when a closing bracket goes below zero.
  void Count(char c, const char* paren_message, const char* brace_message) {
    switch (c) {
      case '(': ++paren; break;
      case ')': if (--paren < 0) ScriptFail(paren_message); break;
      case '[': ++square; break;
      case ']': if (--square < 0) ScriptFail(paren_message); break;
      case '{': ++brace; break;
      case '}': if (--brace < 0) ScriptFail(brace_message); break;
      default: break;
    }
  }
};

// Whether the '{' at `brace` opens a value (an initialiser after '=', ','
// or '(') rather than a block.
bool PrecededByValueStart(std::string_view text, size_t start, size_t brace) {
  while (brace > start && IsBlank(text[brace - 1])) --brace;
  if (brace == start) return false;
  char c = text[brace - 1];
  return c == '=' || c == ',' || c == '(';
}

}  // namespace

void SkipBlanks(std::string_view text, size_t* pos) {
  while (*pos < text.size() && IsBlank(text[*pos])) ++*pos;
}

std::string ReadName(std::string_view text, size_t* pos, size_t limit) {
  if (*pos >= text.size() || !IsNameStart(text[*pos])) ScriptFail("CS_Scripting::RD_name() = bad name");
  size_t start = *pos;
  while (*pos < text.size() && IsNameChar(text[*pos])) ++*pos;
  if (*pos - start > limit) ScriptFail("CS_Scripting::RD_name() = buffer overflow");
  return std::string(text.substr(start, *pos - start));
}

std::string ReadToken(std::string_view text, size_t* pos) {
  size_t start = *pos;
  while (*pos < text.size() && IsNameChar(text[*pos])) ++*pos;
  if (*pos - start > kMaxTokenChars) ScriptFail("CS_Scripting::RD_token() = buffer overflow");
  return std::string(text.substr(start, *pos - start));
}

Variable ReadNumber(std::string_view text, size_t* pos) {
  size_t start = *pos;
  if (*pos + 1 < text.size() && text[*pos] == '0' && (text[*pos + 1] == 'x' || text[*pos + 1] == 'X')) {
    *pos += 2;
    unsigned value = 0;
    while (*pos < text.size() && isxdigit(static_cast<unsigned char>(text[*pos]))) {
      char c = text[*pos];
      int digit = IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
      value = value * 16 + static_cast<unsigned>(digit);
      if (++*pos - start > kMaxTextChars) ScriptFail("CS_Scripting::RD_digit() = buffer overflow");
    }
    return Variable(static_cast<int>(value));
  }
  bool is_float = false;
  while (*pos < text.size()) {
    char c = text[*pos];
    char previous = *pos > start ? text[*pos - 1] : 0;
    bool accepted = IsDigit(c) ||
                    ((c == '.' || c == 'e' || c == 'E' || c == 'f' || c == 'F') && IsDigit(previous)) ||
                    ((c == '+' || c == '-') && (previous == 'e' || previous == 'E'));
    if (!accepted) break;
    if (c == '.' || c == 'e' || c == 'E') is_float = true;
    if (++*pos - start > kMaxTextChars) ScriptFail("CS_Scripting::RD_digit() = buffer overflow");
  }
  std::string digits(text.substr(start, *pos - start));
  if (is_float) return Variable(strtod(digits.c_str(), nullptr));
  // Out-of-range literals wrap to 32 bits, as the C conversion does here.
  return Variable(static_cast<int>(static_cast<unsigned>(strtoull(digits.c_str(), nullptr, 10))));
}

size_t SkipStringLiteral(std::string_view text, size_t pos) {
  for (size_t i = pos + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;  // the escaped character cannot end the literal
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return text.size();
}

Variable ReadString(std::string_view text, size_t* pos) {
  std::string value;
  while (*pos < text.size() && text[*pos] == '"') {
    ++*pos;
    for (;;) {
      if (*pos >= text.size()) ScriptFail("CS_Scripting::expectsymbol() = end of string");
      char c = text[*pos];
      if (c == '"') break;
      if (c == '\\' && *pos + 1 < text.size()) {
        ++*pos;
        value += static_cast<char>(EscapedByte(text, pos));
      } else {
        value += c;
        ++*pos;
      }
      if (value.size() > kMaxTextChars) ScriptFail("CS_Scripting::CV_string() = buffer overflow");
    }
    ++*pos;
    size_t next = *pos;
    SkipBlanks(text, &next);
    if (next < text.size() && text[next] == '"') *pos = next;
  }
  Variable result;
  result.setString(std::move(value));
  return result;
}

std::string_view ReadBracketed(std::string_view text, size_t* pos, char open, char close,
                               size_t limit) {
  size_t start = *pos + 1;
  int depth = 0;
  Depths others;
  for (size_t i = *pos; i < text.size();) {
    if (SkipLiteral(text, &i)) continue;
    char c = text[i];
    if (c == open) {
      ++depth;
    } else if (c == close) {
      if (--depth == 0) {
        if (i - start > limit) ScriptFail("CS_Scripting::RD_block(): buffer overflow");
        *pos = i + 1;
        return text.substr(start, i - start);
      }
    } else if (c == '(' || c == ')') {
      others.Count(c, "CS_Scripting::read_block() = some errors with counts of '(' and ')' symbols",
                   "");
    }
    ++i;
  }
  ScriptFailf("CS_Scripting::RA_block() = some errors with counts of '%c' and '%c' symbols", open, close);
}

std::string_view ReadUntil(std::string_view text, size_t* pos, char delimiter, size_t limit) {
  size_t start = *pos;
  Depths depths;
  size_t i = *pos;
  while (i < text.size()) {
    if (SkipLiteral(text, &i)) continue;
    char c = text[i];
    if (c == delimiter && depths.Zero()) break;
    depths.Count(c, "CS_Scripting::read_block() = some errors with counts of '(' and ')' symbols",
                 "CS_Scripting::RD_A() = some errors with counts of '{' and '}' symbols");
    ++i;
  }
  if (i > text.size()) i = text.size();
  if (i - start > limit) ScriptFail("CS_Scripting::RD_block(): buffer overflow");
  *pos = i;
  return text.substr(start, i - start);
}

std::string_view ReadStatement(std::string_view text, size_t* pos) {
  SkipBlanks(text, pos);
  size_t start = *pos;
  if (*pos < text.size() && text[*pos] == '{') {
    ReadBracketed(text, pos, '{', '}', kMaxStatementChars);
    return text.substr(start, *pos - start);
  }
  Depths depths;
  size_t i = *pos;
  bool starts_with_do = text.substr(start, 2) == "do" &&
                        (start + 2 >= text.size() || !IsNameChar(text[start + 2]));
  bool block_brace = false;  // the outermost open brace starts a block, not an initialiser
  while (i < text.size()) {
    if (SkipLiteral(text, &i)) continue;
    char c = text[i];
    if (c == ';' && depths.Zero()) {
      ++i;
      break;
    }
    if (c == '{' && depths.brace == 0) block_brace = !PrecededByValueStart(text, start, i);
    depths.Count(c, "CS_Scripting::RD_A() = some errors with counts of '(' and ')' symbols",
                 "CS_Scripting::RD_A() = some errors with counts of '{' and '}' symbols");
    ++i;
    // A nested control statement ends with its block, unless an else or the
    // while of a do loop continues it.
    if (c == '}' && depths.Zero() && block_brace) {
      size_t next = i;
      SkipBlanks(text, &next);
      std::string word = ReadToken(text, &next);
      if (word != "else" && !(word == "while" && starts_with_do)) break;
    }
  }
  if (i > text.size()) i = text.size();
  if (i - start > kMaxStatementChars) ScriptFail("CS_Scripting::RD_A() = buffer overflow");
  *pos = i;
  return text.substr(start, i - start);
}

void SplitTopLevel(std::string_view text, char separator, std::vector<std::string_view>* parts) {
  parts->clear();
  size_t pos = 0;
  for (;;) {
    std::string_view part = ReadUntil(text, &pos, separator, text.size());
    parts->push_back(part);
    if (pos >= text.size()) break;
    ++pos;
  }
}

void ExpectSymbol(std::string_view text, size_t* pos, char symbol) {
  SkipBlanks(text, pos);
  if (*pos >= text.size()) ScriptFail("CS_Scripting::expectsymbol() = end of string");
  if (text[*pos] != symbol) {
    ScriptFailf("CS_Scripting::expectsymbol() = bad '%c' symbol expecting '%c'", text[*pos], symbol);
  }
  ++*pos;
}

void ExpectToken(std::string_view text, size_t* pos, const char* word) {
  SkipBlanks(text, pos);
  std::string token = ReadToken(text, pos);
  if (token != word) {
    ScriptFailf("CS_Scripting::expectsymbol() = expecting \"%s\" but have \"%.256s\" token", word,
                token.c_str());
  }
}

std::string_view TrimBlanks(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}
