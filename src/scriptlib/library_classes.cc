// library_classes - the one registration point of the script library classes. A new
// engine's class joins by one row in kLibraryClasses, at its place in the
// scripts' class order.
#include "scriptlib/library_classes.h"

#include "base/version.h"
#include "script/externs.h"
#include "scriptlib/lib_admin_client.h"
#include "scriptlib/lib_bayes.h"
#include "scriptlib/lib_dns.h"
#include "scriptlib/lib_files.h"
#include "scriptlib/lib_hash_array.h"
#include "scriptlib/lib_http_client.h"
#include "scriptlib/lib_mysql.h"
#include "scriptlib/lib_rules.h"
#include "scriptlib/lib_socket.h"
#include "scriptlib/lib_stores.h"
#include "scriptlib/lib_xml.h"

namespace {

using RegisterFn = void (*)(Interpreter*);

// Every library class family, in registration order.
constexpr RegisterFn kLibraryClasses[] = {
    &RegisterHashArray,    // "HashArray"
    &RegisterRecordStore,  // "CDB_Ram"
    &RegisterDomainConf,   // "CDomainConf"
    &RegisterNetInfo,      // "CNetInfo"
    &RegisterDns,          // "CS_Dns"
    &RegisterSocketClasses,  // "CS_Buffer", "CS_Socket"
    &RegisterFileClasses,  // "CS_FileSystem", "CS_File", "CS_MemoryFile"
    &RegisterStatistic,    // "CS_Statistic"
    &RegisterMysqlClasses,  // "CS_MySqlConn", "CS_MySqlRecordSet"
    &RegisterIniFile,      // "CS_FileCfg"
    &RegisterFlag,         // "CS_Flag"
    &RegisterMailClasses,  // "CS_ParseMail", "CS_BayesWord", "CS_Bayes"
    &RegisterRulesClasses,  // "CS_RulesResult", "CS_RulesDB"
    &RegisterHttpClient,   // "CS_HttpClient"
    &RegisterXmlClasses,   // "XMLChild", "XMLParse"
    &RegisterAdminClientClasses,  // "TorvaneServerConn", "TorvaneRecordSet"
};

const char* ScriptVersion() { return kTorvaneVersion; }

}  // namespace

void SetClassScript(Interpreter* interpreter) {
  if (interpreter == nullptr) return;
  for (RegisterFn add : kLibraryClasses) add(interpreter);
  addFunction(interpreter, "GetTorvaneVersion", &ScriptVersion);
}
