// lib_mysql - script adapters over the connector: texts and HashArrays in,
// 1/0, texts and the row array out.
#include "scriptlib/lib_mysql.h"

#include <algorithm>
#include <string>
#include <vector>

#include "scriptlib/lib_binding.h"

namespace {

// The values of `array` in insertion order, binary ones whole.
std::vector<std::string> ParameterValues(const CS_Array* array) {
  std::vector<std::string> values;
  if (array == nullptr) return values;
  for (int i = 0; i < array->GetRecordCount(); ++i) values.push_back(array->GetByIndexB(i).rawString());
  return values;
}

// {=========== CS_MySqlConn

int ConnConnect(CTorvaneMysqlConn* conn, const char* host, const char* user, const char* password,
                const char* database, int port) {
  return conn->Connect(host, user, password, database, port) ? 1 : 0;
}
int ConnState(CTorvaneMysqlConn* conn) { return conn->State() ? 1 : 0; }
int ConnExecute(CTorvaneMysqlConn* conn, const char* sql) { return conn->Execute(sql) ? 1 : 0; }
int ConnExecuteParams(CTorvaneMysqlConn* conn, const char* sql, CS_Array* values) {
  return conn->ExecuteParams(sql, ParameterValues(values)) ? 1 : 0;
}
// The escaped length of the first `length` bytes of `from` (at most all of
// them). `to` is left alone: a script's text cannot grow to take the escaped
// form, which Escape returns instead.
int ConnEscapeString(CTorvaneMysqlConn* conn, Variable /*to*/, Variable from, int length) {
  std::string_view bytes;
  if (length < 1 || !ScriptBytes(from, &bytes)) return 0;
  return static_cast<int>(conn->Escape(bytes.substr(0, std::min<size_t>(length, bytes.size()))).size());
}
// The escaped form of `text` (a text or a buffer pointer), without quotes.
Variable ConnEscape(CTorvaneMysqlConn* conn, Variable text) {
  std::string_view bytes;
  ScriptBytes(text, &bytes);
  Variable out("");
  out.setString(conn->Escape(bytes));
  return out;
}
Variable ConnGetError(CTorvaneMysqlConn* conn) {
  Variable out("");
  out.setString(conn->GetError());
  return out;
}
int ConnSetCharset(CTorvaneMysqlConn* conn, const char* name) { return conn->SetCharset(name) ? 1 : 0; }

// }===========
// {=========== CS_MySqlRecordSet

int SetOpen(CS_MySqlRecordSet* set, const char* sql, CTorvaneMysqlConn* conn) {
  return set->records.Open(sql, conn) ? 1 : 0;
}
int SetOpenParams(CS_MySqlRecordSet* set, const char* sql, CTorvaneMysqlConn* conn, CS_Array* values) {
  return set->records.OpenParams(sql, conn, ParameterValues(values)) ? 1 : 0;
}
void SetClose(CS_MySqlRecordSet* set) { set->records.Close(); }
int SetRecordCount(CS_MySqlRecordSet* set) { return set->records.RecordCount(); }
// The row array, or null after the last row (the array then keeps the
// previous row).
CS_Array* SetFetchRow(CS_MySqlRecordSet* set) {
  ArraySink sink(&set->row);
  return set->records.FetchRow(&sink) ? &set->row : nullptr;
}

// }===========

}  // namespace

void RegisterMysqlClasses(Interpreter* interpreter) {
  auto* conn = new ExternClass<CTorvaneMysqlConn>();
  AddAdapterMethod(conn, "Connect", &ConnConnect, ",,,,0");
  conn->addMethod("Close", &CTorvaneMysqlConn::Close);
  AddAdapterMethod(conn, "State", &ConnState);
  AddAdapterMethod(conn, "Execute", &ConnExecute);
  AddAdapterMethod(conn, "Escape_String", &ConnEscapeString);
  AddAdapterMethod(conn, "GetError", &ConnGetError);
  AddAdapterMethod(conn, "Escape", &ConnEscape);
  AddAdapterMethod(conn, "ExecuteParams", &ConnExecuteParams);
  conn->addMethod("SetTimeOut", &CTorvaneMysqlConn::SetTimeOut);
  conn->addMethod("SetMaxResult", &CTorvaneMysqlConn::SetMaxResult);
  AddAdapterMethod(conn, "SetCharset", &ConnSetCharset);
  interpreter->addExternClass("CS_MySqlConn", conn);

  auto* set = new ExternClass<CS_MySqlRecordSet>();
  AddAdapterMethod(set, "Open", &SetOpen);
  AddAdapterMethod(set, "OpenParams", &SetOpenParams);
  AddAdapterMethod(set, "Close", &SetClose);
  AddAdapterMethod(set, "RecordCount", &SetRecordCount);
  AddAdapterMethod(set, "FetchRow", &SetFetchRow);
  interpreter->addExternClass("CS_MySqlRecordSet", set);
}
