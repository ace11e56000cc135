// record_store - the record store: buckets in memory, an exact-key index beside
// them, and the bounded reader and atomic writer of the store file.
#include "engines/record_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/atomic_file.h"
#include "base/regex.h"
#include "base/utility.h"
#include "engines/record_store_format.h"

using namespace record_store_format;

namespace {

using RECORD = CDB_RAM::RECORD;

// Scratch block for loading: the longest key or value plus a terminator.
constexpr size_t kScratchBytes = static_cast<size_t>(std::max(kMaxKeyBytes, kMaxValueBytes)) + 1;

// The bucket of a key: its first byte as a signed char, made non-negative,
// so bytes 0x80-0xFF share buckets with ASCII (0xC1 goes with '?').
int16_t BucketOf(const char* key) {
  return static_cast<int16_t>(std::abs(static_cast<int>(static_cast<signed char>(key[0]))));
}

// Length of a C-string key, looking no further than one byte past the limit
// (enough to tell that it is too long).
size_t BoundedKeyLength(const char* key) {
  return strnlen(key, static_cast<size_t>(kMaxKeyBytes) + 1);
}

// Length of a script's text, counted no further than one byte past the
// value limit (Insert and Update refuse anything longer anyway).
int32_t ScriptTextLength(const char* text) {
  return static_cast<int32_t>(strnlen(text, static_cast<size_t>(kMaxValueBytes) + 1));
}

bool IsStorableKey(size_t key_len) {
  return key_len >= 1 && key_len <= static_cast<size_t>(kMaxKeyBytes);
}

// A record can be written only with a key and a value within the limits;
// anything else could not be read back.
bool IsWritable(const RECORD& record) {
  return IsStorableKey(record.key.View().size()) && record.len >= 1 &&
         record.len <= kMaxValueBytes && record.value != nullptr;
}

// Hands a record to a query's caller, its value as text: the bytes up to
// the first zero byte.
void AddPair(KeyValueSink* sink, const RECORD& record) {
  const char* text = record.value ? record.value.get() : "";
  sink->Add(record.key.GetData(), text, strnlen(text, static_cast<size_t>(record.len)));
}

// ---- Encoding ------------------------------------------------------------

void PutInt32(char* out, int32_t value) {
  uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

int32_t GetInt32(const char* in) {
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) {
    bits |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
  }
  return static_cast<int32_t>(bits);
}

// Reads exactly `n` bytes; false when the file ends (or fails) first.
bool ReadExactly(CKFile& file, char* out, size_t n) { return file.Read(out, n) == n; }

bool ReadInt32(CKFile& file, int32_t* out) {
  char bytes[4];
  if (!ReadExactly(file, bytes, sizeof bytes)) return false;
  *out = GetInt32(bytes);
  return true;
}

void AppendHeader(std::string* out, int32_t count) {
  char header[kHeaderBytes];
  memcpy(header, kMagicV2, kMagicBytes);
  PutInt32(header + kCountOffset, count);
  out->append(header, sizeof header);
}

void AppendRecord(std::string* out, const CDB_RAM::Image::Entry& entry) {
  std::string_view key = entry.record->key.View();
  char fixed[kRecordHeaderBytes];
  PutInt32(fixed, entry.time);
  PutInt32(fixed + 4, static_cast<int32_t>(key.size()));
  PutInt32(fixed + 8, entry.len);
  out->append(fixed, sizeof fixed);
  out->append(key);
  out->append(entry.value.get(), static_cast<size_t>(entry.len));
}

// Bytes handed to the file per write, so a large image is not copied again
// into the writer's buffer.
constexpr size_t kWriteSliceBytes = 64 * 1024;

bool WriteWhole(AtomicFile& out, std::string_view bytes) {
  for (size_t at = 0; at < bytes.size(); at += kWriteSliceBytes) {
    if (!out.Write(bytes.data() + at, std::min(kWriteSliceBytes, bytes.size() - at))) return false;
  }
  return true;
}

// Reads the next record. Null when the file ends inside it or a length is
// out of bounds: both mean the rest of the file cannot be trusted. A key is
// taken up to its first zero byte; one that is then empty is damage too.
// `scratch` holds kScratchBytes.
std::shared_ptr<RECORD> ReadRecord(CKFile& file, char* scratch) {
  char fixed[kRecordHeaderBytes];
  if (!ReadExactly(file, fixed, sizeof fixed)) return nullptr;
  int32_t key_len = GetInt32(fixed + 4);
  int32_t value_len = GetInt32(fixed + 8);
  if (key_len < 1 || key_len > kMaxKeyBytes || value_len < 1 || value_len > kMaxValueBytes) {
    return nullptr;
  }
  if (!ReadExactly(file, scratch, static_cast<size_t>(key_len))) return nullptr;
  scratch[key_len] = '\0';
  if (scratch[0] == '\0') return nullptr;
  auto record = std::make_shared<RECORD>();
  record->key = scratch;
  if (!ReadExactly(file, scratch, static_cast<size_t>(value_len))) return nullptr;
  record->VALUE(scratch, value_len);
  record->time = GetInt32(fixed);
  return record;
}

}  // namespace

// ---- Locking ---------------------------------------------------------------

class CDB_RAM::Hold : public ThreadHeldLock::Scope {
 public:
  explicit Hold(CDB_RAM& store) : Scope(store.lock_) {}
};

void CDB_RAM::BiginTranstion() { lock_.Keep(); }

void CDB_RAM::EndTransation() { lock_.Release(); }

// ---- RECORD ----------------------------------------------------------------

void CDB_RAM::RECORD::VALUE(const void* data, int32_t length) {
  DESTROY();
  if (data == nullptr || length < 1) return;
  value = std::make_shared_for_overwrite<char[]>(static_cast<size_t>(length) + 1);
  memcpy(value.get(), data, static_cast<size_t>(length));
  value[length] = '\0';
  len = length;
}

void CDB_RAM::RECORD::DESTROY() {
  value.reset();
  len = 0;
}

// ---- Opening, loading, saving ---------------------------------------------

CDB_RAM::~CDB_RAM() = default;  // file_ closes itself

uint8_t CDB_RAM::Open(const char* name) {
  if (name == nullptr) return 0;
  String path;
  MakeAppPath(&path, name);
  Hold hold(*this);
  file_.Close();
  path_ = path;
  valid_ = 0;
  if (file_.Open(path_, CKFile::kModeRead)) {
    if (file_.GetLength() > 0) return ReadHeader();
    file_.Close();
  } else if (FileExists(path_)) {
    return 0;  // there but unreadable: never replace what we cannot read
  }
  std::string empty;
  AppendHeader(&empty, 0);
  AtomicFile out(path_.ToStdString());
  if (!out.Open() || !WriteWhole(out, empty) || !out.Commit()) return 0;
  type_db_ = kTypeV2;
  count_ = 0;
  valid_ = 1;
  return 1;
}

// Reads the header of the open, non-empty file_ and closes it; see Open.
uint8_t CDB_RAM::ReadHeader() {
  char header[kHeaderBytes];
  size_t got = file_.Read(header, sizeof header);
  file_.Close();
  if (got < kMagicBytes) return 0;
  if (memcmp(header, kMagicV2, kMagicBytes) == 0) {
    type_db_ = kTypeV2;
  } else if (memcmp(header, kMagicV1, kMagicBytes) == 0) {
    type_db_ = kTypeV1;
  } else {
    return 0;
  }
  int32_t announced = got == kHeaderBytes ? GetInt32(header + kCountOffset) : 0;
  count_ = (announced < 0 || announced == kUnfinishedCount) ? 0 : announced;
  valid_ = 1;
  return 1;
}

int32_t CDB_RAM::Load() {
  Hold hold(*this);
  file_.Close();
  if (!valid_ || !file_.Open(path_, CKFile::kModeReadWriteExisting)) return 0;
  int32_t announced = 0;
  bool has_records =
      file_.Seek(static_cast<int64_t>(kCountOffset), CKFile::kSeekStart) == kCountOffset &&
      ReadInt32(file_, &announced) && announced > 0;
  if (!has_records) {
    file_.Close();
    return 0;
  }
  DestroyRecord();
  // The announced count only bounds the loop; memory grows with the records
  // actually present, so a hostile count cannot force a huge allocation.
  std::unique_ptr<char[]> scratch(new char[kScratchBytes]);
  for (int32_t i = 0; i < announced; ++i) {
    std::shared_ptr<RECORD> record = ReadRecord(file_, scratch.get());
    if (!record) break;
    Append(std::move(record));
  }
  count_ = static_cast<int32_t>(index_list_.size());
  deleted_count_ = 0;
  emptied_values_ = 0;
  file_.Close();
  // Memory now holds what the file holds; copies taken before are stale.
  NoteChange();
  std::lock_guard<std::mutex> writing(write_lock_);
  written_sequence_ = image_sequence_;
  saved_generation_ = generation_;
  return 1;
}

int32_t CDB_RAM::Save() { return WriteImage(TakeImage()); }

// The lock is held while deleted records are dropped and the rest numbered
// and snapshotted: two shared pointers and two numbers a record, no copy of
// keys or values, so the store's other users wait only for that.
CDB_RAM::Image CDB_RAM::TakeImage() {
  Hold hold(*this);
  file_.Close();
  if (deleted_count_ > 0 || emptied_values_ > 0) DropUnwritable();
  Image image;
  image.valid = valid_ != 0;
  image.path = path_.ToStdString();
  image.sequence = ++image_sequence_;
  image.generation = generation_;
  RenumberAndSnapshot(image.valid ? &image.records : nullptr);
  return image;
}

// Numbers the records in bucket order and, with `out`, snapshots them there.
void CDB_RAM::RenumberAndSnapshot(std::vector<Image::Entry>* out) {
  index_list_.clear();
  if (out != nullptr) out->reserve(static_cast<size_t>(count_));
  for (const auto& [bucket, list] : buckets_) {
    for (size_t pos = 0; pos < list.size(); ++pos) {
      RECORD& record = *list[pos];
      record.index = static_cast<int32_t>(index_list_.size());
      index_list_.push_back(INDICE{bucket, static_cast<int32_t>(pos)});
      if (out != nullptr) out->push_back(Image::Entry{list[pos], record.value, record.time, record.len});
    }
  }
  count_ = static_cast<int32_t>(index_list_.size());
}

int32_t CDB_RAM::WriteImage(const Image& image) {
  if (!writable_ || !image.valid) return 0;
  std::lock_guard<std::mutex> writing(write_lock_);
  if (image.sequence <= written_sequence_) return 1;
  // The previous file's size, with room to grow, saves a sizing pass.
  std::string bytes;
  bytes.reserve(last_image_bytes_ + last_image_bytes_ / 8 + kHeaderBytes);
  AppendHeader(&bytes, static_cast<int32_t>(image.records.size()));
  for (const Image::Entry& entry : image.records) AppendRecord(&bytes, entry);
  AtomicFile out(image.path);
  if (!out.Open() || !WriteWhole(out, bytes) || !out.Commit()) return 0;
  last_image_bytes_ = bytes.size();
  written_sequence_ = image.sequence;
  saved_generation_ = image.generation;
  type_db_ = kTypeV2;
  return 1;
}

int32_t CDB_RAM::SaveIfChanged() {
  {
    Hold hold(*this);
    if (generation_ == saved_generation_.load()) return 0;
  }
  return Save();
}

// Frees deleted records and those that could not be written.
void CDB_RAM::DropUnwritable() {
  for (auto it = buckets_.begin(); it != buckets_.end();) {
    Bucket& list = it->second;
    for (size_t pos = 0; pos < list.size(); ++pos) {
      RECORD* record = list[pos].get();
      if (!record->deleted && IsWritable(*record)) continue;
      if (!record->deleted) ForgetKey(record, list, pos);
      list[pos].reset();
    }
    std::erase(list, nullptr);
    if (list.empty()) {
      it = buckets_.erase(it);
      continue;
    }
    list.shrink_to_fit();
    ++it;
  }
  deleted_count_ = 0;
  emptied_values_ = 0;
}

int32_t CDB_RAM::SanitaryAndSave() {
  {
    Hold hold(*this);
    if ((validity_value_ == 0 && validity_unit_ == 0) || index_list_.empty()) return 0;
    int64_t threshold =
        static_cast<int64_t>(Now()) - static_cast<int64_t>(validity_value_) * validity_unit_;
    bool expired = false;
    for (auto& [bucket, list] : buckets_) {
      for (auto& record : list) {
        if (record->deleted || record->time > threshold) continue;
        MarkDeleted(record.get());
        expired = true;
      }
    }
    if (!expired) return 0;
  }
  Save();
  return 1;
}

// ---- Changing records ------------------------------------------------------

int32_t CDB_RAM::Insert(const char* key, const void* data, int32_t len, int32_t allowDuplicate) {
  if (key == nullptr || data == nullptr || len < 1 || len > kMaxValueBytes) return -1;
  size_t key_len = BoundedKeyLength(key);
  if (!IsStorableKey(key_len)) return -1;
  // Built before taking the lock: the copy need not hold up other threads.
  auto record = std::make_shared<RECORD>();
  record->key = key;
  record->VALUE(data, len);
  record->time = Now();
  Hold hold(*this);
  if (allowDuplicate == 0 && FindExact(std::string_view(key, key_len)) != nullptr) return -1;
  Append(std::move(record));
  count_ = static_cast<int32_t>(index_list_.size());
  NoteChange();
  return 1;
}

int32_t CDB_RAM::Update(const char* key, const void* data, int32_t len, int32_t keepTime) {
  if (key == nullptr || data == nullptr || len > kMaxValueBytes) return -1;
  size_t key_len = BoundedKeyLength(key);
  if (key_len > static_cast<size_t>(kMaxKeyBytes)) return -1;
  Hold hold(*this);
  RECORD* record = FindExact(std::string_view(key, key_len));
  if (record == nullptr) return -1;
  record->VALUE(data, len);
  if (record->len == 0) ++emptied_values_;  // the next save drops it
  if (keepTime == 0) record->time = Now();
  NoteChange();
  return record->index;
}

int32_t CDB_RAM::Delete(const char* key) {
  if (key == nullptr) return -1;
  Hold hold(*this);
  RECORD* record = FindExact(std::string_view(key, BoundedKeyLength(key)));
  if (record == nullptr) return -1;
  MarkDeleted(record);
  return 1;
}

int32_t CDB_RAM::DropOldest(int32_t count) {
  if (count < 1) return 0;
  Hold hold(*this);
  std::vector<RECORD*> live;
  live.reserve(by_key_.size());
  for (const auto& [bucket, list] : buckets_) {
    for (const auto& record : list) {
      if (!record->deleted) live.push_back(record.get());
    }
  }
  const size_t dropped = std::min(live.size(), static_cast<size_t>(count));
  auto older = [](const RECORD* a, const RECORD* b) { return a->time < b->time; };
  std::nth_element(live.begin(), live.begin() + static_cast<std::ptrdiff_t>(dropped), live.end(), older);
  for (size_t i = 0; i < dropped; ++i) MarkDeleted(live[i]);
  return static_cast<int32_t>(dropped);
}

int32_t CDB_RAM::CSInsert(const char* key, const char* text, int32_t allowDuplicate) {
  if (key == nullptr || text == nullptr || *text == '\0') return 0;
  return Insert(key, text, ScriptTextLength(text), allowDuplicate) == -1 ? 0 : 1;
}

int32_t CDB_RAM::CSUpdate(const char* key, const char* text, int32_t keepTime) {
  if (key == nullptr || text == nullptr || *text == '\0') return 0;
  return Update(key, text, ScriptTextLength(text), keepTime) == -1 ? 0 : 1;
}

void CDB_RAM::Reset() {
  Hold hold(*this);
  DestroyRecord();
  count_ = 0;
  deleted_count_ = 0;
  emptied_values_ = 0;
  NoteChange();
}

void CDB_RAM::Close() {
  Hold hold(*this);
  file_.Close();
}

void CDB_RAM::DestroyRecord() {
  by_key_.clear();
  buckets_.clear();
  std::vector<INDICE>().swap(index_list_);  // gives the memory back, too
}

// ---- Index upkeep ----------------------------------------------------------

void CDB_RAM::Append(std::shared_ptr<RECORD> record) {
  int16_t bucket = BucketOf(record->key.GetData());
  Bucket& list = buckets_[bucket];
  record->index = static_cast<int32_t>(index_list_.size());
  record->deleted = 0;
  index_list_.push_back(INDICE{bucket, static_cast<int32_t>(list.size())});
  std::string_view key = record->key.View();
  auto found = by_key_.find(key);
  if (found == by_key_.end()) {
    found = by_key_.emplace(std::string(key), KeyEntry{record.get(), 0}).first;
  }
  ++found->second.live;  // appended last in its bucket: never the new first
  list.push_back(std::move(record));
}

void CDB_RAM::MarkDeleted(RECORD* record) {
  const INDICE& where = index_list_[static_cast<size_t>(record->index)];
  ForgetKey(record, buckets_[where.bucket], static_cast<size_t>(where.pos));
  record->deleted = 1;
  ++deleted_count_;
  NoteChange();
}

// Takes a live record out of the key index. When it was the first of its
// key, the next live record with that key becomes first; it can only sit
// later in the same bucket.
void CDB_RAM::ForgetKey(RECORD* record, const Bucket& list, size_t pos) {
  std::string_view key = record->key.View();
  auto found = by_key_.find(key);
  if (found == by_key_.end()) return;
  KeyEntry& entry = found->second;
  if (--entry.live == 0) {
    by_key_.erase(found);
    return;
  }
  if (entry.first != record) return;
  for (size_t next = pos + 1; next < list.size(); ++next) {
    RECORD* candidate = list[next].get();
    if (candidate != nullptr && !candidate->deleted && candidate->key.View() == key) {
      entry.first = candidate;
      return;
    }
  }
}

// ---- Looking up ------------------------------------------------------------

CDB_RAM::RECORD* CDB_RAM::FindExact(std::string_view key) {
  auto found = by_key_.find(key);
  return found == by_key_.end() ? nullptr : found->second.first;
}

CDB_RAM::RECORD* CDB_RAM::FindPattern(const char* subject) {
  size_t subject_len = strlen(subject);
  for (const auto& [bucket, list] : buckets_) {
    for (const auto& record : list) {
      if (!record->deleted &&
          RegexMatch(record->key.GetData(), kRegexCaseless, subject, subject_len) == 1) {
        return record.get();
      }
    }
  }
  return nullptr;
}

CDB_RAM::RECORD* CDB_RAM::RecordAt(int32_t n) {
  if (n < 0 || static_cast<size_t>(n) >= index_list_.size()) return nullptr;
  const INDICE& where = index_list_[static_cast<size_t>(n)];
  auto bucket = buckets_.find(where.bucket);
  if (bucket == buckets_.end() || where.pos < 0 ||
      static_cast<size_t>(where.pos) >= bucket->second.size()) {
    return nullptr;
  }
  return bucket->second[static_cast<size_t>(where.pos)].get();
}

int32_t CDB_RAM::Find(const char* key, int32_t mode) {
  if (key == nullptr) return -1;
  Hold hold(*this);
  RECORD* record = FindExact(std::string_view(key, BoundedKeyLength(key)));
  if (record == nullptr && mode == 1) record = FindPattern(key);
  return record == nullptr ? -1 : record->index;
}

CDB_RAM::RECORD* CDB_RAM::GetByIndexPtr(int32_t n) {
  Hold hold(*this);
  return RecordAt(n);
}

CDB_RAM::RECORD* CDB_RAM::GetByKeyPtr(std::string_view key) {
  if (key.size() > static_cast<size_t>(kMaxKeyBytes)) return nullptr;
  Hold hold(*this);
  return FindExact(key);
}

uint64_t CDB_RAM::ForEachLive(const std::function<void(const RECORD&)>& visit) {
  Hold hold(*this);
  for (size_t n = 0; n < index_list_.size(); ++n) {
    const RECORD* record = RecordAt(static_cast<int32_t>(n));
    if (record != nullptr && !record->deleted) visit(*record);
  }
  return generation_;
}

uint64_t CDB_RAM::GetGeneration() {
  Hold hold(*this);
  return generation_;
}

int32_t CDB_RAM::Query(const char* pattern, KeyValueSink* array, int32_t allBuckets,
                       int32_t byValue) {
  if (array == nullptr) return 0;
  Hold hold(*this);
  array->Clear();
  bool has_pattern = pattern != nullptr && *pattern != '\0';
  auto add_selected = [&](const Bucket& list, auto selects) {
    for (const auto& record : list) {
      if (!record->deleted && selects(*record)) AddPair(array, *record);
    }
  };
  if (has_pattern && allBuckets == 0) {
    auto bucket = buckets_.find(BucketOf(pattern));
    if (bucket == buckets_.end()) return 1;
    std::string_view wanted(pattern);
    add_selected(bucket->second, [&](const RECORD& record) {
      if (byValue == 0) return record.key.View() == wanted;
      return record.value != nullptr && std::string_view(record.value.get(), record.len) == wanted;
    });
    return 1;
  }
  for (const auto& [bucket, list] : buckets_) {
    if (!has_pattern || allBuckets != 1) {
      add_selected(list, [](const RECORD&) { return true; });
    } else if (byValue == 0) {
      add_selected(list, [&](const RECORD& record) {
        return RegexMatch(pattern, kRegexCaseless, record.key.GetData(),
                          record.key.View().size()) == 1;
      });
    } else {
      add_selected(list, [&](const RECORD& record) {
        return record.value != nullptr && RegexMatch(pattern, kRegexCaseless, record.value.get(),
                                                     static_cast<size_t>(record.len)) == 1;
      });
    }
  }
  return 1;
}

// ---- Lifetime and counters -------------------------------------------------

void CDB_RAM::SetTimeOfValidityRecord(int32_t value, int32_t unit) {
  Hold hold(*this);
  validity_value_ = value;
  validity_unit_ = unit;
}

int32_t CDB_RAM::GetTimeUNIX(int32_t past, int32_t value, int32_t unit) {
  int64_t span = static_cast<int64_t>(value) * unit;
  int64_t now = static_cast<int64_t>(GetTimeNow());
  return static_cast<int32_t>(past != 0 ? now - span : now + span);
}

int32_t CDB_RAM::GetRecordCount() {
  Hold hold(*this);
  return count_;
}

int32_t CDB_RAM::GetRealRecordCount() {
  Hold hold(*this);
  return count_ - deleted_count_;
}

int32_t CDB_RAM::GetTypeDB() {
  Hold hold(*this);
  return type_db_;
}

int32_t CDB_RAM::GetVauleTime() {
  Hold hold(*this);
  return validity_value_;
}

int32_t CDB_RAM::GetVaule_smhdMy() {
  Hold hold(*this);
  return validity_unit_;
}
