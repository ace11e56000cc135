// record_store_test - the record store: index, file, lookups, hygiene and threads.
#include "engines/record_store.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>

#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/utility.h"
#include "common/scratch_dir.h"

namespace {

// A record as the file holds it.
struct FileRecord {
  int32_t time;
  std::string key;
  std::string value;
  bool operator==(const FileRecord&) const = default;
};

// The file's integers are little-endian, as this machine's are.
std::string Int32Bytes(int32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

// One record with the given length fields (which may lie about the bytes).
std::string RawRecord(int32_t time, int32_t key_len, int32_t value_len, const std::string& key,
                      const std::string& value) {
  return Int32Bytes(time) + Int32Bytes(key_len) + Int32Bytes(value_len) + key + value;
}

std::string RecordBytes(const FileRecord& r) {
  return RawRecord(r.time, static_cast<int32_t>(r.key.size()), static_cast<int32_t>(r.value.size()),
                   r.key, r.value);
}

std::string StoreBytes(const std::string& magic, int32_t count,
                       const std::vector<FileRecord>& records) {
  std::string out = magic + Int32Bytes(count);
  for (const FileRecord& r : records) out += RecordBytes(r);
  return out;
}

// The value of record `r`; "<none>" when there is no record.
std::string ValueOf(const CDB_RAM::RECORD* r) {
  if (r == nullptr) return "<none>";
  return r->value ? std::string(r->value.get(), r->len) : "";
}

// The live records in record-number order; checks that each knows its number.
std::vector<FileRecord> LiveRecords(CDB_RAM& db) {
  std::vector<FileRecord> records;
  for (int32_t n = 0; n < db.GetRecordCount(); ++n) {
    CDB_RAM::RECORD* r = db.GetByIndexPtr(n);
    EXPECT_NE(r, nullptr) << "record " << n;
    if (r == nullptr) continue;
    EXPECT_EQ(r->index, n);
    if (!r->deleted) records.push_back({r->time, std::string(r->key.View()), ValueOf(r)});
  }
  return records;
}

std::vector<std::string> KeysOf(const std::vector<FileRecord>& records) {
  std::vector<std::string> keys;
  for (const FileRecord& r : records) keys.push_back(r.key);
  return keys;
}

class CollectingSink : public KeyValueSink {
 public:
  void Clear() override { pairs.clear(); }
  void Add(const char* key, const char* value, size_t value_len) override {
    EXPECT_EQ(value[value_len], '\0');
    pairs.emplace_back(key, std::string(value, value_len));
  }
  std::vector<std::pair<std::string, std::string>> pairs;
};

int32_t Insert(CDB_RAM& db, const std::string& key, const std::string& value,
               int32_t allow_duplicate = 0) {
  return db.Insert(key.c_str(), value.data(), static_cast<int32_t>(value.size()), allow_duplicate);
}

int32_t Now() { return static_cast<int32_t>(GetTimeNow()); }

class CDB_RAMTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& contents) { return dir_.Put("t.db", contents); }
  std::string Contents() { return ScratchDir::Contents(dir_.File("t.db")); }

  // Opens "t.db" and loads it; the result is Load's.
  int32_t OpenAndLoad(CDB_RAM& db) {
    EXPECT_EQ(db.Open("t.db"), 1);
    return db.Load();
  }
  // The records a fresh store loads from "t.db" (the byte layout is pinned by the old-format test).
  std::vector<FileRecord> Saved() {
    CDB_RAM db;
    EXPECT_EQ(OpenAndLoad(db), 1);
    return LiveRecords(db);
  }

  ScratchAppDir dir_;
};

// ---- Opening and the file header --------------------------------------------

// Open creates a missing or empty file and reads the count a header announces; a foreign file is refused,
// and then nothing loads and nothing is saved over it.
TEST_F(CDB_RAMTest, OpenCreatesReadsOrRefuses) {
  const std::string created = std::string("DBK2.0") + Int32Bytes(0);
  struct Case {
    const char* name;
    std::optional<std::string> before;  // none: no file
    bool created;
    int32_t open_result;
    int32_t count;
  } cases[] = {
      {"missing", std::nullopt, true, 1, 0},
      {"empty", "", true, 1, 0},
      {"announced five", StoreBytes("DBK2.0", 5, {}), false, 1, 5},
      {"negative count", StoreBytes("DBK2.0", -3, {}), false, 1, 0},
      {"unfinished count", StoreBytes("DBK2.0", 0x7FFFFFFF, {}), false, 1, 0},
      {"foreign version", StoreBytes("DBK3.0", 0, {}), false, 0, 0},
      {"shorter than the magic", "DB", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_.File("t.db"));
    if (c.before) Put(*c.before);
    const std::string after_open = c.created ? created : *c.before;
    CDB_RAM db;
    EXPECT_EQ(db.Open("t.db"), c.open_result);
    EXPECT_EQ(Contents(), after_open);
    EXPECT_EQ(db.GetRecordCount(), c.count);
    if (c.open_result == 0) {
      EXPECT_EQ(db.Load(), 0);
      ASSERT_EQ(Insert(db, "k", "v"), 1);
      EXPECT_EQ(db.Save(), 0);
      EXPECT_EQ(Contents(), after_open);
    }
  }
  CDB_RAM db;
  EXPECT_EQ(db.Open(nullptr), 0);
  EXPECT_EQ(db.Open("no-such-dir/t.db"), 0);
}

// An old-format file loads with its times and duplicates, and is saved in the current format.
TEST_F(CDB_RAMTest, VersionOneFileLoadsAndIsSavedAsVersionTwo) {
  std::vector<FileRecord> records = {{100, "a", "1"}, {200, "a", "2"}, {300, "b", "3"}};
  Put(StoreBytes("DBK1.0", 3, records));
  CDB_RAM db;
  EXPECT_EQ(OpenAndLoad(db), 1);
  EXPECT_EQ(db.GetTypeDB(), 1);
  EXPECT_EQ(LiveRecords(db), records);
  EXPECT_EQ(db.Save(), 1);
  EXPECT_EQ(db.GetTypeDB(), 2);
  EXPECT_EQ(Contents(), StoreBytes("DBK2.0", 3, records));
}

// ---- Round trips --------------------------------------------------------------

TEST_F(CDB_RAMTest, SaveWritesBucketOrderAndLoadRestoresIt) {
  // Buckets by first byte: '0' 48, '?' 63 (and 0xC1 -> |-63|), 'A' 65,
  // 'a' 97, 0x7F 127, 0x80 -> 128. Inside a bucket: insertion order.
  std::string binary("b\0i\0n", 5);
  std::vector<std::pair<std::string, std::string>> inserted = {
      {"a", "1"},     {"\x80z", "2"}, {"?q", "3"},    {"A1", binary},
      {"\xC1x", "5"}, {"0", "6"},     {"\x7Fy", "7"}, {"?b", "8"}};
  CDB_RAM db;
  ASSERT_EQ(db.Open("t.db"), 1);
  for (const auto& [key, value] : inserted) ASSERT_EQ(Insert(db, key, value), 1) << key;
  ASSERT_EQ(db.Save(), 1);

  const std::vector<FileRecord> file = Saved();
  EXPECT_EQ(KeysOf(file), (std::vector<std::string>{"0", "?q", "\xC1x", "?b", "A1", "a", "\x7Fy", "\x80z"}));
  EXPECT_EQ(file[4].value, binary);
  EXPECT_EQ(LiveRecords(db), file) << "memory renumbered in file order";
  EXPECT_EQ(db.GetByIndexPtr(4)->value[5], '\0') << "values carry a trailing zero byte";
}

// ---- Damaged and hostile files ---------------------------------------------------

TEST_F(CDB_RAMTest, DamagedFileKeepsTheRecordsBeforeTheDamage) {
  const FileRecord r1{11, "k1", "v1"}, r2{22, "k2", "v2"}, r3{33, "k3", "value3"};
  const std::string good = RecordBytes(r1) + RecordBytes(r2);
  const std::string third = RecordBytes(r3);
  auto file = [](int32_t count, const std::string& records) {
    return "DBK2.0" + Int32Bytes(count) + records;
  };
  // A bad second record between two good ones.
  auto bad = [&](const std::string& record) { return file(3, RecordBytes(r1) + record + third); };
  struct Case {
    const char* name;
    std::string contents;
    int32_t load_result;
    std::vector<std::string> keys;  // after Load; "keep" was there before
  } cases[] = {
      {"cut in the fixed part", file(3, good + third.substr(0, 6)), 1, {"k1", "k2"}},
      {"cut in the key", file(3, good + third.substr(0, 13)), 1, {"k1", "k2"}},
      {"cut in the value", file(3, good + third.substr(0, third.size() - 2)), 1, {"k1", "k2"}},
      {"key length 0", bad(RawRecord(5, 0, 2, "", "vv")), 1, {"k1"}},
      {"value length over the limit", bad(RawRecord(5, 2, 32769, "kk", "vv")), 1, {"k1"}},
      {"key begins with a zero", bad(RawRecord(5, 2, 2, std::string("\0k", 2), "vv")), 1, {"k1"}},
      {"key ends at its first zero", bad(RawRecord(5, 3, 2, std::string("k\0k", 3), "vv")), 1, {"k1", "k", "k3"}},
      {"count below the records", file(2, good + third), 1, {"k1", "k2"}},
      {"negative count", file(-1, good + third), 0, {"keep"}},
      {"header cut short", "DBK2.0" + std::string("\x01\x00", 2), 0, {"keep"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put(c.contents);
    CDB_RAM db;
    ASSERT_EQ(db.Open("t.db"), 1);
    ASSERT_EQ(Insert(db, "keep", "x"), 1);
    EXPECT_EQ(db.Load(), c.load_result);
    EXPECT_EQ(KeysOf(LiveRecords(db)), c.keys);
    EXPECT_EQ(db.GetRecordCount(), static_cast<int32_t>(c.keys.size()));
    for (const std::string& key : c.keys) EXPECT_NE(db.Find(key.c_str(), 0), -1) << key;
  }
}

// Heap bytes glibc has handed out (0 under the sanitizers: the check bites in the plain build).
int64_t HeapBytesInUse() {
  struct mallinfo2 info = mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

TEST_F(CDB_RAMTest, HugeAnnouncedCountAllocatesOnlyForRecordsPresent) {
  Put(StoreBytes("DBK2.0", 2000000000, {{1, "a", "1"}, {2, "b", "2"}, {3, "c", "3"}}));
  CDB_RAM db;
  ASSERT_EQ(db.Open("t.db"), 1);
  int64_t before = HeapBytesInUse();
  EXPECT_EQ(db.Load(), 1);
  EXPECT_LT(HeapBytesInUse() - before, 1 << 20);
  EXPECT_EQ(db.GetRecordCount(), 3);
}

// ---- Saving ------------------------------------------------------------------------

TEST_F(CDB_RAMTest, FailedSaveLeavesTheOldFileWhole) {
  CDB_RAM db;
  ASSERT_EQ(db.Open("t.db"), 1);
  ASSERT_EQ(Insert(db, "old", "1"), 1);
  ASSERT_EQ(db.Save(), 1);
  const std::string saved = Contents();
  ASSERT_EQ(Insert(db, "new", "2"), 1);
  // A directory where the temporary file should go: it cannot be created.
  ASSERT_EQ(mkdir(dir_.File("t.db.tmp").c_str(), 0755), 0);
  EXPECT_EQ(db.Save(), 0);
  EXPECT_EQ(Contents(), saved);
  ASSERT_EQ(rmdir(dir_.File("t.db.tmp").c_str()), 0);
  EXPECT_EQ(db.Save(), 1);
  EXPECT_EQ(KeysOf(Saved()), (std::vector<std::string>{"new", "old"}));
}

// Deleted and emptied records are hidden or kept until the next save drops them and renumbers the rest.
TEST_F(CDB_RAMTest, DeleteHidesNowAndSaveRemoves) {
  CDB_RAM db;
  ASSERT_EQ(db.Open("t.db"), 1);
  for (const char* key : {"a", "b", "c"}) ASSERT_EQ(Insert(db, key, "v"), 1);
  ASSERT_EQ(Insert(db, "c", "second", 1), 1);
  EXPECT_EQ(db.Delete("b"), 1);
  EXPECT_EQ(db.Delete("b"), -1);
  EXPECT_EQ(db.Find("b", 0), -1);
  EXPECT_EQ(db.Update("c", "", 0, 0), 2);
  EXPECT_EQ(db.GetByIndexPtr(2)->value, nullptr);
  EXPECT_EQ(db.Find("c", 0), 2) << "an emptied record stays until saved";
  EXPECT_EQ(db.GetRecordCount(), 4);
  EXPECT_EQ(db.GetRealRecordCount(), 3);
  ASSERT_EQ(db.Save(), 1);
  EXPECT_EQ(KeysOf(Saved()), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(db.GetRealRecordCount(), 2);
  EXPECT_EQ(ValueOf(db.GetByIndexPtr(db.Find("c", 0))), "second");
  EXPECT_EQ(db.GetByIndexPtr(2), nullptr);
}

TEST_F(CDB_RAMTest, ResetEmptiesMemoryOnly) {
  CDB_RAM db;
  ASSERT_EQ(db.Open("t.db"), 1);
  ASSERT_EQ(Insert(db, "a", "1"), 1);
  ASSERT_EQ(db.Save(), 1);
  const std::string saved = Contents();
  ASSERT_EQ(db.Delete("a"), 1);
  db.Reset();
  EXPECT_EQ(db.GetRecordCount(), 0);
  EXPECT_EQ(db.GetRealRecordCount(), 0);
  EXPECT_EQ(db.Find("a", 0), -1);
  EXPECT_EQ(Contents(), saved);
  EXPECT_EQ(db.Load(), 1);
  EXPECT_EQ(db.Find("a", 0), 0);
}

// ---- Inserting and updating ----------------------------------------------------------

TEST_F(CDB_RAMTest, InsertAndUpdateRefuseBadArguments) {
  const std::string longest_key(32768, 'k'), too_long_key(32769, 'k');
  const std::string longest_value(32768, 'v');
  CDB_RAM db;
  struct Case {
    const char* name;
    const char* key;
    const void* data;
    int32_t len;
    int32_t insert_result;
  } cases[] = {
      {"null key", nullptr, "v", 1, -1},
      {"empty key", "", "v", 1, -1},
      {"no value", "k", "v", 0, -1},
      {"value over the limit", "k", longest_value.data(), 32769, -1},
      {"key over the limit", too_long_key.c_str(), "v", 1, -1},
      {"longest key", longest_key.c_str(), "v", 1, 1},
      {"longest value", "k", longest_value.data(), 32768, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(db.Insert(c.key, c.data, c.len, 1), c.insert_result);
  }
  EXPECT_EQ(db.GetRecordCount(), 2);
  EXPECT_EQ(db.Update(nullptr, "v", 1, 0), -1);
  EXPECT_EQ(db.Update("k", longest_value.data(), 32769, 0), -1);
  EXPECT_EQ(db.Update(too_long_key.c_str(), "v", 1, 0), -1);
  EXPECT_EQ(db.Update("missing", "v", 1, 0), -1);
  EXPECT_EQ(db.Update(longest_key.c_str(), "w", 1, 0), 0);
}

TEST_F(CDB_RAMTest, DuplicatesOnlyWhenAllowedAndFirstWins) {
  CDB_RAM db;
  EXPECT_EQ(Insert(db, "k", "1"), 1);
  EXPECT_EQ(Insert(db, "k", "2"), -1);
  EXPECT_EQ(Insert(db, "k", "2", 1), 1);
  EXPECT_EQ(db.Update("k", "one", 3, 0), 0);
  EXPECT_EQ(ValueOf(db.GetByIndexPtr(0)), "one") << "Update changes the first";
  EXPECT_EQ(db.Delete("k"), 1);
  EXPECT_EQ(db.Find("k", 0), 1) << "the next duplicate takes over";
  EXPECT_EQ(db.Delete("k"), 1);
  EXPECT_EQ(Insert(db, "k", "4"), 1) << "no live duplicate any more";
  EXPECT_EQ(db.Find("k", 0), 2);
}

TEST_F(CDB_RAMTest, UpdateReplacesValueAndTimeUnlessKept) {
  Put(StoreBytes("DBK2.0", 2, {{1000, "a", "old"}, {2000, "b", "old"}}));
  CDB_RAM db;
  ASSERT_EQ(OpenAndLoad(db), 1);
  int32_t before = Now();
  EXPECT_EQ(db.Update("a", "new-a", 5, 1), 0);
  EXPECT_EQ(db.Update("b", "new-b", 5, 0), 1);
  const CDB_RAM::RECORD* a = db.GetByIndexPtr(0);
  const CDB_RAM::RECORD* b = db.GetByIndexPtr(1);
  EXPECT_EQ(ValueOf(a), "new-a");
  EXPECT_EQ(a->value[5], '\0');
  EXPECT_EQ(a->time, 1000);
  EXPECT_EQ(ValueOf(b), "new-b");
  EXPECT_GE(b->time, before);
}

TEST_F(CDB_RAMTest, TextFormsForScripts) {
  CDB_RAM db;
  EXPECT_EQ(db.CSInsert("k", "", 0), 0);
  EXPECT_EQ(db.CSInsert("k", "text", 0), 1);
  EXPECT_EQ(db.CSInsert("k", "again", 0), 0);
  EXPECT_EQ(db.CSInsert("k", "again", 1), 1);
  EXPECT_EQ(db.GetByIndexPtr(0)->len, 4) << "length without the terminator";
  EXPECT_EQ(db.CSUpdate("k", "", 0), 0);
  EXPECT_EQ(db.CSUpdate("missing", "x", 0), 0);
  EXPECT_EQ(db.CSUpdate("k", "changed", 0), 1);
  EXPECT_EQ(ValueOf(db.GetByIndexPtr(0)), "changed");
}

// ---- Lookups ---------------------------------------------------------------------

TEST_F(CDB_RAMTest, FindByPatternTakesStoredKeysAsCaselessPatterns) {
  CDB_RAM db;
  ASSERT_EQ(Insert(db, "^mail\\.", "m"), 1);
  ASSERT_EQ(Insert(db, "^smtp", "s"), 1);
  ASSERT_EQ(Insert(db, "[", "bad pattern"), 1);
  ASSERT_EQ(Insert(db, "smtp", "exact"), 1);  // bucket 's' comes after '^'
  struct Case {
    const char* query;
    int32_t mode;
    int32_t expected;
  } cases[] = {
      {"SMTP relay", 1, 1},   // no exact key: the second pattern matches, caselessly
      {"SMTP relay", 0, -1},  // patterns only in mode 1
      {"smtp", 1, 3},         // an exact key comes before any pattern
      {"Mail.example", 1, 0},
      {"mailbox", 1, -1},  // "." is escaped in the stored pattern
      {"", 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(db.Find(c.query, c.mode), c.expected);
  }
  EXPECT_EQ(db.Find(nullptr, 1), -1);
  ASSERT_EQ(db.Delete("^smtp"), 1);
  EXPECT_EQ(db.Find("SMTP relay", 1), 3) << "a deleted pattern is passed over";
}

TEST_F(CDB_RAMTest, QueryModes) {
  CDB_RAM db;
  ASSERT_EQ(Insert(db, "mail.a", "v1"), 1);
  ASSERT_EQ(Insert(db, "Mail.B", "v2"), 1);
  ASSERT_EQ(Insert(db, "smtp", "v1"), 1);
  ASSERT_EQ(Insert(db, "mail.a", std::string("v3\0tail", 7), 1), 1);
  ASSERT_EQ(Insert(db, "v-key", "v1"), 1);
  ASSERT_EQ(Insert(db, "gone", "v1"), 1);
  ASSERT_EQ(db.Delete("gone"), 1);
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  const Pairs all = {
      {"Mail.B", "v2"}, {"mail.a", "v1"}, {"mail.a", "v3"}, {"smtp", "v1"}, {"v-key", "v1"}};
  struct Case {
    const char* pattern;
    int32_t all_buckets;
    int32_t by_value;
    Pairs expected;
  } cases[] = {
      {"mail.a", 0, 0, {{"mail.a", "v1"}, {"mail.a", "v3"}}},
      {"MAIL.A", 0, 0, {}},             // exact keys are case-sensitive
      {"v1", 0, 1, {{"v-key", "v1"}}},  // by value, but only in the pattern's bucket
      {"v", 0, 1, {}},                  // the whole value must be equal
      {"^mail\\.", 1, 0, {{"Mail.B", "v2"}, {"mail.a", "v1"}, {"mail.a", "v3"}}},
      {"^V[13]", 1, 1, {{"mail.a", "v1"}, {"mail.a", "v3"}, {"smtp", "v1"}, {"v-key", "v1"}}},
      {nullptr, 1, 1, all},
      {"mail.a", 2, 0, all},
  };
  CollectingSink sink;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << (c.pattern ? c.pattern : "(null)") << " " << c.all_buckets << c.by_value);
    sink.pairs = {{"stale", "x"}};
    EXPECT_EQ(db.Query(c.pattern, &sink, c.all_buckets, c.by_value), 1);
    EXPECT_EQ(sink.pairs, c.expected);
  }
  EXPECT_EQ(db.Query("mail.a", nullptr, 0, 0), 0);
}

// ---- Hygiene ---------------------------------------------------------------------

// A fixed instant for the stores' clock seam.
constexpr int32_t kFixedNow = 1700000000;

TEST_F(CDB_RAMTest, SanitaryAndSaveDropsRecordsPastTheirLifetime) {
  const int32_t lifetime = 2 * 86400;
  Put(StoreBytes("DBK2.0", 4,
                 {{kFixedNow - 10, "fresh", "1"},
                  {kFixedNow - lifetime, "at-threshold", "2"},
                  {kFixedNow - lifetime - 5, "older", "3"},
                  {kFixedNow - lifetime + 100, "almost", "4"}}));
  CDB_RAM db;
  db.SetClock([] { return time_t{kFixedNow}; });
  ASSERT_EQ(OpenAndLoad(db), 1);
  EXPECT_EQ(db.SanitaryAndSave(), 0) << "no lifetime set";
  db.SetTimeOfValidityRecord(2, 86400);
  EXPECT_EQ(db.SanitaryAndSave(), 1);
  EXPECT_EQ(KeysOf(Saved()), (std::vector<std::string>{"almost", "fresh"}));
  EXPECT_EQ(KeysOf(LiveRecords(db)), (std::vector<std::string>{"almost", "fresh"}));
  EXPECT_EQ(db.Find("older", 0), -1);
  EXPECT_EQ(db.SanitaryAndSave(), 0) << "nothing left to expire";
  ASSERT_EQ(db.Insert("new", "5", 1, 0), 1);
  EXPECT_EQ(db.GetByIndexPtr(db.Find("new", 0))->time, kFixedNow) << "stamped by the store's clock";
  db.Reset();
  EXPECT_EQ(db.SanitaryAndSave(), 0) << "empty store";
}

TEST_F(CDB_RAMTest, GetTimeUNIXCountsBothWays) {
  const int32_t before = Now(), past = CDB_RAM::GetTimeUNIX(1, 3, 60), future = CDB_RAM::GetTimeUNIX(0, 3, 60);
  const int32_t after = Now();
  EXPECT_TRUE(past >= before - 180 && past <= after - 180) << past - before;
  EXPECT_TRUE(future >= before + 180 && future <= after + 180) << future - before;
}

// Only a changed table is saved again, and an older snapshot never replaces a newer file.
TEST_F(CDB_RAMTest, SavesWhatChangedAndNeverAnOlderCopy) {
  Put(StoreBytes("DBK2.0", 1, {{1, "a", "1"}}));
  CDB_RAM db;
  ASSERT_EQ(OpenAndLoad(db), 1);
  EXPECT_EQ(db.SaveIfChanged(), 0) << "as loaded";
  for (auto change : {+[](CDB_RAM& d) { Insert(d, "b", "2"); }, +[](CDB_RAM& d) { d.Update("b", "3", 1, 1); },
                      +[](CDB_RAM& d) { d.Delete("a"); }}) {
    change(db);
    EXPECT_EQ(db.SaveIfChanged(), 1);
    EXPECT_EQ(db.SaveIfChanged(), 0);
  }
  EXPECT_EQ(Saved(), LiveRecords(db));

  const CDB_RAM::Image older = db.TakeImage();
  Insert(db, "c", "4");
  EXPECT_EQ(db.Save(), 1);
  EXPECT_EQ(db.WriteImage(older), 1);
  EXPECT_EQ(KeysOf(Saved()), (std::vector<std::string>{"b", "c"}));
}

// A save writes the table as it was when its snapshot was taken, whatever follows.
TEST_F(CDB_RAMTest, SnapshotIsWrittenAsTaken) {
  CDB_RAM db;
  db.SetClock([] { return time_t{kFixedNow}; });
  ASSERT_EQ(db.Open("t.db"), 1);
  Insert(db, "a", "first");
  Insert(db, "b", "kept");
  const CDB_RAM::Image image = db.TakeImage();
  db.Update("a", "changed", 7, 0);
  db.Delete("b");
  db.TakeImage();  // compacts: "b" is freed by the store
  db.Reset();
  EXPECT_EQ(db.WriteImage(image), 1);
  EXPECT_EQ(Saved(), (std::vector<FileRecord>{{kFixedNow, "a", "first"}, {kFixedNow, "b", "kept"}}));
}

// ---- Threads -----------------------------------------------------------------------

// Threads inserting, deleting and saving at once leave every record numbered, held once and saved whole.
TEST_F(CDB_RAMTest, ManyThreadsKeepTheStoreConsistent) {
  CDB_RAM db;
  ASSERT_EQ(db.Open("t.db"), 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&db, t] {
      for (int op = 0; op < 5000; ++op) {
        const std::string key = "k" + std::to_string(op % 40);
        Insert(db, key, std::to_string(t));
        if (op % 3 == t % 3) db.Delete(key.c_str());
        if (op % 100 == 0) {
          EXPECT_EQ(db.Save(), 1);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_EQ(db.Save(), 1);
  const std::vector<FileRecord> live = LiveRecords(db);
  std::set<std::string> keys;
  for (const FileRecord& r : live) EXPECT_TRUE(keys.insert(r.key).second) << r.key << " inserted twice";
  CDB_RAM reloaded;
  ASSERT_EQ(OpenAndLoad(reloaded), 1);
  EXPECT_EQ(LiveRecords(reloaded), live);
}

}  // namespace
