// dnsbl - block-list lookups: zone entries, the cached results with their
// recomputed scores, and the parallel exchange of one lookup.
#include "engines/dnsbl.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/utility.h"
#include "engines/dns_client.h"
#include "engines/dns_record.h"
#include "engines/dns_wire.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSource = "dnsbl";
constexpr const char* kRoutine = "CDnsBL::QueryDnsBL";
// Cache value: count and score in front of the zone names.
constexpr int32_t kCacheHeaderBytes = 8;
// The loopback network block lists answer listings from.
constexpr uint8_t kListingFirstOctet = 127;

// One zone's query and whether its answer came.
struct PendingQuery {
  CDnsBuffer query;
  const CDnsBL::NSBL* zone = nullptr;  // in the lookup's zone snapshot
  bool answered = false;
};

int32_t MillisecondsSince(Clock::time_point start) {
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// "d.c.b.a" for the address "a.b.c.d"; false when `address` is no dotted quad.
bool ReverseAddress(const char* address, String* reversed) {
  in_addr parsed;
  if (address == nullptr || inet_pton(AF_INET, address, &parsed) != 1) return false;
  const auto* b = reinterpret_cast<const uint8_t*>(&parsed.s_addr);
  reversed->Format("%u.%u.%u.%u", b[3], b[2], b[1], b[0]);
  return true;
}

// True when the A record text `data` is an address in 127.0.0.0/8.
bool IsListingAddress(const String& data) {
  in_addr parsed;
  if (data.IsEmpty() || inet_pton(AF_INET, data.GetData(), &parsed) != 1) return false;
  return reinterpret_cast<const uint8_t*>(&parsed.s_addr)[0] == kListingFirstOctet;
}

// What one answer says: a listing, nothing, or an address outside the
// listing block (`other` gets the first one).
enum class Verdict { kNotListed, kListed, kForeign };

Verdict Judge(const CDnsRES_RECORD& answer, String* other) {
  Verdict verdict = Verdict::kNotListed;
  for (const CDnsRES_RECORD::DnsRR& record : answer.GetAnswers()) {
    if (record.type != kDnsTypeA) continue;
    if (IsListingAddress(record.data)) return Verdict::kListed;
    if (verdict == Verdict::kNotListed) *other = record.data;
    verdict = Verdict::kForeign;
  }
  return verdict;
}

// Little-endian fields of the cache value.
void PutU32(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetU32(const uint8_t* in) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | in[i];
  return v;
}

// A weight as configured: the decimal number after the first "|"; 0 when it
// is missing, unreadable or not finite.
float ReadWeight(const char* text) {
  if (text == nullptr) return 0;
  char* end = nullptr;
  const float weight = std::strtof(text, &end);
  return (end == text || !std::isfinite(weight)) ? 0.0f : weight;
}

bool ParseZoneEntry(const char* entry, CDnsBL::NSBL* out) {
  if (entry == nullptr) return false;
  const char* bar = std::strchr(entry, '|');
  out->zone = "";
  out->zone.append(entry, bar == nullptr ? std::strlen(entry) : static_cast<size_t>(bar - entry));
  out->zone.Trim();
  out->weight = bar == nullptr ? 0.0f : ReadWeight(bar + 1);
  return !out->zone.IsEmpty();
}

void AppendZone(const String& zone, float weight, CDnsBL::DnsBL_Result* result) {
  if (!result->text.IsEmpty()) result->text.append(' ');
  result->text.append(zone);
  result->count += 1;
  result->score += weight;
}


// Sends one query per zone (pending[i] for zones[i]): the number sent, or -1
// when the socket failed. A refusal from the server may surface on any send.
// Zones whose name cannot be sent are skipped.
int SendQueries(CDnsClient* client, const String& reversed, const CArray<CDnsBL::NSBL>& zones,
                std::vector<PendingQuery>* pending) {
  int sent = 0;
  for (size_t i = 0; i < pending->size(); ++i) {
    PendingQuery& p = (*pending)[i];
    const CDnsBL::NSBL& zone = zones[static_cast<int>(i)];
    uint16_t id;
    if (!DrawQueryId(&id)) continue;
    p.query.ResetBuffer(id);
    if (!p.query.PushQuery(reversed + "." + zone.zone, kDnsTypeA)) continue;
    if (client->Send(p.query.data(), static_cast<int>(p.query.size())) != 1) return -1;
    p.zone = &zone;
    ++sent;
  }
  return sent;
}

// The open query `datagram` answers (by ID and question), now marked
// answered; null when it answers none.
PendingQuery* MatchAnswer(const uint8_t* datagram, size_t n, std::vector<PendingQuery>* pending) {
  for (PendingQuery& p : *pending) {
    if (p.zone != nullptr && !p.answered && IsAnswerTo(p.query, datagram, n)) {
      p.answered = true;
      return &p;
    }
  }
  return nullptr;
}

}  // namespace

// ---- Configuration ---------------------------------------------------------------

DnsBLSettings DnsBLSettingsFromConfig(const CConfig& config) {
  DnsBLSettings settings;
  settings.servers = DnsSettingsFromConfig(config).servers;
  for (const String& entry : config.dnsbl_nameservers) {
    if (!entry.IsEmpty()) settings.zones.Add(entry);
  }
  settings.timeout_bl_ms = config.dnsbl_timeout_millisecond;
  settings.timeout_single_ms = config.dnsbl_timeout_millisecond_sc;
  settings.max_hits = config.dnsbl_maxhit;
  settings.max_replies = config.dnsbl_maxreplies;
  settings.cache_lifetime_value = config.dnsbl_delete_old_record_time;
  settings.cache_lifetime_unit = config.dnsbl_delete_old_record_type;
  return settings;
}

// ---- Construction and zones ----------------------------------------------------------

CDnsBL::CDnsBL() : zones_(std::make_shared<const ZoneList>()) {
  MakeAppDirectory("db");
  cache_.Open(kCacheFile);
  cache_.Load();
}

CDnsBL::CDnsBL(const DnsBLSettings& settings) : CDnsBL() { ApplySettings(settings); }

CDnsBL::~CDnsBL() { cache_.Save(); }

void CDnsBL::ApplySettings(const DnsBLSettings& settings) {
  ReplaceServersDNS(settings.servers);
  ReplaceZonesDNSBL(settings.zones);
  SetTimeOutBL(settings.timeout_bl_ms);
  SetTimeOutSingol(settings.timeout_single_ms);
  SetMaxHitsBL(settings.max_hits);
  SetMaxRepliesBL(settings.max_replies);
  SetTimeOfValidityRecord(settings.cache_lifetime_value, settings.cache_lifetime_unit);
}

std::shared_ptr<const CDnsBL::ZoneList> CDnsBL::Zones() {
  CriticalScope hold(zones_lock_);
  return zones_;
}

// The old list is released after the lock, by whoever holds it last.
void CDnsBL::SetZones(std::shared_ptr<const ZoneList> zones) {
  CriticalScope hold(zones_lock_);
  zones_.swap(zones);
}

// Copy on write: lookups keep reading the list they took.
void CDnsBL::AddNameServerDNSBL(const char* entry) {
  NSBL zone;
  if (!ParseZoneEntry(entry, &zone)) return;
  CriticalScope hold(zones_lock_);
  auto grown = std::make_shared<ZoneList>(*zones_);
  grown->Add(zone);
  zones_ = std::move(grown);
}

void CDnsBL::ResetServerDNSBL() { SetZones(std::make_shared<const ZoneList>()); }

void CDnsBL::ReplaceZonesDNSBL(const CArray<String>& entries) {
  auto zones = std::make_shared<ZoneList>();
  NSBL zone;
  for (const String& entry : entries) {
    if (ParseZoneEntry(entry, &zone)) zones->Add(zone);
  }
  SetZones(std::move(zones));
}

namespace {

// The first entry named exactly `zone`, or null.
const CDnsBL::NSBL* ZoneNamed(const CArray<CDnsBL::NSBL>& zones, const char* zone) {
  for (const CDnsBL::NSBL& entry : zones) {
    if (entry.zone == zone) return &entry;
  }
  return nullptr;
}

}  // namespace

float CDnsBL::GetScoreFromNSBL(const char* zone) {
  if (zone == nullptr) return -1.0f;
  const std::shared_ptr<const ZoneList> zones = Zones();
  const NSBL* found = ZoneNamed(*zones, zone);
  return found == nullptr ? -1.0f : found->weight;
}

int CDnsBL::GetZoneCount() { return Zones()->GetSize(); }

// ---- Cache -----------------------------------------------------------------------------

void CDnsBL::SetTimeOfValidityRecord(int32_t value, int32_t unit) { cache_.SetTimeOfValidityRecord(value, unit); }

int32_t CDnsBL::SaveCache() { return cache_.Save(); }

int32_t CDnsBL::SanitaryCache() { return cache_.SanitaryAndSave(); }

int32_t CDnsBL::GetCacheRecordCount() { return cache_.GetRealRecordCount(); }

// The record is copied inside a transaction, then judged without the lock.
bool CDnsBL::FromCache(const char* address, const ZoneList& zones, DnsBL_Result* result) {
  String stored;
  cache_.BiginTranstion();
  const int32_t n = cache_.Find(address, 0);
  const CDB_RAM::RECORD* record = n >= 0 ? cache_.GetByIndexPtr(n) : nullptr;
  if (record != nullptr && record->value != nullptr) stored.SetBuffer(record->value.get(), record->len);
  cache_.EndTransation();
  if (n < 0) return false;

  const std::string_view bytes = stored.BufferView();
  int32_t count = -1;
  if (bytes.size() >= kCacheHeaderBytes) {
    count = static_cast<int32_t>(GetU32(reinterpret_cast<const uint8_t*>(bytes.data())));
  }
  const String text(bytes.size() > kCacheHeaderBytes ? bytes.substr(kCacheHeaderBytes) : std::string_view());
  // Count names are taken from the text; each must still be configured.
  DnsBL_Result cached;
  String name;
  bool usable = count >= 0;
  for (int32_t i = 0; usable && i < count; ++i) {
    const NSBL* zone = SubString(&name, text, i, ' ') ? ZoneNamed(zones, name) : nullptr;
    usable = zone != nullptr;
    if (usable) AppendZone(zone->zone, zone->weight, &cached);
  }
  if (!usable) {
    cache_.Delete(address);
    return false;
  }
  *result = cached;
  return true;
}

void CDnsBL::ToCache(const char* address, const DnsBL_Result& result) {
  std::vector<uint8_t> value(kCacheHeaderBytes);
  PutU32(value.data(), static_cast<uint32_t>(result.count));
  uint32_t score_bits;
  static_assert(sizeof score_bits == sizeof result.score);
  std::memcpy(&score_bits, &result.score, sizeof score_bits);
  PutU32(value.data() + 4, score_bits);
  value.insert(value.end(), result.text.View().begin(), result.text.View().end());
  // allowDuplicate 0: when two threads looked the same client up, one copy.
  cache_.Insert(address, value.data(), static_cast<int32_t>(value.size()), 0);
}

// ---- Lookup ------------------------------------------------------------------------------

uint8_t CDnsBL::QueryDnsBL(const char* address, DnsBL_Result* result) {
  if (result == nullptr) return 0;
  *result = DnsBL_Result();
  String reversed;
  if (!ReverseAddress(address, &reversed)) return 1;
  const std::shared_ptr<const ZoneList> zones = Zones();
  if (zones->GetSize() == 0 || FromCache(address, *zones, result)) return 1;

  String server;
  GetTopServerDNS(&server);
  if (server.IsEmpty()) {
    result->complete = false;
    return 0;
  }
  const bool socket_ok = AskZones(server, reversed, *zones, result);
  if (result->count > 0) {
    String line;
    line.Format("DNSBL result: score %d - %s -> %s", result->count, address, result->text.GetData());
    log_.LogS(kLogConnection, line, kSource, kRoutine, log_type::kSys, 0);
  }
  if (socket_ok) ToCache(address, *result);
  return 1;
}

bool CDnsBL::SocketFailed() {
  log_.LogS(kLogDebug, "Socket Read Failed. Error Timeout", kSource, kRoutine, log_type::kDebug, 0);
  return false;
}

// Answers may come in any order and strays may come between them: each
// datagram is matched against every query still open.
bool CDnsBL::AskZones(const char* server, const String& reversed, const ZoneList& zones, DnsBL_Result* result) {
  result->complete = false;  // until the answers say otherwise
  CDnsClient client;
  if (!client.SetDestination(server, kDnsPort)) return SocketFailed();
  std::vector<PendingQuery> pending(std::min(zones.GetSize(), kMaxZones));
  const int sent = SendQueries(&client, reversed, zones, &pending);
  if (sent < 0) return SocketFailed();
  if (sent == 0) return false;

  const int32_t configured = timeout_bl_ms_.load();
  const int32_t overall = configured < 1 ? kFallbackTimeoutBL : std::min(configured, kMaxTimeoutMs);
  const int32_t single = timeout_single_ms_.load();
  const int32_t max_hits = std::max(max_hits_.load(), 1);
  int expected = std::min(sent, std::max(max_replies_.load(), 1));
  const Clock::time_point start = Clock::now();
  int32_t first_answer_ms = -1;
  CDnsRES_RECORD answer(kAnswerBytes);
  bool socket_ok = true;
  while (expected > 0 && result->count < max_hits) {
    const int32_t left = overall - MillisecondsSince(start);
    if (left <= 0) break;
    answer.Restart();
    const int got = client.ReadFor(answer.GetBuffer(), answer.GetLen(), single < 1 ? left : std::min(single, left));
    if (got < 0) {
      socket_ok = SocketFailed();
      break;
    }
    PendingQuery* query = got > 0 ? MatchAnswer(answer.GetBuffer(), static_cast<size_t>(got), &pending) : nullptr;
    if (query == nullptr) continue;  // nothing came, or a stray, late or forged datagram
    --expected;
    if (first_answer_ms < 0) first_answer_ms = MillisecondsSince(start);
    answer.SetReceived(got);
    TakeAnswer(answer, *query->zone, reversed, result);
  }
  RegistraTime(server, first_answer_ms >= 0 ? first_answer_ms : overall + kFailurePenaltyMs);
  result->complete = socket_ok && (expected == 0 || result->count >= max_hits);
  return socket_ok;
}

void CDnsBL::TakeAnswer(CDnsRES_RECORD& answer, const NSBL& zone, const String& reversed, DnsBL_Result* result) {
  if (!answer.Elaborates()) return;
  String other;
  const Verdict verdict = Judge(answer, &other);
  if (verdict == Verdict::kListed) AppendZone(zone.zone, zone.weight, result);
  if (verdict == Verdict::kForeign) {
    String line;
    line.Format("DNSBL zone %s answered %s for %s: not a listing, ignored", zone.zone.GetData(), other.GetData(),
                reversed.GetData());
    log_.LogS(kLogDebug, line, kSource, kRoutine, log_type::kDebug, 0);
  }
}
