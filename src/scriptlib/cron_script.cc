// cron_script - building and running cron scripts, and the cron kind's own
// functions (see cron_script.h).
#include "scriptlib/cron_script.h"

#include <cstdlib>
#include <cstring>

#include "base/utility.h"
#include "engines/ban_list.h"
#include "engines/dns_wire.h"
#include "engines/helo_forgery.h"
#include "script/externs.h"
#include "scriptlib/library_classes.h"

std::string CleanCronScriptName(const char* name) {
  std::string clean = name != nullptr ? name : "";
  for (const char* bad : {"..", "~", "/", "\\"}) {
    for (size_t at = clean.find(bad); at != std::string::npos; at = clean.find(bad)) {
      clean.erase(at, strlen(bad));
    }
  }
  return clean;
}

void CronSleep(void* instance) {
  auto* cron = static_cast<CS_CRON_INSTANCE*>(instance);
  CronJobControl* job = cron->context().job;
  if (job != nullptr && job->Sleep() && cron->interpreter() != nullptr) cron->interpreter()->exit();
}

namespace {

// The file part of a path, as log records name their source.
std::string BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Frees a preprocessed text when it goes out of scope.
struct FreeText {
  void operator()(char* text) const { free(text); }
};

}  // namespace

// {=========== CS_CRON_INSTANCE

CS_CRON_INSTANCE::CS_CRON_INSTANCE(const CronContext& context, int depth)
    : context_(context), depth_(depth), budget_(context.config != nullptr ? context.config->cron_cpu_ms : 0, 0) {}

template <typename Body>
bool CS_CRON_INSTANCE::Metered(Body body) {
  budget_.Begin(interpreter_.get());
  body();
  const ScriptBudget::Verdict verdict = budget_.End();
  if (verdict == ScriptBudget::Verdict::kWithinBudget) return true;
  interpreter_->LogMessage(std::string("CS_Scripting::run() = ") + BudgetVerdictText(verdict));
  return false;
}

CS_CRON_INSTANCE::~CS_CRON_INSTANCE() = default;

bool CS_CRON_INSTANCE::InitScript(const char* path) {
  interpreter_ = std::make_unique<Interpreter>();
  if (path == nullptr) return false;
  script_name_ = BaseName(path);
  Interpreter* in = interpreter_.get();
  in->SetLog(context_.diagnostics);
  in->SetScriptPath(path);
  if (context_.job != nullptr) {
    // Before compiling: the top-level code runs then, and may loop too.
    in->setThreadFunction(&CronSleep);
    in->setThreadFunctionPramn(this);
  }
  RegisterScriptClass(in);
  std::unique_ptr<char, FreeText> text(in->PreProcessorRAM(path));
  if (!text) {
    in->LogMessage("CS_Scripting::load() = can't open \"" + std::string(path) + "\" file");
    return false;
  }
  SetClassScript(in);
  in->addExternVariable("$_this", new ExternVariable<CS_CRON_INSTANCE*>(&self_));
  ScriptDomainHolds holds;  // the top-level code runs while loading
  bool loaded = false;
  return Metered([&] { loaded = in->loadbyram(text.get()) != 0; }) && loaded;
}

int CS_CRON_INSTANCE::RunMain() {
  Interpreter* in = interpreter_.get();
  if (in == nullptr || !in->isExist("main")) return -1;
  ScriptDomainHolds holds;
  int result = 0;
  Metered([&] { result = in->run("main"); });
  return in->BuildAllLog()[0] != '\0' ? -1 : result;
}

void CS_CRON_INSTANCE::QueueLog(int level, const char* text, const char* category) {
  log_.LogS(level, text, script_name_.c_str(), "", category, 0);
}

// }===========

// {=========== CS_CRON_SCRIPT

CS_CRON_SCRIPT::CS_CRON_SCRIPT(CS_CRON_INSTANCE* instance)
    : CS_ScriptCommon(instance), instance_(instance) {}

int CS_CRON_SCRIPT::RunScript(const char* name) {
  if (instance_ == nullptr || name == nullptr) return -1;
  if (instance_->depth() >= CS_CRON_INSTANCE::kMaxRunScriptDepth) return -1;
  String path;
  MakeAppPath(&path, (kCronScriptDir + CleanCronScriptName(name)).c_str());
  CS_CRON_INSTANCE child(instance_->context(), instance_->depth() + 1);
  int result = child.InitScript(path.GetData()) ? child.RunMain() : -1;
  instance_->log().Merge(child.log(), 0);
  return result;
}

CConfig* CS_CRON_SCRIPT::config() const {
  return instance_ != nullptr ? instance_->context().config : nullptr;
}

int CS_CRON_SCRIPT::GetConfigToArray(CS_Array* array, const char* section) {
  if (config() == nullptr || array == nullptr) return 0;
  ArraySink sink(array);
  return config()->GetItemesKeyScript(&sink, section) ? 1 : 0;
}

void CS_CRON_SCRIPT::SetConfig(const char* section, const char* key, const char* value) {
  if (config() != nullptr) config()->WriteString(section, key, value);
}

void CS_CRON_SCRIPT::DeleteFromConfig(const char* section, const char* key) {
  if (config() != nullptr) config()->DeleteKeyScript(section, key);
}

void CS_CRON_SCRIPT::SaveConfig() {
  if (config() != nullptr) config()->SaveConfig();
}

void CS_CRON_SCRIPT::WaitForReplaceConfig() {
  CConfig* cfg = config();
  if (cfg == nullptr) return;
  auto replace = [cfg] {
    cfg->ReadConfig();
    if (!cfg->app_path.IsEmpty()) SetAppPath(cfg->app_path.GetData());
  };
  if (context()->job != nullptr) {
    context()->job->RunOnMainLoop(replace);
  } else {
    replace();
  }
}

void CS_CRON_SCRIPT::SetLevelReBootConfig(int level) {
  if (config() != nullptr) config()->SetLevelReboot(level);
}

void CS_CRON_SCRIPT::SetRebootConfig(int flag) {
  CConfig* cfg = config();
  if (cfg == nullptr) return;
  if (flag == 1) {
    if (cfg->GetLevelReboot() < 0) cfg->SetLevelReboot(0);
    cfg->SetReboot(true);
  } else {
    if (cfg->GetLevelReboot() >= 0) cfg->SetLevelReboot(-1);
    cfg->SetReboot(false);
  }
}

CLocalDomain* CS_CRON_SCRIPT::domains() const {
  return instance_ != nullptr ? instance_->context().domains : nullptr;
}

CCommunityTorvane* CS_CRON_SCRIPT::community() const {
  return instance_ != nullptr ? instance_->context().community : nullptr;
}

int CS_CRON_SCRIPT::InsertDomain(const char* domain) {
  return domains() != nullptr && domain != nullptr ? domains()->InsertDomain(domain) : -1;
}

int CS_CRON_SCRIPT::DeleteDomain(const char* domain) {
  return domains() != nullptr && domain != nullptr ? domains()->DeleteDomain(domain) : 0;
}

void CS_CRON_SCRIPT::SaveDomains() {
  if (domains() != nullptr) domains()->SuperSave();
}

void CS_CRON_SCRIPT::LoadDomainsConfig() {
  if (domains() != nullptr) domains()->SuperLoad();
}

CDB_RAM* CS_CRON_SCRIPT::GetDBRamDomains() { return domains(); }

CDB_RAM* CS_CRON_SCRIPT::GetDBRamSpamTrap() {
  return instance_ != nullptr ? instance_->context().traps : nullptr;
}

void CS_CRON_SCRIPT::AddVarToDomainTemplate(const char* section, const char* key, const char* value) {
  if (instance_ != nullptr) CLocalDomain::AddVarToTemplate(section, key, value);
}

void CS_CRON_SCRIPT::DeleteVarFromDomainTemplate(const char* section, const char* key) {
  if (instance_ != nullptr) CLocalDomain::DeleteVarFromTemplate(section, key);
}

int CS_CRON_SCRIPT::DCTest(const char* key) {
  return community() != nullptr ? community()->CommunityTest(0, key) : 0;
}

int CS_CRON_SCRIPT::DCRefreshServer() {
  return community() != nullptr ? community()->RefreshServerFromCommunity() : 0;
}

void CS_CRON_SCRIPT::DCGetServer(CS_Array* array) {
  if (community() == nullptr || array == nullptr) return;
  ArraySink sink(array);
  community()->PopolateForRADMIN(&sink);
}

CRules* CS_CRON_SCRIPT::GetRulesDB() { return context() != nullptr ? context()->rules : nullptr; }

void CS_CRON_SCRIPT::ViewPhishingDB(CS_Array* array) {
  if (phishing() == nullptr || array == nullptr) return;
  ArraySink sink(array);
  phishing()->ViewPhishingDB(&sink);
}

int CS_CRON_SCRIPT::AddDomainPhishing(const char* domain) {
  return phishing() != nullptr ? phishing()->AddDomainFromGui(domain) : 0;
}

int CS_CRON_SCRIPT::UpDateDomainPhishing(const char* domain, const char* value) {
  return phishing() != nullptr ? phishing()->UpDateFromGui(domain, value) : 0;
}

int CS_CRON_SCRIPT::DeleteDomainPhishing(const char* domain) {
  return phishing() != nullptr ? phishing()->DeleteFromGui(domain) : 0;
}

int CS_CRON_SCRIPT::UpDateDBPhishingFromWWW() { return phishing() != nullptr ? phishing()->UpdateDB() : 0; }

void CS_CRON_SCRIPT::LoadDBPhishing() {
  if (phishing() != nullptr && phishing()->ReloadDefaultDb()) phishing()->LoadDB();
}

const char* CS_CRON_SCRIPT::GetDBPhishingDate() {
  phishing_date_ = phishing() != nullptr ? phishing()->GetDBDate() : String("");
  return phishing_date_.GetData() != nullptr ? phishing_date_.GetData() : "";
}

CBayes* CS_CRON_SCRIPT::GetDBBayes() { return instance_ != nullptr ? instance_->context().bayes : nullptr; }
CDB_RAM* CS_CRON_SCRIPT::GetDBRamIpInferno() { return context() != nullptr ? context()->inferno : nullptr; }

CDB_RAM* CS_CRON_SCRIPT::GetDBRamHelo() { return context() != nullptr ? context()->helo : nullptr; }

namespace {

// Collects the keys of a store listing: the names of the local domains.
struct DomainNames : KeyValueSink {
  void Clear() override { names.RemoveAll(); }
  void Add(const char* key, const char*, size_t) override { names.Add(String(key)); }
  CArray<String> names;
};

}  // namespace

int CS_CRON_SCRIPT::SetHeloRefresh() {
  CHeloForget* helo = context() != nullptr ? context()->helo : nullptr;
  if (helo == nullptr || helo->IsRefreshing()) return 0;
  // The INI items, not the typed fields: those belong to the main loop.
  String address(""), name("");
  if (CConfig* cfg = config()) {
    cfg->GetStringBySearch(&address, "myippub", "CONFIG", "");
    cfg->GetStringBySearch(&name, "myname", "CONFIG", "");
  }
  // Our domains' mail servers that point at our address are our names too.
  DomainNames local_domains;
  if (domains() != nullptr) domains()->Query("", &local_domains, 0, 0);
  return helo->WhoIsI(address.GetData(), name.GetData(), context()->dns, local_domains.names);
}

void CS_CRON_SCRIPT::Sleep(int milliseconds) {
  CronJobControl* job = context() != nullptr ? context()->job : nullptr;
  if (job == nullptr) {
    CS_Tempo::Sleep(milliseconds);
  } else if (milliseconds > 0 && job->Pause(milliseconds) && instance_->interpreter() != nullptr) {
    instance_->interpreter()->exit();
  }
}

// }===========

void RegisterCronScriptClass(Interpreter* in) {
  auto* cls = new ExternClass<CS_CRON_SCRIPT, CS_CRON_INSTANCE*>(nullptr);
  RegisterManagementFunctions(cls);
  RegisterCommonFunctions(cls);
  in->addExternClass("CS_CRON_SCRIPT", cls);
}

void CS_CRON_INSTANCE::RegisterScriptClass(Interpreter* in) { RegisterCronScriptClass(in); }
