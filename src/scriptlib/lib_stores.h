// lib_stores - the script classes over the program's own tables, each bound
// to the very C++ type the engines and the persistent-object registry use:
// "CDB_Ram" (CDB_RAM), "CDomainConf" (CDomainConf), "CS_FileCfg" (CFileINI),
// "CS_Flag" (CS_Flag), "CS_Statistic" (CStatitiche_Day) and "CNetInfo"
// (CNetInfo). Where the
// script API differs from the C++ one, a file-local adapter function
// translates; tables fill HashArrays through ArraySink.
#ifndef TORVANE_SCRIPTLIB_LIB_STORES_H_
#define TORVANE_SCRIPTLIB_LIB_STORES_H_

#include "script/interpreter.h"

// Registers "CDB_Ram", "CDomainConf", "CS_FileCfg", "CS_Flag",
// "CS_Statistic", "CNetInfo".
// REQUIRES (checked by the tests): each class's pointer type equals
// CS_Torvane_kernel::PointerTypeOf of its persistent type name.
void RegisterRecordStore(Interpreter* interpreter);
void RegisterDomainConf(Interpreter* interpreter);
void RegisterIniFile(Interpreter* interpreter);
void RegisterFlag(Interpreter* interpreter);
void RegisterStatistic(Interpreter* interpreter);
void RegisterNetInfo(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_STORES_H_
