// auto_white_list - CAutoLightWhiteList (the auto light white list, ALWL):
// correspondents learned automatically. When a local user sends mail out,
// each (external recipient, local sender) pair is remembered; when mail
// later comes in from that external address to that local user, the pair is
// recognised and the antispam script can lower the message's score. Which
// messages count as outgoing and what a match is worth are the script's
// decisions. Kept in the record store "db/AL_whitelist.db".
#ifndef TORVANE_ENGINES_AUTO_WHITE_LIST_H_
#define TORVANE_ENGINES_AUTO_WHITE_LIST_H_

#include <cstdint>

#include "base/string.h"
#include "engines/bounded_store.h"

// One record per pair: key = the MD5 hex digest of the lower-cased external
// address, 0x02, the lower-cased local address (the separator keeps
// "a@x.co" + "mbob@l.test" apart from "a@x.com" + "bob@l.test"); value =
// the local address, 0x02, the external address (as given); time = the
// first learning (learning again does not renew it). Addresses lose a
// bounce address tag and their bytes below 0x20 before use.
//
// Thread-safe: each call is one transaction of the store.
class CAutoLightWhiteList : public BoundedStore {
 public:
  static constexpr const char* kFile = "db/AL_whitelist.db";

  // Opens the file (making "db/" when missing) and, when it opened,
  // LoadALWL.
  CAutoLightWhiteList();
  ~CAutoLightWhiteList() override = default;

  // Learns (word, localSender) for every space-separated word of
  // `recipientList` other than `localSender` itself (compared caselessly);
  // addresses over kMaxAddressBytes are not learned. A known pair keeps its
  // time. Returns 1, or 0 when `localSender` or `recipientList` is null or
  // empty.
  int32_t AddALWL(const char* localSender, const char* recipientList);
  // 1 when (sender, recipient) was learned as (external, local), whatever
  // the case of either; 0 otherwise and for a null or empty argument.
  int32_t IsALWL(const char* sender, const char* recipient);
  // A page of the table (see BoundedStore::View): value fields local and
  // external address; modes 1 and 2 filter on them.
  int32_t ViewALWLDB(KeyValueSink* array, int32_t count, int32_t start, const char* filter, int32_t mode);
  // Replaces the records in memory by those of the file, re-keying records
  // written with older keys. Returns Load's result.
  int32_t LoadALWL() { return LoadRekeyed(); }

 protected:
  String KeyOfValue(std::string_view value) const override;
};

#endif  // TORVANE_ENGINES_AUTO_WHITE_LIST_H_
