// lib_stores - the script bindings of CDB_RAM, CDomainConf, CFileINI,
// CS_Flag, CStatitiche_Day and CNetInfo.
#include "scriptlib/lib_stores.h"

#include "base/ini_file.h"
#include "base/network_info.h"
#include "base/statistics.h"
#include "engines/local_domains.h"
#include "engines/record_store.h"
#include "scriptlib/shared_flag.h"
#include "scriptlib/lib_binding.h"
#include "scriptlib/lib_hash_array.h"

namespace {

// {=========== CDB_Ram

int DbOpen(CDB_RAM* db, const char* name) { return db->Open(name) ? 1 : 0; }
// Fills `array` with the records whose key (or value, with byValue) the
// pattern matches.
int DbQuery(CDB_RAM* db, const char* pattern, CS_Array* array, int all_buckets, int by_value) {
  ArraySink sink(array);
  return db->Query(pattern, array ? &sink : nullptr, all_buckets, by_value);
}
int DbGetCount(CDB_RAM* db) { return db->GetRealRecordCount(); }

// }===========
// {=========== CDomainConf

Variable DomainGetVar(CDomainConf* conf, const char* name) { return TextResult(conf->GetVar(name).GetData()); }
Variable DomainGetDomainName(CDomainConf* conf) { return TextResult(conf->GetDomainName().GetData()); }

// }===========
// {=========== CS_FileCfg

int IniLoad(CFileINI* ini, const char* path) { return ini->LoadScript(path) ? 1 : 0; }
int IniLoadByString(CFileINI* ini, const char* text) { return text && ini->LoadBuffer(text) ? 1 : 0; }
int IniSave(CFileINI* ini, const char* path) { return path && ini->SaveScript(path) ? 1 : 0; }
Variable IniReadVar(CFileINI* ini, const char* section, const char* key) {
  return TextResult(ini->ReadVar(section, key));
}
void IniWriteVar(CFileINI* ini, const char* section, const char* key, const char* value) {
  ini->WriteVar(section, key, value);
}
int IniIsKeyExist(CFileINI* ini, const char* section, const char* key) {
  return ini->IsKeyExistScript(section, key) ? 1 : 0;
}
void IniDeleteKey(CFileINI* ini, const char* section, const char* key) { ini->DeleteKeyScript(section, key); }
// Every item (section null) or one section's items into `array`.
int IniGetConfigToArray(CFileINI* ini, CS_Array* array, const char* section) {
  if (array == nullptr) return 0;
  ArraySink sink(array);
  return ini->GetItemesKeyScript(&sink, section) ? 1 : 0;
}

// }===========
// {=========== CS_Statistic

int StatLoad(CStatitiche_Day* stats, const char* path) { return path && stats->Load(path) ? 1 : 0; }
int StatSave(CStatitiche_Day* stats) { return stats->Save() ? 1 : 0; }
void StatPopulatedArray(CStatitiche_Day* stats, CS_Array* array) {
  if (array == nullptr) return;
  ArraySink sink(array);
  stats->PololateArray(&sink);
}

// }===========

int NetBuildNetInfo(CNetInfo*, CS_Array* array) {
  if (array == nullptr) return 0;
  ArraySink sink(array);
  return CNetInfo::BuildNetInfo(&sink) ? 1 : 0;
}

}  // namespace

void RegisterRecordStore(Interpreter* interpreter) {
  auto* c = new ExternClass<CDB_RAM>();
  AddAdapterMethod(c, "Open", &DbOpen);
  c->addMethod("Load", &CDB_RAM::Load);
  AddAdapterMethod(c, "Query", &DbQuery, ",,0,0");
  c->addMethod("Insert", &CDB_RAM::CSInsert, ",,0");
  c->addMethod("Update", &CDB_RAM::CSUpdate, ",,0");
  c->addMethod("Delete", &CDB_RAM::Delete);
  AddAdapterMethod(c, "GetCount", &DbGetCount);
  c->addMethod("Save", &CDB_RAM::Save);
  c->addMethod("Reset", &CDB_RAM::Reset);
  c->addMethod("Close", &CDB_RAM::Close);
  interpreter->addExternClass("CDB_Ram", c);
}

void RegisterDomainConf(Interpreter* interpreter) {
  auto* c = new ExternClass<CDomainConf>();
  c->addMethod("WaitForSession", &CDomainConf::WaitForSession);
  c->addMethod("StartSession", &CDomainConf::StartSession);
  c->addMethod("EndSession", &CDomainConf::EndSession);
  AddAdapterMethod(c, "GetVar", &DomainGetVar);
  c->addMethod("SetVar", &CDomainConf::SetVar);
  AddAdapterMethod(c, "GetDomainName", &DomainGetDomainName);
  c->addMethod("GetDBRam", &CDomainConf::GetDBRAM);
  c->addMethod("Save", &CDomainConf::Save);
  c->addMethod("Delete", &CDomainConf::DeleteFile);
  interpreter->addExternClass("CDomainConf", c);
}

void RegisterIniFile(Interpreter* interpreter) {
  auto* c = new ExternClass<CFileINI>();
  AddAdapterMethod(c, "Load", &IniLoad);
  AddAdapterMethod(c, "LoadByString", &IniLoadByString);
  AddAdapterMethod(c, "Save", &IniSave, "0");
  AddAdapterMethod(c, "ReadVar", &IniReadVar);
  AddAdapterMethod(c, "WriteVar", &IniWriteVar);
  AddAdapterMethod(c, "IsKeyExist", &IniIsKeyExist);
  AddAdapterMethod(c, "DeleteKey", &IniDeleteKey);
  AddAdapterMethod(c, "GetConfigToArray", &IniGetConfigToArray, ",0");
  interpreter->addExternClass("CS_FileCfg", c);
}

void RegisterFlag(Interpreter* interpreter) {
  auto* c = new ExternClass<CS_Flag>();
  c->addMethod("SetFloat", &CS_Flag::SetFloat);
  c->addMethod("SetInt", &CS_Flag::SetInt);
  c->addMethod("SetBool", &CS_Flag::SetBool);
  c->addMethod("SetString", &CS_Flag::SetString);
  c->addMethod("GetFloat", &CS_Flag::GetFloat);
  c->addMethod("GetInt", &CS_Flag::GetInt);
  c->addMethod("GetBool", &CS_Flag::GetBool);
  c->addMethod("GetString", &CS_Flag::GetString);
  interpreter->addExternClass("CS_Flag", c);
}

void RegisterStatistic(Interpreter* interpreter) {
  auto* c = new ExternClass<CStatitiche_Day>();
  c->addMethod("AddItem", &CStatitiche_Day::AddItem, ",0,0,0,3");
  c->addMethod("Reset", &CStatitiche_Day::Reset);
  AddAdapterMethod(c, "Load", &StatLoad);
  AddAdapterMethod(c, "Save", &StatSave);
  AddAdapterMethod(c, "PopulatedArray", &StatPopulatedArray);
  interpreter->addExternClass("CS_Statistic", c);
}

void RegisterNetInfo(Interpreter* interpreter) {
  auto* c = new ExternClass<CNetInfo>();
  AddAdapterMethod(c, "BuildNetInfo", &NetBuildNetInfo);
  interpreter->addExternClass("CNetInfo", c);
}
