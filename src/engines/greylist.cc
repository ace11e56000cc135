// greylist - building triples, recording them, the embargo test with its
// forced-attempt count and statistics, and the listing (see greylist.h).
#include "engines/greylist.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/md5.h"
#include "base/regex.h"

namespace {

// A host name in a domain: the part after the first label is captured as
// the sender network, so a provider's pool of senders shares one.
constexpr char kNetworkPattern[] = ".+?\\.([a-zA-Z0-9\\.-]+?\\.\\w{2,32})$";

// Fields of a triple, and of a stored value: the triple, the count, the
// "pass counted" mark.
constexpr size_t kTripleFields = 3;
constexpr size_t kCountField = 3;
constexpr size_t kCountedField = 4;
constexpr size_t kValueFields = 5;
// Digits of a stored count that are read: fewer than an int holds, so the
// count read can always be incremented.
constexpr size_t kMaxCountDigits = 9;

constexpr char kBlocked[] = "f8_grey_bloc";
constexpr char kRecall[] = "f8_grey_recall";
constexpr char kForced[] = "f8_grey_forze";

// Delay buckets of a pass: the first whose limit (seconds) is at or above
// the delay; longer delays count kDelayBeyond.
struct DelayBucket {
  int64_t up_to;
  const char* name;
};
constexpr DelayBucket kDelayBuckets[] = {
    {300, "f8_grey_m5"},   {600, "f8_grey_m10"},  {900, "f8_grey_m15"},
    {1200, "f8_grey_m20"}, {1800, "f8_grey_m30"}, {3600, "f8_grey_m60"},
};
constexpr char kDelayBeyond[] = "f8_grey_mmax";

// The bucket of a delay; null for a negative one (a clock set back).
const char* BucketOf(int64_t delay) {
  if (delay < 0) return nullptr;
  for (const DelayBucket& bucket : kDelayBuckets) {
    if (delay <= bucket.up_to) return bucket.name;
  }
  return kDelayBeyond;
}

std::string_view Text(const char* text) { return text != nullptr ? std::string_view(text) : std::string_view(); }

// The key of a triple's text.
String TripleKey(std::string_view triple) {
  const std::string lower = LowerCase(triple);
  return MD5Hex(lower.data(), lower.size());
}

// The triple fields of a stored value joined again.
std::string TripleOf(const std::vector<std::string_view>& fields) {
  std::string triple(fields[0]);
  for (size_t i = 1; i < kTripleFields; ++i) {
    triple += BoundedStore::kFieldSeparator;
    triple += fields[i];
  }
  return triple;
}

// A stored count: its leading digits, 0 when there are none.
int32_t ReadCount(std::string_view text) {
  int32_t count = 0;
  for (size_t i = 0; i < text.size() && i < kMaxCountDigits && text[i] >= '0' && text[i] <= '9'; ++i) {
    count = count * 10 + (text[i] - '0');
  }
  return count;
}

// A triple of a list and its key, found before the store is locked.
struct KeyedTriple {
  std::string_view text;
  String key;
};

// The triples of a list; a triple is a text of exactly three fields.
std::vector<KeyedTriple> Triples(const char* list) {
  std::vector<KeyedTriple> triples;
  for (std::string_view triple : SplitWords(Text(list), CGreyList::kTripleSeparator)) {
    if (SplitFields(triple, kTripleFields + 1).size() == kTripleFields) triples.push_back({triple, TripleKey(triple)});
  }
  return triples;
}

void Count(CStatitiche_Day* stats, const std::vector<const char*>& names) {
  if (stats == nullptr) return;
  for (const char* name : names) stats->AddItem(name, CGreyList::kStatisticsGroup, 0, 1, CStatitiche_Day::kIncrement);
}

}  // namespace

CGreyList::CGreyList() : BoundedStore("CGreyList") { OpenFile(kFile); }

String CGreyList::KeyOfValue(std::string_view value) const {
  const std::vector<std::string_view> fields = SplitFields(value, kValueFields);
  if (fields.size() <= kCountField) return String("");
  return TripleKey(TripleOf(fields));
}

void CGreyList::SetTimeOfImbargo(int32_t value, int32_t unit) {
  embargo_seconds_.store(static_cast<int64_t>(value) * unit);
}

// ---- Triples -----------------------------------------------------------------

const char* CGreyList::PrepareTriples(String* out, const char* rcptList, const char* clientAddress,
                                      const char* mailFrom, const char* emptySenderSubstitute,
                                      const char* clientHostName) {
  std::string network = WithoutControlBytes(Text(clientAddress));
  const std::string host = WithoutControlBytes(Text(clientHostName).substr(0, kMaxHostNameBytes + 1));
  std::vector<std::string> groups;
  if (host.size() <= kMaxHostNameBytes &&
      RegexMatch(kNetworkPattern, kRegexCaseless, host.data(), host.size(), &groups) == 1 && !groups.empty()) {
    network = groups[0];
  }
  const std::string_view given = Text(mailFrom).empty() ? Text(emptySenderSubstitute) : Text(mailFrom);
  const std::string sender(WithoutBounceTag(WithoutControlBytes(given)));
  std::string list;
  for (std::string_view recipient : SplitWords(Text(rcptList), ' ')) {
    if (!list.empty()) list += kTripleSeparator;
    list += network + kFieldSeparator + sender + kFieldSeparator + WithoutControlBytes(recipient);
  }
  *out = String(std::string_view(list));
  return out->GetData() != nullptr ? out->GetData() : "";
}

int32_t CGreyList::AddGreyList(const char* tripleList, CStatitiche_Day* stats) {
  if (Text(tripleList).empty()) return 0;
  const std::vector<KeyedTriple> triples = Triples(tripleList);
  bool first_is_new = false;
  {
    Transaction hold(*this);
    for (const KeyedTriple& triple : triples) {
      const std::vector<std::string_view> fields = SplitFields(triple.text, kTripleFields);
      const bool storable = std::all_of(fields.begin(), fields.end(),
                                        [](std::string_view field) { return field.size() <= kMaxAddressBytes; });
      const bool inserted =
          storable && InsertBounded(triple.key, std::string(triple.text) + kFieldSeparator + "0") == 1;
      if (&triple == &triples.front()) first_is_new = inserted;
    }
  }
  if (first_is_new) Count(stats, {kBlocked});
  return 1;
}

int32_t CGreyList::ByPassGreyList(const char* tripleList, CStatitiche_Day* stats) {
  const int64_t embargo = embargo_seconds_.load();
  const std::vector<KeyedTriple> triples = Triples(tripleList);
  std::vector<const char*> counted;
  int32_t passed = 0;
  {
    Transaction hold(*this);
    const int64_t now = Now();
    for (const KeyedTriple& triple : triples) {
      const String& key = triple.key;
      RECORD* record = FindLive(key);
      if (record == nullptr || record->value == nullptr) continue;
      const std::string value(record->value.get(), static_cast<size_t>(record->len));
      const std::vector<std::string_view> fields = SplitFields(value, kValueFields);
      if (fields.size() <= kCountField) continue;
      if (record->time > now + kFutureSlackSeconds) {
        Update(key.GetData(), value.data(), static_cast<int32_t>(value.size()), 0);  // a first attempt now
        continue;
      }
      if (record->time <= now - embargo) {
        const bool counted_before = fields.size() > kCountedField && ReadCount(fields[kCountedField]) != 0;
        if (!counted_before) {
          counted.push_back(kRecall);
          if (const char* bucket = BucketOf(now - record->time)) counted.push_back(bucket);
        }
        passed = 1;
        break;
      }
      const int32_t forced = ReadCount(fields[kCountField]);
      const std::string rewritten = TripleOf(fields) + kFieldSeparator + std::to_string(forced + 1);
      Update(key.GetData(), rewritten.data(), static_cast<int32_t>(rewritten.size()), 1);
      counted.push_back(kForced);
    }
  }
  Count(stats, counted);
  return passed;
}

int32_t CGreyList::GetForzeMoltiplicatore(const char* tripleList) {
  int32_t forced = 0;
  const std::vector<KeyedTriple> triples = Triples(tripleList);
  Transaction hold(*this);
  for (const KeyedTriple& triple : triples) {
    const RECORD* record = FindLive(triple.key);
    if (record == nullptr || record->value == nullptr) continue;
    const std::vector<std::string_view> fields =
        SplitFields(std::string_view(record->value.get(), static_cast<size_t>(record->len)), kValueFields);
    if (fields.size() > kCountField) forced = ReadCount(fields[kCountField]);
  }
  return forced;
}

void CGreyList::AzzeraMoltiplicatore(const char* tripleList) {
  const std::vector<KeyedTriple> triples = Triples(tripleList);
  Transaction hold(*this);
  for (const KeyedTriple& triple : triples) {
    const String& key = triple.key;
    const RECORD* record = FindLive(key);
    if (record == nullptr || record->value == nullptr) continue;
    const std::vector<std::string_view> fields =
        SplitFields(std::string_view(record->value.get(), static_cast<size_t>(record->len)), kValueFields);
    if (fields.size() <= kCountField) continue;
    const std::string reset = TripleOf(fields) + kFieldSeparator + "0" + kFieldSeparator + "1";
    Update(key.GetData(), reset.data(), static_cast<int32_t>(reset.size()), 1);
  }
}

int32_t CGreyList::IsExists(const char* triple) {
  if (Text(triple).empty()) return 0;
  return Find(TripleKey(Text(triple)).GetData(), 0) >= 0 ? 1 : 0;
}

int32_t CGreyList::ViewGreyListDB(KeyValueSink* array, int32_t count, int32_t start, const char* filter,
                                  int32_t mode) {
  return View(array, count, start, filter, mode, static_cast<int32_t>(kValueFields - 1));
}
