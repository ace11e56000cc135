// address_ranges - range and host-name lists: entry parsing, the validity rules and
// the membership test.
#include "engines/address_ranges.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "base/regex.h"
#include "engines/dns.h"

namespace {

// What a host-name entry looks like, as opposed to an address.
constexpr const char* kHostNamePattern = "^(([a-z\\d][a-z\\d\\-]*)?[a-z\\d]\\.)+[a-z]{2,32}$";
// Value an octet is capped at while digits are read: far above kMaxOctet,
// far below what would wrap.
constexpr uint32_t kOctetReadCap = 100000;

bool IsHostName(const char* text) { return RegexMatch(kHostNamePattern, kRegexCaseless, text, std::strlen(text)) == 1; }

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

// The patterns are copied so the lock is not held across the lookup; a
// failed lookup simply matches nothing.
bool CIPNET::MatchesDomain(const char* address) {
  CArray<String> patterns;
  {
    CriticalScope hold(lock_);
    patterns = domains_;
  }
  if (dns_ == nullptr || patterns.GetSize() == 0) return false;
  CDnsRES_RECORD answer(kPtrAnswerBytes);
  if (!dns_->QueryDns(address, &answer, kDnsTypePTR)) return false;
  for (const CDnsRES_RECORD::DnsRR& record : answer.GetAnswers()) {
    if (record.type != kDnsTypePTR) continue;
    for (const String& pattern : patterns) {
      if (RegexMatch(pattern, kRegexCaseless, record.data.GetData(), record.data.size()) == 1) return true;
    }
    return false;  // only the first host name counts
  }
  return false;
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
