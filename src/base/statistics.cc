// statistics - counters, the day file format and the day change.
#include "base/statistics.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/atomic_file.h"
#include "base/file.h"

namespace {

// Day file layout, little-endian: stamp (int32), count (int32), then per
// counter: name length (int32), name bytes, group (uint16), subGroup
// (uint16), value (float32).
constexpr size_t kHeaderBytes = 8;
constexpr char kRestartKey[] = "f1n_restart_service";
constexpr int kRestartGroup = 1;

void PutU32(String* out, uint32_t v) {
  const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                         static_cast<char>(v >> 24)};
  out->append(bytes, sizeof(bytes));
}

void PutU16(String* out, uint16_t v) {
  const char bytes[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
  out->append(bytes, sizeof(bytes));
}

uint32_t FloatBits(float f) {
  uint32_t bits;
  memcpy(&bits, &f, sizeof(bits));
  return bits;
}

// Sequential reads from an open file; each returns false, having read
// whatever was there, when the file ends first.
class FileReader {
 public:
  explicit FileReader(CKFile* file) : file_(file) {}
  bool Bytes(void* out, size_t n) { return n == 0 || file_->Read(out, n) == n; }
  bool U32(uint32_t* out) {
    unsigned char b[4];
    if (!Bytes(b, sizeof(b))) return false;
    *out = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
  }
  bool I32(int32_t* out) {
    uint32_t v;
    if (!U32(&v)) return false;
    *out = static_cast<int32_t>(v);
    return true;
  }
  bool U16(uint16_t* out) {
    unsigned char b[2];
    if (!Bytes(b, sizeof(b))) return false;
    *out = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
  }

 private:
  CKFile* file_;
};

// Reads one counter. False for a bad name length or a short file.
bool ReadCounter(FileReader* in, ITEMS_STAT* item) {
  int32_t length = 0;
  if (!in->I32(&length) || length < 1 || length > CStatitiche_Day::kMaxNameLength) return false;
  String name;
  name.Allocate(length);
  char* buffer = name.GetBuffer(0);
  if (buffer == nullptr || !in->Bytes(buffer, static_cast<size_t>(length))) return false;
  buffer[length] = '\0';
  name.SetLenAftherSetBuffer();
  uint32_t bits = 0;
  if (!in->U16(&item->group) || !in->U16(&item->subGroup) || !in->U32(&bits)) return false;
  memcpy(&item->value, &bits, sizeof(bits));
  item->name = name;
  return true;
}

}  // namespace

// ---- CStatitiche_Day ------------------------------------------------------

float CStatitiche_Day::SetValue(float old, float value, int op) {
  switch (op) {
    case kIncrement: return old + 1;
    case kDecrement: return old - 1;
    case kSet: return value;
    case kAdd: return old + value;
    case kSubtract: return old - value;
    case kMaximum: return old > value ? old : value;
    case kMinimum: return old < value ? old : value;
    default: return old;
  }
}

void CStatitiche_Day::AddItem(const char* name, int group, int sub_group, float value, int op) {
  if (name == nullptr || *name == '\0' || strlen(name) > static_cast<size_t>(kMaxNameLength)) return;
  CriticalScope hold(lock_);
  const int at = FindItemLocked(name);
  if (at >= 0) {
    ITEMS_STAT& item = items_[at];
    item.group = static_cast<uint16_t>(group);
    item.subGroup = static_cast<uint16_t>(sub_group);
    item.value = SetValue(item.value, value, op);
    return;
  }
  ITEMS_STAT item;
  item.name = name;
  item.group = static_cast<uint16_t>(group);
  item.subGroup = static_cast<uint16_t>(sub_group);
  item.value = SetValue(0, value, op);
  items_.Add(item);
}

int CStatitiche_Day::FindItemLocked(const char* name) const {
  if (name == nullptr || *name == '\0') return -1;
  for (int i = 0; i < items_.GetCount(); ++i) {
    if (items_[i].name == name) return i;
  }
  return -1;
}

float CStatitiche_Day::ValueLocked(const char* name) const {
  const int at = FindItemLocked(name);
  return at >= 0 ? items_[at].value : 0;
}

float CStatitiche_Day::GetValueByName(const char* name) {
  CriticalScope hold(lock_);
  return ValueLocked(name);
}

int CStatitiche_Day::FindItem(const char* name) {
  CriticalScope hold(lock_);
  return FindItemLocked(name);
}

int CStatitiche_Day::GetCount() {
  CriticalScope hold(lock_);
  return items_.GetCount();
}

int32_t CStatitiche_Day::GetStamp() {
  CriticalScope hold(lock_);
  return stamp_;
}

void CStatitiche_Day::Reset() {
  CriticalScope hold(lock_);
  items_.RemoveAll();
}

bool CStatitiche_Day::Load(const char* path) {
  if (path == nullptr) return false;
  CriticalScope hold(lock_);
  file_path_ = path;
  return LoadStats(path);
}

bool CStatitiche_Day::Save() {
  CriticalScope hold(lock_);
  if (file_path_.IsEmpty()) return false;
  return SaveStats(file_path_.GetData());
}

void CStatitiche_Day::PololateArray(KeyValueSink* array) {
  if (array == nullptr) return;
  array->Clear();
  CriticalScope hold(lock_);
  for (const ITEMS_STAT& item : items_) {
    if (item.name.IsEmpty()) continue;
    char value[64];
    const int n = snprintf(value, sizeof(value), "%.3f|%d", static_cast<double>(item.value), item.group);
    array->Add(item.name.GetData(), value, static_cast<size_t>(n < 0 ? 0 : n));
  }
}

bool CStatitiche_Day::LoadStats(const char* path) {
  CKFile file;
  if (!file.Open(path, CKFile::kModeReadPlain)) return false;
  items_.RemoveAll();
  FileReader in(&file);
  int32_t stamp = 0;
  int32_t count = 0;
  bool ok = in.I32(&stamp) && in.I32(&count) && count >= 0;
  if (ok) stamp_ = stamp;
  if (ok && count == 0) return false;
  for (int32_t i = 0; ok && i < count; ++i) {
    ITEMS_STAT item;
    ok = ReadCounter(&in, &item);
    if (ok) items_.Add(item);
  }
  if (ok) return true;
  // A bad length or a short file: nothing of it can be trusted.
  items_.RemoveAll();
  stamp_ = static_cast<int32_t>(Now());
  return false;
}

bool CStatitiche_Day::SaveStats(const char* path) {
  if (stamp_ == 0) stamp_ = static_cast<int32_t>(Now());
  if (items_.GetCount() == 0) return false;
  String data;
  PutU32(&data, static_cast<uint32_t>(stamp_));
  PutU32(&data, static_cast<uint32_t>(items_.GetCount()));
  for (const ITEMS_STAT& item : items_) {
    PutU32(&data, static_cast<uint32_t>(item.name.size()));
    data.append(item.name.GetData(), static_cast<size_t>(item.name.size()));
    PutU16(&data, item.group);
    PutU16(&data, item.subGroup);
    PutU32(&data, FloatBits(item.value));
  }
  AtomicFile file(path);
  return file.Open() && file.Write(data.GetData(), static_cast<size_t>(data.size())) && file.Commit();
}

// ---- CStatitiche_Torvane ----------------------------------------------------

CStatitiche_Torvane::~CStatitiche_Torvane() { SaveAll(); }

void CStatitiche_Torvane::GetName(String* out) const {
  if (out == nullptr) return;
  const time_t now = Now();
  tm local{};
  if (localtime_r(&now, &local) == nullptr) local = tm{};
  char name[32];
  snprintf(name, sizeof(name), "%04d-%02d-%02d.stc", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday);
  *out = name;
}

void CStatitiche_Torvane::DayFilePath(const String& day_name, String* out) const {
  String path = base_path_;
  path.append("/db/DAY_");
  path.append(day_name);
  while (path.Replace("//", "/") > 0) {
  }
  *out = path;
}

void CStatitiche_Torvane::SetPathDB(const char* path) {
  CriticalScope hold(lock_);
  GetName(&day_name_);
  base_path_ = path != nullptr ? path : "";
  String file;
  DayFilePath(day_name_, &file);
  if (!LoadStats(file.GetData())) items_.RemoveAll();
}

bool CStatitiche_Torvane::IsRotate() {
  String today;
  GetName(&today);
  const bool changed = !(today == day_name_);
  day_name_ = today;
  return changed;
}

bool CStatitiche_Torvane::SaveAll() {
  lock_.StartSession();
  if (base_path_.IsEmpty()) {
    lock_.EndSession();
    return false;
  }
  const String finished_day = day_name_;
  String file;
  if (!IsRotate()) {
    stamp_ = static_cast<int32_t>(Now());
    DayFilePath(day_name_, &file);
    const bool saved = SaveStats(file.GetData());
    lock_.EndSession();
    return saved;
  }
  // The date changed: what was counted belongs to the day just finished.
  stamp_ = static_cast<int32_t>(Now() - kDayCloseStampBackSeconds);
  DayFilePath(finished_day, &file);
  const bool saved = SaveStats(file.GetData());
  const bool had_restart = FindItemLocked(kRestartKey) >= 0;
  const float restart = ValueLocked(kRestartKey);
  items_.RemoveAll();
  lock_.EndSession();
  if (had_restart) AddItem(kRestartKey, kRestartGroup, 0, restart, kSet);
  return saved;
}
