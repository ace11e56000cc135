// common_functions - what every script kind (anti-spam, admin, cron, web) offers
// its scripts besides its own functions: the four mix-ins and the functions
// that reach the host (Format, Exit, Print, WriteLog, GetConfig, GetDomain,
// the shared global variables and the persistent objects). Each script class
// derives from CS_ScriptCommon and calls RegisterCommonFunctions once, so a
// kind only adds what differs; the host plugs in through ScriptHost.
#ifndef TORVANE_SCRIPTLIB_COMMON_FUNCTIONS_H_
#define TORVANE_SCRIPTLIB_COMMON_FUNCTIONS_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/ini_file.h"
#include "engines/local_domains.h"
#include "script/externs.h"
#include "script/interpreter.h"
#include "scriptlib/regex_functions.h"
#include "scriptlib/encoding_functions.h"
#include "scriptlib/lib_hash_array.h"
#include "scriptlib/string_functions.h"
#include "scriptlib/time_functions.h"
#include "scriptlib/persistent_objects.h"
#include "scriptlib/script_results.h"

class CAutoLightWhiteList;
class CDns;
class CGreyList;
class CDnsBL;

// The variables scripts of one host instance share (RegisterGlobalVariable /
// SetGlobalVariable). Changes are kept as pending until the host has called
// NotificationGlobalVariable in the instance's other scripts (TakeChanges).
// Not thread-safe: an instance's scripts run on one thread.
class ScriptGlobalVariables {
 public:
  // Registers `name` (null ignored); a registered name keeps its value.
  void Register(const char* name);
  // Sets a registered name's value and records the change; false (nothing
  // changed) for an unregistered or null name. A null value counts as "".
  bool Set(const char* name, const char* value);
  // The value of a registered name; null when not registered.
  const std::string* Get(const std::string& name) const;
  // The changes since the last call, in name order; empties them.
  std::map<std::string, std::string> TakeChanges();

 private:
  std::map<std::string, std::string> values_;
  std::map<std::string, std::string> pending_;
};

// What a script kind's host gives the common functions. Every pointer it
// returns is owned by the host and may be null where the host has no such
// context (a script run by hand has no daemon core).
class ScriptHost {
 public:
  virtual ~ScriptHost() = default;
  // The interpreter running the script (Format reads its value stack).
  virtual Interpreter* ScriptInterpreter() = 0;
  // Queues one log record; `category` is never null or empty here.
  virtual void QueueLog(int level, const char* text, const char* category) = 0;
  // The category WriteLog uses when the script gives none.
  virtual const char* DefaultLogCategory() const = 0;
  virtual CFileINI* Configuration() = 0;
  virtual CS_Torvane_kernel* PersistentObjects() = 0;
  virtual ScriptGlobalVariables* GlobalVariables() = 0;
  // Ends the host's unit of work after Exit stopped the script (the
  // anti-spam kind closes its connections); nothing by default.
  virtual void EndWorkUnit() {}
  // The resolver behind the DNS_* functions; null where the host has none.
  virtual CDns* Resolver() { return nullptr; }
  // The engines behind the greylist and white-list functions; null where
  // the host has none.
  virtual CGreyList* GreyList() { return nullptr; }
  virtual CAutoLightWhiteList* WhiteList() { return nullptr; }
  // The block lists behind DNSBL_Score and DNSBL_Ns; null where the host
  // has none.
  virtual CDnsBL* BlockLists() { return nullptr; }
  // The local-domain table behind GetDomain; null where the host has none.
  virtual CLocalDomain* LocalDomains() { return nullptr; }
};

// The common functions on top of the four mix-ins. Text results are owned
// by this object and stay valid until the same function runs again on it.
// Not thread-safe: a script object belongs to its interpreter's thread.
class CS_ScriptCommon : public CREeq, public CS_Tempo, public CS_InConde, public CS_String {
 public:
  // Longest flags/width/precision run of one Format conversion: a longer
  // one makes the whole result "" (it cannot be a sane printf spec).
  static constexpr size_t kMaxFormatSpecChars = 1023;
  // Most characters one Format conversion appends: wider fields are cut.
  static constexpr size_t kMaxFormatFieldChars = 4095;
  // Most characters of the format quoted in Format's log messages.
  static constexpr size_t kMaxLoggedFormatChars = 200;

  // `host` must outlive this object; null gives a script object without
  // context (every host function then does nothing and returns empty).
  explicit CS_ScriptCommon(ScriptHost* host) : host_(host) {}

  // printf-like formatting of the values the script passed after `fmt`,
  // popped from the value stack one per conversion. "" for a null fmt or
  // without an interpreter. Unknown conversions pop nothing and are logged.
  const char* Format(const char* fmt);
  // Stops the running script now and ends the host's unit of work.
  void Exit();
  // Writes the text to standard output, "%%" printed as "%".
  void Print(const char* text);
  // Queues the text on the host's log; null or "" category gives the host's
  // default. Nothing for a null text.
  void WriteLog(int level, const char* text, const char* category);
  // The configuration value for `key` in any section, or `default_value`;
  // "" without configuration or key.
  const char* GetConfig(const char* key, const char* default_value);
  // The settings object of local domain `domain` (script class
  // "CDomainConf"), or null without the table or for an unknown domain.
  // The object stays valid while this script object lives, whatever the
  // table does meanwhile.
  CDomainConf* GetDomain(const char* domain);
  void RegisterGlobalVariable(const char* name);
  void SetGlobalVariable(const char* name, const char* value);
  // The registry's object as a pointer typed for its script class, or null.
  Variable GetPersistentOBJ(const char* name, const char* type);
  Variable CreatePersistentOBJ(const char* name, const char* type);
  void DeletePersistentOBJ(const char* name);
  // MD5UpdateStreamB on a script CS_Buffer (whose objects are String*).
  void MD5UpdateBuffer(String* buffer, int length) { MD5UpdateStreamB(buffer, length); }

  // ---- what several kinds offer under their own registration

  // The configuration value of `key` in `section` (any section when null);
  // "" without configuration or key. The GetConfig of the kinds whose
  // second argument names a section.
  const char* GetConfigInSection(const char* key, const char* section) {
    return ConfigValue(key, section, "");
  }
  // Lookups through the host's resolver; "" without one or without a name.
  const char* DNS_Reverse(const char* address);  // PTR names
  const char* DNS_Resolve(const char* name);     // the first IPv4 address
  const char* DNS_MX(const char* name);          // exchange names
  const char* DNS_NS(const char* name);
  const char* DNS_TXT(const char* name);
  // The host's greylist and white list (see greylist.h, auto_white_list.h);
  // without the engine the listings give 0, IsALWL 0, the others nothing.
  int ViewGreyListDB(CS_Array* array, int count, int start, const char* filter, int mode);
  int ViewALWLDB(CS_Array* array, int count, int start, const char* filter, int mode);
  void AddALWL(const char* local_sender, const char* recipients);
  int IsALWL(const char* sender, const char* recipient);
  void LoadALWL();
  // The block-list lookup of `address` through the host's engine: the sum
  // of the listing zones' weights and the zones' names. 0 and "" when not
  // listed, without an engine or without an address.
  float DNSBL_Score(const char* address);
  const char* DNSBL_Ns(const char* address);
  // 1 when the last DNSBL_Score or DNSBL_Ns heard every zone it asked (or
  // the cache knew the address, or there was nothing to ask); 0 when a
  // zone did not answer in time or no name server could be asked, so a
  // listing may be missing from its result.
  int DNSBL_LastComplete() { return dnsbl_complete_; }

  // ---- engines a host does not have: bound under an engine's function
  // names, these answer what a script without context gets, whatever the
  // arguments.
  int NoEngineInt() { return 0; }
  int NoEngineInt1(Variable) { return 0; }
  int NoEngineInt2(Variable, Variable) { return 0; }
  float NoEngineFloat2(Variable, Variable) { return 0.0f; }
  const char* NoEngineText() { return ""; }
  void NoEngineAction() {}
  // The listing functions: no entries.
  void NoEngineListing(Variable) {}
  // Functions that hand out an engine's table or object: null.
  void* NoEngineObject() { return nullptr; }

 protected:
  ScriptHost* host() const { return host_; }
  // The value of `key` (in `section`, any section when null), or the
  // default; "" without configuration. Kept in the GetConfig slot.
  const char* ConfigValue(const char* key, const char* section, const char* default_value);

 private:
  enum class Text {
    kFormat, kGetConfig, kDnsReverse, kDnsResolve, kDnsMx, kDnsNs, kDnsTxt, kDnsblNs, kCount
  };

  // Keeps the resolver's answer for `name` and `type` in `slot`.
  const char* Lookup(Text slot, const char* name, int type);

  ScriptHost* host_;  // not owned; may be null
  ScriptTextResults<Text> results_;
  int dnsbl_complete_ = 1;  // of the last block-list lookup
  std::vector<std::shared_ptr<CDomainConf>> handed_domains_;  // what GetDomain gave out
};

// {=========== registration

namespace script_common_detail {
// Binds a method of a base class of Kind as a method of Kind, unless the
// kind bound the name already.
template <typename Kind, typename... Ctor, typename Base, typename R, typename... A>
void Bind(ExternClass<Kind, Ctor...>* cls, const char* name, R (Base::*method)(A...),
          const char* defaults = nullptr) {
  R (Kind::*own)(A...) = method;
  if (!cls->is_function(name)) cls->addMethod(name, own, defaults);
}
template <typename Kind, typename... Ctor, typename Base, typename R, typename... A>
void Bind(ExternClass<Kind, Ctor...>* cls, const char* name, R (Base::*method)(A...) const,
          const char* defaults = nullptr) {
  R (Kind::*own)(A...) const = method;
  if (!cls->is_function(name)) cls->addMethod(name, own, defaults);
}
}  // namespace script_common_detail

// Adds the DNS and block-list lookups (DNS_*, DNSBL_Score, DNSBL_Ns) of
// the kinds whose host has a resolver.
template <typename Kind, typename... Ctor>
void RegisterLookupFunctions(ExternClass<Kind, Ctor...>* cls) {
  using script_common_detail::Bind;
  Bind(cls, "DNS_Reverse", &CS_ScriptCommon::DNS_Reverse);
  Bind(cls, "DNS_Resolve", &CS_ScriptCommon::DNS_Resolve);
  Bind(cls, "DNS_MX", &CS_ScriptCommon::DNS_MX);
  Bind(cls, "DNS_NS", &CS_ScriptCommon::DNS_NS);
  Bind(cls, "DNS_TXT", &CS_ScriptCommon::DNS_TXT);
  Bind(cls, "DNSBL_Score", &CS_ScriptCommon::DNSBL_Score);
  Bind(cls, "DNSBL_Ns", &CS_ScriptCommon::DNSBL_Ns);
  Bind(cls, "DNSBL_LastComplete", &CS_ScriptCommon::DNSBL_LastComplete);
}

// Adds every common function to a script class binding, in the order and
// with the argument defaults scripts rely on. A kind that must give one of
// these names another meaning registers its own method first; the common
// one is then left out.
template <typename Kind, typename... Ctor>
void RegisterCommonFunctions(ExternClass<Kind, Ctor...>* cls) {
  using script_common_detail::Bind;
  Bind(cls, "Format", &CS_ScriptCommon::Format, ",...");
  Bind(cls, "Exit", &CS_ScriptCommon::Exit);
  Bind(cls, "Print", &CS_ScriptCommon::Print);
  Bind(cls, "WriteLog", &CS_ScriptCommon::WriteLog, ",,0");
  Bind(cls, "GetConfig", &CS_ScriptCommon::GetConfig, ",0");
  Bind(cls, "GetDomain", &CS_ScriptCommon::GetDomain);
  Bind(cls, "RegisterGlobalVariable", &CS_ScriptCommon::RegisterGlobalVariable);
  Bind(cls, "SetGlobalVariable", &CS_ScriptCommon::SetGlobalVariable);
  Bind(cls, "SubStr", &CS_String::SubStr);
  Bind(cls, "Trim", &CS_String::Trim);
  Bind(cls, "TrimLeft", &CS_String::TrimLeft);
  Bind(cls, "TrimRight", &CS_String::TrimRight);
  Bind(cls, "TrimInternal", &CS_String::TrimInternal);
  Bind(cls, "Lc", &CS_String::Lc);
  Bind(cls, "Uc", &CS_String::Uc);
  Bind(cls, "Split", &CS_String::Split);
  Bind(cls, "Replace", &CS_String::Replace);
  Bind(cls, "StrLen", &CS_String::StrLen);
  Bind(cls, "Chr", &CS_String::Chr);
  Bind(cls, "Ord", &CS_String::Ord);
  Bind(cls, "CharToFloat", &CS_String::CharToFloat);
  Bind(cls, "CharToInt", &CS_String::CharToInt);
  Bind(cls, "FloatToChar", &CS_String::FloatToChar);
  Bind(cls, "IntToChar", &CS_String::IntToChar);
  Bind(cls, "FloatToInt", &CS_String::FloatToInt);
  Bind(cls, "IntToFloat", &CS_String::IntToFloat);
  Bind(cls, "CompareStringNoCase", &CS_String::CompareStringNoCase);
  Bind(cls, "Encode64", &CS_InConde::Encode64);
  Bind(cls, "Decode64", &CS_InConde::Decode64);
  Bind(cls, "MD5", &CS_InConde::MD5);
  Bind(cls, "MD5File", &CS_InConde::MD5File);
  Bind(cls, "MD5StartStream", &CS_InConde::MD5StartStream);
  Bind(cls, "MD5UpdateStreamB", &CS_ScriptCommon::MD5UpdateBuffer);
  Bind(cls, "MD5UpdateStream", &CS_InConde::MD5UpdateStream);
  Bind(cls, "MD5FinalStream", &CS_InConde::MD5FinalStream);
  Bind(cls, "DecodeHtmlSpecialChar", &CS_InConde::DecodeHtmlSpecialChar);
  Bind(cls, "EncodeHtmlSpecialChar", &CS_InConde::EncodeHtmlSpecialChar);
  Bind(cls, "DeOfuscate", &CS_InConde::DeOfuscate);
  Bind(cls, "HtmlToText", &CS_InConde::HtmlToText);
  Bind(cls, "URLDecode", &CS_InConde::URLDecode);
  Bind(cls, "URLEncode", &CS_InConde::URLEncode);
  Bind(cls, "HextoInt", &CS_InConde::HextoInt);
  Bind(cls, "Time", &CS_Tempo::Time);
  Bind(cls, "GetTickCount", &CS_Tempo::GetTickCount);
  Bind(cls, "DateTimeFormat", &CS_Tempo::DateTimeFormat, ",0");
  Bind(cls, "Sleep", &CS_Tempo::Sleep);
  Bind(cls, "REeq", &CREeq::REeq, ",,0");
  Bind(cls, "$1", &CREeq::Capture1);
  Bind(cls, "$2", &CREeq::Capture2);
  Bind(cls, "$3", &CREeq::Capture3);
  Bind(cls, "$4", &CREeq::Capture4);
  Bind(cls, "$5", &CREeq::Capture5);
  Bind(cls, "GetPersistentOBJ", &CS_ScriptCommon::GetPersistentOBJ);
  Bind(cls, "CreatePersistentOBJ", &CS_ScriptCommon::CreatePersistentOBJ);
  Bind(cls, "DeletePersistentOBJ", &CS_ScriptCommon::DeletePersistentOBJ);
}

// }===========

#endif  // TORVANE_SCRIPTLIB_COMMON_FUNCTIONS_H_
