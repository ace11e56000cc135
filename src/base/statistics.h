// statistics - the per-day statistics counters. CStatitiche_Day is a
// locked list of named counters with its binary day file; CStatitiche_Torvane
// is the daemon's live store, bound to the application directory and to the
// current date, which closes a day's file when the date changes.
#ifndef TORVANE_BASE_STATISTICS_H_
#define TORVANE_BASE_STATISTICS_H_

#include <cstdint>

#include "base/object_array.h"
#include "base/mutex.h"
#include "base/key_value_sink.h"
#include "base/string.h"
#include "base/wall_clock.h"

// One counter. Its key is "f", the group number, then a name.
struct ITEMS_STAT {
  String name;            // matched exactly
  uint16_t group = 0;     // by convention the number after the leading "f"
  uint16_t subGroup = 0;  // kept in the file, never shown
  float value = 0;
};

// Thread-safety: every operation takes the store's lock.
class CStatitiche_Day {
 public:
  // Longest counter name: the day file's name length field is bounded by it.
  static constexpr int32_t kMaxNameLength = 32768;

  // Operations of AddItem / SetValue.
  enum Op {
    kIncrement = 1, kDecrement = 2, kSet = 3, kAdd = 4, kSubtract = 5, kMaximum = 6, kMinimum = 7
  };

  explicit CStatitiche_Day(WallClock clock = &SystemWallClock) : clock_(clock) {}
  virtual ~CStatitiche_Day() = default;
  CStatitiche_Day(const CStatitiche_Day&) = delete;
  CStatitiche_Day& operator=(const CStatitiche_Day&) = delete;

  // Applies `op` with `value` to the counter `name` (a new one starts at 0)
  // and stores `group` and `sub_group` on it. Ignored for a null or empty
  // name and for one longer than kMaxNameLength.
  void AddItem(const char* name, int group, int sub_group, float value, int op);
  // The new value of a counter holding `old` after `op` with `value`; an
  // unknown op keeps `old`.
  static float SetValue(float old, float value, int op);
  // The counter's value; 0 for a null, empty or unknown name.
  float GetValueByName(const char* name);
  // Position of the counter, or -1.
  int FindItem(const char* name);
  // Number of counters.
  int GetCount();
  // Removes every counter; the stamp and the file path stay.
  void Reset();
  // Remembers `path` and replaces the counters by the file's. False for a
  // null path, a missing file, a file with no counters, or a corrupt one
  // (then the counters are empty and the stamp is now).
  bool Load(const char* path);
  // Writes the counters to the path of the last Load, atomically. False
  // without such a path, without counters (the file is left as it is), or
  // when the write fails.
  bool Save();
  // Fills `array` with name -> "%.3f|%d" (value, group), in counter order,
  // after emptying it. Nothing when `array` is null.
  void PololateArray(KeyValueSink* array);
  // Time written into the file header (seconds since 1970).
  int32_t GetStamp();

 protected:
  // REQUIRES for the *Locked helpers: lock_ is held.
  int FindItemLocked(const char* name) const;
  float ValueLocked(const char* name) const;
  bool LoadStats(const char* path);
  bool SaveStats(const char* path);
  time_t Now() const { return clock_(); }

  CCriticalSession lock_;
  // Guarded by lock_.
  CArray<ITEMS_STAT> items_;
  int32_t stamp_ = 0;
  String file_path_;

 private:
  WallClock clock_;
};

// The daemon's live store. Day files live at base + "/db/DAY_YYYY-MM-DD.stc".
class CStatitiche_Torvane : public CStatitiche_Day {
 public:
  // A finished day's file is stamped this long before the save that wrote it.
  static constexpr int kDayCloseStampBackSeconds = 600;

  explicit CStatitiche_Torvane(WallClock clock = &SystemWallClock) : CStatitiche_Day(clock) {}
  // Saves (SaveAll).
  ~CStatitiche_Torvane() override;

  // Binds the store to the application directory `path` and loads today's
  // file; without one the day starts with no counters.
  void SetPathDB(const char* path);
  // `out` = today's local date as "YYYY-MM-DD.stc".
  void GetName(String* out) const;
  // True when the date changed since the last look; remembers today's.
  bool IsRotate();
  // Writes the counters: to today's file, or, when the date changed, to the
  // finished day's file, then starts the new day with only
  // "f1n_restart_service" carried over. Nothing before SetPathDB. False when
  // the write failed (the counters stay and are written next time).
  bool SaveAll();

 private:
  void DayFilePath(const String& day_name, String* out) const;

  // Guarded by lock_ once SetPathDB has run.
  String base_path_;
  String day_name_;
};

#endif  // TORVANE_BASE_STATISTICS_H_
