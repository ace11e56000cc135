// lib_dns - CS_Dns, the script class "CS_Dns": lookups through the
// program's shared resolver, each with the object's own timeout.
#ifndef TORVANE_SCRIPTLIB_LIB_DNS_H_
#define TORVANE_SCRIPTLIB_LIB_DNS_H_

#include "engines/dns.h"
#include "script/interpreter.h"
#include "script/variable.h"

// Makes `resolver` the one CS_Dns objects created from now on use (null: no
// resolver; lookups then give ""). Not owned; it must outlive every script
// object using it. The daemon sets its resolver at start; torvane-script and
// tests set their own.
void SetScriptResolver(CDns* resolver);

// Not thread-safe itself (one script's object); the resolver it uses is.
class CS_Dns {
 public:
  // Takes the resolver set by SetScriptResolver now.
  CS_Dns();
  CS_Dns(const CS_Dns&) = delete;
  CS_Dns& operator=(const CS_Dns&) = delete;

  // Each lookup gives "" for a missing name, no resolver, or no answer.
  // PTR of a dotted quad: the first name.
  Variable DNS_Reverse(const char* address);
  // The IPv4 address, following aliases.
  Variable DNS_Resolve(const char* name);
  // Every MX / NS answer, joined by ";".
  Variable DNS_MX(const char* name);
  Variable DNS_NS(const char* name);
  // The first TXT answer.
  Variable DNS_TXT(const char* name);
  // Adds a name server to the shared resolver (affects every user).
  void AddNameServerDNS(const char* address);
  // Wait per attempt for this object's lookups; below 1: the resolver's own.
  void SetTimeOut(int ms) { timeout_ms_ = ms; }

 private:
  Variable Lookup(const char* name, uint16_t type);

  CDns* resolver_;  // not owned; may be null
  int timeout_ms_ = 0;
};

// Registers "CS_Dns".
void RegisterDns(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_DNS_H_
