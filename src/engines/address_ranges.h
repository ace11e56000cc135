// address_ranges - CIPNET, a list of client address ranges and domains.
// The core keeps three: relay networks, addresses never looked up in the
// block lists, and addresses exempt from greylisting; the admin server keeps
// one for its allowed clients. A range is a box of octet intervals; a
// domain takes the clients whose confirmed host name lies in it.
#ifndef TORVANE_ENGINES_ADDRESS_RANGES_H_
#define TORVANE_ENGINES_ADDRESS_RANGES_H_

#include <cstdint>
#include <string>

#include "base/object_array.h"
#include "base/mutex.h"
#include "base/string.h"

class CDns;

// Thread-safe: list changes and lookups hold the list's own lock, but never
// across the PTR lookup, so a slow name server delays only the asking thread.
class CIPNET {
 public:
  // Four octet values, most significant first.
  struct NETIP {
    uint32_t octet[4] = {0, 0, 0, 0};
  };
  struct RANGEIP {
    NETIP from;
    NETIP to;
  };

  // Answer buffers of the PTR lookup and of the forward lookup that
  // confirms it: classic UDP answers.
  static constexpr int kPtrAnswerBytes = 512;
  static constexpr int kForwardAnswerBytes = 512;
  // Largest value an octet may have in a valid range.
  static constexpr uint32_t kMaxOctet = 255;

  // `dns` (not owned, may be null: domains then never match) must outlive
  // the list.
  explicit CIPNET(CDns* dns);
  CIPNET(const CIPNET&) = delete;
  CIPNET& operator=(const CIPNET&) = delete;

  // `entry` is "from|to|comment" (the comment is ignored; missing fields are
  // empty): AddRange(from, to). A null entry is ignored.
  void AddRange(const char* entry);
  // A `from` that looks like a host name (labels of letters, digits and
  // inner hyphens ending in a 2 to 32 letter label) is kept as a domain and
  // `to` is ignored. Otherwise the pair becomes a range when
  // IsValidRange accepts it; invalid pairs are dropped silently. An empty
  // `to` stands for the single address `from`.
  void AddRange(const char* from, const char* to);
  // Empties both lists and adds every entry as AddRange(entry), in one step:
  // a concurrent lookup sees the old lists or the new ones, never neither.
  void ReplaceRanges(const CArray<String>& entries);
  // Empties both lists.
  void DeleteRange();

  // Validity of a from/to pair (texts as PopolateFromString reads them).
  // Refused: an octet above kMaxOctet; first octets both 0 or 255; a first
  // octet of `from` below that of `to` (a range spans one first octet); an
  // octet where from < to below one where from > to; a single address
  // (from = to) whose last octet is 0 or 255 (a network or broadcast
  // address). Everything else is accepted, though a pair with from above to
  // in the first octet matches nothing.
  static bool IsValidRange(const char* from, const char* to);
  // Reads the decimal values of the first four "."-separated parts of
  // `text` into the octets (digits at the start of a part; none, a missing
  // part or a null text give 0; values are capped so they cannot wrap).
  static void PopolateFromString(NETIP* netip, const char* text);

  // 1 when `address` belongs to the list, else 0 (also for a null address):
  // first, when domains exist and a resolver is set, its host name - the
  // first PTR name, when its A records hold the address - is compared with
  // each domain: the name itself or any name under it, ignoring case
  // ("example.com" takes "mx1.example.com", not "example.com.evil.test");
  // then the ranges, where every octet must lie between the range's octets.
  int IsValidIPintheRange(const char* address);

  int GetRangeCount();
  int GetDomainCount();

 private:
  // Adds to the given lists. REQUIRES: they are not shared with lookups
  // (lock_ held or private copies).
  static void AddEntryTo(const char* from, const char* to, CArray<RANGEIP>* ranges, CArray<String>* domains);
  static void AddEntryTo(const char* entry, CArray<RANGEIP>* ranges, CArray<String>* domains);
  bool MatchesDomain(const char* address);
  // The first PTR name of `address` when a forward lookup of it gives the
  // address back; "" otherwise.
  std::string ConfirmedHostName(const char* address);
  bool InRanges(const char* address);

  CDns* dns_;  // not owned
  CCriticalSession lock_;
  // Guarded by lock_.
  CArray<RANGEIP> ranges_;
  CArray<String> domains_;
};

#endif  // TORVANE_ENGINES_ADDRESS_RANGES_H_
