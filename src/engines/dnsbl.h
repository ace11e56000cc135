// dnsbl - CDnsBL asks the configured DNS block-list zones whether a client
// address is listed: one query per zone, all over one UDP socket, answers
// collected as they come within an overall time-out. The listing zones give
// a weighted score; every result, clean ones included, is cached per address
// in the record store "db/cache_dnsbl.db".
#ifndef TORVANE_ENGINES_DNSBL_H_
#define TORVANE_ENGINES_DNSBL_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/object_array.h"
#include "base/config.h"
#include "base/mutex.h"
#include "base/xml_log.h"
#include "base/string.h"
#include "engines/record_store.h"
#include "engines/dns.h"

// Defined after the engine, whose default limits it takes.
struct DnsBLSettings;

// Thread-safe: any thread may look up at any time, and lookups of different
// clients never wait for one another - each has its own socket and buffers,
// and no engine lock is held across the network wait. The zone list is an
// immutable snapshot replaced as a whole: a lookup keeps the snapshot it
// started with, so a reload during lookups frees nothing in use. The cache
// has the store's lock, the server list CDnsNameServer's.
class CDnsBL : public CDnsNameServer {
 public:
  // One configured zone.
  struct NSBL {
    String zone;
    float weight = 0;
  };
  // What a lookup found.
  struct DnsBL_Result {
    String text{""};    // listing zones, in order of arrival, single spaces between
    int32_t count = 0;  // number of listing zones
    float score = 0;    // sum of their current weights
    // Every zone asked answered (or enough of them listed the address, or
    // the cache knew it); false after the overall time-out or a failed
    // socket, when a zone's listing may be missing.
    bool complete = true;
  };

  // The result cache, under the application path.
  static constexpr const char* kCacheFile = "db/cache_dnsbl.db";
  // Limits until the settings say otherwise: the overall and the per-read
  // wait in milliseconds, listing zones and answering zones that end a
  // lookup.
  static constexpr int32_t kDefaultTimeoutBL = 500;
  static constexpr int32_t kDefaultTimeoutSingle = 500;
  static constexpr int32_t kDefaultMaxHits = 3;
  static constexpr int32_t kDefaultMaxReplies = 5;
  // Overall wait used when the configured one is below 1 ms.
  static constexpr int32_t kFallbackTimeoutBL = 250;
  // Longest overall wait: more would let one lookup hold a connection for
  // minutes.
  static constexpr int32_t kMaxTimeoutMs = 60000;
  // Zones asked per lookup; entries past it are ignored, which bounds the
  // queries one client can cause.
  static constexpr int kMaxZones = 64;
  // Answer buffer of one zone's reply.
  static constexpr int kAnswerBytes = 1024;
  // Added to the overall time-out as the time of a server that answered
  // nothing at all, so the next lookups prefer another one.
  static constexpr int32_t kFailurePenaltyMs = 1000;

  // Opens and loads the cache; no zones, no servers, default limits.
  CDnsBL();
  // The same, then ApplySettings.
  explicit CDnsBL(const DnsBLSettings& settings);
  // Saves the cache.
  ~CDnsBL() override;

  // Replaces servers (times back to 0), zones, limits and the cache lifetime,
  // as a configuration reload does; each list in one step.
  void ApplySettings(const DnsBLSettings& settings);

  // Appends the zone of `entry`: the text before the first "|" (blanks
  // trimmed) with the weight after it read as a decimal number (missing or
  // unreadable: 0). No duplicate check; an entry with an empty zone is
  // ignored.
  void AddNameServerDNSBL(const char* entry);
  // Empties the zone list.
  void ResetServerDNSBL();
  // Replaces the zone list by `entries` (as AddNameServerDNSBL each) in one
  // step: a concurrent lookup never sees a half-built list.
  void ReplaceZonesDNSBL(const CArray<String>& entries);
  // The weight of the first zone named exactly `zone`, or -1.0 when none is.
  float GetScoreFromNSBL(const char* zone);
  int GetZoneCount();

  void SetTimeOutBL(int32_t ms) { timeout_bl_ms_.store(ms); }
  void SetTimeOutSingol(int32_t ms) { timeout_single_ms_.store(ms); }
  void SetMaxHitsBL(int32_t n) { max_hits_.store(n); }
  void SetMaxRepliesBL(int32_t n) { max_replies_.store(n); }

  // Looks `address` up. A cached result is used without traffic: a clean one
  // as it is, a listing with its score recomputed from the current weights -
  // unless it names a zone no longer configured, when it is dropped and the
  // address looked up afresh. Otherwise every zone is asked at once through
  // the fastest server; only an answer that matches its query (ID and
  // question) counts, and only A records in 127.0.0.0/8 make a listing
  // (other addresses, as some zones give to unwelcome resolvers, are logged
  // and ignored). Waiting ends after max-hits listings, after the expected
  // answers (the number of zones, at most max-replies) or at the overall
  // time-out. The result is logged ("DNSBL result: ...") when something
  // listed the address and cached unless the socket failed.
  // Returns 1 with `result` filled (possibly empty); 0 for a null `result`
  // or when no server can be chosen. An `address` that is not a dotted quad,
  // or a lookup while no zone is configured, lists nowhere: 1 with an empty
  // result, nothing sent or cached.
  uint8_t QueryDnsBL(const char* address, DnsBL_Result* result);

  // The engine's log buffer; the owner merges it into its own.
  CLogSimple& GetLog() { return log_; }

  // Cache upkeep for the owner's periodic save; CDB_RAM's results.
  void SetTimeOfValidityRecord(int32_t value, int32_t unit);
  int32_t SaveCache();
  int32_t SanitaryCache();
  int32_t GetCacheRecordCount();

 private:
  using ZoneList = CArray<NSBL>;

  std::shared_ptr<const ZoneList> Zones();
  void SetZones(std::shared_ptr<const ZoneList> zones);
  // A cached result for `address`, its score recomputed from `zones`; false
  // when there is none, or when it is unreadable or names a zone missing
  // from `zones` (the record is then deleted).
  bool FromCache(const char* address, const ZoneList& zones, DnsBL_Result* result);
  void ToCache(const char* address, const DnsBL_Result& result);
  // Asks every zone of `zones` about `reversed` through `server`; false when
  // the socket failed or no query could be sent, so the result must not be
  // cached.
  bool AskZones(const char* server, const String& reversed, const ZoneList& zones, DnsBL_Result* result);
  // Adds `zone` to `result` when `answer` (matched to its query) lists the
  // address; an address outside the listing block is logged and ignored.
  void TakeAnswer(CDnsRES_RECORD& answer, const NSBL& zone, const String& reversed, DnsBL_Result* result);
  // Logs the failure of the lookup's socket; returns false.
  bool SocketFailed();

  CLogSimple log_;  // own lock
  CDB_RAM cache_;   // own lock
  std::atomic<int32_t> timeout_bl_ms_{kDefaultTimeoutBL};
  std::atomic<int32_t> timeout_single_ms_{kDefaultTimeoutSingle};
  std::atomic<int32_t> max_hits_{kDefaultMaxHits};
  std::atomic<int32_t> max_replies_{kDefaultMaxReplies};

  CCriticalSession zones_lock_;  // held only to read or swap zones_
  // Guarded by zones_lock_; the list it points to is never changed.
  std::shared_ptr<const ZoneList> zones_;
};

// What the engine is built with, so it needs no configuration file.
struct DnsBLSettings {
  CArray<String> servers;  // name servers asked, as for the resolver
  CArray<String> zones;    // "zone|weight" entries, in order
  int32_t timeout_bl_ms = CDnsBL::kDefaultTimeoutBL;
  int32_t timeout_single_ms = CDnsBL::kDefaultTimeoutSingle;
  int32_t max_hits = CDnsBL::kDefaultMaxHits;
  int32_t max_replies = CDnsBL::kDefaultMaxReplies;
  int32_t cache_lifetime_value = 0;  // cached results live value x unit seconds;
  int32_t cache_lifetime_unit = 0;   // both 0: until removed by hand
};

// The block-list part of the configuration: the resolver's servers (as
// DnsSettingsFromConfig takes them), section "DNSBL" "nameserver_%d" entries
// that are not empty, "timeout_millisecond", "timeout_millisecond_sc",
// "maxhit", "maxreplies" and the cache lifetime "delete_old_record_time" x
// "delete_old_record_type".
DnsBLSettings DnsBLSettingsFromConfig(const CConfig& config);

#endif  // TORVANE_ENGINES_DNSBL_H_
