// sql_params - one scanner over the statement's quotes and comments, shared by
// counting and binding.
#include "engines/sql_params.h"

namespace {

// The end of the quoted text that starts at `open` (one past its closing
// quote, or the text's end when unclosed). Inside '...' and "..." a
// backslash escapes the next byte; in every kind a doubled quote is one
// quote character.
size_t QuoteEnd(std::string_view sql, size_t open) {
  const char quote = sql[open];
  size_t i = open + 1;
  while (i < sql.size()) {
    if (sql[i] == '\\' && quote != '`') {
      i += 2;
    } else if (sql[i] == quote) {
      if (i + 1 < sql.size() && sql[i + 1] == quote) {
        i += 2;
      } else {
        return i + 1;
      }
    } else {
      ++i;
    }
  }
  return sql.size();
}

// A comment starting at `at`: "#" or "-- " (the dashes followed by a blank
// or control byte, or the end) to the end of the line, "/* ... */" to its
// close. Its end, or `at` when no comment starts there.
size_t CommentEnd(std::string_view sql, size_t at) {
  const std::string_view rest = sql.substr(at);
  const bool line_comment =
      rest[0] == '#' ||
      (rest.size() >= 2 && rest[0] == '-' && rest[1] == '-' &&
       (rest.size() == 2 || static_cast<unsigned char>(rest[2]) <= ' '));
  if (line_comment) {
    const size_t newline = sql.find('\n', at);
    return newline == std::string_view::npos ? sql.size() : newline + 1;
  }
  if (rest.size() >= 2 && rest[0] == '/' && rest[1] == '*') {
    const size_t close = sql.find("*/", at + 2);
    return close == std::string_view::npos ? sql.size() : close + 2;
  }
  return at;
}

// Calls `text(begin, end)` for each stretch of `sql` that is copied as it is
// and `placeholder()` for each "?" in between.
template <typename Text, typename Placeholder>
void Scan(std::string_view sql, Text text, Placeholder placeholder) {
  size_t copied = 0;
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'' || c == '"' || c == '`') {
      i = QuoteEnd(sql, i);
    } else if (const size_t end = CommentEnd(sql, i); end != i) {
      i = end;
    } else if (c == '?') {
      text(copied, i);
      placeholder();
      copied = ++i;
    } else {
      ++i;
    }
  }
  text(copied, sql.size());
}

}  // namespace

int CountSqlPlaceholders(std::string_view sql) {
  int count = 0;
  Scan(sql, [](size_t, size_t) {}, [&count] { ++count; });
  return count;
}

bool BindSqlParams(std::string_view sql, const std::vector<std::string>& values,
                   const SqlEscaper& escape, std::string* out, std::string* error) {
  const int wanted = CountSqlPlaceholders(sql);
  if (wanted != static_cast<int>(values.size())) {
    *error = "parameter count mismatch: " + std::to_string(wanted) + " placeholders, " +
             std::to_string(values.size()) + " values";
    return false;
  }
  std::string bound;
  size_t next = 0;
  Scan(
      sql, [&](size_t begin, size_t end) { bound.append(sql.substr(begin, end - begin)); },
      [&] { bound += "'" + escape(values[next++]) + "'"; });
  *out = std::move(bound);
  return true;
}
