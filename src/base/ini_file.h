// ini_file - CFileINI, the in-memory model of an INI-style text file: the main
// configuration, per-domain settings, the phishing rule base and the INI files
// scripts open. The whole file is held as an ordered list of (section, key,
// value) items and written back in the same order with CR LF line ends.
#ifndef TORVANE_BASE_INI_FILE_H_
#define TORVANE_BASE_INI_FILE_H_

#include <cstddef>
#include <mutex>
#include <string>

#include "base/object_array.h"
#include "base/mutex.h"
#include "base/key_value_sink.h"
#include "base/string.h"

// One entry of an INI file. Parsed entries never contain CR or LF.
struct CFileINI_ITEM {
  String section;  // section name, without brackets
  String key;
  String value;  // may be empty
};

using CFileINIItems = CArray<CFileINI_ITEM, const CFileINI_ITEM&>;

// Lookup rules: section and key names compare exactly and case-sensitively;
// the first matching item wins, later duplicates are kept and written back
// but never seen by lookups. There is no comment syntax (";x=1" is key ";x").
//
// Thread-safety: every public operation takes the object's own mutex (the
// inherited CCriticalSession) for its duration, so any thread may call any
// operation at any time. A Write looks up and inserts under one hold of the
// lock; a sequence of operations is not atomic - callers that need a
// consistent multi-key update serialise among themselves. Sinks are fed
// after the lock is released, so they may call back into the object.
class CFileINI : public CCriticalSession {
 public:
  // Largest file Load accepts; INI files here are configuration and rule
  // bases of a few hundred kilobytes, so anything beyond this is refused
  // rather than read into memory.
  static constexpr size_t kMaxFileBytes = 64 * 1024 * 1024;

  CFileINI() = default;
  ~CFileINI() override = default;

  // ---- Loading and saving ---------------------------------------------

  // Reads the file at `path` and parses it (Elaborate). False, with the
  // items untouched, when `path` is null, the file cannot be opened or read,
  // or it is larger than kMaxFileBytes. Otherwise remembers `path` as the
  // default target of Save and returns the result of Elaborate.
  bool Load(const char* path);
  // Elaborate on a NUL-terminated text already in memory.
  bool LoadBuffer(const char* text);
  // Replaces every item by those parsed from `text`, read up to its
  // terminating NUL and never past it. False (items untouched) only for a
  // null `text`. Parsing rules:
  //  - outside a section "[name]" opens one when the name is not empty; the
  //    name runs to the next "]" (across lines); anything else is skipped;
  //  - in a section, a pair is recorded only when its line ends (CR or LF);
  //    a last line without a line end is dropped;
  //  - spaces vanish until the value has a first character (so spaces in a
  //    key, and before the value, are lost);
  //  - after every "=" that follows a non-empty key, the next character is
  //    taken into the value whatever it is: "a=b=c" gives a = "bc", and a
  //    line ending "=" LF runs on into the next line (files use CR LF);
  //  - "[" ends the section only outside a value.
  bool Elaborate(const char* text);
  // Writes every item to `path`, or to the path of the last Load when `path`
  // is null: "[section]" CR LF whenever the section differs from the
  // previous item's, then "key=value" CR LF. The file is replaced atomically
  // (temporary file beside it, synced, renamed over it) and keeps the old
  // file's permission bits: on any failure the old file stays whole and the
  // result is false. False too when no path is known. Concurrent Saves of
  // one object are serialised.
  bool Save(const char* path);
  // The text Save writes.
  std::string Serialise();
  // The path of the last successful Load ("" before one).
  std::string FileName();
  // MD5 of the file's bytes as this object last loaded or saved them (""
  // before a Load).
  std::string FileDigest();
  // True when the file of the last Load now holds other bytes than this
  // object last read from or wrote to it (or cannot be read): someone else
  // changed it. False without a Load.
  bool ChangedOnDisk();

  // ---- Lookups (first match wins) ----------------------------------------

  // Copies the value of the first (section, key) item into `*value`. False,
  // with `*value` untouched, when there is none or an argument is null.
  bool FindValue(const char* section, const char* key, String* value);
  // Position of the first (section, key) item in the list, or -1. The
  // position is a snapshot: another thread's edit may move the item.
  int FindValueGetIndex(const char* section, const char* key);
  // Position of the first item of `section`, or -1 (a snapshot, as above).
  int FindIndexKey(const char* section);
  // True when a (section, key) item exists.
  bool IsKeyExist(const char* section, const char* key);

  // `*out` = the value, or `default_value` (null counts as "") when the key
  // is absent. An empty value is returned as empty, not as the default.
  // Returns *out. REQUIRES: `out` is not null (also for the next one).
  const String& GetString(String* out, const char* section, const char* key,
                          const char* default_value);
  // As GetString when `section` is given; with a null `section`, the value
  // of the first item with this key in any section, else the default.
  const String& GetStringBySearch(String* out, const char* key, const char* section,
                                  const char* default_value);
  // The value's leading decimal number as atoi reads it (0 when there are no
  // digits; clamped to the int range); `default_value` only when absent.
  int GetInt(const char* section, const char* key, int default_value);
  // The value as atof reads it, as a single-precision float (clamped to the
  // float range); `default_value` only when absent.
  float GetDouble(const char* section, const char* key, float default_value);

  // A copy of every item, in list order.
  CFileINIItems CopyItems();
  // Hands the key/value pairs to `sink`, in list order: every item when
  // `section` is null, else that section's. Pairs are copied under the lock
  // and delivered after it is released. Nothing is cleared first. A null
  // `sink` does nothing.
  void GetItemesKey(KeyValueSink* sink, const char* section);

  // ---- Edits ----------------------------------------------------------

  // Adds or updates one item: a new section is appended at the end of the
  // list; a new key in an existing section is inserted before that
  // section's first item; an existing key has the value of its first item
  // overwritten.
  void RegisterItme(const CFileINI_ITEM& item);
  // RegisterItme with the text / "%d" / "%f" (six decimals) of the value.
  // Null arguments do nothing (a null `value` counts as "").
  void WriteString(const char* section, const char* key, const char* value);
  void WriteInt(const char* section, const char* key, int value);
  void WriteDouble(const char* section, const char* key, float value);
  // Removes the first (section, key) item; true when one was removed.
  bool DeleteKey(const char* section, const char* key);

  // ---- Script-facing wrappers -----------------------------------------
  // Scripts pass absent arguments as null; each wrapper tolerates that.

  // The value, or "" when absent or an argument is null. The text is held
  // by this object and stays valid until its next ReadVar; threads that
  // share one object use GetString instead.
  const char* ReadVar(const char* section, const char* key);
  // WriteString when all three are given; false otherwise.
  bool WriteVar(const char* section, const char* key, const char* value);
  // The path of the last successful Load ("" before one).
  std::string LoadedPath();
  bool LoadScript(const char* path) { return Load(path); }
  bool SaveScript(const char* path) { return Save(path); }
  // False on a null argument, else IsKeyExist.
  bool IsKeyExistScript(const char* section, const char* key);
  // DeleteKey; false on a null argument or when nothing was removed.
  bool DeleteKeyScript(const char* section, const char* key);
  // GetItemesKey; always true.
  bool GetItemesKeyScript(KeyValueSink* sink, const char* section);

 private:
  // Helpers ending in "Locked" REQUIRE: the caller holds the object's lock.
  int FindValueGetIndexLocked(const char* section, const char* key) const;
  int FindIndexKeyLocked(const char* section) const;
  // The file text Save writes.
  std::string SerialiseLocked() const;

  // Guarded by the inherited CCriticalSession:
  String file_name_;      // path of the last successful Load
  String file_digest_;    // MD5 of its bytes as last loaded or saved
  CFileINIItems items_;   // every entry in file order; duplicates allowed
  String read_result_;    // the text ReadVar last returned

  // Held across a whole Save so two saves never share the temporary file
  // and the file always ends up with the later snapshot. Taken before the
  // object's lock, never inside it.
  std::mutex save_mutex_;
};

#endif  // TORVANE_BASE_INI_FILE_H_
