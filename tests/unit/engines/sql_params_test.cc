// sql_params_test - "?" placeholder binding.
#include "engines/sql_params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Marks the escaped value so the table shows where each one went.
std::string Mark(std::string_view value) { return "<" + std::string(value) + ">"; }

TEST(SqlParamsTest, PlaceholdersOutsideQuotesAndComments) {
  const struct {
    const char* sql;
    int count;
    const char* bound;  // with values "a", "b", ... in order
  } cases[] = {
      {"SELECT 1", 0, "SELECT 1"},
      {"INSERT INTO t VALUES (?, ?)", 2, "INSERT INTO t VALUES ('<a>', '<b>')"},
      {"?", 1, "'<a>'"},
      {"SELECT '?', \"?\", `?` FROM t WHERE a = ?", 1, "SELECT '?', \"?\", `?` FROM t WHERE a = '<a>'"},
      {"SELECT 'it\\'s ?' , ?", 1, "SELECT 'it\\'s ?' , '<a>'"},
      {"SELECT 'it''s ?', ?", 1, "SELECT 'it''s ?', '<a>'"},
      {"SELECT \"a\\\"?\" , ?", 1, "SELECT \"a\\\"?\" , '<a>'"},
      {"SELECT `a``?`, ?", 1, "SELECT `a``?`, '<a>'"},
      {"SELECT `a\\`, ?", 1, "SELECT `a\\`, '<a>'"},  // no backslash escape in names
      {"SELECT ? -- ?\n, ?", 2, "SELECT '<a>' -- ?\n, '<b>'"},
      {"SELECT ? --?", 2, "SELECT '<a>' --'<b>'"},  // "--" needs a blank: minus twice
      {"SELECT ? # ?\n?", 2, "SELECT '<a>' # ?\n'<b>'"},
      {"SELECT /* ? */ ? /*?", 1, "SELECT /* ? */ '<a>' /*?"},
      {"SELECT 'open ?", 0, "SELECT 'open ?"},  // an unclosed quote runs to the end
      {"SELECT ?--", 1, "SELECT '<a>'--"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CountSqlPlaceholders(c.sql), c.count) << c.sql;
    std::vector<std::string> values;
    for (int i = 0; i < c.count; ++i) values.push_back(std::string(1, static_cast<char>('a' + i)));
    std::string out, error;
    ASSERT_TRUE(BindSqlParams(c.sql, values, Mark, &out, &error)) << c.sql;
    EXPECT_EQ(out, c.bound) << c.sql;
  }
}

TEST(SqlParamsTest, CountMismatchBindsNothing) {
  for (size_t given : {0u, 1u, 3u}) {
    std::string out = "untouched", error;
    EXPECT_FALSE(BindSqlParams("INSERT INTO t VALUES (?, ?)", std::vector<std::string>(given, "v"), Mark,
                               &out, &error));
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(error, "parameter count mismatch: 2 placeholders, " + std::to_string(given) + " values");
  }
}

}  // namespace
