// spf_strict - strict mode: record selection, the syntax of a whole record,
// the evaluation of its terms with the processing limits, macros and
// explanations, after RFC 7208.
#include "engines/spf_strict.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <optional>
#include <vector>

namespace {

// Bits of an IPv4 and an IPv6 address: the largest prefix lengths.
constexpr int kIp4Bits = 32;
constexpr int kIp6Bits = 128;
// Longest label of a domain name.
constexpr size_t kMaxLabelBytes = 63;
// A macro count above this keeps every part anyway; the cap keeps the
// number in range.
constexpr int kMaxMacroCount = 1000;

constexpr std::string_view kVersion = "v=spf1";
constexpr std::string_view kMacroLetters = "slodiphcrtv";
constexpr std::string_view kExplanationOnlyLetters = "crt";
constexpr std::string_view kMacroDelimiters = ".-+,/_=";

bool IsAlpha(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsAlpha(c) || IsDigit(c); }
char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string Lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lowered(text.substr(0, prefix.size())) == prefix;
}

bool EqualNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && StartsWithNoCase(a, b); }

// The last label of a domain name: letters, digits and inner hyphens, and
// not digits alone.
bool IsTopLabel(std::string_view label) {
  if (label.empty() || !IsAlnum(label.front()) || !IsAlnum(label.back())) return false;
  bool letter_or_hyphen = false;
  for (const char c : label) {
    if (!IsAlnum(c) && c != '-') return false;
    letter_or_hyphen |= !IsDigit(c);
  }
  return letter_or_hyphen;
}

// A name that can stand for a domain: labels of 1 to 63 bytes, at least
// two of them, 253 bytes at most, ending with a top label (one final dot
// allowed).
bool IsValidDomain(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() > SpfStrictCheck::kMaxDomainBytes) return false;
  size_t start = 0;
  int labels = 0;
  for (;;) {
    const size_t dot = name.find('.', start);
    const std::string_view label = name.substr(start, dot == std::string_view::npos ? name.npos : dot - start);
    if (label.empty() || label.size() > kMaxLabelBytes) return false;
    ++labels;
    if (dot == std::string_view::npos) return labels >= 2 && IsTopLabel(label);
    start = dot + 1;
  }
}

// A prefix length "/N": "0" or digits without a leading zero, at most
// `max`. `text` is what follows the "/".
bool ParsePrefix(std::string_view text, int max, int* out) {
  if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), IsDigit)) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  *out = std::stoi(std::string(text));
  return *out <= max;
}

// Four numbers 0 to 255 without leading zeros, joined by dots.
bool ParseNetwork4(std::string_view text, uint8_t out[4]) {
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t end = i < 3 ? text.find('.', start) : text.size();
    if (end == std::string_view::npos) return false;
    int value;
    if (!ParsePrefix(text.substr(start, end - start), 255, &value)) return false;
    out[i] = static_cast<uint8_t>(value);
    start = end + 1;
  }
  return true;
}

// `name` without one final dot, lower case: names compared as domains.
std::string Canonical(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  return Lowered(name);
}

// True when `name` is `domain` or a name under it.
bool IsUnder(std::string_view name, std::string_view domain) {
  const std::string n = Canonical(name);
  const std::string d = Canonical(domain);
  return n == d || (n.size() > d.size() && n.compare(n.size() - d.size(), d.size(), d) == 0 &&
                    n[n.size() - d.size() - 1] == '.');
}

// Removes labels from the left until `name` fits kMaxDomainBytes.
void CutFromTheLeft(std::string* name) {
  while (name->size() > SpfStrictCheck::kMaxDomainBytes) {
    const size_t dot = name->find('.');
    if (dot == std::string::npos) {
      name->clear();
      return;
    }
    name->erase(0, dot + 1);
  }
}

// RFC 3986 escaping for the value of an upper-case macro letter: letters,
// digits and "-._~" stay, every other byte becomes "%HH".
std::string Escaped(std::string_view value) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : value) {
    if (IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += {'%', kHex[byte >> 4], kHex[byte & 15]};
    }
  }
  return out;
}

// A macro's transformers: the value split at any of `delimiters`, reversed
// on request, the right-most `count` parts kept (all when 0), joined by ".".
std::string TransformRightmost(std::string_view value, std::string_view delimiters, int count, bool reverse) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= value.size(); ++i) {
    if (i == value.size() || delimiters.find(value[i]) != std::string_view::npos) {
      parts.push_back(value.substr(start, i - start));
      start = i + 1;
    }
  }
  if (reverse) std::reverse(parts.begin(), parts.end());
  const size_t first = count > 0 && static_cast<size_t>(count) < parts.size() ? parts.size() - count : 0;
  std::string out;
  for (size_t i = first; i < parts.size(); ++i) {
    if (i > first) out.push_back('.');
    out.append(parts[i]);
  }
  return out;
}

// The parts of "%{...}" between the braces.
struct MacroSpec {
  char letter = 0;  // lower case
  bool upper = false;
  int count = 0;
  bool reverse = false;
  std::string delimiters = ".";
};

bool ParseMacroSpec(std::string_view body, bool explanation, MacroSpec* spec) {
  if (body.empty()) return false;
  spec->letter = Lower(body[0]);
  spec->upper = body[0] != spec->letter;
  if (kMacroLetters.find(spec->letter) == std::string_view::npos) return false;
  if (!explanation && kExplanationOnlyLetters.find(spec->letter) != std::string_view::npos) return false;
  size_t i = 1;
  bool has_count = false;
  for (; i < body.size() && IsDigit(body[i]); ++i) {
    spec->count = std::min(spec->count * 10 + (body[i] - '0'), kMaxMacroCount);
    has_count = true;
  }
  if (has_count && spec->count == 0) return false;
  if (i < body.size() && Lower(body[i]) == 'r') {
    spec->reverse = true;
    ++i;
  }
  if (i < body.size()) spec->delimiters.clear();
  for (; i < body.size(); ++i) {
    if (kMacroDelimiters.find(body[i]) == std::string_view::npos) return false;
    spec->delimiters.push_back(body[i]);
  }
  return true;
}

const char* MatchWord(int match) {
  static const char* const kWords[] = {"no match", "match", "temporary error", "permanent error"};
  return kWords[match];
}

}  // namespace

// What a record says, checked.
enum class Mechanism { kAll, kInclude, kA, kMx, kPtr, kIp4, kIp6, kExists };

struct SpfStrictCheck::Directive {
  Mechanism mechanism = Mechanism::kAll;
  int32_t code = kSpfPass;  // the result on a match
  String domain_spec;       // "" when the term names none
  int prefix = kIp4Bits;
  uint8_t network[4] = {};
  String text;              // the term, for the trace
};

struct SpfStrictCheck::Policy {
  std::vector<Directive> directives;
  std::optional<String> redirect;
  std::optional<String> explanation;
  bool has_all = false;
};

// {=========== the sender and the record

int32_t SpfStrictCheck::Run(const char* sender) {
  std::string_view given = sender != nullptr ? sender : "";
  std::string local = "postmaster";
  std::string domain;
  if (given.empty()) {
    domain = algo_->helo.View();
  } else {
    const size_t at = given.rfind('@');
    domain = given.substr(at == std::string_view::npos ? 0 : at + 1);
    if (at != std::string_view::npos && at > 0) local = given.substr(0, at);
  }
  algo_->localPart = String(std::string_view(local));
  algo_->domain = String(std::string_view(domain));
  algo_->sender = String(std::string_view(local + "@" + domain));
  if (!IsValidDomain(domain)) {
    CSPF::Trace(algo_, String("not a domain: ") + algo_->domain);
    return kSpfNone;
  }
  const int32_t code = CheckHost(algo_->domain, 0, true);
  String line;
  CSPF::Trace(algo_, line.Format("counters: DNS-querying terms %d/%d, void lookups %d/%d, lookups %d", dns_terms_,
                                 kMaxDnsTerms, void_lookups_, kMaxVoidLookups, algo_->lookups));
  if (code == kSpfFail && !algo_->explanation.IsEmpty()) CSPF::Trace(algo_, String("explanation: ") + algo_->explanation);
  return code;
}

bool SpfStrictCheck::SelectRecord(const String& domain, String* record, int32_t* code) {
  CArray<CDnsRES_RECORD::DnsRR> records;
  const DnsStatus status = engine_->Ask(algo_, domain, kDnsTypeTXT, &records);
  if (status == DnsStatus::kNameError || status == DnsStatus::kUnsendable) {
    *code = kSpfNone;
    return false;
  }
  if (!IsUsable(status)) {
    *code = kSpfTempError;
    return false;
  }
  int found = 0;
  for (const CDnsRES_RECORD::DnsRR& rr : records) {
    const std::string_view text = rr.text.View();
    if (rr.type != kDnsTypeTXT || !StartsWithNoCase(text, kVersion)) continue;
    if (text.size() > kVersion.size() && text[kVersion.size()] != ' ') continue;  // "v=spf10" is another thing
    *record = rr.text;
    ++found;
  }
  *code = found == 0 ? kSpfNone : kSpfPermError;
  return found == 1;
}

bool SpfStrictCheck::ParsePolicy(std::string_view record, Policy* policy, std::string* why) {
  std::string_view rest = record.substr(kVersion.size());
  while (!rest.empty()) {
    const size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const std::string_view term = rest.substr(0, rest.find(' '));
    rest.remove_prefix(term.size());
    for (const char c : term) {
      if (c < 0x21 || c > 0x7E) {
        *why = "a byte that is no visible ASCII in: " + std::string(term);
        return false;
      }
    }
    // A modifier is NAME=VALUE with a name of letters, digits, "-", "_"
    // and "."; anything else is a directive.
    const size_t equals = term.find('=');
    const std::string_view name = term.substr(0, equals);
    const bool modifier = equals != std::string_view::npos && !name.empty() && IsAlpha(name[0]) &&
                          std::all_of(name.begin(), name.end(), [](char c) {
                            return IsAlnum(c) || c == '-' || c == '_' || c == '.';
                          });
    const bool sound = modifier ? ParseModifier(name, term.substr(equals + 1), policy, why)
                                : ParseDirective(term, policy, why);
    if (!sound) return false;
  }
  return true;
}

bool SpfStrictCheck::ParseModifier(std::string_view name, std::string_view value, Policy* policy, std::string* why) {
  const bool redirect = EqualNoCase(name, "redirect");
  if (redirect || EqualNoCase(name, "exp")) {
    std::optional<String>& slot = redirect ? policy->redirect : policy->explanation;
    if (slot.has_value() || !CheckDomainSpec(value)) {
      *why = std::string(name) + (slot.has_value() ? " given twice" : ": bad domain-spec");
      return false;
    }
    slot = String(value);
    return true;
  }
  bool unused;
  if (ExpandMacros(value, false, String(""), nullptr, &unused)) return true;  // unknown modifiers are ignored
  *why = "bad value of modifier " + std::string(name);
  return false;
}

bool SpfStrictCheck::ParseDirective(std::string_view term, Policy* policy, std::string* why) {
  Directive d;
  d.text = String(term);
  static const std::string_view kQualifiers = "+-?~";
  static const int32_t kQualifierCodes[] = {kSpfPass, kSpfFail, kSpfNeutral, kSpfSoftFail};
  const size_t qualifier = kQualifiers.find(term.empty() ? ' ' : term[0]);
  if (qualifier != std::string_view::npos) {
    d.code = kQualifierCodes[qualifier];
    term.remove_prefix(1);
  }
  const size_t name_end = term.find_first_of(":/");
  const std::string name = Lowered(term.substr(0, name_end));
  std::string_view rest = name_end == std::string_view::npos ? "" : term.substr(name_end);
  *why = "bad term: " + std::string(d.text.View());

  // The prefix lengths at the end of a/mx ("/N", "//N6", "/N//N6") and of
  // ip4 ("/N") and ip6 ("/N6"). A "/" followed by other than digits belongs
  // to the domain-spec ("a:foo:bar/baz.example.com").
  auto digits_after = [&rest](size_t slash) {
    const std::string_view tail = rest.substr(slash + 1);
    return !tail.empty() && std::all_of(tail.begin(), tail.end(), IsDigit);
  };
  auto take_prefixes = [&rest, &d, &digits_after](bool ip4, bool ip6) {
    const size_t dual = rest.rfind("//");
    if (dual != std::string_view::npos && ip4 && ip6 && digits_after(dual + 1)) {
      int ignored;
      if (!ParsePrefix(rest.substr(dual + 2), kIp6Bits, &ignored)) return false;
      rest = rest.substr(0, dual);
    }
    const size_t slash = rest.rfind('/');
    if (slash == std::string_view::npos || !digits_after(slash)) return true;
    if (!ParsePrefix(rest.substr(slash + 1), ip4 ? kIp4Bits : kIp6Bits, &d.prefix)) return false;
    rest = rest.substr(0, slash);
    return true;
  };
  // ":domain-spec", required or optional.
  auto take_domain = [&rest, &d, this](bool required) {
    if (rest.empty()) return !required;
    if (rest[0] != ':' || !CheckDomainSpec(rest.substr(1))) return false;
    d.domain_spec = String(rest.substr(1));
    return true;
  };

  if (name == "all") {
    d.mechanism = Mechanism::kAll;
    policy->has_all = true;
    if (!rest.empty()) return false;
  } else if (name == "include" || name == "exists") {
    d.mechanism = name == "include" ? Mechanism::kInclude : Mechanism::kExists;
    if (!take_domain(true)) return false;
  } else if (name == "a" || name == "mx") {
    d.mechanism = name == "a" ? Mechanism::kA : Mechanism::kMx;
    if (!take_prefixes(true, true) || !take_domain(false)) return false;
  } else if (name == "ptr") {
    d.mechanism = Mechanism::kPtr;
    if (!take_domain(false)) return false;
  } else if (name == "ip4") {
    d.mechanism = Mechanism::kIp4;
    if (rest.empty() || rest[0] != ':' || !take_prefixes(true, false)) return false;
    if (!ParseNetwork4(rest.substr(1), d.network)) return false;
  } else if (name == "ip6") {
    d.mechanism = Mechanism::kIp6;  // parsed, never matching an IPv4 client
    in6_addr unused;
    if (rest.empty() || rest[0] != ':' || !take_prefixes(false, true)) return false;
    if (inet_pton(AF_INET6, std::string(rest.substr(1)).c_str(), &unused) != 1) return false;
  } else {
    *why = "unknown mechanism: " + std::string(d.text.View());
    return false;
  }
  why->clear();
  policy->directives.push_back(d);
  return true;
}

// domain-spec: a macro string that ends with a macro or with "." and a top
// label (one more dot allowed).
bool SpfStrictCheck::CheckDomainSpec(std::string_view spec) {
  bool ends_with_macro = false;
  if (spec.empty() || !ExpandMacros(spec, false, String(""), nullptr, &ends_with_macro)) return false;
  if (ends_with_macro) return true;
  if (spec.back() == '.') spec.remove_suffix(1);
  const size_t dot = spec.rfind('.');
  return dot != std::string_view::npos && IsTopLabel(spec.substr(dot + 1));
}

// }===========

// {=========== evaluation

bool SpfStrictCheck::CountTerm() {
  if (++dns_terms_ <= kMaxDnsTerms) return true;
  CSPF::Trace(algo_, String("too many DNS-querying terms"));
  return false;
}

bool SpfStrictCheck::CountVoid() {
  if (++void_lookups_ <= kMaxVoidLookups) return true;
  CSPF::Trace(algo_, String("too many void lookups"));
  return false;
}

int32_t SpfStrictCheck::CheckHost(const String& domain, int depth, bool top) {
  String line;
  CSPF::Trace(algo_, line.Format("check %s (level %d)", domain.GetData(), depth));
  if (depth > engine_->GetMaxRecursion()) {
    CSPF::Trace(algo_, String("too deep"));
    return kSpfPermError;
  }
  String record;
  int32_t code;
  if (!SelectRecord(domain, &record, &code)) return code;
  CSPF::Trace(algo_, String("record: ") + record);
  Policy policy;
  std::string why;
  if (!ParsePolicy(record.View(), &policy, &why)) {
    CSPF::Trace(algo_, String(std::string_view(why)));
    return kSpfPermError;
  }
  for (const Directive& directive : policy.directives) {
    const Match match = Evaluate(directive, domain, depth);
    CSPF::Trace(algo_, line.Format("term %s: %s", directive.text.GetData(), MatchWord(static_cast<int>(match))));
    if (match == Match::kTempError) return kSpfTempError;
    if (match == Match::kPermError) return kSpfPermError;
    if (match == Match::kNo) continue;
    if (directive.code == kSpfFail && top) Explain(policy, domain);
    return directive.code;
  }
  // "redirect" counts only where no "all" decides.
  if (!policy.redirect.has_value() || policy.has_all) return kSpfNeutral;
  String target;
  if (!CountTerm() || !ExpandDomain(*policy.redirect, domain, &target)) return kSpfPermError;
  code = CheckHost(target, depth + 1, top);
  return code == kSpfNone ? kSpfPermError : code;
}

SpfStrictCheck::Match SpfStrictCheck::Evaluate(const Directive& directive, const String& domain, int depth) {
  if (directive.mechanism == Mechanism::kAll) return Match::kYes;
  if (directive.mechanism == Mechanism::kIp4) {
    return CSPF::addrequal(algo_->ipBinary, directive.network, directive.prefix) ? Match::kYes : Match::kNo;
  }
  if (directive.mechanism == Mechanism::kIp6) return Match::kNo;
  String target = domain;
  if (!CountTerm()) return Match::kPermError;
  if (!directive.domain_spec.IsEmpty() && !ExpandDomain(directive.domain_spec, domain, &target)) {
    return Match::kPermError;
  }
  switch (directive.mechanism) {
    case Mechanism::kInclude: {
      const int32_t code = CheckHost(target, depth + 1, false);
      if (code == kSpfPass) return Match::kYes;
      if (code == kSpfTempError) return Match::kTempError;
      if (code == kSpfPermError || code == kSpfNone) return Match::kPermError;
      return Match::kNo;  // Fail, SoftFail and Neutral only do not match
    }
    case Mechanism::kA:
      return MatchAddresses(target, directive.prefix, true);
    case Mechanism::kMx:
      return MatchMx(target, directive.prefix);
    case Mechanism::kPtr:
      return MatchPtr(target);
    case Mechanism::kExists:
      return MatchAddresses(target, 0, true);
    default:
      return Match::kNo;
  }
}

SpfStrictCheck::Match SpfStrictCheck::MatchAddresses(const String& name, int prefix, bool count_void) {
  CArray<CDnsRES_RECORD::DnsRR> records;
  const DnsStatus status = engine_->Ask(algo_, name, kDnsTypeA, &records);
  if (status == DnsStatus::kUnsendable) return Match::kNo;
  if (!IsUsable(status)) return Match::kTempError;
  bool any = false;
  for (const CDnsRES_RECORD::DnsRR& rr : records) {
    uint8_t address[4];
    if (rr.type != kDnsTypeA || !CSPF::aton4(rr.data, address)) continue;
    any = true;
    if (CSPF::addrequal(algo_->ipBinary, address, prefix)) return Match::kYes;
  }
  if (!any && count_void && !CountVoid()) return Match::kPermError;
  return Match::kNo;
}

SpfStrictCheck::Match SpfStrictCheck::MatchMx(const String& name, int prefix) {
  CArray<CDnsRES_RECORD::DnsRR> records;
  const DnsStatus status = engine_->Ask(algo_, name, kDnsTypeMX, &records);
  if (status == DnsStatus::kUnsendable) return Match::kNo;
  if (!IsUsable(status)) return Match::kTempError;
  CArray<String> exchanges;
  for (const CDnsRES_RECORD::DnsRR& rr : records) {
    if (rr.type == kDnsTypeMX) exchanges.Add(rr.data);
  }
  if (exchanges.GetSize() == 0 && !CountVoid()) return Match::kPermError;
  if (exchanges.GetSize() > kMaxMxNames) return Match::kPermError;
  for (const String& exchange : exchanges) {
    const Match match = MatchAddresses(exchange, prefix, false);
    if (match != Match::kNo) return match;
  }
  return Match::kNo;
}

CArray<String> SpfStrictCheck::ValidatedNames() {
  CArray<String> validated;
  CArray<CDnsRES_RECORD::DnsRR> records;
  // A failed reverse lookup only means no name is validated.
  if (engine_->Ask(algo_, algo_->ip, kDnsTypePTR, &records) != DnsStatus::kAnswer) return validated;
  int looked_at = 0;
  for (const CDnsRES_RECORD::DnsRR& rr : records) {
    if (rr.type != kDnsTypePTR || looked_at++ >= kMaxPtrNames) continue;
    CArray<CDnsRES_RECORD::DnsRR> addresses;
    if (engine_->Ask(algo_, rr.data, kDnsTypeA, &addresses) != DnsStatus::kAnswer) continue;
    for (const CDnsRES_RECORD::DnsRR& a : addresses) {
      uint8_t address[4];
      if (a.type == kDnsTypeA && CSPF::aton4(a.data, address) && CSPF::addrequal(address, algo_->ipBinary, kIp4Bits)) {
        validated.Add(rr.data);
        break;
      }
    }
  }
  return validated;
}

SpfStrictCheck::Match SpfStrictCheck::MatchPtr(const String& target) {
  const CArray<String> names = ValidatedNames();
  return std::any_of(names.begin(), names.end(), [&](const String& n) { return IsUnder(n.View(), target.View()); })
             ? Match::kYes
             : Match::kNo;
}

// A validated name under `domain` is preferred; "unknown" when none.
String SpfStrictCheck::ValidatedName(const String& domain) {
  const CArray<String> names = ValidatedNames();
  for (const String& name : names) {
    if (IsUnder(name.View(), domain.View())) return name;
  }
  return names.GetSize() > 0 ? names[0] : String("unknown");
}

// Any failure on the way leaves the Fail without explanation.
void SpfStrictCheck::Explain(const Policy& policy, const String& domain) {
  algo_->explanation = "";
  String target;
  CArray<CDnsRES_RECORD::DnsRR> records;
  if (!policy.explanation.has_value() || !ExpandDomain(*policy.explanation, domain, &target)) return;
  if (engine_->Ask(algo_, target, kDnsTypeTXT, &records) != DnsStatus::kAnswer) return;
  const CDnsRES_RECORD::DnsRR* only = nullptr;
  for (const CDnsRES_RECORD::DnsRR& rr : records) {
    if (rr.type != kDnsTypeTXT) continue;
    if (only != nullptr) return;  // an explanation is one record, or none
    only = &rr;
  }
  std::string text;
  bool unused;
  if (only != nullptr && ExpandMacros(only->text.View(), true, domain, &text, &unused)) {
    algo_->explanation = String(std::string_view(text));
  }
}

// }===========

// {=========== macros

bool SpfStrictCheck::ExpandDomain(const String& spec, const String& domain, String* out) {
  std::string expanded;
  bool unused;
  if (!ExpandMacros(spec.View(), false, domain, &expanded, &unused)) return false;
  CutFromTheLeft(&expanded);
  *out = String(std::string_view(expanded));
  return true;
}

bool SpfStrictCheck::ExpandMacros(std::string_view text, bool explanation, const String& domain, std::string* out,
                                  bool* ends_with_macro) {
  std::string expanded;
  for (size_t i = 0; i < text.size(); ++i) {
    *ends_with_macro = text[i] == '%';
    if (text[i] != '%') {
      const char c = text[i];
      if (c < (explanation ? 0x20 : 0x21) || c > 0x7E) return false;
      expanded.push_back(c);
    } else if (++i >= text.size()) {
      return false;
    } else if (text[i] == '%' || text[i] == '_' || text[i] == '-') {
      expanded += text[i] == '%' ? "%" : text[i] == '_' ? " " : "%20";
    } else if (text[i] != '{') {
      return false;
    } else {
      const size_t close = text.find('}', i + 1);
      MacroSpec spec;
      if (close == std::string_view::npos || !ParseMacroSpec(text.substr(i + 1, close - i - 1), explanation, &spec)) {
        return false;
      }
      i = close;
      if (out == nullptr) continue;  // the syntax alone
      std::string value =
          TransformRightmost(MacroValue(spec.letter, domain).View(), spec.delimiters, spec.count, spec.reverse);
      expanded += spec.upper ? Escaped(value) : value;
    }
    if (expanded.size() > static_cast<size_t>(CSPF::kMaxExpansionBytes)) return false;
  }
  if (out != nullptr) *out = std::move(expanded);
  return true;
}

String SpfStrictCheck::MacroValue(char letter, const String& domain) {
  String value;
  switch (letter) {
    case 's':
      return algo_->sender;
    case 'l':
      return algo_->localPart;
    case 'o':
      return algo_->domain;
    case 'd':
      return domain;
    case 'i':
    case 'c':
      return algo_->ip;
    case 'p':
      return ValidatedName(domain);
    case 'v':
      return String("in-addr");
    case 'h':
      return algo_->helo;
    case 't':
      return String(std::string_view(std::to_string(time(nullptr))));
    default:  // 'r': the checking host, which has no name of its own here
      return String("unknown");
  }
}

// }===========
