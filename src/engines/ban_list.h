// ban_list - CIP_Imbargo, the inferno: the persistent ban list of client
// addresses, each with its expiry time, kept in the record store
// "db/ip_imbargo.db". Admission refuses banned clients; the antispam script
// adds and tests entries; the core's hygiene pass drops expired ones.
#ifndef TORVANE_ENGINES_BAN_LIST_H_
#define TORVANE_ENGINES_BAN_LIST_H_

#include <cstdint>
#include <ctime>

#include "engines/record_store.h"

// One record per banned address: key = the address text, value = the expiry
// time in Unix seconds as decimal text. Thread-safe through the store's lock.
class CIP_Imbargo : public CDB_RAM {
 public:
  // The list, under the application path.
  static constexpr const char* kFile = "db/ip_imbargo.db";

  // Opens the file (creating "db/" and the file when missing) and, when it
  // opened, loads it.
  CIP_Imbargo();
  ~CIP_Imbargo() override = default;

  // Bans `address` until `expiry` (Unix seconds). When a live record for the
  // address exists it is kept as it is (the earlier expiry stands) and its
  // record number is returned; otherwise the result of the insertion: 1, or
  // -1 for a null or empty address.
  int32_t AddIP_Imbargo(const char* address, int32_t expiry);
  // 1 when a live record for `address` exists, else 0. The expiry is not
  // looked at: an expired ban holds until the next SuperSanitary.
  int IsIpImbargo(const char* address);
  // Hygiene: marks deleted every record whose expiry (an unreadable one
  // counts as 0) is at or before `now` and, when any was, saves. Returns the
  // number of records removed. Used instead of SanitaryAndSave, since a ban
  // lasts until its own expiry rather than a store-wide lifetime.
  int32_t SuperSanitary(time_t now);
  int32_t SuperSanitary();
};

#endif  // TORVANE_ENGINES_BAN_LIST_H_
