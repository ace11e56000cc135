// spf - CSPF, the sender-policy engine: it fetches the "v=spf1" record of the
// envelope sender's domain, interprets it against the client address with
// lookups through a DnsLookup, and caches each result in the record store
// "db/spf.db". The default mode keeps the gateway's long-standing reading of
// a record (included terms spliced into the record, the last "all" decides);
// strict mode follows RFC 7208 for IPv4 clients (spf_strict.h).
#ifndef TORVANE_ENGINES_SPF_H_
#define TORVANE_ENGINES_SPF_H_

#include <atomic>
#include <cstdint>
#include <functional>

#include "base/object_array.h"
#include "base/string.h"
#include "base/xml_log.h"
#include "engines/dns.h"
#include "engines/record_store.h"

// Result codes. Stored in the cache and seen by scripts: the values are
// frozen.
enum SpfResult : int32_t {
  kSpfPass = 0,
  kSpfSoftFail = 1,
  kSpfFail = 2,
  kSpfNeutral = 3,
  kSpfNone = 4,
  kSpfTempError = 5,
  kSpfPermError = 6,
};

// Receives one line of an evaluation's trace.
using SpfTrace = std::function<void(const String& line)>;

// What one query may change from the engine's way.
struct SpfQueryOptions {
  bool use_cache = true;  // read and write the result cache
  SpfTrace trace;         // empty: no trace
};

// The state of one evaluation, created per query and freed after it.
struct CSPF_Algo {
  CArray<String> includes;  // domains already fetched by include or redirect
  int32_t lookups = 0;      // DNS queries made so far
  uint8_t ipBinary[4] = {}; // the client address, network order
  String ip;                // the client address as text
  String helo;
  String sender;            // never empty: a null sender is built from the HELO
  String domain;            // the sender's domain
  String localPart;
  String record;            // the policy text being interpreted
  String explanation;       // of an "exp" record (strict: of a Fail)
  String queryResult;       // scratch text of the last lookup function
  String expansion;         // output of the last macro expansion

  bool strict = false;
  // A lookup without a usable answer, or the overall time ran out: no
  // conclusion can be drawn, the result is TempError.
  bool dnsFailed = false;
  int64_t deadlineMs = 0;   // by the engine's tick clock
  const SpfTrace* trace = nullptr;  // not owned; null: no trace
};

// Thread-safe: any number of connections may query at once, each with its
// own CSPF_Algo; the cache has the store's lock and the settings are atomic.
class CSPF : public CDB_RAM {
 public:
  // Milliseconds of a monotonic clock.
  using TickClock = std::function<int64_t()>;

  // The result cache, under the application path.
  static constexpr const char* kCacheFile = "db/spf.db";
  // DNS queries (default mode) or include and redirect levels (strict mode)
  // one evaluation may take until SetMaxRecursion says otherwise.
  static constexpr int32_t kDefaultMaxRecursion = 20;
  // Longest a whole evaluation may take: past it the result is TempError,
  // so a chain of slow name servers cannot hold a connection for minutes.
  static constexpr int64_t kOverallBudgetMs = 20000;
  // Longest macro expansion: a longer one is invalid.
  static constexpr int kMaxExpansionBytes = 4096;
  // Longest excerpt of remote text in one log record.
  static constexpr int kMaxLogTextBytes = 255;

  // `dns` is not owned and must outlive the engine. The cache file
  // `cache_file` under the application path is opened and, when that
  // succeeded, loaded; null keeps the cache in memory only.
  explicit CSPF(DnsLookup* dns, const char* cache_file = kCacheFile);
  ~CSPF() override = default;

  // The result code of the policy of `sender`'s domain for the client `ip`
  // (dotted quad) greeting with `helo`. 3 for a null `ip`; 5, not cached,
  // when `ip` is not a dotted quad, when a lookup found no usable answer,
  // or when kOverallBudgetMs ran out. Every other result is cached under
  // the mode, address, sender and HELO, and a cached one younger than the
  // cache lifetime is returned without a lookup.
  int32_t GetSPFQuery(const char* ip, const char* sender, const char* helo);
  int32_t GetSPFQuery(const char* ip, const char* sender, const char* helo, const SpfQueryOptions& options);

  // "Pass", "SoftFail", "Fail", "Neutral", "None", "TempError",
  // "PermError" for 0 to 6; "" for any other code.
  static const char* SPFResultString(int32_t code);

  void SetMaxRecursion(int32_t n) { max_recursion_.store(n); }
  int32_t GetMaxRecursion() const { return max_recursion_.load(); }
  // Strict mode on or off for the queries that start afterwards.
  void SetStrict(bool on) { strict_.store(on); }
  bool IsStrict() const { return strict_.load(); }
  // The clock of the overall budget. REQUIRES: set before the engine is
  // shared.
  void SetTickClock(TickClock clock) { tick_clock_ = std::move(clock); }

  // The engine's log records; the owner merges them into its own log.
  CLogSimple& GetLog() { return log_; }

  // ---- the pieces of an evaluation (default mode, except Ask)

  // One question to the resolver within `algo`'s time: counts it in
  // `lookups`, traces it, and marks `algo` failed when the time is up
  // (kNoAnswer, nothing asked). For kDnsTypePTR a dotted quad is asked as
  // its in-addr.arpa name.
  DnsStatus Ask(CSPF_Algo* algo, const char* name, uint16_t type, CArray<CDnsRES_RECORD::DnsRR>* records);
  // Each of these refuses (returns "") once `lookups` has reached the
  // limit, and marks `algo` failed when its lookup has no usable answer.
  // The TXT records of `name` that, lower-cased and trimmed, start with
  // "v=spf1" and are longer than 5 characters, joined with "|".
  String QueryTXT(CSPF_Algo* algo, const char* name);
  // The A addresses of `name` joined with "|", after `append` when that is
  // not empty. An answer that is no address is an alias: its own QueryA is
  // appended and ends the list.
  String QueryA(CSPF_Algo* algo, const char* name, const char* append = "");
  // For each MX answer in order: the exchange when it is an address, else
  // its QueryA list; joined with "|".
  String QueryMX(CSPF_Algo* algo, const char* name);
  // For each address of the "|" list `addresses`, its PTR names replaced by
  // their QueryA lists; joined with "|".
  String QueryPTR(CSPF_Algo* algo, const char* addresses);

  // 1 with `out` filled when `text` is four decimal numbers up to 255
  // joined by dots and followed by the end or white space; else 0.
  static uint8_t aton4(const char* text, uint8_t out[4]);
  // 1 when the first `prefix` bits (clamped to 0..32) of `a` and `b` agree.
  static uint8_t addrequal(const uint8_t a[4], const uint8_t b[4], int prefix);
  // The default mode's expansion of the macros in `text` ("%{...}", "%%",
  // "%_", "%-"); "" when `text` is null or empty, when a macro is invalid
  // or unterminated, or when the result would exceed kMaxExpansionBytes.
  // `recordMode` is true for a policy record, false for an explanation.
  String macro(CSPF_Algo* algo, const char* text, const char* currentDomain, bool recordMode);

  // Appends `line` to `algo`'s trace, when it has one.
  static void Trace(const CSPF_Algo* algo, const String& line);
  // Logs remote text at debug level as an Excerpt of kMaxLogTextBytes.
  void LogRemote(const char* routine, const String& text);

 private:
  // The default mode's evaluation of algo->record.
  int32_t Interpreter(CSPF_Algo* algo);
  // Part of Interpreter: one term; true when it decided the result.
  bool RunTerm(CSPF_Algo* algo, const String& term, int32_t* result);
  // Default mode from the sender's domain.
  int32_t EvaluateDefault(CSPF_Algo* algo);
  bool OverLimit(const CSPF_Algo* algo) const { return algo->lookups >= max_recursion_.load(); }
  // The default mode's lookup: Ask unless `name` is empty or the limit is
  // reached (false then, nothing asked); marks `algo` failed when the
  // answer is not usable.
  bool Fetch(CSPF_Algo* algo, const char* name, uint16_t type, CArray<CDnsRES_RECORD::DnsRR>* records);
  // The A list of `name`, each entry compared with the client under
  // `prefix`: the qualifier's code on a match, 6 for an entry that is no
  // address, -1 otherwise.
  static int32_t MatchList(const CSPF_Algo* algo, const String& list, int prefix, int32_t code);
  // The value of `letter` for a default-mode macro; false when the letter
  // is not allowed here.
  bool MacroValue(CSPF_Algo* algo, char letter, const char* currentDomain, bool recordMode, String* value);

  bool FromCache(const String& key, int32_t* code);
  void ToCache(const String& key, int32_t code);
  int64_t NowMs() const { return tick_clock_(); }

  DnsLookup* dns_;  // not owned
  std::atomic<int32_t> max_recursion_{kDefaultMaxRecursion};
  std::atomic<bool> strict_{false};
  TickClock tick_clock_;  // set before sharing, then read-only
  CLogSimple log_;        // own lock
};

#endif  // TORVANE_ENGINES_SPF_H_
