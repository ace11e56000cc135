// cron_script - the cron script kind: CS_CRON_INSTANCE, the host side of one
// cron script (its interpreter, log buffer and context), and CS_CRON_SCRIPT,
// the object the script creates with `new CS_CRON_SCRIPT($_this)`: the
// common functions plus the management set. The scheduler and
// torvane-script both build scripts through CS_CRON_INSTANCE::InitScript.
#ifndef TORVANE_SCRIPTLIB_CRON_SCRIPT_H_
#define TORVANE_SCRIPTLIB_CRON_SCRIPT_H_

#include <functional>
#include <memory>
#include <string>

#include "base/config.h"
#include "base/xml_log.h"
#include "engines/bayes_filter.h"
#include "engines/community_client.h"
#include "engines/content_rules.h"
#include "engines/local_domains.h"
#include "engines/phishing.h"
#include "engines/record_store.h"
#include "engines/spam_trap.h"
#include "engines/dns.h"
#include "script/interpreter.h"
#include "scriptlib/lib_hash_array.h"
#include "scriptlib/common_functions.h"
#include "scriptlib/script_budget.h"

class CDnsBL;
class CHeloForget;
class CIP_Imbargo;

// Where cron scripts live, under the application path.
inline constexpr char kCronScriptDir[] = "/scripts/cron/";

// `name` without "..", "~", "/" and "\", so that it names a file of the cron
// script directory and nothing outside it. Null gives "".
std::string CleanCronScriptName(const char* name);

// The job a cron script runs for, as the scheduler offers it to the job's
// scripts (RunScript children included). Implemented by the scheduler's job
// thread; every method is called on that thread.
class CronJobControl {
 public:
  virtual ~CronJobControl() = default;
  // Called by the interpreters between instructions (CronSleep): yields the
  // processor now and then. True when the job was asked to end.
  virtual bool Sleep() = 0;
  // Waits `milliseconds`, less when the job is asked to end meanwhile. True
  // when it was asked to end.
  virtual bool Pause(int milliseconds) = 0;
  // Runs `task` on the daemon's main loop and waits for it, at most a
  // bounded time and never past a request to end. True when it ran; a task
  // that missed the wait may still run later, so it may capture only what
  // outlives the job.
  virtual bool RunOnMainLoop(std::function<void()> task) = 0;
};

// The thread hook of a cron interpreter: `instance` is the CS_CRON_INSTANCE
// whose script runs. Ends the script when its job was asked to end.
void CronSleep(void* instance);

// What a cron script may reach. Every pointer is owned elsewhere, must
// outlive the instances that use it, and may be null: a function whose
// context is missing does nothing and returns 0, false or "".
struct CronContext {
  CConfig* config = nullptr;            // the configuration (GetConfig, SetConfig, ...)
  CDns* dns = nullptr;                  // the resolver (DNS_*)
  CS_Torvane_kernel* kernel = nullptr;  // the persistent objects
  CGreyList* grey_list = nullptr;       // ViewGreyListDB
  CAutoLightWhiteList* alwl = nullptr;  // ViewALWLDB, AddALWL, IsALWL, LoadALWL
  CBayes* bayes = nullptr;              // the Bayes filter (GetDBBayes)
  ScriptLog* diagnostics = nullptr;     // also receives the interpreter's messages
  // The daemon core's engines.
  CDnsBL* dnsbl = nullptr;         // DNSBL_Score, DNSBL_Ns
  CIP_Imbargo* inferno = nullptr;  // the ban list (GetDBRamIpInferno)
  CHeloForget* helo = nullptr;     // own names (GetDBRamHelo, SetHeloRefresh)
  // The scheduler's job: stop requests and main-loop tasks. Null for a
  // script run by hand, which then simply runs to its end.
  CronJobControl* job = nullptr;
  CLocalDomain* domains = nullptr;          // the local-domain table
  CSpam_trap* traps = nullptr;              // the spam-trap addresses
  CCommunityTorvane* community = nullptr;   // the reputation service client
  CRules* rules = nullptr;                  // the content rules (GetRulesDB)
  Cphishing* phishing = nullptr;            // the phishing list
};

// The host instance of one cron script. Not thread-safe: it belongs to the
// thread that runs its script.
class CS_CRON_INSTANCE : public ScriptHost {
 public:
  // Category of WriteLog records that name none.
  static constexpr const char* kLogCategory = log_type::kCron;
  // Nested RunScript calls allowed: a script that runs itself ends here.
  static constexpr int kMaxRunScriptDepth = 8;

  // `depth` counts the RunScript calls that led here (0 for a job). Each
  // load and each main may use the configuration's "cron_cpu_ms" of CPU
  // time (no limit without a configuration); a call over it is stopped and
  // reported as an error in the interpreter's log.
  explicit CS_CRON_INSTANCE(const CronContext& context, int depth = 0);
  ~CS_CRON_INSTANCE() override;
  CS_CRON_INSTANCE(const CS_CRON_INSTANCE&) = delete;
  CS_CRON_INSTANCE& operator=(const CS_CRON_INSTANCE&) = delete;

  // Builds a fresh interpreter for the script file at `path`: registers
  // CS_CRON_SCRIPT and the library classes, binds "$_this" to this instance,
  // hooks CronSleep in when the context has a job, and compiles. False when
  // the file cannot be read or does not compile (the reasons are in the
  // interpreter's log, see BuildAllLog).
  bool InitScript(const char* path);
  // Runs "main"; its result, or -1 when there is no compiled script with a
  // "main" or the call left errors. Domain locks the script kept are
  // released when main returns.
  int RunMain();
  // Registers the script class of this kind on `in` (CS_CRON_SCRIPT here).
  virtual void RegisterScriptClass(Interpreter* in);
  // Destroys the interpreter.
  void DeleteScript() { interpreter_.reset(); }

  // Null before InitScript.
  Interpreter* interpreter() { return interpreter_.get(); }
  // The WriteLog records of the script, for the host to drain.
  CLogSimple& log() { return log_; }
  const CronContext& context() const { return context_; }
  int depth() const { return depth_; }

  // ScriptHost:
  Interpreter* ScriptInterpreter() override { return interpreter_.get(); }
  void QueueLog(int level, const char* text, const char* category) override;
  const char* DefaultLogCategory() const override { return kLogCategory; }
  CFileINI* Configuration() override { return context_.config; }
  CDns* Resolver() override { return context_.dns; }
  CGreyList* GreyList() override { return context_.grey_list; }
  CAutoLightWhiteList* WhiteList() override { return context_.alwl; }
  CDnsBL* BlockLists() override { return context_.dnsbl; }
  CLocalDomain* LocalDomains() override { return context_.domains; }
  CS_Torvane_kernel* PersistentObjects() override { return context_.kernel; }
  ScriptGlobalVariables* GlobalVariables() override { return &globals_; }

 private:
  // Runs `body` (a load or a call of the interpreter) under the budget;
  // false when it was stopped over it (logged in the interpreter's log).
  template <typename Body>
  bool Metered(Body body);

  CronContext context_;
  int depth_;
  CS_CRON_INSTANCE* self_ = this;  // the storage "$_this" shows
  std::string script_name_;        // the file name, as log records' source
  CLogSimple log_;
  ScriptGlobalVariables globals_;
  std::unique_ptr<Interpreter> interpreter_;
  ScriptBudget budget_;
};

// The script object of a cron script. Text results stay valid until the
// same function runs again on this object. Not thread-safe.
class CS_CRON_SCRIPT : public CS_ScriptCommon {
 public:
  // `instance` may be null (no context at all).
  explicit CS_CRON_SCRIPT(CS_CRON_INSTANCE* instance);

  // Runs the cron script `name` (from "/scripts/cron/" under the application
  // path, "..", "~", "/" and "\" removed) in this thread: its main's result,
  // or -1 when it cannot be built, has no main, or nests too deep.
  int RunScript(const char* name);

  // ---- configuration: "" / 0 / nothing without a configuration
  // Adds the configuration's keys and values (of `section`, or of every
  // section when null) to a HashArray; 1, or 0 without configuration or
  // array.
  int GetConfigToArray(CS_Array* array, const char* section);
  void SetConfig(const char* section, const char* key, const char* value);
  void DeleteFromConfig(const char* section, const char* key);
  void SaveConfig();
  // Takes the configuration model up again from the INI items in memory and
  // sets the application path from "app_path". For a job this runs on the
  // daemon's main loop (whose readers of the model it would race) while the
  // job waits.
  void WaitForReplaceConfig();
  void SetLevelReBootConfig(int level);
  void SetRebootConfig(int flag);

  // ---- the daemon core's engines; null, 0 or -1 without them (a script
  // run by hand). Engines not built yet answer through the common NoEngine*
  // functions.
  // The Bayes engine as a "CS_Bayes" object; null without one.
  CBayes* GetDBBayes();
  CDB_RAM* GetDBRamIpInferno();
  CDB_RAM* GetDBRamHelo();
  // Rebuilds the table of this server's own names from CONFIG "myippub"
  // and "myname" (CHeloForget::WhoIsI). 1 after the rebuild; 0 without the
  // engine or while another rebuild runs.
  int SetHeloRefresh();

  // Waits `milliseconds`; a job asked to end stops waiting and ends.
  void Sleep(int milliseconds);

  // ---- local domains and spam traps: 0, -1 or null without the table
  // The new record's number; -1 without the table, for a bad or known name.
  int InsertDomain(const char* domain);
  int DeleteDomain(const char* domain);  // 1 when it was removed
  void SaveDomains();                    // the table's store
  void LoadDomainsConfig();              // the table again from its files
  CDB_RAM* GetDBRamDomains();
  CDB_RAM* GetDBRamSpamTrap();
  // Edit the domain template file (taken at the next LoadDomainsConfig).
  void AddVarToDomainTemplate(const char* section, const char* key, const char* value);
  void DeleteVarFromDomainTemplate(const char* section, const char* key);

  // ---- content rules and the phishing list: null, 0, "" or nothing
  // without the engine
  // The rules engine as a "CS_RulesDB" object.
  CRules* GetRulesDB();
  void ViewPhishingDB(CS_Array* array);
  int AddDomainPhishing(const char* domain);
  int UpDateDomainPhishing(const char* domain, const char* value);
  int DeleteDomainPhishing(const char* domain);
  // Downloads and merges a newer list; 1 when one was put in use.
  int UpDateDBPhishingFromWWW();
  // The list again from its file.
  void LoadDBPhishing();
  const char* GetDBPhishingDate();

  // ---- the community service: 0 / nothing without the client
  int DCTest(const char* key);  // 1 when the service accepts the key (own key when "")
  int DCRefreshServer();        // 1 when a server list was taken
  void DCGetServer(CS_Array* array);

 private:
  CConfig* config() const;
  CLocalDomain* domains() const;
  CCommunityTorvane* community() const;
  Cphishing* phishing() const { return context() != nullptr ? context()->phishing : nullptr; }
  const CronContext* context() const { return instance_ != nullptr ? &instance_->context() : nullptr; }

  CS_CRON_INSTANCE* instance_;  // not owned; may be null
  String phishing_date_;        // GetDBPhishingDate's result
};

// The management functions (configuration, engines, domains, community)
// on a script class of a kind derived from CS_CRON_SCRIPT. Those whose
// names the common set also has (GetConfig with a section, a Sleep that a
// stop request ends) are bound before it, so they take the name; a kind
// binds its own variants before calling this.
template <typename Kind, typename... Ctor>
void RegisterManagementFunctions(ExternClass<Kind, Ctor...>* cls) {
  using Cron = CS_CRON_SCRIPT;
  using script_common_detail::Bind;
  Bind(cls, "GetConfig", &CS_ScriptCommon::GetConfigInSection, ",0");
  Bind(cls, "Sleep", &Cron::Sleep);
  Bind(cls, "RunScript", &Cron::RunScript);
  Bind(cls, "GetConfigToArray", &Cron::GetConfigToArray, ",0");
  Bind(cls, "SetConfig", &Cron::SetConfig);
  Bind(cls, "DeleteFromConfig", &Cron::DeleteFromConfig);
  Bind(cls, "SaveConfig", &Cron::SaveConfig);
  Bind(cls, "WaitForReplaceConfig", &Cron::WaitForReplaceConfig);
  Bind(cls, "SetLevelReBootConfig", &Cron::SetLevelReBootConfig);
  Bind(cls, "SetRebootConfig", &Cron::SetRebootConfig);
  RegisterLookupFunctions(cls);
  Bind(cls, "InsertDomain", &Cron::InsertDomain);
  Bind(cls, "DeleteDomain", &Cron::DeleteDomain);
  Bind(cls, "SaveDomains", &Cron::SaveDomains);
  Bind(cls, "LoadDomainsConfig", &Cron::LoadDomainsConfig);
  Bind(cls, "AddVarToDomainTemplate", &Cron::AddVarToDomainTemplate);
  Bind(cls, "DeleteVarFromDomainTemplate", &Cron::DeleteVarFromDomainTemplate);
  Bind(cls, "GetDBRamDomains", &Cron::GetDBRamDomains);
  Bind(cls, "GetDBRamSpamTrap", &Cron::GetDBRamSpamTrap);
  Bind(cls, "GetDBRamIpInferno", &Cron::GetDBRamIpInferno);
  Bind(cls, "GetDBRamHelo", &Cron::GetDBRamHelo);
  Bind(cls, "GetRulesDB", &Cron::GetRulesDB);
  Bind(cls, "GetDBBayes", &Cron::GetDBBayes);
  Bind(cls, "ViewGreyListDB", &CS_ScriptCommon::ViewGreyListDB, ",100,0,0,0");
  Bind(cls, "ViewALWLDB", &CS_ScriptCommon::ViewALWLDB, ",100,0,0,0");
  Bind(cls, "AddALWL", &CS_ScriptCommon::AddALWL);
  Bind(cls, "IsALWL", &CS_ScriptCommon::IsALWL);
  Bind(cls, "LoadALWL", &CS_ScriptCommon::LoadALWL);
  Bind(cls, "SetHeloRefresh", &Cron::SetHeloRefresh);
  Bind(cls, "DCTest", &Cron::DCTest);
  Bind(cls, "DCRefreshServer", &Cron::DCRefreshServer);
  Bind(cls, "DCGetServer", &Cron::DCGetServer);
  Bind(cls, "ViewPhishingDB", &Cron::ViewPhishingDB);
  Bind(cls, "AddDomainPhishing", &Cron::AddDomainPhishing);
  Bind(cls, "UpDateDomainPhishing", &Cron::UpDateDomainPhishing);
  Bind(cls, "DeleteDomainPhishing", &Cron::DeleteDomainPhishing);
  Bind(cls, "UpDateDBPhishingFromWWW", &Cron::UpDateDBPhishingFromWWW);
  Bind(cls, "LoadDBPhishing", &Cron::LoadDBPhishing);
  Bind(cls, "GetDBPhishingDate", &Cron::GetDBPhishingDate);
}

// Registers the CS_CRON_SCRIPT class with the common and the cron
// functions on `in`.
void RegisterCronScriptClass(Interpreter* in);

#endif  // TORVANE_SCRIPTLIB_CRON_SCRIPT_H_
