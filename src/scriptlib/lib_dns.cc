// lib_dns - CS_Dns over the shared CDns.
#include "scriptlib/lib_dns.h"

#include <atomic>

#include "engines/dns_wire.h"
#include "script/externs.h"
#include "scriptlib/lib_binding.h"

namespace {

std::atomic<CDns*> g_script_resolver{nullptr};

bool Missing(const char* text) { return text == nullptr || *text == '\0'; }

}  // namespace

void SetScriptResolver(CDns* resolver) { g_script_resolver.store(resolver); }

CS_Dns::CS_Dns() : resolver_(g_script_resolver.load()) {}

// The timeout travels with the call instead of being set on the shared
// resolver and restored, so concurrent scripts never see each other's.
Variable CS_Dns::Lookup(const char* name, uint16_t type) {
  if (Missing(name) || resolver_ == nullptr) return TextResult("");
  return TextResult(resolver_->LookupText(name, type, timeout_ms_).GetData());
}

Variable CS_Dns::DNS_Reverse(const char* address) { return Lookup(address, kDnsTypePTR); }
Variable CS_Dns::DNS_MX(const char* name) { return Lookup(name, kDnsTypeMX); }
Variable CS_Dns::DNS_NS(const char* name) { return Lookup(name, kDnsTypeNS); }
Variable CS_Dns::DNS_TXT(const char* name) { return Lookup(name, kDnsTypeTXT); }

Variable CS_Dns::DNS_Resolve(const char* name) {
  if (Missing(name) || resolver_ == nullptr) return TextResult("");
  return TextResult(resolver_->ResolveAddress(name, timeout_ms_).GetData());
}

void CS_Dns::AddNameServerDNS(const char* address) {
  if (!Missing(address) && resolver_ != nullptr) resolver_->AddNameServerDNS(address);
}

void RegisterDns(Interpreter* interpreter) {
  auto* c = new ExternClass<CS_Dns>();
  c->addMethod("DNS_Reverse", &CS_Dns::DNS_Reverse);
  c->addMethod("DNS_Resolve", &CS_Dns::DNS_Resolve);
  c->addMethod("DNS_MX", &CS_Dns::DNS_MX);
  c->addMethod("DNS_NS", &CS_Dns::DNS_NS);
  c->addMethod("DNS_TXT", &CS_Dns::DNS_TXT);
  c->addMethod("AddNameServerDNS", &CS_Dns::AddNameServerDNS);
  c->addMethod("SetTimeOut", &CS_Dns::SetTimeOut);
  interpreter->addExternClass("CS_Dns", c);
}
