// admin_script - the admin script kind: CS_ADMIN_INSTANCE, the host side of
// one admin command script (a cron instance with the session's context),
// CS_ADMIN_SCRIPT, the object the script creates with
// `new CS_ADMIN_SCRIPT($_this)` (the common and management functions of the
// cron kind plus the admin set), and CAdminRequest / CAdminResponse, the
// request and answer a command's Main receives. Admin scripts run as root:
// every name that becomes a path and every value that becomes an INI line
// is checked here.
#ifndef TORVANE_ADMIN_ADMIN_SCRIPT_H_
#define TORVANE_ADMIN_ADMIN_SCRIPT_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engines/admin_envelope.h"
#include "scriptlib/cron_script.h"
#include "scriptlib/lib_hash_array.h"

class CCron;
class CSocketComm;

// Where admin scripts live, under the application path.
inline constexpr char kAdminScriptDir[] = "/scripts/admin/";
// The installed plug-ins, under the application path.
inline constexpr char kPluginConfigFile[] = "/plugin.cfg";

// True for a name fit to become one path component or INI value of a
// script, plug-in folder or plug-in script: 1 to 64 characters of letters,
// digits, "_", "." and "-", not starting with "." or "-".
bool IsSafeScriptName(const char* name);
// True when `value` may be written as an INI value: no CR or LF (which
// would start a line of its own), and no "|" when `field_separator`.
bool IsSafeIniValue(const char* value, bool field_separator);

// The request a command's Main reads. Not thread-safe.
class CAdminRequest {
 public:
  CAdminRequest() = default;
  explicit CAdminRequest(CServerTorvaneRequest* request) : request_(request) {}
  int GetCmd() { return request_ != nullptr ? request_->GetCmd() : 0; }
  int GetRecordCount() { return request_ != nullptr ? request_->GetRecordCount() : 0; }
  int GetColCount() { return request_ != nullptr ? request_->GetColCount() : 0; }
  // The next row as an array with the keys "c1", "c2", ...; null after the
  // last. Owned by this object; valid until the next call.
  CS_Array* GetRow();
  void Reset();

 private:
  CServerTorvaneRequest* request_ = nullptr;  // not owned
  CS_Array row_;
};

// The answer a command's Main builds and sends. Not thread-safe.
class CAdminResponse {
 public:
  CAdminResponse() = default;
  CAdminResponse(CServerTorvaneRespose* response, CSocketComm* socket) : response_(response), socket_(socket) {}
  void Addnew();
  int SetFieldAt(int column, const char* text);
  // `data` is text or a buffer's pointer; `length` 1 to kMaxFieldBytes - 1.
  int SetFieldBinaryAt(int column, Variable data, int length);
  int GetRecordCount() { return response_ != nullptr ? response_->GetRecordCount() : 0; }
  int GetColCount() { return response_ != nullptr ? response_->GetColCount() : -1; }
  void Reset();
  // Builds the answer for (cmd, error) and writes it whole. False without a
  // socket or when the client stopped reading (the session then ends).
  int Send(int cmd, int error);
  // True once a Send failed.
  bool send_failed() const { return send_failed_; }
  // True once a Send was made (answered or not).
  bool sent() const { return sent_; }

 private:
  CServerTorvaneRespose* response_ = nullptr;  // not owned
  CSocketComm* socket_ = nullptr;              // not owned
  bool send_failed_ = false;
  bool sent_ = false;
};

// What an admin session adds to the cron context. Pointers are owned
// elsewhere and outlive the instances; any may be null.
struct AdminContext {
  CronContext cron;
  CCron* scheduler = nullptr;  // AddCronJob, DeleteCronJob, ViewCronJob
  std::string client_ip;       // GetClientIP
  std::function<std::string()> reverse_lookup;  // GetClientReverseDns
  std::function<bool(const char*)> is_allowed;  // IsAllowIpAdmin
};

// The host instance of one admin script. Not thread-safe: it belongs to the
// session thread that runs it.
class CS_ADMIN_INSTANCE : public CS_CRON_INSTANCE {
 public:
  explicit CS_ADMIN_INSTANCE(const AdminContext& context, int depth = 0);

  // Builds the script `name` of the admin directory (a name relative to it,
  // e.g. "7.cs" or "plugin/x/setup.cs"). False when it cannot be read or
  // does not compile.
  bool InitAdminScript(const std::string& name);
  // Runs Main(request, response): 1 when it ran without errors, 0 when the
  // script has no Main or the call left errors (in the interpreter's log).
  int RunCommand(CAdminRequest* request, CAdminResponse* response);

  const AdminContext& admin_context() const { return admin_; }

  void RegisterScriptClass(Interpreter* in) override;
  const char* DefaultLogCategory() const override { return log_type::kAdminScript; }

 private:
  AdminContext admin_;
};

// The script object of an admin script. Text results stay valid until the
// same function runs again. Not thread-safe.
class CS_ADMIN_SCRIPT : public CS_CRON_SCRIPT {
 public:
  // `instance` must be a CS_ADMIN_INSTANCE or null.
  explicit CS_ADMIN_SCRIPT(CS_CRON_INSTANCE* instance);

  const char* GetClientIP();
  const char* GetClientReverseDns();
  int IsAllowIpAdmin(const char* address);
  int AddCronJob(const char* job, const char* signature);
  int DeleteCronJob(const char* job, const char* signature);
  void ViewCronJob(CS_Array* array, const char* filter, int mode);
  // Runs the install (uninstall) function of the plug-in `unique_id` of the
  // folder; 1 when it ran and answered non-zero (then plugin.cfg records
  // it), 0 otherwise with the reason logged.
  int PlugInInstall(const char* folder, const char* unique_id);
  int PlugInUninstall(const char* folder, const char* unique_id);
  void GetPlugInInstalled(CS_Array* array);
  // Lists `name` under CS_SCRIPT "cs_N" as "number|name"; 0 when it is
  // listed already or is not a safe name.
  int AddAntispamScript(const char* name, int number);
  int DeleteAntispamScript(const char* name);
  // Runs the admin script `name` (a safe name): its main's result, or -1.
  int RunScript(const char* name);
  // Refuses values that would inject INI lines.
  void SetConfig(const char* section, const char* key, const char* value);
  Variable SetOldConfigResponse(Variable response) { return response; }

 private:
  // Shared by PlugInInstall and PlugInUninstall: `function` is "install"
  // or "uninstall".
  bool RunPlugin(const char* folder, const char* unique_id, const char* function);
  void Note(const std::string& text);

  CS_ADMIN_INSTANCE* admin_;  // not owned; may be null
  std::string text_;          // the last text result
};

// Registers CS_ADMIN_SCRIPT (admin, management and common functions),
// CAdminRequest and CAdminResponse on `in`.
void RegisterAdminScriptClass(Interpreter* in);

// The entries of plugin.cfg's INSTALLED section, "uniqueID|folder", in key
// order up to the first empty one.
std::vector<std::string> InstalledPlugins();
// Rewrites the INSTALLED section with `entries` as "pi_0", "pi_1", ...
// (atomically). False when the file cannot be written.
bool SaveInstalledPlugins(const std::vector<std::string>& entries);

#endif  // TORVANE_ADMIN_ADMIN_SCRIPT_H_
