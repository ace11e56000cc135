// source_reader - the lexical readers shared by the preprocessor and the
// compiler: bounded reads of names, tokens, numbers, literals and bracketed
// text from a view of the source. Every reader takes a position, advances it
// past what it read and raises ScriptError with its own message when the
// text is malformed or longer than the reader's limit.
#ifndef TORVANE_SCRIPT_SOURCE_READER_H_
#define TORVANE_SCRIPT_SOURCE_READER_H_

#include <string>
#include <string_view>
#include <vector>

#include "script/variable.h"

// Longest directive word, keyword, type name or declared name (a 256-byte
// buffer with its NUL).
inline constexpr size_t kMaxTokenChars = 255;
// Longest identifier in statements and expressions, number, string literal,
// statement text, condition, index or argument list (1024-byte buffers).
inline constexpr size_t kMaxTextChars = 1023;
// Longest declaration list or array initialiser.
inline constexpr size_t kMaxDeclarationChars = 4095;

inline bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c == '$';
}
inline bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsBlank(char c) { return c == ' ' || c == '\n'; }

// Skips spaces and line feeds.
void SkipBlanks(std::string_view text, size_t* pos);
// An identifier of at most `limit` characters ("RD_name" errors).
std::string ReadName(std::string_view text, size_t* pos, size_t limit);
// A token (name characters, a leading digit allowed) of at most 255.
std::string ReadToken(std::string_view text, size_t* pos);
// A number literal: an int or a float constant.
Variable ReadNumber(std::string_view text, size_t* pos);
// Adjacent string literals joined, escapes decoded.
Variable ReadString(std::string_view text, size_t* pos);
// Position after the string literal starting at `pos` (its closing quote),
// or the end of the text.
size_t SkipStringLiteral(std::string_view text, size_t pos);

// The text between `open` at *pos and its matching `close`, quotes and the
// other bracket kind counted ("RA_block", "read_block" errors); *pos ends
// after `close`. At most `limit` characters ("RD_block" overflow).
std::string_view ReadBracketed(std::string_view text, size_t* pos, char open, char close,
                               size_t limit);
// Text up to the first `delimiter` outside quotes and brackets; *pos ends on
// the delimiter (or the end). At most `limit` characters.
std::string_view ReadUntil(std::string_view text, size_t* pos, char delimiter, size_t limit);
// One statement: a {...} block (braces included) or text up to and with
// the first ';' outside brackets ("RD_A" errors).
std::string_view ReadStatement(std::string_view text, size_t* pos);
// Splits at top-level commas (outside quotes and brackets).
void SplitTopLevel(std::string_view text, char separator, std::vector<std::string_view>* parts);

// Requires `symbol` next (blanks skipped) and steps over it.
void ExpectSymbol(std::string_view text, size_t* pos, char symbol);
// Requires the token `word` next.
void ExpectToken(std::string_view text, size_t* pos, const char* word);

std::string_view TrimBlanks(std::string_view text);

#endif  // TORVANE_SCRIPT_SOURCE_READER_H_
