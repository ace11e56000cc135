// file - CKFile, the buffered file every store, log and script file goes
// through. A thin layer over a C stdio stream that never throws: every failure
// shows up as a false or zero result. Scripts reach it as "CS_File".
#ifndef TORVANE_BASE_FILE_H_
#define TORVANE_BASE_FILE_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/string.h"

// Not thread-safe: one owner at a time.
class CKFile {
 public:
  // Open flags. The access mode sits in the low two bits.
  static constexpr uint32_t kAccessMask = 0x3;
  static constexpr uint32_t kAccessRead = 0x0;
  static constexpr uint32_t kAccessWrite = 0x1;
  static constexpr uint32_t kAccessReadWrite = 0x2;
  static constexpr uint32_t kAccessInvalid = 0x3;  // refused
  // Truncate or create the file instead of opening an existing one.
  static constexpr uint32_t kFlagCreate = 0x1000;
  // Text-mode translation: never supported, so refused.
  static constexpr uint32_t kFlagText = 0x4000;
  // Other bits (0x8000 binary, 0x40 shared) are accepted and ignored: the
  // streams are always binary and never locked.

  // The combinations the daemon passes.
  static constexpr uint32_t kModeRead = 0x8040;                // read, shared
  static constexpr uint32_t kModeReadPlain = 0x8000;           // read
  static constexpr uint32_t kModeReadWriteExisting = 0x8042;   // read/write, existing file
  static constexpr uint32_t kModeReadWriteCreate = 0x9042;     // read/write, create, shared
  static constexpr uint32_t kModeReadWriteCreatePlain = 0x9002;  // read/write, create
  static constexpr uint32_t kModeWriteCreate = 0x9041;         // write, create, shared

  // Longest path accepted, in characters; one more is refused so that paths
  // stay within the fixed-size buffers other tools keep for them.
  static constexpr size_t kMaxPathChars = 260;

  // Where Seek counts from.
  static constexpr int kSeekStart = 0;
  static constexpr int kSeekCurrent = 1;
  static constexpr int kSeekEnd = 2;

  CKFile() = default;
  // Closes the stream if one is open.
  virtual ~CKFile();
  CKFile(const CKFile&) = delete;
  CKFile& operator=(const CKFile&) = delete;

  // Closes any previous stream, then opens `path` with `flags`. Stream modes:
  // read "rb"; write+create "wb"; write without create "a+b" (every write
  // appends, the file is made if missing); read/write+create "w+b";
  // read/write without create "r+b" (the file must exist). False for a null
  // path, a path of more than kMaxPathChars characters, access 3, kFlagText,
  // or when the stream cannot be opened.
  virtual bool Open(const char* path, uint32_t flags);
  // Moves to `offset` from `whence` (kSeek*). Returns the new position, or 0
  // when closed, when `whence` is unknown or the seek fails.
  virtual uint64_t Seek(int64_t offset, int whence);
  // Positions at `length`, then at the end of the file. The file is neither
  // shortened nor extended: callers only use it to move to the end.
  virtual void SetLength(uint64_t length);
  // The file's size (seeks to the end and back); 0 when closed or on error.
  virtual uint64_t GetLength();
  // The current position; 0 when closed or on error.
  virtual uint64_t GetPosition();
  // Reads up to `n` bytes into `buffer` and returns how many were read; 0
  // when closed, `n` is 0 or `buffer` is null. REQUIRES: `buffer` holds `n`.
  virtual size_t Read(void* buffer, size_t n);
  // Writes `n` bytes of `buffer` and returns how many were written; 0 when
  // closed, `n` is 0 or `buffer` is null.
  virtual size_t Write(const void* buffer, size_t n);
  // Range locks are not needed by any caller: both do nothing.
  virtual void LockRange(uint64_t position, uint64_t count);
  virtual void UnlockRange(uint64_t position, uint64_t count);
  // Closes the stream and forgets the path.
  virtual void Abort();
  // Hands buffered bytes to the system. False when that failed (a full
  // disk, say) or the file is closed.
  virtual bool Flush();
  // Closes the stream (the path is kept). No effect when closed.
  virtual void Close();

  // True while a stream is open.
  bool IsValid() const { return stream_ != nullptr; }
  // The path of the last successful Open; empty after Abort.
  const String& GetFilePath() const { return path_; }

 private:
  // Which way the stream moved bytes last. stdio requires a seek between a
  // write and a following read (and back) on an update stream.
  enum class Direction { kNone, kReading, kWriting };

  // Seeks in place when the stream is about to change direction.
  void Turn(Direction next);

  String path_;
  FILE* stream_ = nullptr;  // owned; null when closed
  Direction last_ = Direction::kNone;
};

// Reads the whole file at `path` into `out`. False when it cannot be opened
// or read, or holds more than `max_bytes` (a bound far above any real file of
// its kind, so a runaway file cannot exhaust memory); `out` is then partial.
bool ReadWholeFile(const char* path, size_t max_bytes, std::string* out);
// Reads the first `max_bytes` bytes of the file at `path` (all of a shorter
// one, NUL bytes included) into `out`. False when it cannot be opened or read.
bool ReadFileHead(const char* path, size_t max_bytes, std::string* out);

#endif  // TORVANE_BASE_FILE_H_
