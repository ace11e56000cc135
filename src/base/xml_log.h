// xml_log - the daemon's XML log: LogXML writes records into the one log file,
// CLogSimple is the locked record buffer of every component that runs off the
// main loop, and RoteteLogXML decides when the live file is cut and archived.
// The root element is closed again after every record, so the file is well
// formed at all times.
#ifndef TORVANE_BASE_XML_LOG_H_
#define TORVANE_BASE_XML_LOG_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string_view>

#include "base/object_array.h"
#include "base/mutex.h"
#include "base/file.h"
#include "base/string.h"
#include "base/wall_clock.h"

// Log levels. A record is written when the configured "loglevel" is at least
// its level, so lower levels are the more important ones.
enum LogLevel : int {
  kLogAlways = 0,      // written whatever the configured level
  kLogError = 1,       // errors and important events
  kLogConnection = 2,  // one record per connection event
  kLogEngine = 3,      // start and stop of engines and servers
  kLogDebug = 4,       // debugging detail
};

// Log categories: the word in a record's "Type" field. Scripts may pass
// their own words; these are the ones the daemon writes.
namespace log_type {
inline constexpr char kSys[] = "SYS";
inline constexpr char kDebug[] = "DEBUG";
inline constexpr char kFirewall[] = "FIREWALL";
inline constexpr char kScript[] = "SCRIPT";
inline constexpr char kWeb[] = "WEB";
inline constexpr char kAdmin[] = "RAD";
inline constexpr char kAdminScript[] = "ADMIN SCRIPT";
inline constexpr char kCron[] = "CRON";
}  // namespace log_type

// Untrusted text (a client's line, a peer's reply) quoted into a log
// message: cut to `max_bytes` (then "..." follows) and cleaned, CR, LF and
// tab shown as a blank and every other control byte as "?", so one record
// stays one short line whatever the peer sent.
inline constexpr size_t kLogExcerptBytes = 200;
String LogExcerpt(std::string_view text, size_t max_bytes = kLogExcerptBytes);

// A locked queue of log records, oldest first. Thread-safe: every operation
// takes the buffer's lock. Lock order when two buffers meet: source first,
// then destination.
class CLogSimple {
 public:
  // One queued record. Texts that were never given are stored empty.
  struct LogSimple_item {
    int level = 0;
    String entry;
    String filename;  // source module that logged
    String function;  // class and routine label
    String type;      // category word
    int idConnection = 0;
  };

  // One LogFormat call keeps at most this many characters of its message.
  static constexpr int kMaxFormatChars = 4095;

  CLogSimple() = default;
  virtual ~CLogSimple() = default;
  CLogSimple(const CLogSimple&) = delete;
  CLogSimple& operator=(const CLogSimple&) = delete;

  // Appends one record; null texts become empty ones. A record whose level
  // is above the buffer's threshold is dropped at once.
  void LogS(int level, const char* entry, const char* filename, const char* function,
            const char* type, int id_connection);
  // Drops from now on every record above `level` (the configured "loglevel":
  // the log would skip it anyway), so a busy component does not format and
  // queue what nobody writes. The default keeps every record.
  void SetThreshold(int level) { threshold_.store(level, std::memory_order_relaxed); }
  // True when a record of `level` would be kept: callers skip building it.
  bool Keeps(int level) const { return level <= threshold_.load(std::memory_order_relaxed); }
  // Appends a level 4 record of the printf-formatted message (cut at
  // kMaxFormatChars) with empty file name, routine and category.
  void LogFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Moves every record of `from` into this buffer, oldest first; a positive
  // `id_connection` replaces each record's own. REQUIRES: &from != this.
  void Merge(CLogSimple& from, int id_connection);
  // Hands every record to `sink`, oldest first, and empties the buffer, all
  // under the lock. `sink` must not log into this buffer.
  void Drain(const std::function<void(const LogSimple_item&)>& sink);
  // Records waiting.
  int GetCount();

 private:
  std::atomic<int> threshold_{kLogDebug};
  CCriticalSession lock_;
  // Guarded by lock_.
  CArray<LogSimple_item> items_;
};

// The XML log file. Not thread-safe: only the main loop writes to it.
class LogXML {
 public:
  // A field value keeps at most this many characters after escaping (an
  // entity is never cut: the value then ends before it).
  static constexpr int kMaxValueChars = 512;

  // Opens `path` (an existing file read/write without truncation, else a new
  // one) and writes the header when the file is empty. A file that cannot be
  // opened leaves the logger inert: every write fails, nothing is reported.
  // Level 0 afterwards. `clock` gives the time of every record.
  LogXML(const char* path, const char* app_name, WallClock clock = &SystemWallClock);
  // Close.
  ~LogXML();
  LogXML(const LogXML&) = delete;
  LogXML& operator=(const LogXML&) = delete;

  // Sets the threshold and records "Set Log Level to: %d" at level 0.
  void SetLogLevel(int level);
  int GetLogLevel() const { return level_; }
  // Writes one record when `level` <= the threshold. Null texts are absent.
  // True when skipped or when every write succeeded.
  bool Log(int level, const char* entry, const char* filename, const char* function,
           const char* type, int id_connection);
  bool LogS(int level, const char* entry, const char* filename, const char* function,
            const char* type, int id_connection) {
    return Log(level, entry, filename, function, type, id_connection);
  }
  // Writes and removes every record of `buffer`, oldest first, under its
  // lock; a positive `id_connection` replaces each record's own.
  void PrintLogSimple(CLogSimple& buffer, int id_connection);
  // Current file length in bytes; 0 when inert or closed.
  uint64_t GetLenFile();
  // Closes open records, writes "Log File closed" (level 1) and closes the
  // file. Nothing happens on a closed logger.
  void Close();
  bool IsOpen() const { return file_.IsValid(); }

 private:
  bool WriteHeader(const char* app_name);
  // Positions over a closing "</LogFile>" (or at the end), opens a LogItem
  // and writes its date and time.
  bool goDown();
  // Where the next record goes: over the file's closing "</LogFile>" when it
  // ends with one, else at its end.
  int64_t FindRecordPosition();
  // Closes the open LogItem, re-closes the root element and flushes.
  bool goUp();
  bool WriteDateTime();
  bool WriteTimestamp();
  // Line feed, two blanks per depth step, then `text`.
  bool WriteLine(const char* text);
  // WriteLine of "<tag>value</tag>" with the value escaped and cut.
  bool WriteLine(const char* tag, const char* value);
  bool WriteData(const char* bytes, size_t n);
  bool WriteFields(const char* entry, const char* filename, const char* function,
                   const char* type, int id_connection);

  WallClock clock_;
  int level_ = 0;
  CKFile file_;
  int depth_ = 1;
  // This logger is the file's only writer, so once a record was written it
  // knows where the closing "</LogFile>" starts and need not look again
  // (looking costs several seeks and a read per record). -1: not known.
  int64_t close_at_ = -1;
  int64_t position_ = 0;  // of the next byte written, while close_at_ is known
};

// Decides when the live log is cut. Types 1..4 cut at every boundary of a
// period of hours, days, weeks (7 days) or months (31 days) counted from
// 1970-01-01 00:00 UTC; type 5 cuts by size. Not thread-safe.
class RoteteLogXML {
 public:
  enum Type { kHours = 1, kDays = 2, kWeeks = 3, kMonths = 4, kSize = 5 };

  explicit RoteteLogXML(WallClock clock = &SystemWallClock) : clock_(clock) {}

  // Sets the rotation from the configured type and value (a value below 1
  // counts as 1). A type outside 1..5 never rotates.
  void SetPer(int type, int value);
  // Types 1..4: true once when a period boundary has been passed since the
  // last call (never on the first look). Type 5: true when `log` has reached
  // the size limit; false without a log.
  bool IsRotateLog(LogXML* log);
  // `out` = "logs/log_%s.xml" with the local date and time of `t` as
  // "YYYY-MM-DD_HH-MM-SS": the archive name under the application directory.
  static void MakeArchiveName(String* out, time_t t);

 private:
  WallClock clock_;
  int64_t period_ = 0;  // seconds; 0 = never rotate by time
  int64_t last_period_ = 0;
  int rot_type_ = kHours;
  int64_t size_mb_ = 24;
};

#endif  // TORVANE_BASE_XML_LOG_H_
