// helo_forgery - CHeloForget, the table of names and addresses that belong to
// this server, kept in the record store "db/helo_forget.db". A client whose
// HELO/EHLO argument is one of them is forging its identity. WhoIsI rebuilds
// the table from the configured public address and name and the MX hosts of
// the local domains.
#ifndef TORVANE_ENGINES_HELO_FORGERY_H_
#define TORVANE_ENGINES_HELO_FORGERY_H_

#include <atomic>
#include <cstdint>

#include "base/object_array.h"
#include "base/string.h"
#include "engines/record_store.h"

class CDns;

// Records: key = a name or address text of this server; value = the public
// address (for "localhost": "127.0.0.1"). Thread-safe through the store's
// lock; WhoIsI runs the DNS lookups without it and swaps the new table in
// as one transaction, so IsForgetHelo never sees a half-built table.
class CHeloForget : public CDB_RAM {
 public:
  // The table, under the application path.
  static constexpr const char* kFile = "db/helo_forget.db";
  // MX hosts looked at per local domain: bounds the lookups one domain with
  // a hostile MX set can cause.
  static constexpr int kMaxExchangesPerDomain = 16;

  // Opens the file (creating "db/" and the file when missing) and loads it.
  CHeloForget();
  ~CHeloForget() override = default;

  // 1 when the lower-cased `helo` is the key of a live record, else 0 (also
  // for a null or empty text).
  int IsForgetHelo(const char* helo);

  // Rebuilds the table and saves it: for each of `localDomains` (the names
  // of the live local domains; empty until that table exists) the first of
  // its MX hosts whose address is `publicAddress`, lower-cased; then
  // `myName` (as given: only a lower-case name can match a HELO),
  // `publicAddress`, "[" publicAddress "]", "'" publicAddress "'", "friends",
  // and "localhost" -> "127.0.0.1". `dns` (not owned, may be null: no MX
  // lookups) answers the lookups. Returns 1 after the rebuild; 0, changing
  // nothing, when `publicAddress` is null or empty or another rebuild is
  // running.
  int WhoIsI(const char* publicAddress, const char* myName, CDns* dns, const CArray<String>& localDomains);
  // True while a WhoIsI runs: the refresh functions of the admin and cron
  // scripts answer 0 meanwhile.
  bool IsRefreshing() const { return refreshing_.load(); }

 private:
  // The exchange of one of `domain`'s MX records whose address is
  // `publicAddress`, lower-cased and trimmed; "" when none is.
  static String OwnExchange(CDns* dns, const String& domain, const char* publicAddress);

  std::atomic<bool> refreshing_{false};
};

#endif  // TORVANE_ENGINES_HELO_FORGERY_H_
