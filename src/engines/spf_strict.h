// spf_strict - SpfStrictCheck, the sender-policy engine's strict mode: RFC
// 7208 for IPv4 clients. Exactly one "v=spf1" record is taken, the whole
// record is checked before any term is evaluated, include and redirect are
// evaluated on their own, the processing limits apply, macros follow the
// RFC, and a Fail gets the explanation its "exp" names.
#ifndef TORVANE_ENGINES_SPF_STRICT_H_
#define TORVANE_ENGINES_SPF_STRICT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/string.h"
#include "engines/spf.h"

// One evaluation; not thread-safe (each query makes its own).
class SpfStrictCheck {
 public:
  // Terms that query DNS (include, a, mx, ptr, exists, redirect) one
  // evaluation may hold; one more is a PermError.
  static constexpr int kMaxDnsTerms = 10;
  // Lookups that found no name or no record; one more is a PermError.
  static constexpr int kMaxVoidLookups = 2;
  // MX names one "mx" may name; more is a PermError.
  static constexpr int kMaxMxNames = 10;
  // PTR names looked at by "ptr" and "%{p}"; the rest are ignored.
  static constexpr int kMaxPtrNames = 10;
  // Longest domain name a macro expansion may give; longer ones lose
  // labels from the left.
  static constexpr size_t kMaxDomainBytes = 253;

  // Neither pointer is owned; both outlive the check. `algo` holds the
  // client address, the HELO and the deadline.
  SpfStrictCheck(CSPF* engine, CSPF_Algo* algo) : engine_(engine), algo_(algo) {}

  // The result for `sender` (null or empty: "postmaster@" and the HELO).
  // Sets algo's sender, domain and local part, and its explanation on a
  // Fail that has one.
  int32_t Run(const char* sender);

 private:
  struct Policy;
  struct Directive;
  enum class Match { kNo, kYes, kTempError, kPermError };

  // check_host() of RFC 7208: the result for `domain`. `top` is true for
  // the sender's domain and the targets of its redirects, whose Fail may
  // be explained.
  int32_t CheckHost(const String& domain, int depth, bool top);
  // The one "v=spf1" record of `domain` in `record`; false with the result
  // (None, TempError, PermError) in `code` when there is not exactly one.
  bool SelectRecord(const String& domain, String* record, int32_t* code);
  // Checks the whole record and splits it into `policy`; false with the
  // reason in `why` at the first term that breaks the syntax.
  bool ParsePolicy(std::string_view record, Policy* policy, std::string* why);
  bool ParseDirective(std::string_view term, Policy* policy, std::string* why);
  bool ParseModifier(std::string_view name, std::string_view value, Policy* policy, std::string* why);
  bool CheckDomainSpec(std::string_view spec);
  Match Evaluate(const Directive& directive, const String& domain, int depth);
  Match MatchAddresses(const String& name, int prefix, bool count_void);
  Match MatchMx(const String& name, int prefix);
  Match MatchPtr(const String& target);
  // The names of the client's PTR records (at most kMaxPtrNames) whose own
  // addresses include the client's.
  CArray<String> ValidatedNames();
  String ValidatedName(const String& domain);
  void Explain(const Policy& policy, const String& domain);

  // Counts a DNS-querying term; false past kMaxDnsTerms.
  bool CountTerm();
  // Counts a void lookup; false past kMaxVoidLookups.
  bool CountVoid();

  // Expands the macros of a checked domain-spec for `domain` and cuts the
  // result to kMaxDomainBytes; false when the expansion is too long.
  bool ExpandDomain(const String& spec, const String& domain, String* out);
  // Expands `text` (a domain-spec, or with `explanation` an explanation
  // text with c, r and t allowed) into `out`; false on a syntax error or an
  // over-long result. With `out` null only the syntax is checked, and
  // `ends_with_macro` tells whether the text ends with a macro.
  bool ExpandMacros(std::string_view text, bool explanation, const String& domain, std::string* out,
                    bool* ends_with_macro);
  // The value of macro letter `letter` (lower case) for `domain`.
  String MacroValue(char letter, const String& domain);

  CSPF* engine_;     // not owned
  CSPF_Algo* algo_;  // not owned
  int dns_terms_ = 0;
  int void_lookups_ = 0;
};

#endif  // TORVANE_ENGINES_SPF_STRICT_H_
