// spam_trap - CSpam_trap, the addresses no real person uses: mail to one of
// them marks the client as a spammer, and the session answers it with a
// fixed nine-line 550 reply. The administration scripts keep the addresses
// in the store "db/spam_trap.db" (key: MD5 of the lower-cased address).
#ifndef TORVANE_ENGINES_SPAM_TRAP_H_
#define TORVANE_ENGINES_SPAM_TRAP_H_

#include "base/string.h"
#include "engines/record_store.h"

// Thread-safe: the store locks itself and the reply never changes.
class CSpam_trap : public CDB_RAM {
 public:
  static constexpr const char* kStoreFile = "db/spam_trap.db";

  // Opens the store and loads it when the open succeeds.
  CSpam_trap();

  // 1 when one of the space-separated addresses (trimmed, any letter case)
  // is a trap, else 0.
  int IsSpamTrap(const char* recipients);
  // The reply to a trapped client: one SMTP reply of nine lines, the first
  // eight "550-", the last "550 ", each ending CR LF.
  const String& GetRisposta() const { return reply_; }

 private:
  String reply_;
};

#endif  // TORVANE_ENGINES_SPAM_TRAP_H_
