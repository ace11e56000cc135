// cron_script - building and running cron scripts, and the cron kind's own
// functions (see cron_script.h).
#include "scriptlib/cron_script.h"

#include <cstdlib>
#include <cstring>

#include "base/utility.h"
#include "engines/dns_wire.h"
#include "script/externs.h"
#include "scriptlib/library_classes.h"

namespace {

// Where cron scripts live, under the application path.
constexpr const char kCronScriptDir[] = "/scripts/cron/";

// `name` without "..", "~", "/" and "\", so it cannot leave the cron
// script directory.
std::string CleanScriptName(const char* name) {
  std::string clean = name != nullptr ? name : "";
  for (const char* bad : {"..", "~", "/", "\\"}) {
    for (size_t at = clean.find(bad); at != std::string::npos; at = clean.find(bad)) {
      clean.erase(at, strlen(bad));
    }
  }
  return clean;
}

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
    : context_(context), depth_(depth) {}

CS_CRON_INSTANCE::~CS_CRON_INSTANCE() = default;

bool CS_CRON_INSTANCE::InitScript(const char* path) {
  interpreter_ = std::make_unique<Interpreter>();
  if (path == nullptr) return false;
  script_name_ = BaseName(path);
  Interpreter* in = interpreter_.get();
  in->SetLog(context_.diagnostics);
  in->SetScriptPath(path);
  RegisterCronScriptClass(in);
  std::unique_ptr<char, FreeText> text(in->PreProcessorRAM(path));
  if (!text) {
    in->LogMessage("CS_Scripting::load() = can't open \"" + std::string(path) + "\" file");
    return false;
  }
  SetClassScript(in);
  in->addExternVariable("$_this", new ExternVariable<CS_CRON_INSTANCE*>(&self_));
  return in->loadbyram(text.get()) != 0;
}

int CS_CRON_INSTANCE::RunMain() {
  Interpreter* in = interpreter_.get();
  if (in == nullptr || !in->isExist("main")) return -1;
  int result = in->run("main");
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
  MakeAppPath(&path, (kCronScriptDir + CleanScriptName(name)).c_str());
  CS_CRON_INSTANCE child(instance_->context(), instance_->depth() + 1);
  int result = child.InitScript(path.GetData()) ? child.RunMain() : -1;
  instance_->log().Merge(child.log(), 0);
  return result;
}

CConfig* CS_CRON_SCRIPT::config() const {
  return instance_ != nullptr ? instance_->context().config : nullptr;
}

const char* CS_CRON_SCRIPT::GetConfig(const char* key, const char* section) {
  return ConfigValue(key, section, "");
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
  if (config() == nullptr) return;
  config()->ReadConfig();
  if (!config()->app_path.IsEmpty()) SetAppPath(config()->app_path.GetData());
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

const char* CS_CRON_SCRIPT::KeepDns(const String& answer) { return results_.Keep(Text::kDns, answer); }

namespace {

CDns* ResolverOf(CS_CRON_INSTANCE* instance, const char* name) {
  return instance != nullptr && name != nullptr ? instance->context().dns : nullptr;
}

}  // namespace

const char* CS_CRON_SCRIPT::DNS_Reverse(const char* address) {
  CDns* dns = ResolverOf(instance_, address);
  return KeepDns(dns != nullptr ? dns->LookupText(address, kDnsTypePTR) : String(""));
}

const char* CS_CRON_SCRIPT::DNS_Resolve(const char* name) {
  CDns* dns = ResolverOf(instance_, name);
  return KeepDns(dns != nullptr ? dns->ResolveAddress(name) : String(""));
}

const char* CS_CRON_SCRIPT::DNS_MX(const char* name) {
  CDns* dns = ResolverOf(instance_, name);
  return KeepDns(dns != nullptr ? dns->LookupText(name, kDnsTypeMX) : String(""));
}

const char* CS_CRON_SCRIPT::DNS_NS(const char* name) {
  CDns* dns = ResolverOf(instance_, name);
  return KeepDns(dns != nullptr ? dns->LookupText(name, kDnsTypeNS) : String(""));
}

const char* CS_CRON_SCRIPT::DNS_TXT(const char* name) {
  CDns* dns = ResolverOf(instance_, name);
  return KeepDns(dns != nullptr ? dns->LookupText(name, kDnsTypeTXT) : String(""));
}

int CS_CRON_SCRIPT::InsertDomain(Variable) { return -1; }
int CS_CRON_SCRIPT::NoEngineInt() { return 0; }
int CS_CRON_SCRIPT::NoEngineInt1(Variable) { return 0; }
int CS_CRON_SCRIPT::NoEngineInt2(Variable, Variable) { return 0; }
float CS_CRON_SCRIPT::NoEngineFloat1(Variable) { return 0.0f; }
const char* CS_CRON_SCRIPT::NoEngineText() { return ""; }
const char* CS_CRON_SCRIPT::NoEngineText1(Variable) { return ""; }
void CS_CRON_SCRIPT::NoEngineAction() {}
void CS_CRON_SCRIPT::NoEngineAction2(Variable, Variable) {}
void CS_CRON_SCRIPT::NoEngineAction3(Variable, Variable, Variable) {}
void CS_CRON_SCRIPT::NoEngineListing(Variable) {}
void CS_CRON_SCRIPT::NoEngineView(Variable, int, int, const char*, int) {}
CDB_RAM* CS_CRON_SCRIPT::NoEngineStore() { return nullptr; }
void* CS_CRON_SCRIPT::NoEngineObject() { return nullptr; }

// }===========

namespace {

using Cron = CS_CRON_SCRIPT;

// The cron kind's own functions. Those whose names the common set also has
// (GetConfig with a section, GetDomain of the local-domain engine) come
// first, so they take the name.
void RegisterCronFunctions(ExternClass<Cron, CS_CRON_INSTANCE*>* cls) {
  cls->addMethod("GetConfig", &Cron::GetConfig, ",0");
  cls->addMethod("GetDomain", &Cron::NoEngineInt1);
  cls->addMethod("RunScript", &Cron::RunScript);
  cls->addMethod("GetConfigToArray", &Cron::GetConfigToArray, ",0");
  cls->addMethod("SetConfig", &Cron::SetConfig);
  cls->addMethod("DeleteFromConfig", &Cron::DeleteFromConfig);
  cls->addMethod("SaveConfig", &Cron::SaveConfig);
  cls->addMethod("WaitForReplaceConfig", &Cron::WaitForReplaceConfig);
  cls->addMethod("SetLevelReBootConfig", &Cron::SetLevelReBootConfig);
  cls->addMethod("SetRebootConfig", &Cron::SetRebootConfig);
  cls->addMethod("DNS_Reverse", &Cron::DNS_Reverse);
  cls->addMethod("DNS_Resolve", &Cron::DNS_Resolve);
  cls->addMethod("DNS_MX", &Cron::DNS_MX);
  cls->addMethod("DNS_NS", &Cron::DNS_NS);
  cls->addMethod("DNS_TXT", &Cron::DNS_TXT);
  cls->addMethod("DNSBL_Score", &Cron::NoEngineFloat1);
  cls->addMethod("DNSBL_Ns", &Cron::NoEngineText1);
  cls->addMethod("InsertDomain", &Cron::InsertDomain);
  cls->addMethod("DeleteDomain", &Cron::NoEngineInt1);
  cls->addMethod("SaveDomains", &Cron::NoEngineAction);
  cls->addMethod("LoadDomainsConfig", &Cron::NoEngineAction);
  cls->addMethod("AddVarToDomainTemplate", &Cron::NoEngineAction3);
  cls->addMethod("DeleteVarFromDomainTemplate", &Cron::NoEngineAction2);
  for (const char* store : {"GetDBRamDomains", "GetDBRamSpamTrap", "GetDBRamIpInferno", "GetDBRamHelo"}) {
    cls->addMethod(store, &Cron::NoEngineStore);
  }
  cls->addMethod("GetRulesDB", &Cron::NoEngineObject);
  cls->addMethod("GetDBBayes", &Cron::NoEngineObject);
  cls->addMethod("SetHeloRefresh", &Cron::NoEngineInt);
  cls->addMethod("ViewGreyListDB", &Cron::NoEngineView, ",100,0,0,0");
  cls->addMethod("ViewALWLDB", &Cron::NoEngineView, ",100,0,0,0");
  cls->addMethod("AddALWL", &Cron::NoEngineAction2);
  cls->addMethod("IsALWL", &Cron::NoEngineInt2);
  cls->addMethod("LoadALWL", &Cron::NoEngineAction);
  cls->addMethod("DCTest", &Cron::NoEngineInt1);
  cls->addMethod("DCRefreshServer", &Cron::NoEngineInt);
  cls->addMethod("DCGetServer", &Cron::NoEngineListing);
  cls->addMethod("ViewPhishingDB", &Cron::NoEngineListing);
  cls->addMethod("AddDomainPhishing", &Cron::NoEngineInt1);
  cls->addMethod("UpDateDomainPhishing", &Cron::NoEngineInt2);
  cls->addMethod("DeleteDomainPhishing", &Cron::NoEngineInt1);
  cls->addMethod("UpDateDBPhishingFromWWW", &Cron::NoEngineInt);
  cls->addMethod("LoadDBPhishing", &Cron::NoEngineAction);
  cls->addMethod("GetDBPhishingDate", &Cron::NoEngineText);
}

}  // namespace

void RegisterCronScriptClass(Interpreter* in) {
  auto* cls = new ExternClass<Cron, CS_CRON_INSTANCE*>(nullptr);
  RegisterCronFunctions(cls);
  RegisterCommonFunctions(cls);
  in->addExternClass("CS_CRON_SCRIPT", cls);
}
