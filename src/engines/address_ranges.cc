// address_ranges - range and host-name lists: entry parsing, the validity rules and
// the membership test.
#include "engines/address_ranges.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "base/regex.h"
#include "engines/dns.h"

namespace {

// What a host-name entry looks like, as opposed to an address.
constexpr const char* kHostNamePattern = "^(([a-z\\d][a-z\\d\\-]*)?[a-z\\d]\\.)+[a-z]{2,32}$";
// Value an octet is capped at while digits are read: far above kMaxOctet,
// far below what would wrap.
constexpr uint32_t kOctetReadCap = 100000;

bool IsHostName(const char* text) { return RegexMatch(kHostNamePattern, kRegexCaseless, text, std::strlen(text)) == 1; }

bool SameTextNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
         });
}

// `name` is `domain` or a name under it, ignoring case.
bool IsNameInDomain(std::string_view name, std::string_view domain) {
  if (domain.empty() || name.size() < domain.size()) return false;
  const std::string_view tail = name.substr(name.size() - domain.size());
  if (!SameTextNoCase(tail, domain)) return false;
  return name.size() == domain.size() || name[name.size() - domain.size() - 1] == '.';
}

bool SameAddress(const CIPNET::NETIP& a, const CIPNET::NETIP& b) {
  return std::equal(std::begin(a.octet), std::end(a.octet), std::begin(b.octet));
}

bool Contains(const CIPNET::RANGEIP& range, const CIPNET::NETIP& address) {
  for (int k = 0; k < 4; ++k) {
    if (address.octet[k] < range.from.octet[k] || address.octet[k] > range.to.octet[k]) return false;
  }
  return true;
}

bool IsNetworkEdge(uint32_t octet) { return octet == 0 || octet == CIPNET::kMaxOctet; }

// Field `index` of "from|to|comment" with the blanks around it removed;
// empty when missing.
String Field(const char* entry, int index) {
  String field("");
  const char* start = entry;
  for (int i = 0; i < index && start != nullptr; ++i) {
    start = std::strchr(start, '|');
    if (start != nullptr) ++start;
  }
  if (start == nullptr) return field;
  const char* end = std::strchr(start, '|');
  field.append(start, end == nullptr ? std::strlen(start) : static_cast<size_t>(end - start));
  field.Trim();
  return field;
}

}  // namespace

CIPNET::CIPNET(CDns* dns) : dns_(dns) {}

// ---- Parsing and validity ----------------------------------------------------

void CIPNET::PopolateFromString(NETIP* netip, const char* text) {
  if (netip == nullptr) return;
  *netip = NETIP();
  const char* p = text;
  for (int k = 0; k < 4 && p != nullptr; ++k) {
    while (*p == ' ') ++p;
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = std::min(value * 10 + static_cast<uint32_t>(*p - '0'), kOctetReadCap);
    netip->octet[k] = value;
    p = std::strchr(p, '.');
    if (p != nullptr) ++p;
  }
}

bool CIPNET::IsValidRange(const char* from, const char* to) {
  NETIP low, high;
  PopolateFromString(&low, from);
  PopolateFromString(&high, to);
  for (int k = 0; k < 4; ++k) {
    if (low.octet[k] > kMaxOctet || high.octet[k] > kMaxOctet) return false;
  }
  if (IsNetworkEdge(low.octet[0]) && IsNetworkEdge(high.octet[0])) return false;
  if (low.octet[0] < high.octet[0]) return false;
  for (int k = 1; k < 4; ++k) {
    if (low.octet[k] < high.octet[k] && low.octet[k - 1] > high.octet[k - 1]) return false;
  }
  return !(SameAddress(low, high) && IsNetworkEdge(low.octet[3]));
}

// ---- List changes ----------------------------------------------------------------

void CIPNET::AddEntryTo(const char* from, const char* to, CArray<RANGEIP>* ranges, CArray<String>* domains) {
  if (from == nullptr || *from == '\0') return;
  if (IsHostName(from)) {
    domains->Add(String(from));
    return;
  }
  const char* upper = (to == nullptr || *to == '\0') ? from : to;
  if (!IsValidRange(from, upper)) return;
  RANGEIP range;
  PopolateFromString(&range.from, from);
  PopolateFromString(&range.to, upper);
  ranges->Add(range);
}

void CIPNET::AddEntryTo(const char* entry, CArray<RANGEIP>* ranges, CArray<String>* domains) {
  if (entry == nullptr) return;
  AddEntryTo(Field(entry, 0), Field(entry, 1), ranges, domains);
}

void CIPNET::AddRange(const char* entry) {
  CriticalScope hold(lock_);
  AddEntryTo(entry, &ranges_, &domains_);
}

void CIPNET::AddRange(const char* from, const char* to) {
  CriticalScope hold(lock_);
  AddEntryTo(from, to, &ranges_, &domains_);
}

// The new lists are built aside (pattern tests included) and swapped in.
void CIPNET::ReplaceRanges(const CArray<String>& entries) {
  CArray<RANGEIP> ranges;
  CArray<String> domains;
  for (const String& entry : entries) AddEntryTo(entry.GetData(), &ranges, &domains);
  CriticalScope hold(lock_);
  ranges_ = std::move(ranges);
  domains_ = std::move(domains);
}

void CIPNET::DeleteRange() {
  CriticalScope hold(lock_);
  ranges_.RemoveAll();
  domains_.RemoveAll();
}

int CIPNET::GetRangeCount() {
  CriticalScope hold(lock_);
  return ranges_.GetSize();
}

int CIPNET::GetDomainCount() {
  CriticalScope hold(lock_);
  return domains_.GetSize();
}

// ---- Membership --------------------------------------------------------------------

int CIPNET::IsValidIPintheRange(const char* address) {
  in_addr parsed;
  if (address == nullptr || inet_pton(AF_INET, address, &parsed) != 1) return 0;
  return (MatchesDomain(address) || InRanges(address)) ? 1 : 0;
}

// The domains are copied so the lock is not held across the lookups; a
// failed lookup simply matches nothing.
bool CIPNET::MatchesDomain(const char* address) {
  CArray<String> domains;
  {
    CriticalScope hold(lock_);
    domains = domains_;
  }
  if (dns_ == nullptr || domains.GetSize() == 0) return false;
  const std::string name = ConfirmedHostName(address);
  if (name.empty()) return false;
  for (const String& domain : domains) {
    if (IsNameInDomain(name, domain.View())) return true;
  }
  return false;
}

// Anyone may write any name into the PTR record of an address they hold;
// only the forward lookup of that name, in the zone of whoever owns it,
// shows the name is really theirs.
std::string CIPNET::ConfirmedHostName(const char* address) {
  CDnsRES_RECORD reverse(kPtrAnswerBytes);
  if (!dns_->QueryDns(address, &reverse, kDnsTypePTR)) return "";
  std::string name;
  for (const CDnsRES_RECORD::DnsRR& record : reverse.GetAnswers()) {
    if (record.type != kDnsTypePTR) continue;
    name = record.data.ToStdString();  // only the first host name counts
    break;
  }
  while (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty()) return "";
  CDnsRES_RECORD forward(kForwardAnswerBytes);
  if (!dns_->QueryDns(name.c_str(), &forward, kDnsTypeA)) return "";
  for (const CDnsRES_RECORD::DnsRR& record : forward.GetAnswers()) {
    if (record.type == kDnsTypeA && record.data.View() == address) return name;
  }
  return "";
}

bool CIPNET::InRanges(const char* address) {
  NETIP parsed;
  PopolateFromString(&parsed, address);
  CriticalScope hold(lock_);
  for (const RANGEIP& range : ranges_) {
    if (Contains(range, parsed)) return true;
  }
  return false;
}
