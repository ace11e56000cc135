// helo_forgery - the forged-HELO test and the rebuild of this server's names.
#include "engines/helo_forgery.h"

#include <cstring>

#include "base/utility.h"
#include "engines/dns.h"

namespace {

constexpr const char* kLocalhost = "localhost";
constexpr const char* kLoopback = "127.0.0.1";
// A name some clients greet with when they pretend to know the server.
constexpr const char* kFriends = "friends";

// A name and the value stored for it.
struct Entry {
  String key;
  String value;
};

}  // namespace

CHeloForget::CHeloForget() {
  MakeAppDirectory("db");
  if (Open(kFile)) Load();
}

int CHeloForget::IsForgetHelo(const char* helo) {
  if (helo == nullptr || *helo == '\0') return 0;
  String lowered(helo);
  lowered.MakeLower();
  return Find(lowered, 0) >= 0 ? 1 : 0;
}

String CHeloForget::OwnExchange(CDns* dns, const String& domain, const char* publicAddress) {
  CDnsRES_RECORD answer(CDns::kLookupAnswerBytes);
  if (domain.IsEmpty() || !dns->QueryDns(domain, &answer, kDnsTypeMX)) return String("");
  int looked = 0;
  for (const CDnsRES_RECORD::DnsRR& record : answer.GetAnswers()) {
    if (record.type != kDnsTypeMX) continue;
    if (++looked > kMaxExchangesPerDomain) break;
    String exchange(record.data);
    exchange.MakeLower();
    exchange.Trim();
    if (!exchange.IsEmpty() && dns->ResolveAddress(exchange) == publicAddress) return exchange;
  }
  return String("");
}

// Every lookup is done before the store is touched; the table is then
// replaced and saved inside one transaction.
int CHeloForget::WhoIsI(const char* publicAddress, const char* myName, CDns* dns,
                        const CArray<String>& localDomains) {
  if (publicAddress == nullptr || *publicAddress == '\0') return 0;
  if (refreshing_.exchange(true)) return 0;

  CArray<Entry> entries;
  for (int i = 0; dns != nullptr && i < localDomains.GetSize(); ++i) {
    String exchange = OwnExchange(dns, localDomains[i], publicAddress);
    if (!exchange.IsEmpty()) entries.Add(Entry{exchange, String(publicAddress)});
  }
  const String address(publicAddress);
  const String own_names[] = {String(myName), address, String("[") + address + "]", String("'") + address + "'",
                              String(kFriends)};
  for (const String& name : own_names) {
    if (!name.IsEmpty()) entries.Add(Entry{name, address});
  }
  entries.Add(Entry{String(kLocalhost), String(kLoopback)});

  BiginTranstion();
  Reset();
  for (const Entry& entry : entries) {
    // allowDuplicate 0: myName may equal the address or an MX host.
    Insert(entry.key, entry.value.GetData(), entry.value.size(), 0);
  }
  Save();
  EndTransation();
  refreshing_.store(false);
  return 1;
}
