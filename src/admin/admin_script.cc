// admin_script - the admin script kind and its functions (see
// admin_script.h).
#include "admin/admin_script.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "admin/cron_scheduler.h"
#include "base/ini_file.h"
#include "base/regex.h"
#include "base/utility.h"
#include "engines/xml_reader.h"
#include "script/externs.h"
#include "scriptlib/lib_binding.h"

namespace {

constexpr char kScriptSection[] = "CS_SCRIPT";
constexpr char kScriptKey[] = "cs_%d";
constexpr char kPluginSection[] = "INSTALLED";
constexpr char kPluginKey[] = "pi_%d";
// How a listed entry splits: "number|name", "uniqueID|folder".
constexpr char kEntryPattern[] = "^(.+?)\\|(.+?)$";
// Keys walked at most in a numbered list: far beyond any real list, and a
// bound for a damaged file.
constexpr int kMaxListKeys = 4096;

// Plug-in files are read and rewritten by several sessions.
std::mutex plugin_file_mutex;

std::string NumberedKey(const char* format, int n) {
  char key[32];
  snprintf(key, sizeof key, format, n);
  return key;
}

// The second field of a "first|second" entry; false when it has none.
bool SecondField(const std::string& entry, std::string* second) {
  std::vector<std::string> groups;
  if (RegexMatch(kEntryPattern, kRegexCaseless, entry.data(), entry.size(), &groups) != 1 || groups.size() < 2) {
    return false;
  }
  *second = groups[1];
  return true;
}

// The values of keys format(0), format(1), ... of `section`, up to the
// first missing or empty one.
std::vector<std::string> ReadNumberedList(CFileINI* ini, const char* section, const char* format) {
  std::vector<std::string> values;
  String value;
  for (int n = 0; n < kMaxListKeys; ++n) {
    if (!ini->FindValue(section, NumberedKey(format, n).c_str(), &value) || value.IsEmpty()) break;
    values.emplace_back(value.GetData());
  }
  return values;
}

// Replaces keys format(0 .. walked-1) of `section` by `values`, renumbered
// from 0.
void WriteNumberedList(CFileINI* ini, const char* section, const char* format, size_t walked,
                       const std::vector<std::string>& values) {
  for (size_t n = 0; n < walked; ++n) ini->DeleteKey(section, NumberedKey(format, static_cast<int>(n)).c_str());
  for (size_t n = 0; n < values.size(); ++n) {
    ini->WriteString(section, NumberedKey(format, static_cast<int>(n)).c_str(), values[n].c_str());
  }
}

std::string AppPath(const std::string& relative) {
  String path;
  MakeAppPath(&path, relative.c_str());
  return path.GetData();
}

}  // namespace

bool IsSafeScriptName(const char* name) {
  return name != nullptr && RegexMatch("^[A-Za-z0-9][A-Za-z0-9_.-]{0,63}$", 0, name, strlen(name)) == 1;
}

bool IsSafeIniValue(const char* value, bool field_separator) {
  if (value == nullptr) return false;
  return strpbrk(value, field_separator ? "\r\n|" : "\r\n") == nullptr;
}

std::vector<std::string> InstalledPlugins() {
  CFileINI ini;
  ini.Load(AppPath(kPluginConfigFile).c_str());  // a missing file lists nothing
  return ReadNumberedList(&ini, kPluginSection, kPluginKey);
}

bool SaveInstalledPlugins(const std::vector<std::string>& entries) {
  const std::string path = AppPath(kPluginConfigFile);
  CFileINI ini;
  ini.Load(path.c_str());
  WriteNumberedList(&ini, kPluginSection, kPluginKey, ReadNumberedList(&ini, kPluginSection, kPluginKey).size(),
                    entries);
  return ini.Save(path.c_str());
}

// {=========== CAdminRequest, CAdminResponse

CS_Array* CAdminRequest::GetRow() {
  const std::vector<std::string>* cells = request_ != nullptr ? request_->GetRow() : nullptr;
  if (cells == nullptr) return nullptr;
  row_.Reset();
  for (size_t i = 0; i < cells->size(); ++i) {
    const std::string key = "c" + std::to_string(i + 1);
    const std::string& value = (*cells)[i];
    if (value.find('\0') == std::string::npos) {
      row_.AddValueS(key.c_str(), value.c_str());
    } else {
      row_.AddBinary(key.c_str(), value);
    }
  }
  return &row_;
}

void CAdminRequest::Reset() {
  if (request_ != nullptr) request_->Reset();
  row_.Reset();
}

void CAdminResponse::Addnew() {
  if (response_ != nullptr) response_->AddNew();
}

int CAdminResponse::SetFieldAt(int column, const char* text) {
  return response_ != nullptr && text != nullptr && response_->SetFieldAt(column, text) ? 1 : 0;
}

int CAdminResponse::SetFieldBinaryAt(int column, Variable data, int length) {
  std::string_view bytes;
  if (response_ == nullptr || !ScriptBytesPrefix(data, length, &bytes)) return 0;
  return response_->SetFieldAt(column, bytes) ? 1 : 0;
}

void CAdminResponse::Reset() {
  if (response_ != nullptr) response_->Reset();
}

int CAdminResponse::Send(int cmd, int error) {
  if (response_ == nullptr || socket_ == nullptr || response_->key().empty()) return 0;
  sent_ = true;
  if (SendAnswer(socket_, response_->Build(cmd, error))) return 1;
  send_failed_ = true;
  return 0;
}

// }===========
// {=========== CS_ADMIN_INSTANCE

CS_ADMIN_INSTANCE::CS_ADMIN_INSTANCE(const AdminContext& context, int depth)
    : CS_CRON_INSTANCE(context.cron, depth), admin_(context) {}

bool CS_ADMIN_INSTANCE::InitAdminScript(const std::string& name) {
  return InitScript(AppPath(kAdminScriptDir + name).c_str());
}

int CS_ADMIN_INSTANCE::RunCommand(CAdminRequest* request, CAdminResponse* response) {
  Interpreter* in = interpreter();
  if (in == nullptr || !in->isExist("Main")) return 0;
  in->run("Main", "CAdminRequest,CAdminResponse", request, response);
  return in->BuildAllLog()[0] == '\0' ? 1 : 0;
}

void CS_ADMIN_INSTANCE::RegisterScriptClass(Interpreter* in) { RegisterAdminScriptClass(in); }

// }===========
// {=========== CS_ADMIN_SCRIPT

CS_ADMIN_SCRIPT::CS_ADMIN_SCRIPT(CS_CRON_INSTANCE* instance)
    : CS_CRON_SCRIPT(instance), admin_(dynamic_cast<CS_ADMIN_INSTANCE*>(instance)) {}

void CS_ADMIN_SCRIPT::Note(const std::string& text) {
  if (admin_ != nullptr) admin_->QueueLog(kLogError, text.c_str(), log_type::kAdmin);
}

const char* CS_ADMIN_SCRIPT::GetClientIP() {
  text_ = admin_ != nullptr ? admin_->admin_context().client_ip : "";
  return text_.c_str();
}

const char* CS_ADMIN_SCRIPT::GetClientReverseDns() {
  const AdminContext* context = admin_ != nullptr ? &admin_->admin_context() : nullptr;
  text_ = context != nullptr && context->reverse_lookup ? context->reverse_lookup() : "";
  return text_.c_str();
}

int CS_ADMIN_SCRIPT::IsAllowIpAdmin(const char* address) {
  if (admin_ == nullptr || address == nullptr || !admin_->admin_context().is_allowed) return 0;
  return admin_->admin_context().is_allowed(address) ? 1 : 0;
}

int CS_ADMIN_SCRIPT::AddCronJob(const char* job, const char* signature) {
  CCron* cron = admin_ != nullptr ? admin_->admin_context().scheduler : nullptr;
  if (cron == nullptr) return 0;
  std::string why;
  if (!cron->AddJob(job, signature != nullptr && *signature != '\0' ? signature : nullptr, &why)) {
    Note("AddCronJob refused: " + why);
    return 0;
  }
  return cron->Save() ? 1 : 0;
}

int CS_ADMIN_SCRIPT::DeleteCronJob(const char* job, const char* signature) {
  CCron* cron = admin_ != nullptr ? admin_->admin_context().scheduler : nullptr;
  if (cron == nullptr || !cron->DeleteJob(job, signature)) return 0;
  return cron->Save() ? 1 : 0;
}

void CS_ADMIN_SCRIPT::ViewCronJob(CS_Array* array, const char* filter, int mode) {
  CCron* cron = admin_ != nullptr ? admin_->admin_context().scheduler : nullptr;
  if (cron == nullptr || array == nullptr) return;
  ArraySink sink(array);
  cron->ViewJob(&sink, filter, mode);
}

bool CS_ADMIN_SCRIPT::RunPlugin(const char* folder, const char* unique_id, const char* function) {
  if (admin_ == nullptr) return false;
  if (!IsSafeScriptName(folder) || unique_id == nullptr || *unique_id == '\0' || !IsSafeIniValue(unique_id, true)) {
    Note(std::string(function) + " plug-in refused: bad folder or uniqueID");
    return false;
  }
  const std::string relative = std::string("plugin/") + folder;
  const std::string directory = AppPath(kAdminScriptDir + relative);
  CSimpleXMLParse info;
  if (!info.LoadFile((directory + "/info.xml").c_str(), nullptr, nullptr)) {
    Note(std::string(function) + " plug-in: no readable info.xml in " + relative);
    return false;
  }
  const char* script = nullptr;
  for (int i = 0; i < info.GetCountChild() && script == nullptr; ++i) {
    CSimpleXMLItmesChild* item = info.GetChild(i);
    if (strcmp(item->GetValue("uniqueID"), unique_id) == 0) script = item->GetValue("install_unistall_script");
  }
  if (!IsSafeScriptName(script)) {
    Note(std::string(function) + " plug-in: no safe script for the uniqueID in " + relative);
    return false;
  }
  if (admin_->depth() >= CS_CRON_INSTANCE::kMaxRunScriptDepth) return false;
  CS_ADMIN_INSTANCE child(admin_->admin_context(), admin_->depth() + 1);
  int result = 0;
  bool ran = false;
  if (child.InitAdminScript(relative + "/" + script) && child.interpreter()->isExist(function)) {
    result = child.interpreter()->run(function, "string,string", unique_id, directory.c_str());
    ran = child.interpreter()->BuildAllLog()[0] == '\0';
  }
  admin_->log().Merge(child.log(), 0);
  if (!ran || result == 0) {
    Note(std::string(function) + " of plug-in " + relative + " failed or answered 0");
    return false;
  }
  return true;
}

int CS_ADMIN_SCRIPT::PlugInInstall(const char* folder, const char* unique_id) {
  if (!RunPlugin(folder, unique_id, "install")) return 0;
  const std::string entry = std::string(unique_id) + "|" + folder;
  std::lock_guard<std::mutex> hold(plugin_file_mutex);
  std::vector<std::string> entries = InstalledPlugins();
  if (std::find(entries.begin(), entries.end(), entry) == entries.end()) entries.push_back(entry);
  return SaveInstalledPlugins(entries) ? 1 : 0;
}

int CS_ADMIN_SCRIPT::PlugInUninstall(const char* folder, const char* unique_id) {
  if (!RunPlugin(folder, unique_id, "uninstall")) return 0;
  const std::string entry = std::string(unique_id) + "|" + folder;
  std::lock_guard<std::mutex> hold(plugin_file_mutex);
  std::vector<std::string> entries = InstalledPlugins();
  entries.erase(std::remove(entries.begin(), entries.end(), entry), entries.end());
  return SaveInstalledPlugins(entries) ? 1 : 0;
}

void CS_ADMIN_SCRIPT::GetPlugInInstalled(CS_Array* array) {
  if (array == nullptr) return;
  std::vector<std::string> entries;
  {
    std::lock_guard<std::mutex> hold(plugin_file_mutex);
    entries = InstalledPlugins();
  }
  for (const std::string& entry : entries) {
    std::vector<std::string> groups;
    if (RegexMatch(kEntryPattern, kRegexCaseless, entry.data(), entry.size(), &groups) == 1 && groups.size() >= 2) {
      array->AddValueS(groups[0].c_str(), groups[1].c_str());
    }
  }
}

int CS_ADMIN_SCRIPT::AddAntispamScript(const char* name, int number) {
  CConfig* cfg = admin_ != nullptr ? admin_->context().config : nullptr;
  if (cfg == nullptr || !IsSafeScriptName(name)) return 0;
  const std::vector<std::string> listed = ReadNumberedList(cfg, kScriptSection, kScriptKey);
  for (const std::string& entry : listed) {
    std::string listed_name;
    if (SecondField(entry, &listed_name) && listed_name == name) return 0;
  }
  cfg->WriteString(kScriptSection, NumberedKey(kScriptKey, static_cast<int>(listed.size())).c_str(),
                   (std::to_string(number) + "|" + name).c_str());
  return 1;
}

int CS_ADMIN_SCRIPT::DeleteAntispamScript(const char* name) {
  CConfig* cfg = admin_ != nullptr ? admin_->context().config : nullptr;
  if (cfg == nullptr || name == nullptr) return 0;
  const std::vector<std::string> listed = ReadNumberedList(cfg, kScriptSection, kScriptKey);
  std::vector<std::string> kept;
  for (const std::string& entry : listed) {
    std::string listed_name;
    if (SecondField(entry, &listed_name) && listed_name != name) kept.push_back(entry);
  }
  WriteNumberedList(cfg, kScriptSection, kScriptKey, listed.size(), kept);
  return 1;
}

int CS_ADMIN_SCRIPT::RunScript(const char* name) {
  if (admin_ == nullptr || !IsSafeScriptName(name)) return -1;
  if (admin_->depth() >= CS_CRON_INSTANCE::kMaxRunScriptDepth) return -1;
  CS_ADMIN_INSTANCE child(admin_->admin_context(), admin_->depth() + 1);
  const int result = child.InitAdminScript(name) ? child.RunMain() : -1;
  admin_->log().Merge(child.log(), 0);
  return result;
}

void CS_ADMIN_SCRIPT::SetConfig(const char* section, const char* key, const char* value) {
  if (!IsSafeIniValue(section, false) || !IsSafeIniValue(key, false) || !IsSafeIniValue(value, false)) {
    Note("SetConfig refused: a line break in the section, key or value");
    return;
  }
  CS_CRON_SCRIPT::SetConfig(section, key, value);
}

// }===========

namespace {

using Admin = CS_ADMIN_SCRIPT;

void RegisterAdminFunctions(ExternClass<Admin, CS_CRON_INSTANCE*>* cls) {
  cls->addMethod("GetClientIP", &Admin::GetClientIP);
  cls->addMethod("GetClientReverseDns", &Admin::GetClientReverseDns);
  cls->addMethod("IsAllowIpAdmin", &Admin::IsAllowIpAdmin);
  cls->addMethod("AddCronJob", &Admin::AddCronJob, ",0");
  cls->addMethod("DeleteCronJob", &Admin::DeleteCronJob, ",0");
  cls->addMethod("ViewCronJob", &Admin::ViewCronJob, ",0,0");
  cls->addMethod("PlugInInstall", &Admin::PlugInInstall);
  cls->addMethod("PlugInUninstall", &Admin::PlugInUninstall);
  cls->addMethod("GetPlugInInstalled", &Admin::GetPlugInInstalled);
  cls->addMethod("AddAntispamScript", &Admin::AddAntispamScript);
  cls->addMethod("DeleteAntispamScript", &Admin::DeleteAntispamScript);
  cls->addMethod("RunScript", &Admin::RunScript);
  cls->addMethod("SetConfig", &Admin::SetConfig);
  cls->addMethod("SetOldConfigResponse", &Admin::SetOldConfigResponse);
}

void RegisterSessionClasses(Interpreter* in) {
  auto* request = new ExternClass<CAdminRequest>();
  request->addMethod("GetCmd", &CAdminRequest::GetCmd);
  request->addMethod("GetRecordCount", &CAdminRequest::GetRecordCount);
  request->addMethod("GetColCount", &CAdminRequest::GetColCount);
  request->addMethod("GetRow", &CAdminRequest::GetRow);
  request->addMethod("Reset", &CAdminRequest::Reset);
  in->addExternClass("CAdminRequest", request);

  auto* response = new ExternClass<CAdminResponse>();
  response->addMethod("Addnew", &CAdminResponse::Addnew);
  response->addMethod("SetFieldAt", &CAdminResponse::SetFieldAt);
  response->addMethod("SetFieldBinaryAt", &CAdminResponse::SetFieldBinaryAt);
  response->addMethod("GetRecordCount", &CAdminResponse::GetRecordCount);
  response->addMethod("GetColCount", &CAdminResponse::GetColCount);
  response->addMethod("Reset", &CAdminResponse::Reset);
  response->addMethod("Send", &CAdminResponse::Send);
  in->addExternClass("CAdminResponse", response);
}

}  // namespace

void RegisterAdminScriptClass(Interpreter* in) {
  auto* cls = new ExternClass<Admin, CS_CRON_INSTANCE*>(nullptr);
  RegisterAdminFunctions(cls);
  RegisterManagementFunctions(cls);
  RegisterCommonFunctions(cls);
  in->addExternClass("CS_ADMIN_SCRIPT", cls);
  RegisterSessionClasses(in);
}
