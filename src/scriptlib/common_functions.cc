// common_functions - the host-facing common script functions and the shared
// global variables (see common_functions.h).
#include "scriptlib/common_functions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/utility.h"
#include "engines/auto_white_list.h"
#include "engines/dns.h"
#include "engines/greylist.h"
#include "engines/dnsbl.h"

namespace {

// Characters that may stand between '%' and the conversion letter.
constexpr const char kSpecChars[] = "0123456789.-#";

// A printable excerpt of a format for the log, so a script cannot forge log
// lines.
std::string LogExcerpt(std::string_view text) { return Excerpt(text, CS_ScriptCommon::kMaxLoggedFormatChars); }

std::string FormatMessage(const char* what, std::string_view spec, const char* fmt) {
  return std::string("CS_Scripting::format(): ") + what + " format \"" + LogExcerpt(spec) +
         "\" in \"" + LogExcerpt(fmt) + "\" string\r\n";
}

// One numeric conversion through snprintf; a field wider than the buffer is
// cut, a failing one appends nothing.
template <typename Value>
void AppendConverted(std::string* out, const std::string& spec, Value value) {
  char field[CS_ScriptCommon::kMaxFormatFieldChars + 1];
  int written = snprintf(field, sizeof field, spec.c_str(), value);
  if (written > 0) out->append(field, std::min<size_t>(written, sizeof field - 1));
}

// Walks `fmt`, popping one value per conversion. False when a spec is too
// long (the whole result is then "").
bool FormatValues(Interpreter* in, const char* fmt, std::string* out) {
  for (const char* p = fmt; *p != '\0'; ++p) {
    if (*p != '%') {
      out->push_back(*p);
      continue;
    }
    size_t spec_chars = strspn(p + 1, kSpecChars);
    if (spec_chars > CS_ScriptCommon::kMaxFormatSpecChars) return false;
    const char letter = p[1 + spec_chars];
    if (letter == '\0') {
      in->LogMessage(FormatMessage("bad", p, fmt));
      return true;
    }
    const std::string spec(p, spec_chars + 2);
    if (strchr("cdiouxX", letter) != nullptr) {
      AppendConverted(out, spec, in->PopValue().toInt());
    } else if (strchr("fgGeE", letter) != nullptr) {
      AppendConverted(out, spec, static_cast<double>(in->PopValue().toFloat()));
    } else if (letter == 's') {
      Variable value = in->PopValue();
      const char* text = value.toCString();
      if (text != nullptr) out->append(text);
    } else if (letter == 'p') {
      AppendConverted(out, spec, in->PopValue().toPointer());
    } else if (letter == '%') {
      out->push_back('%');
    } else {
      in->LogMessage(FormatMessage("unknown", spec, fmt));
    }
    p += spec_chars + 1;
  }
  return true;
}

}  // namespace

// {=========== ScriptGlobalVariables

void ScriptGlobalVariables::Register(const char* name) {
  if (name != nullptr) values_.emplace(name, std::string());
}

bool ScriptGlobalVariables::Set(const char* name, const char* value) {
  if (name == nullptr) return false;
  auto it = values_.find(name);
  if (it == values_.end()) return false;
  it->second = value != nullptr ? value : "";
  pending_[it->first] = it->second;
  return true;
}

const std::string* ScriptGlobalVariables::Get(const std::string& name) const {
  auto it = values_.find(name);
  return it != values_.end() ? &it->second : nullptr;
}

std::map<std::string, std::string> ScriptGlobalVariables::TakeChanges() {
  std::map<std::string, std::string> changes;
  changes.swap(pending_);
  return changes;
}

// }===========

const char* CS_ScriptCommon::Format(const char* fmt) {
  Interpreter* in = host_ != nullptr ? host_->ScriptInterpreter() : nullptr;
  std::string out;
  if (in == nullptr || fmt == nullptr || !FormatValues(in, fmt, &out)) out.clear();
  return results_.Keep(Text::kFormat, String(out.c_str()));
}

void CS_ScriptCommon::Exit() {
  if (host_ == nullptr) return;
  if (Interpreter* in = host_->ScriptInterpreter()) in->exit();
  host_->EndWorkUnit();
}

void CS_ScriptCommon::Print(const char* text) {
  if (text == nullptr) return;
  // The text was a printf format with no arguments: only "%%" is meaningful
  // there, so it alone is honoured and nothing is ever read for a '%'.
  for (const char* p = text; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == '%') ++p;
    fputc(*p, stdout);
  }
}

void CS_ScriptCommon::WriteLog(int level, const char* text, const char* category) {
  if (host_ == nullptr || text == nullptr) return;
  if (category == nullptr || *category == '\0') category = host_->DefaultLogCategory();
  host_->QueueLog(level, text, category);
}

const char* CS_ScriptCommon::ConfigValue(const char* key, const char* section,
                                         const char* default_value) {
  CFileINI* config = host_ != nullptr ? host_->Configuration() : nullptr;
  String value("");
  if (config != nullptr && key != nullptr) {
    config->GetStringBySearch(&value, key, section, default_value);
  }
  return results_.Keep(Text::kGetConfig, value);
}

const char* CS_ScriptCommon::GetConfig(const char* key, const char* default_value) {
  return ConfigValue(key, nullptr, default_value);
}

CDomainConf* CS_ScriptCommon::GetDomain(const char* domain) {
  CLocalDomain* domains = host_ != nullptr ? host_->LocalDomains() : nullptr;
  std::shared_ptr<CDomainConf> conf = domains != nullptr ? domains->GetDomain(domain) : nullptr;
  if (conf == nullptr) return nullptr;
  CDomainConf* handle = conf.get();
  // Kept while this object lives: the script holds a plain pointer, and
  // the table may drop the object meanwhile (a reload, a deletion).
  if (std::find(handed_domains_.begin(), handed_domains_.end(), conf) == handed_domains_.end()) {
    handed_domains_.push_back(std::move(conf));
  }
  return handle;
}

const char* CS_ScriptCommon::Lookup(Text slot, const char* name, int type) {
  CDns* dns = host_ != nullptr && name != nullptr ? host_->Resolver() : nullptr;
  if (dns == nullptr) return results_.Keep(slot, String(""));
  return results_.Keep(slot, type == kDnsTypeA ? dns->ResolveAddress(name)
                                               : dns->LookupText(name, static_cast<uint16_t>(type)));
}

const char* CS_ScriptCommon::DNS_Reverse(const char* address) {
  return Lookup(Text::kDnsReverse, address, kDnsTypePTR);
}
const char* CS_ScriptCommon::DNS_Resolve(const char* name) { return Lookup(Text::kDnsResolve, name, kDnsTypeA); }
const char* CS_ScriptCommon::DNS_MX(const char* name) { return Lookup(Text::kDnsMx, name, kDnsTypeMX); }
const char* CS_ScriptCommon::DNS_NS(const char* name) { return Lookup(Text::kDnsNs, name, kDnsTypeNS); }
const char* CS_ScriptCommon::DNS_TXT(const char* name) { return Lookup(Text::kDnsTxt, name, kDnsTypeTXT); }

int CS_ScriptCommon::ViewGreyListDB(CS_Array* array, int count, int start, const char* filter, int mode) {
  CGreyList* grey_list = host_ != nullptr ? host_->GreyList() : nullptr;
  if (grey_list == nullptr || array == nullptr) return 0;
  ArraySink sink(array);
  return grey_list->ViewGreyListDB(&sink, count, start, filter, mode);
}

int CS_ScriptCommon::ViewALWLDB(CS_Array* array, int count, int start, const char* filter, int mode) {
  CAutoLightWhiteList* alwl = host_ != nullptr ? host_->WhiteList() : nullptr;
  if (alwl == nullptr || array == nullptr) return 0;
  ArraySink sink(array);
  return alwl->ViewALWLDB(&sink, count, start, filter, mode);
}

void CS_ScriptCommon::AddALWL(const char* local_sender, const char* recipients) {
  CAutoLightWhiteList* alwl = host_ != nullptr ? host_->WhiteList() : nullptr;
  if (alwl != nullptr) alwl->AddALWL(local_sender, recipients);
}

int CS_ScriptCommon::IsALWL(const char* sender, const char* recipient) {
  CAutoLightWhiteList* alwl = host_ != nullptr ? host_->WhiteList() : nullptr;
  return alwl != nullptr ? alwl->IsALWL(sender, recipient) : 0;
}

void CS_ScriptCommon::LoadALWL() {
  CAutoLightWhiteList* alwl = host_ != nullptr ? host_->WhiteList() : nullptr;
  if (alwl != nullptr) alwl->LoadALWL();
}

namespace {

// The block-list lookup of `address`; false without engine or address, or
// when no server could be asked. `result->complete` says whether every zone
// was heard.
bool ListedBy(CDnsBL* dnsbl, const char* address, CDnsBL::DnsBL_Result* result) {
  return dnsbl != nullptr && address != nullptr && dnsbl->QueryDnsBL(address, result) == 1;
}

}  // namespace

float CS_ScriptCommon::DNSBL_Score(const char* address) {
  CDnsBL::DnsBL_Result result;
  const bool listed = ListedBy(host_ != nullptr ? host_->BlockLists() : nullptr, address, &result);
  dnsbl_complete_ = result.complete ? 1 : 0;
  return listed ? result.score : 0.0f;
}

const char* CS_ScriptCommon::DNSBL_Ns(const char* address) {
  CDnsBL::DnsBL_Result result;
  const bool listed = ListedBy(host_ != nullptr ? host_->BlockLists() : nullptr, address, &result);
  dnsbl_complete_ = result.complete ? 1 : 0;
  return results_.Keep(Text::kDnsblNs, listed ? result.text : String(""));
}

void CS_ScriptCommon::RegisterGlobalVariable(const char* name) {
  ScriptGlobalVariables* globals = host_ != nullptr ? host_->GlobalVariables() : nullptr;
  if (globals != nullptr) globals->Register(name);
}

void CS_ScriptCommon::SetGlobalVariable(const char* name, const char* value) {
  ScriptGlobalVariables* globals = host_ != nullptr ? host_->GlobalVariables() : nullptr;
  if (globals != nullptr) globals->Set(name, value);
}

namespace {

// A registry object as the script class of its type expects it.
Variable TypedPointer(void* object, const char* type) {
  Variable out;
  const std::type_info* pointer_type = CS_Torvane_kernel::PointerTypeOf(type);
  if (object == nullptr || pointer_type == nullptr) {
    out.setPointer(nullptr);
  } else {
    out.setPointer(object, pointer_type);
  }
  return out;
}

}  // namespace

Variable CS_ScriptCommon::GetPersistentOBJ(const char* name, const char* type) {
  CS_Torvane_kernel* kernel = host_ != nullptr ? host_->PersistentObjects() : nullptr;
  return TypedPointer(kernel != nullptr ? kernel->GetPersistentOBJ(name, type) : nullptr, type);
}

Variable CS_ScriptCommon::CreatePersistentOBJ(const char* name, const char* type) {
  CS_Torvane_kernel* kernel = host_ != nullptr ? host_->PersistentObjects() : nullptr;
  return TypedPointer(kernel != nullptr ? kernel->CreatePersistentOBJ(name, type) : nullptr, type);
}

void CS_ScriptCommon::DeletePersistentOBJ(const char* name) {
  CS_Torvane_kernel* kernel = host_ != nullptr ? host_->PersistentObjects() : nullptr;
  if (kernel != nullptr) kernel->DeletePersistentOBJ(name);
}
