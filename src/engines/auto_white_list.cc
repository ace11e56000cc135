// auto_white_list - learning and recognising correspondent pairs, and the
// listing (see auto_white_list.h).
#include "engines/auto_white_list.h"

#include <string>
#include <utility>
#include <vector>

#include "base/md5.h"

namespace {

// Value fields: the local address, then the external one.
constexpr size_t kLocalField = 0;
constexpr size_t kExternalField = 1;
constexpr size_t kValueFields = 2;

std::string_view Text(const char* text) { return text != nullptr ? std::string_view(text) : std::string_view(); }

// An address as it is keyed and stored.
std::string Clean(std::string_view address) { return std::string(WithoutBounceTag(WithoutControlBytes(address))); }

String PairKey(std::string_view external, std::string_view local) {
  const std::string text = LowerCase(external) + BoundedStore::kFieldSeparator + LowerCase(local);
  return MD5Hex(text.data(), text.size());
}

}  // namespace

CAutoLightWhiteList::CAutoLightWhiteList() : BoundedStore("CAutoLightWhiteList") { OpenFile(kFile); }

String CAutoLightWhiteList::KeyOfValue(std::string_view value) const {
  const std::vector<std::string_view> fields = SplitFields(value, kValueFields);
  if (fields.size() != kValueFields) return String("");
  return PairKey(fields[kExternalField], fields[kLocalField]);
}

int32_t CAutoLightWhiteList::AddALWL(const char* localSender, const char* recipientList) {
  const std::string local = Clean(Text(localSender));
  if (local.empty() || Text(recipientList).empty()) return 0;
  if (local.size() > kMaxAddressBytes) return 1;
  // Keys and values first: the store stays locked only to store them.
  const std::string local_lower = LowerCase(local);
  std::vector<std::pair<String, std::string>> pairs;
  for (std::string_view word : SplitWords(Text(recipientList), ' ')) {
    const std::string external = Clean(word);
    if (external.size() > kMaxAddressBytes || LowerCase(external) == local_lower) continue;
    pairs.emplace_back(PairKey(external, local), local + kFieldSeparator + external);
  }
  Transaction hold(*this);
  for (const auto& [key, value] : pairs) {
    if (FindLive(key) != nullptr) {
      Update(key.GetData(), value.data(), static_cast<int32_t>(value.size()), 1);
    } else {
      InsertBounded(key, value);
    }
  }
  return 1;
}

int32_t CAutoLightWhiteList::IsALWL(const char* sender, const char* recipient) {
  const std::string external = Clean(Text(sender));
  const std::string local = Clean(Text(recipient));
  if (external.empty() || local.empty()) return 0;
  return Find(PairKey(external, local).GetData(), 0) >= 0 ? 1 : 0;
}

int32_t CAutoLightWhiteList::ViewALWLDB(KeyValueSink* array, int32_t count, int32_t start, const char* filter,
                                        int32_t mode) {
  return View(array, count, start, filter, mode, static_cast<int32_t>(kValueFields));
}
