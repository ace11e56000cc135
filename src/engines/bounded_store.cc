// bounded_store - the capped insertion, re-keying at load, the paged listing
// and the address clean-up (see bounded_store.h).
#include "engines/bounded_store.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "base/regex.h"
#include "base/utility.h"

namespace {

constexpr std::string_view kBounceTagPrefix = "prvs=";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return tolower(static_cast<unsigned char>(a)) == tolower(static_cast<unsigned char>(b));
         });
}

}  // namespace

// ---- Opening and re-keying ---------------------------------------------------

void BoundedStore::OpenFile(const char* file) {
  MakeAppDirectory("db");
  if (Open(file)) LoadRekeyed();
}

int32_t BoundedStore::LoadRekeyed() {
  const int32_t loaded = Load();
  if (loaded != 1) return loaded;
  struct Move {
    std::string old_key;
    String new_key;
    std::string value;
    int32_t time;
  };
  std::vector<Move> moves;
  Transaction hold(*this);
  const int32_t count = GetRecordCount();
  for (int32_t n = 0; n < count; ++n) {
    const RECORD* record = GetByIndexPtr(n);
    if (record == nullptr || record->deleted || record->value == nullptr) continue;
    const std::string_view value(record->value.get(), static_cast<size_t>(record->len));
    String key = KeyOfValue(value);
    if (key.IsEmpty() || key.View() == record->key.View()) continue;
    moves.push_back(Move{record->key.ToStdString(), std::move(key), std::string(value), record->time});
  }
  // Collected first: Delete and Insert renumber nothing, but the walk must
  // not meet the records it adds.
  for (const Move& move : moves) {
    Delete(move.old_key.c_str());
    if (FindLive(move.new_key) != nullptr) continue;
    if (Insert(move.new_key.GetData(), move.value.data(), static_cast<int32_t>(move.value.size()), 0) != 1) continue;
    if (RECORD* moved = FindLive(move.new_key)) moved->time = move.time;
  }
  return loaded;
}

// ---- Capped insertion ----------------------------------------------------------

CDB_RAM::RECORD* BoundedStore::FindLive(const String& key) {
  const int32_t n = Find(key.GetData(), 0);
  return n >= 0 ? GetByIndexPtr(n) : nullptr;
}

int32_t BoundedStore::InsertBounded(const String& key, std::string_view value) {
  if (FindLive(key) != nullptr) return 0;
  const int32_t cap = max_records_.load();
  if (cap > 0 && GetRealRecordCount() >= cap) MakeRoom(cap);
  return Insert(key.GetData(), value.data(), static_cast<int32_t>(value.size()), 0) == 1 ? 1 : -1;
}

void BoundedStore::MakeRoom(int32_t cap) {
  const int32_t over = GetRealRecordCount() - cap;
  const int32_t dropped = DropOldest(over + std::max(cap / kEvictionDivisor, 1));
  String line;
  line.Format("store full (%d records): the %d oldest dropped", cap, dropped);
  String routine;
  routine.Format("%s::Insert", engine_);
  log_.LogS(kLogError, line, engine_, routine, log_type::kSys, 0);
}

// ---- Listing -----------------------------------------------------------------------

int32_t BoundedStore::View(KeyValueSink* array, int32_t count, int32_t start, const char* filter, int32_t mode,
                           int32_t fields) {
  if (array == nullptr) return 0;
  // 64-bit, so start + count cannot overflow.
  const int64_t first = std::max<int64_t>(start, 0) + 1;
  const int64_t last = first - 1 + (count < 1 ? kDefaultViewCount : count);
  const bool filtered = filter != nullptr && *filter != '\0' && mode >= 0 && mode <= fields;
  const size_t field_count = static_cast<size_t>(std::max(fields, 0));
  Transaction hold(*this);
  const int32_t records = GetRecordCount();
  int64_t number = 0;
  for (int32_t n = 0; n < records && number < last; ++n) {
    const RECORD* record = GetByIndexPtr(n);
    if (record == nullptr || record->deleted || record->value == nullptr) continue;
    const std::vector<std::string_view> parts =
        SplitFields(std::string_view(record->value.get(), static_cast<size_t>(record->len)), field_count + 1);
    if (filtered) {
      const size_t field = static_cast<size_t>(mode) - 1;
      const std::string_view subject = mode == 0 ? record->key.View()
                                       : field < parts.size() ? parts[field]
                                                              : std::string_view();
      if (RegexMatch(filter, kRegexCaseless, subject.data(), subject.size()) != 1) continue;
    }
    if (++number < first) continue;
    String line;
    line.Format("%ld", static_cast<long>(record->time));
    for (size_t f = 0; f < field_count; ++f) {
      line.append(kFieldSeparator);
      if (f < parts.size()) line.append(String(parts[f]));
    }
    line.append(kFieldSeparator);
    array->Add(record->key.GetData(), line.GetData(), static_cast<size_t>(line.size()));
  }
  return 1;
}

// ---- Address text ------------------------------------------------------------------

std::string WithoutControlBytes(std::string_view text) {
  std::string clean(text);
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return clean;
}

std::string_view WithoutBounceTag(std::string_view address) {
  if (!StartsWithNoCase(address, kBounceTagPrefix)) return address;
  // The tag holds at least one byte, so its closing "=" comes one later.
  const size_t tag_end = address.find('=', kBounceTagPrefix.size() + 1);
  if (tag_end == std::string_view::npos) return address;
  const size_t at = address.rfind('@');
  if (at == std::string_view::npos || at < tag_end + 2) return address;
  return address.substr(tag_end + 1);
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::vector<std::string_view> SplitFields(std::string_view value, size_t max_fields) {
  std::vector<std::string_view> fields;
  while (max_fields > 0) {
    const size_t end = fields.size() + 1 == max_fields ? std::string_view::npos : value.find(BoundedStore::kFieldSeparator);
    fields.push_back(value.substr(0, end));
    if (end == std::string_view::npos) break;
    value.remove_prefix(end + 1);
  }
  return fields;
}

std::vector<std::string_view> SplitWords(std::string_view list, char separator) {
  std::vector<std::string_view> words;
  while (!list.empty()) {
    const size_t end = list.find(separator);
    const std::string_view word = list.substr(0, end);
    if (!word.empty()) words.push_back(word);
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return words;
}
