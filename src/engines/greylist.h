// greylist - CGreyList, greylisting: the first delivery attempt of an unknown
// (sender network, sender, recipient) triple is recorded, and the antispam
// script refuses it for now; a retry after the embargo passes. Retries that
// come back within the embargo are counted as forced attempts, which the
// script may turn into a score. The policy is the script's; this engine
// keeps the triples, in the record store "db/greylists.db".
#ifndef TORVANE_ENGINES_GREYLIST_H_
#define TORVANE_ENGINES_GREYLIST_H_

#include <atomic>
#include <cstdint>

#include "base/statistics.h"
#include "base/string.h"
#include "engines/bounded_store.h"

// A triple is three fields joined by 0x02: the sender network, the sender
// and one recipient; a triple list joins triples with 0x03. One record per
// triple: key = the MD5 hex digest of the lower-cased triple, value = the
// triple as given, 0x02, the forced-attempt count ("0" when created) and,
// after a reset, 0x02 "1" (the pass has been counted). The record time is
// the first attempt; it is kept when the count changes.
//
// Thread-safe: each call is one transaction of the store.
class CGreyList : public BoundedStore {
 public:
  static constexpr const char* kFile = "db/greylists.db";
  static constexpr char kTripleSeparator = '\x03';
  // A record timed further ahead than this was stamped before the clock
  // was set back: it is re-timed to now rather than stay embargoed until
  // the clock catches up.
  static constexpr int64_t kFutureSlackSeconds = 60;
  // Longest client host name read for the sender network: a DNS name.
  static constexpr size_t kMaxHostNameBytes = 255;
  // Statistics group of the greylist counters ("f8_...").
  static constexpr int kStatisticsGroup = 8;

  // Opens the file (making "db/" when missing) and, when it opened, loads
  // it, re-keying records written with older keys.
  CGreyList();
  ~CGreyList() override = default;

  // The triple list of one message into `out` (also returned): the sender
  // network is `clientHostName` without its first label when it has the
  // shape of a host name in a domain, else `clientAddress`; the sender is
  // `mailFrom`, or `emptySenderSubstitute` when that is empty, without a
  // bounce address tag; one triple per space-separated word of `rcptList`,
  // in order. Bytes below 0x20 in any field become '?', so no field can add
  // fields or triples. Null texts count as "". No recipient, no triple: ""
  // for an empty list.
  const char* PrepareTriples(String* out, const char* rcptList, const char* clientAddress, const char* mailFrom,
                             const char* emptySenderSubstitute, const char* clientHostName);
  // Records every triple of the list not yet known (triples of another
  // shape, or with a field over kMaxAddressBytes, are not stored).
  // "f8_grey_bloc" is counted once when the list's first triple is new.
  // Returns 1, or 0 for a null or empty list. `stats` may be null.
  int32_t AddGreyList(const char* tripleList, CStatitiche_Day* stats);
  // 1 when a known triple of the list has waited out the embargo (the
  // first such one passes the list; its pass counts "f8_grey_recall" and
  // one delay bucket unless counted before). Each known triple met before
  // that and still in its embargo counts a forced attempt ("f8_grey_forze");
  // one timed more than kFutureSlackSeconds ahead is re-timed to now.
  // Unknown triples are skipped. 0 when none passes.
  int32_t ByPassGreyList(const char* tripleList, CStatitiche_Day* stats);
  // The forced-attempt count of the last known triple of the list, 0 when
  // none is known.
  int32_t GetForzeMoltiplicatore(const char* tripleList);
  // Sets the count of every known triple of the list to 0 and marks its
  // pass counted, keeping its time.
  void AzzeraMoltiplicatore(const char* tripleList);
  // 1 when `triple` is recorded.
  int32_t IsExists(const char* triple);
  // A page of the table (see BoundedStore::View): value fields network,
  // sender, recipient and count; modes 1 to 4 filter on them.
  int32_t ViewGreyListDB(KeyValueSink* array, int32_t count, int32_t start, const char* filter, int32_t mode);
  // The embargo lasts value x unit seconds (both 0 initially).
  void SetTimeOfImbargo(int32_t value, int32_t unit);

 protected:
  String KeyOfValue(std::string_view value) const override;

 private:
  std::atomic<int64_t> embargo_seconds_{0};
};

#endif  // TORVANE_ENGINES_GREYLIST_H_
