// spam_trap - trap lookups and the trap reply.
#include "engines/spam_trap.h"

#include <string>

#include "base/host_name.h"
#include "base/md5.h"

namespace {

// The text of the trap reply, one line each; every line but the last is a
// continuation line, so the client reads one reply, not nine.
constexpr const char* kReplyLines[] = {
    "5.7.1 ...PER ME SI VA NE LA CITTA' DOLENTE,",
    "5.7.1 PER ME SI VA NE L'ETERNO DOLORE,",
    "5.7.1 PER ME SI VA TRA LA PERDUTA GENTE.",
    "5.7.1 GIUSTIZIA MOSSE IL MIO ALTO FATTORE:",
    "5.7.1 FECEMI LA DIVINA POTESTATE,",
    "5.7.1 LA SOMMA SAPIENZA E'L PRIMO AMORE.",
    "5.7.1 DINANZI A ME NON FUR COSE CREATE",
    "5.7.1 SE NON ETERNE, E IO ETERNA DURO.",
    "5.7.1 LASCIATE OGNI SPERANZA, VOI CH'ENTRATE...",
};

}  // namespace

CSpam_trap::CSpam_trap() {
  if (Open(kStoreFile) != 0) Load();
  constexpr size_t kLines = sizeof kReplyLines / sizeof kReplyLines[0];
  for (size_t i = 0; i < kLines; ++i) {
    reply_.append(i + 1 < kLines ? "550-" : "550 ");
    reply_.append(kReplyLines[i]);
    reply_.append("\r\n");
  }
}

int CSpam_trap::IsSpamTrap(const char* recipients) {
  int trapped = 0;
  ForEachAddress(recipients != nullptr ? recipients : "", [&](const std::string& address) {
    trapped = Find(MD5Hex(address.data(), address.size()).GetData(), 0) >= 0 ? 1 : 0;
    return trapped == 0;
  });
  return trapped;
}
