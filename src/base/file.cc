// file - CKFile over a C stdio stream.
#include "base/file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// The stdio mode for `flags`, or null when the flags are refused.
const char* StreamMode(uint32_t flags) {
  if (flags & CKFile::kFlagText) return nullptr;
  bool create = (flags & CKFile::kFlagCreate) != 0;
  switch (flags & CKFile::kAccessMask) {
    case CKFile::kAccessRead:
      return "rb";
    case CKFile::kAccessWrite:
      return create ? "wb" : "a+b";
    case CKFile::kAccessReadWrite:
      return create ? "w+b" : "r+b";
    default:
      return nullptr;
  }
}

}  // namespace

CKFile::~CKFile() { Close(); }

bool CKFile::Open(const char* path, uint32_t flags) {
  Close();
  if (path == nullptr || strnlen(path, kMaxPathChars + 1) > kMaxPathChars) return false;
  const char* mode = StreamMode(flags);
  if (mode == nullptr) return false;
  stream_ = fopen(path, mode);
  if (stream_ == nullptr) return false;
  last_ = Direction::kNone;
  path_ = path;
  return true;
}

uint64_t CKFile::Seek(int64_t offset, int whence) {
  static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (stream_ == nullptr || whence < kSeekStart || whence > kSeekEnd) return 0;
  if (fseeko(stream_, static_cast<off_t>(offset), kWhence[whence]) != 0) return 0;
  return GetPosition();
}

void CKFile::SetLength(uint64_t length) {
  if (stream_ == nullptr) return;
  fseeko(stream_, static_cast<off_t>(length), SEEK_SET);
  fseeko(stream_, 0, SEEK_END);
}

uint64_t CKFile::GetLength() {
  if (stream_ == nullptr) return 0;
  off_t here = ftello(stream_);
  if (here < 0 || fseeko(stream_, 0, SEEK_END) != 0) return 0;
  off_t end = ftello(stream_);
  fseeko(stream_, here, SEEK_SET);
  return end < 0 ? 0 : static_cast<uint64_t>(end);
}

uint64_t CKFile::GetPosition() {
  if (stream_ == nullptr) return 0;
  off_t here = ftello(stream_);
  return here < 0 ? 0 : static_cast<uint64_t>(here);
}

size_t CKFile::Read(void* buffer, size_t n) {
  if (stream_ == nullptr || buffer == nullptr || n == 0) return 0;
  Turn(Direction::kReading);
  return fread(buffer, 1, n, stream_);
}

size_t CKFile::Write(const void* buffer, size_t n) {
  if (stream_ == nullptr || buffer == nullptr || n == 0) return 0;
  Turn(Direction::kWriting);
  return fwrite(buffer, 1, n, stream_);
}

void CKFile::Turn(Direction next) {
  if (last_ != Direction::kNone && last_ != next) fseeko(stream_, 0, SEEK_CUR);
  last_ = next;
}

void CKFile::LockRange(uint64_t, uint64_t) {}

void CKFile::UnlockRange(uint64_t, uint64_t) {}

void CKFile::Abort() {
  Close();
  path_.Empty();
}

bool CKFile::Flush() { return stream_ != nullptr && fflush(stream_) == 0; }

void CKFile::Close() {
  if (stream_ == nullptr) return;
  fclose(stream_);
  stream_ = nullptr;
}

namespace {
// Bytes ReadWholeFile asks the stream for at a time.
constexpr size_t kReadChunkBytes = 64 * 1024;
}  // namespace

bool ReadWholeFile(const char* path, size_t max_bytes, std::string* out) {
  // One byte past the bound tells a file of exactly max_bytes from a longer one.
  return ReadFileHead(path, max_bytes == SIZE_MAX ? max_bytes : max_bytes + 1, out) && out->size() <= max_bytes;
}

bool ReadFileHead(const char* path, size_t max_bytes, std::string* out) {
  out->clear();
  FILE* file = path != nullptr ? fopen(path, "rb") : nullptr;
  if (file == nullptr) return false;
  char chunk[kReadChunkBytes];
  bool ok = true;
  while (out->size() < max_bytes) {
    const size_t wanted = std::min(sizeof(chunk), max_bytes - out->size());
    const size_t got = fread(chunk, 1, wanted, file);
    out->append(chunk, got);
    if (got < wanted) {
      ok = ferror(file) == 0;
      break;
    }
  }
  fclose(file);
  return ok;
}
