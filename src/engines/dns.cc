// dns - name-server choice by measured time, the query exchange with answer
// matching, the raw-answer cache and the text lookups.
#include "engines/dns.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "base/utility.h"
#include "engines/dns_client.h"

namespace {

// Server reported when none is configured: a resolver on this host.
constexpr const char* kLocalServer = "127.0.0.1";
// Configured server entries up to this long are placeholders unless they
// are addresses: the length test alone would drop "8.8.8.8".
constexpr int kMaxPlaceholderChars = 7;
// Digits of one part of a dotted quad, as the address test accepts them.
constexpr int kMaxQuadDigits = 3;

// True for four groups of 1 to 3 digits joined by dots, nothing else.
bool IsDottedQuad(const char* text) {
  if (text == nullptr) return false;
  int groups = 0;
  const char* p = text;
  for (;;) {
    int digits = 0;
    while (digits <= kMaxQuadDigits && std::isdigit(static_cast<unsigned char>(*p))) {
      ++p;
      ++digits;
    }
    if (digits == 0 || digits > kMaxQuadDigits) return false;
    if (++groups == 4) return *p == '\0';
    if (*p++ != '.') return false;
  }
}

// The name a PTR query asks: "d.c.b.a.in-addr.arpa" for the address
// "a.b.c.d"; any other name is asked as given.
String PtrQueryName(const char* name) {
  if (!IsDottedQuad(name)) return String(name);
  String parts[4];
  for (int i = 0; i < 4; ++i) SubString(&parts[i], name, i, '.');
  String out;
  out.Format("%s.%s.%s.%s.in-addr.arpa", parts[3].GetData(), parts[2].GetData(), parts[1].GetData(),
             parts[0].GetData());
  return out;
}

// The outcome an answer's RCODE stands for.
DnsStatus StatusOfRcode(int rcode) {
  switch (rcode) {
    case kDnsRcodeNoError:
      return DnsStatus::kAnswer;
    case kDnsRcodeNxDomain:
      return DnsStatus::kNameError;
    case kDnsRcodeServFail:
      return DnsStatus::kServerFailure;
    case kDnsRcodeRefused:
      return DnsStatus::kRefused;
    default:
      return DnsStatus::kOtherError;
  }
}

}  // namespace

// ---- Configuration -------------------------------------------------------------

DnsSettings DnsSettingsFromConfig(const CConfig& config) {
  DnsSettings settings;
  for (const String& server : config.dns_nameservers) {
    if (server.size() > kMaxPlaceholderChars || IsDottedQuad(server)) settings.servers.Add(server);
  }
  settings.timeout_ms = config.dns_timeout_millisecond;
  settings.cache_lifetime_value = config.dns_delete_old_record_time;
  settings.cache_lifetime_unit = config.dns_delete_old_record_type;
  return settings;
}

// ---- CDnsNameServer ----------------------------------------------------------

int CDnsNameServer::IndexOf(const char* address) const {
  for (int i = 0; i < servers_.GetSize(); ++i) {
    if (servers_[i] == address) return i;
  }
  return -1;
}

void CDnsNameServer::AddLocked(const char* address) {
  if (address == nullptr || address[0] == '\0' || IndexOf(address) >= 0) return;
  servers_.Add(String(address));
  times_.Add(0);
}

void CDnsNameServer::AddNameServerDNS(const char* address) {
  CriticalScope hold(lock_);
  AddLocked(address);
}

void CDnsNameServer::ResetServerDNS() {
  CriticalScope hold(lock_);
  servers_.RemoveAll();
  times_.RemoveAll();
}

void CDnsNameServer::ReplaceServersDNS(const CArray<String>& servers) {
  CriticalScope hold(lock_);
  servers_.RemoveAll();
  times_.RemoveAll();
  for (const String& server : servers) AddLocked(server);
}

void CDnsNameServer::GetTopServerDNS(String* out) {
  CriticalScope hold(lock_);
  if (servers_.GetSize() == 0) {
    *out = kLocalServer;
    return;
  }
  int best = -1;
  for (int i = 0; i < times_.GetSize(); ++i) {
    if (times_[i] < kUnusableTime && (best < 0 || times_[i] < times_[best])) best = i;
  }
  *out = best < 0 ? "" : servers_[best].GetData();
}

void CDnsNameServer::RegistraTime(const char* address, int32_t ms) {
  if (address == nullptr) return;
  CriticalScope hold(lock_);
  const int i = IndexOf(address);
  if (i >= 0) times_[i] = ms;
}

void CDnsNameServer::GetNameSeverDNS(String* out, int i) {
  CriticalScope hold(lock_);
  *out = (i >= 0 && i < servers_.GetSize()) ? servers_[i].GetData() : "";
}

int CDnsNameServer::GetServerCount() {
  CriticalScope hold(lock_);
  return servers_.GetSize();
}

int32_t CDnsNameServer::GetServerTime(const char* address) {
  if (address == nullptr) return -1;
  CriticalScope hold(lock_);
  const int i = IndexOf(address);
  return i < 0 ? -1 : times_[i];
}

// ---- CDns: construction and settings -----------------------------------------

CDns::CDns(const char* cache_file) {
  if (cache_file == nullptr) return;
  MakeAppDirectory("db");
  cache_.Open(cache_file);
  cache_.Load();
}

CDns::CDns(const DnsSettings& settings, const char* cache_file) : CDns(cache_file) { ApplySettings(settings); }

void CDns::ApplySettings(const DnsSettings& settings) {
  ReplaceServersDNS(settings.servers);
  SetTimeOut(settings.timeout_ms);
  SetTimeOfValidityRecord(settings.cache_lifetime_value, settings.cache_lifetime_unit);
}

CDns::~CDns() { cache_.Save(); }

void CDns::SetTimeOut(int32_t ms) { timeout_ms_.store(ms < 1 ? kDefaultTimeoutMs : std::min(ms, kMaxTimeoutMs)); }

void CDns::SetTimeOfValidityRecord(int32_t value, int32_t unit) { cache_.SetTimeOfValidityRecord(value, unit); }

int32_t CDns::SaveCache() { return cache_.Save(); }

int32_t CDns::SanitaryCache() { return cache_.SanitaryAndSave(); }

int32_t CDns::GetCacheRecordCount() { return cache_.GetRealRecordCount(); }

// ---- CDns: queries -------------------------------------------------------------

uint8_t CDns::QueryDns(const char* name, CDnsRES_RECORD* result, uint16_t type, int32_t timeout_ms) {
  DnsStatus status;
  return Query(name, result, type, timeout_ms, &status);
}

DnsStatus CDns::QueryStatus(const char* name, CDnsRES_RECORD* result, uint16_t type, int32_t timeout_ms) {
  DnsStatus status;
  Query(name, result, type, timeout_ms, &status);
  return status;
}

uint8_t CDns::Query(const char* name, CDnsRES_RECORD* result, uint16_t type, int32_t timeout_ms,
                    DnsStatus* status) {
  *status = DnsStatus::kUnsendable;
  if (name == nullptr || name[0] == '\0' || result == nullptr) return 0;
  *status = DnsStatus::kNoAnswer;
  if (GetServerCount() == 0) return 0;
  String key;
  key.Format("%s %d", name, type);
  const bool cached = FromCache(key, result);
  if (!cached) {
    CDnsBuffer query;
    uint16_t id;
    if (!DrawQueryId(&id)) return 0;
    query.ResetBuffer(id);
    const String asked = type == kDnsTypePTR ? PtrQueryName(name) : String(name);
    if (!query.PushQuery(asked, type)) {
      *status = DnsStatus::kUnsendable;
      return 0;
    }
    const int32_t wait = timeout_ms < 1 ? GetTimeOut() : std::min(timeout_ms, kMaxTimeoutMs);
    if (!Exchange(query, result, wait)) return 0;
  }
  const uint8_t parsed = result->Elaborates();
  if (parsed == 0) return 0;
  *status = StatusOfRcode(result->GetRcode());
  // A server failure or refusal says nothing about the name: asked again
  // later, it may answer. allowDuplicate 0: when two threads asked at once,
  // one copy is enough.
  if (!cached && *status != DnsStatus::kServerFailure && *status != DnsStatus::kRefused) {
    cache_.Insert(key, result->GetBuffer(), result->GetReceived(), 0);
  }
  return parsed;
}

DnsStatus CDns::Lookup(const char* name, uint16_t type, int32_t budget_ms, CArray<CDnsRES_RECORD::DnsRR>* records) {
  records->RemoveAll();
  CDnsRES_RECORD answer(kLookupAnswerBytes);
  const int32_t wait = budget_ms < 1 ? GetTimeOut() : std::min(budget_ms, GetTimeOut());
  const DnsStatus status = QueryStatus(name, &answer, type, wait);
  if (status == DnsStatus::kAnswer) *records = answer.GetAnswers();
  return status;
}

// The store's transaction keeps the record alive while its value is copied.
bool CDns::FromCache(const String& key, CDnsRES_RECORD* result) {
  cache_.BiginTranstion();
  const int32_t n = cache_.Find(key, 0);
  const CDB_RAM::RECORD* record = n >= 0 ? cache_.GetByIndexPtr(n) : nullptr;
  const bool hit = record != nullptr && record->len > 0 && record->value != nullptr;
  if (hit) result->Assign(record->value.get(), static_cast<size_t>(record->len));
  cache_.EndTransation();
  return hit;
}

bool CDns::Exchange(const CDnsBuffer& query, CDnsRES_RECORD* result, int32_t timeout_ms) {
  const int attempts = GetServerCount();
  for (int attempt = 0; attempt < attempts; ++attempt) {
    String server;
    GetTopServerDNS(&server);
    if (server.IsEmpty()) return false;
    const uint32_t start = GetMyTickCount();
    if (AskServer(server, query, result, timeout_ms)) {
      const int32_t took = static_cast<int32_t>(GetMyTickCount() - start);
      if (took >= 0) RegistraTime(server, took);
      return true;
    }
    RegistraTime(server, timeout_ms + kFailurePenaltyMs);
  }
  return false;
}

// Datagrams that are not the answer (stray, late, forged) are dropped and the
// wait goes on for what is left of the time-out.
bool CDns::AskServer(const char* server, const CDnsBuffer& query, CDnsRES_RECORD* result, int32_t timeout_ms) {
  CDnsClient client;
  if (!client.SetDestination(server, kDnsPort) || client.Send(query.data(), static_cast<int>(query.size())) != 1) {
    return false;
  }
  const uint32_t start = GetMyTickCount();
  for (;;) {
    const int32_t elapsed = static_cast<int32_t>(GetMyTickCount() - start);
    if (elapsed < 0 || elapsed >= timeout_ms) return false;
    result->Restart();
    const int got = client.ReadFor(result->GetBuffer(), result->GetLen(), timeout_ms - elapsed);
    if (got < 0) return false;
    if (got > 0 && IsAnswerTo(query, result->GetBuffer(), static_cast<size_t>(got))) {
      result->SetReceived(got);
      if (!result->IsTruncated()) return true;
      const int32_t left = timeout_ms - static_cast<int32_t>(GetMyTickCount() - start);
      return AskOverTcp(server, query, result, left);
    }
  }
}

bool CDns::AskOverTcp(const char* server, const CDnsBuffer& query, CDnsRES_RECORD* result, int32_t timeout_ms) {
  std::vector<uint8_t> whole;
  result->Restart();
  if (timeout_ms < 1 || !ExchangeOverTcp(server, kDnsPort, query.data(), query.size(), &whole, timeout_ms)) {
    return false;
  }
  if (whole.size() > static_cast<size_t>(result->GetLen()) || !IsAnswerTo(query, whole.data(), whole.size())) {
    return false;
  }
  result->Assign(whole.data(), whole.size());
  return !result->IsTruncated();
}

// ---- CDns: text lookups --------------------------------------------------------

String CDns::LookupText(const char* name, uint16_t type, int32_t timeout_ms) {
  String text("");
  CDnsRES_RECORD answer(kLookupAnswerBytes);
  if (!QueryDns(name, &answer, type, timeout_ms)) return text;
  const CArray<CDnsRES_RECORD::DnsRR>& records = answer.GetAnswers();
  if (records.GetSize() == 0) return text;
  if (type != kDnsTypeMX && type != kDnsTypeNS) return records[0].data;
  for (int i = 0; i < records.GetSize(); ++i) {
    if (i > 0) text.append(';');
    text.append(records[i].data);
  }
  return text;
}

String CDns::ResolveAddress(const char* name, int32_t timeout_ms) {
  String current(name);
  for (int hop = 0; hop <= kMaxAliasHops; ++hop) {
    String text = LookupText(current, kDnsTypeA, timeout_ms);
    if (text.IsEmpty() || IsDottedQuad(text)) return text;
    current = text;
  }
  return String("");
}
