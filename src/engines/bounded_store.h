// bounded_store - BoundedStore, the record store under the greylist and the
// auto light white list. Both keep one record per address triple or pair,
// and strangers can make up addresses at will, so the table has a size cap
// (the oldest records make room), addresses a length limit, and keys are
// derived from the stored values (so files written with older keys are
// re-keyed when loaded). Both offer the same paged, filtered listing to the
// administration scripts. Also the address clean-up both apply.
#ifndef TORVANE_ENGINES_BOUNDED_STORE_H_
#define TORVANE_ENGINES_BOUNDED_STORE_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/key_value_sink.h"
#include "base/string.h"
#include "base/xml_log.h"
#include "engines/record_store.h"

// Thread-safe as CDB_RAM: every method holds the store's lock (or its
// transaction) while it touches records.
class BoundedStore : public CDB_RAM {
 public:
  // Longest address stored: a 64-byte local part, "@" and a 255-byte
  // domain. Anything longer is no real address and is not learned.
  static constexpr size_t kMaxAddressBytes = 320;
  // When the store is full, one scan of the table drops this share of the
  // cap (1 / kEvictionDivisor) at once, so the scan is paid once per many
  // insertions rather than once per insertion.
  static constexpr int32_t kEvictionDivisor = 100;
  // Records a listing returns when asked for fewer than one.
  static constexpr int32_t kDefaultViewCount = 100;
  // Separator of the fields of a stored value.
  static constexpr char kFieldSeparator = '\x02';

  ~BoundedStore() override = default;

  // Live records allowed; 0 (the initial value) or less: no cap.
  void SetMaxRecords(int32_t max_records) { max_records_.store(max_records); }
  int32_t GetMaxRecords() const { return max_records_.load(); }

  // What the store logged (records dropped to make room), for the owner to
  // merge into its own log.
  CLogSimple& GetLog() { return log_; }

 protected:
  // `engine` names the derived class in log records. Nothing is opened.
  explicit BoundedStore(const char* engine) : engine_(engine) {}

  // Holds the store's transaction for a scope.
  class Transaction {
   public:
    explicit Transaction(BoundedStore& store) : store_(store) { store_.BiginTranstion(); }
    ~Transaction() { store_.EndTransation(); }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

   private:
    BoundedStore& store_;
  };

  // The key a record with `value` must have; "" when the value cannot be
  // read (the record then keeps its key).
  virtual String KeyOfValue(std::string_view value) const = 0;

  // Opens `file` under the application path ("db/" made when missing) and,
  // when it opened, LoadRekeyed. REQUIRES: called once, from the derived
  // constructor (KeyOfValue must be callable).
  void OpenFile(const char* file);
  // Load, then give every record whose key is not KeyOfValue(its value)
  // that key, keeping its time (a record whose new key is taken already is
  // dropped). Returns Load's result.
  int32_t LoadRekeyed();

  // The live record holding `key`, or null. REQUIRES: a Transaction.
  RECORD* FindLive(const String& key);
  // Inserts `key` -> `value` timed now, unless a live record holds `key`.
  // When the store holds the cap or more, the oldest records are dropped
  // first (logged). Returns 1 when inserted, 0 when the key was present,
  // -1 when the store refused the record. REQUIRES: a Transaction.
  int32_t InsertBounded(const String& key, std::string_view value);

  // A page of the table for the administration scripts: live records in
  // record-number order, those taken numbered from 1; the numbers start + 1
  // to start + count are added to `array` with the key as element key and
  // "<time>" followed by `fields` value fields, each after a 0x02, and a
  // final 0x02 as element value. `count` below 1 means kDefaultViewCount, a
  // negative `start` 0. With a non-empty `filter` (a caseless regular
  // expression) a record is taken only when it matches the key (mode 0) or
  // value field mode - 1 (mode 1 to `fields`); other modes take every
  // record. Returns 0 for a null array, else 1.
  int32_t View(KeyValueSink* array, int32_t count, int32_t start, const char* filter, int32_t mode,
               int32_t fields);

 private:
  // Drops the oldest records so one more fits under `cap`, and logs it.
  void MakeRoom(int32_t cap);

  const char* engine_;
  std::atomic<int32_t> max_records_{0};
  CLogSimple log_;  // own lock
};

// ---- Address text shared by the greylist and the white list

// `text` with every byte below 0x20 replaced by '?': stored fields are
// separated by such bytes, so an address must never hold one.
std::string WithoutControlBytes(std::string_view text);
// `address` without a leading bounce address tag: "prvs=", a tag of at
// least one byte, "=", then at least one byte before an "@" ("prvs=1a2b=
// bob@example.com" gives "bob@example.com"). Compared caselessly; any other
// text is returned whole.
std::string_view WithoutBounceTag(std::string_view address);
// ASCII letters lower-cased: keys ignore the case of addresses.
std::string LowerCase(std::string_view text);
// The fields of `value` separated by 0x02, at most `max_fields` (the last
// one keeps any further separators).
std::vector<std::string_view> SplitFields(std::string_view value, size_t max_fields);
// The words of `list` separated by `separator`, empty ones skipped.
std::vector<std::string_view> SplitWords(std::string_view list, char separator);

#endif  // TORVANE_ENGINES_BOUNDED_STORE_H_
