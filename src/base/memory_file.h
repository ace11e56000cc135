// memory_file - CMemoryFile, a growable byte buffer used like a file: scripts
// build mail bodies and replies in it ("CS_MemoryFile") before sending them.
#ifndef TORVANE_BASE_MEMORY_FILE_H_
#define TORVANE_BASE_MEMORY_FILE_H_

#include <cstdint>

// Not thread-safe: one owner at a time. Sizes are 32-bit; every size sum is
// checked, so a hostile length fails instead of wrapping around.
class CMemoryFile {
 public:
  // Growth step used when the constructor is given 0.
  static constexpr uint32_t kDefaultGrowBy = 1024;
  // Largest length, capacity and growth step: keeps the end of the buffer
  // (and the room for a terminating byte callers may add) below 2^32.
  static constexpr uint32_t kMaxLength = 4294967039u;

  // `grow_by` is the step the capacity grows in; 0 means kDefaultGrowBy and
  // larger values than kMaxLength are cut to it.
  explicit CMemoryFile(uint32_t grow_by = kDefaultGrowBy);
  // Frees the buffer.
  virtual ~CMemoryFile();
  CMemoryFile(const CMemoryFile&) = delete;
  CMemoryFile& operator=(const CMemoryFile&) = delete;

  // Copies `n` bytes at the position, growing the capacity in whole steps
  // until they fit, advances the position and extends the length past it.
  // True when written (also for n == 0); false, with nothing changed, when
  // `data` is null with n > 0, the end would pass kMaxLength, or memory runs
  // out.
  bool Write(const void* data, uint32_t n);
  // Copies min(n, length - position) bytes to `out` and advances; returns the
  // count (0 at or past the end, or when `out` is null).
  // REQUIRES: `out` holds `n` bytes.
  uint32_t Read(void* out, uint32_t n);
  // Sets the length to `length` (cut to kMaxLength), growing the capacity when
  // needed; bytes newly inside the length read as zero. The position is
  // pulled back to the new length if it was past it. False, with nothing
  // changed, when memory runs out.
  bool SetLength(uint32_t length);
  uint32_t GetLength() const { return length_; }
  uint32_t GetPosition() const { return position_; }
  uint32_t GetCapacity() const { return capacity_; }
  uint32_t GetGrowBy() const { return grow_by_; }
  // The bytes [0, length); null before the first growth. Owned by this file;
  // valid until the next Write, SetLength or Close.
  const uint8_t* GetBuffer() const { return buffer_; }
  // Nothing is buffered outside memory: no effect.
  void Flush() {}
  // Frees the buffer and resets length, position and capacity to 0.
  void Close();

 private:
  // Makes the capacity at least `needed` (<= kMaxLength), in whole steps.
  bool Reserve(uint32_t needed);

  uint32_t grow_by_;
  uint32_t position_ = 0;
  uint32_t capacity_ = 0;
  uint32_t length_ = 0;
  uint8_t* buffer_ = nullptr;  // owned, capacity_ bytes (malloc'd)
};

#endif  // TORVANE_BASE_MEMORY_FILE_H_
