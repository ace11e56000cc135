// dns - the resolver every connection, engine and script shares: the list of
// name servers with their measured response times (CDnsNameServer, also the
// base of the block-list engine) and CDns, which sends queries, keeps every
// raw answer in the record store "db/cache_dns.db" and offers the text
// lookups the script functions return. DnsLookup is the narrow face of it
// an engine that must tell a failed lookup from an empty one asks through,
// so tests can answer in its place.
#ifndef TORVANE_ENGINES_DNS_H_
#define TORVANE_ENGINES_DNS_H_

#include <atomic>
#include <cstdint>

#include "base/object_array.h"
#include "base/config.h"
#include "base/mutex.h"
#include "base/string.h"
#include "engines/record_store.h"
#include "engines/dns_record.h"
#include "engines/dns_wire.h"

// Name servers in the order added, each with the last measured response
// time. Thread-safe: every method holds the list's own lock.
class CDnsNameServer {
 public:
  // GetTopServerDNS skips servers whose time is at or above this.
  static constexpr int32_t kUnusableTime = 1000000;

  CDnsNameServer() = default;
  virtual ~CDnsNameServer() = default;
  CDnsNameServer(const CDnsNameServer&) = delete;
  CDnsNameServer& operator=(const CDnsNameServer&) = delete;

  // Appends `address` with time 0; null, empty or already listed (exact
  // comparison) addresses are ignored.
  void AddNameServerDNS(const char* address);
  // Empties the list (times included).
  void ResetServerDNS();
  // Replaces the list by `servers` (as AddNameServerDNS each, times 0) in one
  // step: a concurrent query never sees the list empty.
  void ReplaceServersDNS(const CArray<String>& servers);
  // `out` = the server with the smallest time below kUnusableTime, the first
  // one on ties; "127.0.0.1" when the list is empty; "" when every server is
  // at or above kUnusableTime.
  void GetTopServerDNS(String* out);
  // Sets the time of `address`; unknown addresses are ignored.
  void RegistraTime(const char* address, int32_t ms);
  // `out` = the address at position i; "" for a position outside the list.
  void GetNameSeverDNS(String* out, int i);
  int GetServerCount();
  // The time of `address`, or -1 when it is not listed.
  int32_t GetServerTime(const char* address);

 private:
  // REQUIRES: lock_ held.
  int IndexOf(const char* address) const;
  void AddLocked(const char* address);

  CCriticalSession lock_;
  // Guarded by lock_: same positions in both.
  CArray<String> servers_;
  CArray<int32_t> times_;
};

// Wait per query attempt when nothing else is set.
constexpr int32_t kDnsDefaultTimeoutMs = 200;

// What the resolver is built with, so it needs no configuration file.
struct DnsSettings {
  CArray<String> servers;           // in order of preference on equal times
  int32_t timeout_ms = kDnsDefaultTimeoutMs;  // per attempt
  int32_t cache_lifetime_value = 0; // cached answers live value x unit seconds;
  int32_t cache_lifetime_unit = 0;  // both 0: until removed by hand
};

// What one lookup came to.
enum class DnsStatus {
  kAnswer,         // an answer with RCODE NOERROR, with or without records
  kNameError,      // NXDOMAIN: the name does not exist
  kServerFailure,  // SERVFAIL: the server could not find out
  kRefused,        // REFUSED: the server would not say
  kOtherError,     // any other RCODE (FORMERR, NOTIMP, ...)
  kUnsendable,     // the name cannot be asked (empty label, too long)
  kNoAnswer,       // nothing usable came: no server, time-out, a cut
                   // answer that could not be had whole, a malformed one
};

// True for the outcomes that say something about the name: an answer or
// "no such name". The others say nothing, and no conclusion may be drawn.
inline bool IsUsable(DnsStatus status) {
  return status == DnsStatus::kAnswer || status == DnsStatus::kNameError;
}

// Asks one question and reports what happened. Implementations must be
// safe to call from several threads at once.
class DnsLookup {
 public:
  virtual ~DnsLookup() = default;
  // Fills `records` with every answer record for `name` and `type` (aliases
  // included, as the server sent them) and returns the outcome; `records`
  // is empty unless the outcome is kAnswer. For kDnsTypePTR a dotted quad
  // is asked as its in-addr.arpa name. Each attempt waits at most
  // `budget_ms` (below 1: the implementation's own wait).
  virtual DnsStatus Lookup(const char* name, uint16_t type, int32_t budget_ms,
                           CArray<CDnsRES_RECORD::DnsRR>* records) = 0;
};

// The resolver's part of the configuration (section "DNS"): the server
// entries in slot order that are dotted quads or longer than 7 characters
// (shorter entries are placeholders), "timeout_millisecond", and the cache
// lifetime "delete_old_record_time" x "delete_old_record_type".
DnsSettings DnsSettingsFromConfig(const CConfig& config);

// The shared resolver. Thread-safe: any thread may query at any time; each
// query uses its own socket and buffers, the server list has its own lock
// and the cache the store's.
class CDns : public CDnsNameServer, public DnsLookup {
 public:
  // The cache, under the application path.
  static constexpr const char* kCacheFile = "db/cache_dns.db";
  static constexpr int32_t kDefaultTimeoutMs = kDnsDefaultTimeoutMs;
  // Longest wait per attempt: a larger setting would let one lookup hold a
  // connection's worker for minutes.
  static constexpr int32_t kMaxTimeoutMs = 60000;
  // Added to the time-out as a failed server's time, so the next attempt
  // and the next queries prefer the others until it answers again.
  static constexpr int32_t kFailurePenaltyMs = 1000;
  // Answer buffer of the text lookups and of Lookup: the largest message,
  // so an answer fetched again over TCP fits whole.
  static constexpr int kLookupAnswerBytes = static_cast<int>(kDnsMaxMessageBytes);
  // Aliases ResolveAddress follows before it gives up.
  static constexpr int kMaxAliasHops = 8;

  // Opens and loads the cache file `cache_file` under the application
  // path; null keeps the cache in memory only (nothing read or written).
  // No servers, kDefaultTimeoutMs.
  explicit CDns(const char* cache_file = kCacheFile);
  // The same, then ApplySettings.
  explicit CDns(const DnsSettings& settings, const char* cache_file = kCacheFile);
  // Saves the cache.
  ~CDns() override;

  // Fills `result` with the answer for `name` and `type` (kDnsType*; for
  // kDnsTypePTR a dotted-quad `name` is asked as its in-addr.arpa name) and
  // returns Elaborates()'s result. A cached answer (key "<name> <type>")
  // is used without sending anything; otherwise each server is tried at
  // most once, fastest first, each within the time-out, and only a datagram
  // that IsAnswerTo the query is taken. A datagram with TC set is asked
  // again of the same server over TCP and never taken as it is: when the
  // whole answer cannot be had (or does not fit `result`) the attempt
  // failed. Every answer taken from the network is cached, negative ones
  // included, except SERVFAIL and REFUSED, which say nothing lasting.
  // Returns 0 for a null argument, no servers, a name that cannot be sent,
  // or no answer from any server. `timeout_ms` below 1 means GetTimeOut().
  uint8_t QueryDns(const char* name, CDnsRES_RECORD* result, uint16_t type, int32_t timeout_ms = 0);
  // QueryDns, reporting the outcome instead of the parse result.
  DnsStatus QueryStatus(const char* name, CDnsRES_RECORD* result, uint16_t type, int32_t timeout_ms = 0);

  // DnsLookup: QueryStatus with an answer buffer of kLookupAnswerBytes; a
  // budget below GetTimeOut() shortens each attempt, never lengthens it.
  DnsStatus Lookup(const char* name, uint16_t type, int32_t budget_ms,
                   CArray<CDnsRES_RECORD::DnsRR>* records) override;

  // The text a script lookup returns: the first answer's data for A, PTR and
  // TXT; every answer's data joined by ";" for MX and NS. "" on failure or
  // without answers.
  String LookupText(const char* name, uint16_t type, int32_t timeout_ms = 0);
  // The address of `name`: an A lookup whose first answer, when it is not a
  // dotted quad, is taken as an alias and looked up in turn, at most
  // kMaxAliasHops times. "" when the chain ends without an address.
  String ResolveAddress(const char* name, int32_t timeout_ms = 0);

  // Replaces the server list (every measured time back to 0), the time-out
  // and the cache lifetime, as a configuration reload does.
  void ApplySettings(const DnsSettings& settings);

  // Per-attempt wait in milliseconds; values below 1 give kDefaultTimeoutMs,
  // values above kMaxTimeoutMs are cut to it.
  void SetTimeOut(int32_t ms);
  int32_t GetTimeOut() const { return timeout_ms_.load(); }

  // Cache upkeep for the owner's periodic save: lifetime value x unit
  // seconds; Save and hygiene return CDB_RAM's results.
  void SetTimeOfValidityRecord(int32_t value, int32_t unit);
  int32_t SaveCache();
  int32_t SanitaryCache();
  int32_t GetCacheRecordCount();

 private:
  // The work of QueryDns and QueryStatus: the parse result, `status` set.
  uint8_t Query(const char* name, CDnsRES_RECORD* result, uint16_t type, int32_t timeout_ms, DnsStatus* status);
  bool FromCache(const String& key, CDnsRES_RECORD* result);
  // Sends `query` to the servers in turn; true with the answer in `result`.
  bool Exchange(const CDnsBuffer& query, CDnsRES_RECORD* result, int32_t timeout_ms);
  // One attempt against one server: true with its whole answer in `result`;
  // false on time-out, refusal, socket failure, or a cut answer whose TCP
  // retry failed.
  bool AskServer(const char* server, const CDnsBuffer& query, CDnsRES_RECORD* result, int32_t timeout_ms);
  // The TCP retry of a cut answer; true with the whole answer in `result`.
  bool AskOverTcp(const char* server, const CDnsBuffer& query, CDnsRES_RECORD* result, int32_t timeout_ms);

  CDB_RAM cache_;  // own lock
  std::atomic<int32_t> timeout_ms_{kDefaultTimeoutMs};
};

#endif  // TORVANE_ENGINES_DNS_H_
