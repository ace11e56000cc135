// memory_file - CMemoryFile growth, reads and writes with checked sizes.
#include "base/memory_file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

CMemoryFile::CMemoryFile(uint32_t grow_by)
    : grow_by_(grow_by == 0 ? kDefaultGrowBy : std::min(grow_by, kMaxLength)) {}

CMemoryFile::~CMemoryFile() { free(buffer_); }

bool CMemoryFile::Reserve(uint32_t needed) {
  if (needed <= capacity_) return true;
  // Whole steps past the current capacity, computed in 64 bits; the last
  // step may be cut short at kMaxLength, which still holds `needed`.
  uint64_t missing = needed - capacity_;
  uint64_t steps = (missing + grow_by_ - 1) / grow_by_;
  uint64_t grown = std::min<uint64_t>(capacity_ + steps * grow_by_, kMaxLength);
  void* bigger = realloc(buffer_, static_cast<size_t>(grown));
  if (bigger == nullptr) return false;
  buffer_ = static_cast<uint8_t*>(bigger);
  capacity_ = static_cast<uint32_t>(grown);
  return true;
}

bool CMemoryFile::Write(const void* data, uint32_t n) {
  if (n == 0) return true;
  if (data == nullptr || n > kMaxLength - position_) return false;
  uint32_t end = position_ + n;
  if (!Reserve(end)) return false;
  memcpy(buffer_ + position_, data, n);
  position_ = end;
  length_ = std::max(length_, end);
  return true;
}

uint32_t CMemoryFile::Read(void* out, uint32_t n) {
  if (out == nullptr || position_ >= length_) return 0;
  uint32_t count = std::min(n, length_ - position_);
  if (count == 0) return 0;
  memcpy(out, buffer_ + position_, count);
  position_ += count;
  return count;
}

bool CMemoryFile::SetLength(uint32_t length) {
  length = std::min(length, kMaxLength);
  if (!Reserve(length)) return false;
  if (length > length_) memset(buffer_ + length_, 0, length - length_);
  length_ = length;
  position_ = std::min(position_, length);
  return true;
}

void CMemoryFile::Close() {
  free(buffer_);
  buffer_ = nullptr;
  position_ = capacity_ = length_ = 0;
}
