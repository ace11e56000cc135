// sql_params - places values into an SQL statement's "?" placeholders as
// quoted, escaped literals, so scripts never build statements by pasting
// text. Kept apart from the connector so the scanner is tested (and fuzzed)
// without a database.
#ifndef TORVANE_ENGINES_SQL_PARAMS_H_
#define TORVANE_ENGINES_SQL_PARAMS_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Turns a value's bytes into its escaped form, without quotes (the
// connection's escaping, which knows its character set).
using SqlEscaper = std::function<std::string(std::string_view)>;

// The number of "?" placeholders in `sql`: those outside '...', "..." and
// `...` quotes (backslash escapes and doubled quotes included) and outside
// "-- ", "#" and "/* */" comments. An unclosed quote or comment runs to the
// end of the text.
int CountSqlPlaceholders(std::string_view sql);

// `sql` with its i-th placeholder replaced by '<escape(values[i])>'. False,
// `out` untouched and `error` set, when the placeholders and values differ
// in number.
bool BindSqlParams(std::string_view sql, const std::vector<std::string>& values,
                   const SqlEscaper& escape, std::string* out, std::string* error);

#endif  // TORVANE_ENGINES_SQL_PARAMS_H_
