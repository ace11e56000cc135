// lib_mysql - the script classes of the MySQL connector: "CS_MySqlConn" (the
// connection itself, CTorvaneMysqlConn, also a persistent type) and
// "CS_MySqlRecordSet" (CS_MySqlRecordSet: the rows of one query with the
// HashArray FetchRow fills).
#ifndef TORVANE_SCRIPTLIB_LIB_MYSQL_H_
#define TORVANE_SCRIPTLIB_LIB_MYSQL_H_

#include "engines/mysql_connector.h"
#include "script/interpreter.h"
#include "scriptlib/lib_hash_array.h"

// One script's record set and the row array it hands out. Not thread-safe.
class CS_MySqlRecordSet {
 public:
  CTorvaneMysqlRecordSet records;
  CS_Array row;  // the last fetched row; owned, handed to scripts by FetchRow
};

// Registers "CS_MySqlConn" and "CS_MySqlRecordSet".
// REQUIRES (checked by the tests): "CS_MySqlConn" binds the class whose
// pointer type CS_Torvane_kernel::PointerTypeOf gives for that name.
void RegisterMysqlClasses(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_MYSQL_H_
