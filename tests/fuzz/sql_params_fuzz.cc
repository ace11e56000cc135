// sql_params_fuzz - hostile values bound into any statement: each "?" one quoted literal, the quoting unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engines/sql_params.h"

namespace {

// Values that would break out of a literal if escaping or placement failed.
const char* const kValues[] = {"'", "\\", "?", "\"", "-- ", "/*", "#", "`", "a'b\\'c", ""};

// The backslash escaping of the client library, for the bytes that matter.
std::string Escape(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\'' || c == '"' || c == '\\' || c == '\0' || c == '\n' || c == '\r' || c == '\x1a') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string sql(reinterpret_cast<const char*>(data), size);
  const int count = CountSqlPlaceholders(sql);
  std::vector<std::string> values;
  size_t added = 0;
  for (int i = 0; i < count; ++i) {
    values.push_back(kValues[static_cast<size_t>(i) % (sizeof kValues / sizeof kValues[0])]);
    added += Escape(values.back()).size() + 2;
  }
  std::string bound, error;
  if (!BindSqlParams(sql, values, Escape, &bound, &error)) __builtin_trap();
  // Every "?" became one literal; nothing else changed size.
  if (bound.size() != sql.size() - static_cast<size_t>(count) + added) __builtin_trap();
  // No placeholder is left and the quote state is kept: an appended "?" counts the same.
  if (CountSqlPlaceholders(bound) != 0) __builtin_trap();
  if (CountSqlPlaceholders(bound + "\n?") != CountSqlPlaceholders(sql + "\n?") - count) __builtin_trap();
  // One value too many binds nothing.
  values.push_back("x");
  std::string untouched = "same";
  if (BindSqlParams(sql, values, Escape, &untouched, &error) || untouched != "same") __builtin_trap();
  return 0;
}
