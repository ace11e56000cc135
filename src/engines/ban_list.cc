// ban_list - the ban list: insertion that keeps an existing ban, the test,
// and the expiry sweep.
#include "engines/ban_list.h"

#include <string>
#include <vector>

#include "base/string.h"
#include "base/utility.h"

namespace {

// Digits of an expiry time that are read; more cannot be a 64-bit time.
constexpr int kMaxExpiryDigits = 18;

// The decimal number at the start of `text` (after blanks), or 0 when there
// is none; digits past kMaxExpiryDigits are ignored.
int64_t ReadExpiry(const char* text) {
  if (text == nullptr) return 0;
  while (*text == ' ') ++text;
  const bool negative = *text == '-';
  if (negative) ++text;
  int64_t value = 0;
  for (int digits = 0; digits < kMaxExpiryDigits && *text >= '0' && *text <= '9'; ++digits, ++text) {
    value = value * 10 + (*text - '0');
  }
  return negative ? -value : value;
}

}  // namespace

CIP_Imbargo::CIP_Imbargo() {
  MakeAppDirectory("db");
  if (Open(kFile)) Load();
}

// The lookup and the insertion are one transaction, so two threads banning
// the same address leave one record.
int32_t CIP_Imbargo::AddIP_Imbargo(const char* address, int32_t expiry) {
  if (address == nullptr || *address == '\0') return -1;
  BiginTranstion();
  int32_t result = Find(address, 0);
  if (result < 0) {
    String value;
    value.Format("%d", expiry);
    result = Insert(address, value.GetData(), value.size(), 0);
  }
  EndTransation();
  return result;
}

int CIP_Imbargo::IsIpImbargo(const char* address) {
  if (address == nullptr || *address == '\0') return 0;
  return Find(address, 0) >= 0 ? 1 : 0;
}

int32_t CIP_Imbargo::SuperSanitary() { return SuperSanitary(GetTimeNow()); }

// Keys are collected first and deleted afterwards: Delete reaches a record
// by its key, and the scan must not see the table change under it.
int32_t CIP_Imbargo::SuperSanitary(time_t now) {
  BiginTranstion();
  std::vector<std::string> expired;
  const int32_t count = GetRecordCount();
  for (int32_t n = 0; n < count; ++n) {
    const RECORD* record = GetByIndexPtr(n);
    if (record == nullptr || record->deleted) continue;
    const char* value = record->value ? record->value.get() : nullptr;
    if (ReadExpiry(value) <= static_cast<int64_t>(now)) expired.push_back(record->key.ToStdString());
  }
  int32_t removed = 0;
  for (const std::string& key : expired) {
    if (Delete(key.c_str()) == 1) ++removed;
  }
  if (removed > 0) Save();
  EndTransation();
  return removed;
}
