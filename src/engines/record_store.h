// record_store - CDB_RAM, the keyed record store every engine keeps its tables in.
// All records live in memory, grouped in buckets by the first byte of their
// key; the whole table is written to one binary file (record_store_format.h) on
// demand, and records older than a configured lifetime can be swept out.
#ifndef TORVANE_ENGINES_RECORD_STORE_H_
#define TORVANE_ENGINES_RECORD_STORE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "base/key_value_sink.h"
#include "base/file.h"
#include "base/string.h"
#include "base/wall_clock.h"

// Thread-safe: any thread may call any method; each call holds the store's
// own lock while it touches the tables (see BiginTranstion for holding it
// across several calls). Record numbers - the results of Find and Update and
// the argument of GetByIndexPtr - are positions in the store's index; they
// stay valid until the next Save, SanitaryAndSave, Load or Reset, which
// renumber the records.
class CDB_RAM {
 public:
  // One record. Owned by the store; callers only ever see borrowed pointers.
  // A save's snapshot shares the record (its key never changes) and the
  // value it held then: VALUE gives the record a new value block instead of
  // writing over the old one, so the snapshot is read without the lock.
  struct RECORD {
    RECORD() = default;
    RECORD(const RECORD&) = delete;
    RECORD& operator=(const RECORD&) = delete;

    // Replaces the value with a fresh copy of `len` bytes of `data` plus a
    // zero byte, so text values read as C strings. A `len` below 1 or a null
    // `data` leaves the record with no value.
    void VALUE(const void* data, int32_t len);
    // Frees the value.
    void DESTROY();

    int32_t time = 0;               // Unix seconds of the insertion or last timed Update
    String key;                     // never empty in a stored record
    int32_t len = 0;                // value bytes, 0 when there is no value
    std::shared_ptr<char[]> value;  // len + 1 bytes, or null when len is 0; never written in place
    int32_t index = 0;              // record number
    uint8_t deleted = 0;            // 1: invisible to Find, Query and Save
  };

  // Where a record number points: a bucket and a position in its list.
  struct INDICE {
    int16_t bucket = 0;
    int32_t pos = 0;
  };

  CDB_RAM() = default;
  // Frees the records; the file is not saved.
  virtual ~CDB_RAM();
  CDB_RAM(const CDB_RAM&) = delete;
  CDB_RAM& operator=(const CDB_RAM&) = delete;

  // Binds the store to the file "<application path>/<name>". An existing,
  // non-empty file must start with "DBK2.0" or "DBK1.0": the store becomes
  // valid, GetTypeDB gives 2 or 1 and GetRecordCount the announced count (a
  // negative or unbelievable one is taken as 0). A missing or empty file is
  // created holding an empty table. Records are not read (see Load).
  // Returns 1 on success; 0 for a null name, a foreign header (the file is
  // left untouched) or a file that cannot be read or created - the store then
  // stays invalid and Save does nothing.
  uint8_t Open(const char* name);

  // Replaces the records in memory by those of the file. Returns 0 and keeps
  // the records in memory when the store is not valid, the file cannot be
  // opened or it announces no records. Otherwise returns 1: the records are
  // read up to the announced count or to the first damaged, truncated or
  // out-of-bounds record, whichever comes first; the records before the
  // damage are kept.
  int32_t Load();

  // Drops deleted records from memory (renumbering the rest), then writes
  // the table to the file atomically: the new contents replace the old in
  // one step, so a failed Save leaves the previous file whole. Records whose
  // value is empty cannot be written and are dropped from memory as well.
  // The store's lock is held only while the table is snapshotted
  // (TakeImage); encoding, writing and syncing the file (WriteImage) leave
  // it free.
  // Returns 1 on success, 0 when the store is not valid or writing failed.
  int32_t Save();

  // The table at one moment, taken under the lock after the same compaction
  // Save does: each record shared with the store, with the time and value
  // it had then. `valid` is false when the store is not valid.
  struct Image {
    struct Entry {
      std::shared_ptr<const RECORD> record;  // for its key, which never changes
      std::shared_ptr<const char[]> value;   // the value at the snapshot
      int32_t time = 0;
      int32_t len = 0;
    };
    std::vector<Entry> records;  // in record-number order
    bool valid = false;
    std::string path;         // the file it is for
    uint64_t sequence = 0;    // order of the snapshots taken from this store
    uint64_t generation = 0;  // the change count the snapshot reflects
  };
  Image TakeImage();
  // Encodes `image` and replaces the file by it atomically. Saves are
  // written one at a time, and a snapshot older than one already written is
  // not written (the file holds newer contents; the result is 1). Returns 1
  // on success, 0 for an invalid image or when writing failed.
  int32_t WriteImage(const Image& image);
  // Saves when a record was inserted, updated or deleted, or the table
  // loaded or reset, since the last successful save. Changes made through
  // a GetByIndexPtr pointer are not seen. Returns 1 when it saved, 0 when
  // there was nothing to save or the save failed.
  int32_t SaveIfChanged();

  // Hygiene: marks deleted every record whose time is at or before
  // now - lifetime (SetTimeOfValidityRecord) and, when any was, saves.
  // Returns 1 when at least one record expired, else 0 (also when no
  // lifetime is set or the store is empty).
  int32_t SanitaryAndSave();

  // Adds a record holding a copy of `len` bytes of `data`, timed now.
  // Returns 1, or -1 for a null, empty or over-long key, a null `data`, a
  // `len` outside 1..kMaxValueBytes, or - when `allowDuplicate` is 0 - a key
  // already held by a live record. The duplicate test and the insertion are
  // one step: two threads inserting the same key cannot both succeed.
  int32_t Insert(const char* key, const void* data, int32_t len, int32_t allowDuplicate);

  // Replaces the value of the first live record holding `key` (a `len` below
  // 1 removes the value) and, unless `keepTime` is non-zero, sets its time
  // to now. Returns its record number, or -1 for a null or over-long key, a
  // null `data`, a `len` above kMaxValueBytes, or no such record.
  int32_t Update(const char* key, const void* data, int32_t len, int32_t keepTime);

  // Marks the first live record holding `key` deleted; memory is reclaimed
  // by the next Save. Returns 1, or -1 when no live record holds `key`.
  int32_t Delete(const char* key);
  // Marks deleted the `count` live records with the oldest times (all of
  // them when there are fewer; ties in any order). Returns how many it
  // marked: 0 for a count below 1.
  int32_t DropOldest(int32_t count);

  // Returns the record number of the first live record (in bucket order)
  // whose key equals `key` byte for byte. When there is none and `mode` is 1,
  // every stored key is taken as a caseless regular expression and the first
  // live record whose pattern matches `key` wins. -1 when nothing matches.
  int32_t Find(const char* key, int32_t mode);

  // The record with number `n`, or null when there is none. The record stays
  // owned by the store; the pointer is valid until the next Save,
  // SanitaryAndSave, Load or Reset, and its fields may be changed by a
  // concurrent Update - hold BiginTranstion while reading them when other
  // threads may write.
  RECORD* GetByIndexPtr(int32_t n);

  // The first live record holding `key` byte for byte, or null: Find and
  // GetByIndexPtr in one step, with the same validity rules for the pointer.
  RECORD* GetByKeyPtr(std::string_view key);

  // Empties `array`, then adds key -> value (as text: up to the value's first
  // zero byte) for every live record selected, in bucket order:
  //  - `pattern` non-empty, `allBuckets` 0: records whose key equals
  //    `pattern` (byValue 0) or whose value equals it (byValue non-zero);
  //  - `pattern` non-empty, `allBuckets` 1: records whose key (byValue 0) or
  //    non-empty value (byValue non-zero) the caseless regular expression
  //    `pattern` matches;
  //  - otherwise every live record.
  // Returns 0 when `array` is null, else 1. `array` is called with the
  // store's lock held: it must not call back into this store.
  int32_t Query(const char* pattern, KeyValueSink* array, int32_t allBuckets, int32_t byValue);

  // Calls `visit` for every live record in record-number order, all under
  // the store's lock (`visit` must not call back into this store), and
  // returns the change count (GetGeneration) the walk saw.
  uint64_t ForEachLive(const std::function<void(const RECORD&)>& visit);
  // Inserts, updates, deletions, loads and resets since construction: a
  // reader holding a copy of the table compares it to know the copy is stale.
  uint64_t GetGeneration();

  // Text forms for scripts: 0 for a null key, a null or empty text, or when
  // Insert/Update (with the text's length) returns -1; else 1.
  int32_t CSInsert(const char* key, const char* text, int32_t allowDuplicate);
  int32_t CSUpdate(const char* key, const char* text, int32_t keepTime);

  // Frees every record; counts become 0. The file is untouched.
  void Reset();
  // Closes the file if a Load or Save left it open (neither does).
  void Close();

  // A store that is not writable keeps its changes in memory only: Save
  // (and the save of SanitaryAndSave) then writes nothing and gives 0. Used
  // by owners that must not overwrite another writer's file. Writable by
  // default; may be changed from any thread.
  void SetWritable(bool writable) { writable_ = writable; }
  bool Writable() const { return writable_; }

  // Records live `value` x `unit` seconds (unit: seconds in one unit, e.g.
  // 60 for minutes). Both 0, the initial state, means they never expire.
  void SetTimeOfValidityRecord(int32_t value, int32_t unit);
  // now - value x unit when `past` is non-zero, else now + value x unit, in
  // Unix seconds.
  static int32_t GetTimeUNIX(int32_t past, int32_t value, int32_t unit);

  // The clock behind record times and expiry: the system clock unless a
  // test sets another. REQUIRES: set before the store is shared.
  void SetClock(WallClock clock) { clock_ = clock; }
  // Seconds since 1970 by the store's clock.
  int32_t Now() const { return static_cast<int32_t>(clock_()); }

  // Records in the index, deleted ones included (renumbered by Save).
  int32_t GetRecordCount();
  // GetRecordCount minus the records deleted since the last Save.
  int32_t GetRealRecordCount();
  // File format version: 1 or 2 as found by Open, 2 once Save has written
  // the file, 0 before a successful Open.
  int32_t GetTypeDB();
  // The lifetime's value and unit as set by SetTimeOfValidityRecord.
  int32_t GetVauleTime();
  int32_t GetVaule_smhdMy();

  // Holds the store's lock across several calls, so a caller can find,
  // read and change records as one step. Calls made by the holding thread
  // in between do not lock again. REQUIRES: BiginTranstion is not nested,
  // and EndTransation is called by the same thread.
  void BiginTranstion();
  void EndTransation();
  // Kept for callers that announce a transaction; nothing to wait for.
  void WaitForTransation() {}

 private:
  // Takes lock_ for a scope, unless the calling thread holds a transaction.
  class Hold;

  // The first live record holding a key, and how many live records hold it;
  // records with one key always share a bucket, so "first" is the earliest
  // position in that bucket's list.
  struct KeyEntry {
    RECORD* first = nullptr;
    int32_t live = 0;
  };
  // Lets the key index be searched with a string_view, without a copy.
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
  };
  using Bucket = std::vector<std::shared_ptr<RECORD>>;

  // All of these REQUIRE lock_ to be held.
  RECORD* FindExact(std::string_view key);
  RECORD* FindPattern(const char* subject);
  RECORD* RecordAt(int32_t n);
  uint8_t ReadHeader();
  void Append(std::shared_ptr<RECORD> record);
  void MarkDeleted(RECORD* record);
  void ForgetKey(RECORD* record, const Bucket& list, size_t pos);
  void DropUnwritable();
  // REQUIRES: no deleted or unwritable record is left (DropUnwritable).
  void RenumberAndSnapshot(std::vector<Image::Entry>* out);
  void NoteChange() { ++generation_; }
  void DestroyRecord();

  // Guarded by lock_.
  String path_;                        // "<application path>/<name>"
  CKFile file_;                        // open only inside Open and Load
  int32_t count_ = 0;                  // records in index_list_ (or announced by Open)
  int32_t deleted_count_ = 0;          // records deleted since the last compaction
  int32_t emptied_values_ = 0;         // values emptied by Update since then
  uint8_t valid_ = 0;                  // 1 after a successful Open
  std::atomic<int32_t> type_db_{0};    // format version found by Open or written
  int32_t validity_value_ = 0;         // lifetime, in units; 0 with unit 0: no expiry
  int32_t validity_unit_ = 0;          // seconds in one unit
  std::map<int16_t, Bucket> buckets_;  // ascending bucket key: the table's order
  std::vector<INDICE> index_list_;     // record number -> where the record is
  std::unordered_map<std::string, KeyEntry, KeyHash, std::equal_to<>> by_key_;  // live keys

  uint64_t generation_ = 0;            // changes since construction
  uint64_t image_sequence_ = 0;        // images taken

  WallClock clock_ = SystemWallClock;  // set before sharing, then read-only
  std::atomic<bool> writable_{true};

  // The file is replaced by one image at a time. Taken after lock_ when
  // both are held (a Save inside a transaction), never before it.
  std::mutex write_lock_;
  // Guarded by write_lock_ (and read without it by SaveIfChanged).
  uint64_t written_sequence_ = 0;                 // the newest image in the file
  size_t last_image_bytes_ = 0;                   // size of the last file written
  std::atomic<uint64_t> saved_generation_{0};     // the generation the file holds

  // Kept by the thread inside BiginTranstion/EndTransation.
  ThreadHeldLock lock_;
};

#endif  // TORVANE_ENGINES_RECORD_STORE_H_
