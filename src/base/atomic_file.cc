// atomic_file - write beside, sync, rename over.
#include "base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

namespace {

// Writes all `n` bytes at `offset`, retrying short writes and interrupts.
bool WriteFully(int fd, const char* data, size_t n, off_t offset) {
  while (n > 0) {
    ssize_t done = pwrite(fd, data, n, offset);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += done;
    n -= static_cast<size_t>(done);
    offset += done;
  }
  return true;
}

// Makes the rename itself durable: the directory entry lives in the directory.
void SyncDirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// The file a symbolic link at `path` leads to, so that a replacement lands
// there and the link stays (a configuration linked from /etc, say). `path`
// itself when it is no link or leads nowhere.
std::string FollowLink(const std::string& path) {
  struct stat entry;
  if (lstat(path.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode)) return path;
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

}  // namespace

AtomicFile::AtomicFile(std::string path, mode_t new_file_mode)
    : path_(std::move(path)),
      target_(FollowLink(path_)),
      temp_path_(target_ + ".tmp"),
      new_file_mode_(new_file_mode) {}

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Open() {
  Discard();
  failed_ = false;
  flushed_ = 0;
  pending_.clear();
  // The replacement takes the permissions of the file it replaces from the
  // start, so a private file is never readable by others, not even briefly.
  struct stat target;
  const mode_t mode = stat(target_.c_str(), &target) == 0 ? (target.st_mode & 07777) : new_file_mode_;
  fd_ = open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd_ < 0) return false;
  if (fchmod(fd_, mode) != 0) {
    Discard();
    return false;
  }
  return true;
}

bool AtomicFile::Write(const void* data, size_t n) {
  if (fd_ < 0 || failed_) return false;
  pending_.append(static_cast<const char*>(data), n);
  return pending_.size() < kFlushBytes || Flush();
}

bool AtomicFile::Flush() {
  if (failed_) return false;
  if (!WriteFully(fd_, pending_.data(), pending_.size(), static_cast<off_t>(flushed_))) {
    failed_ = true;
    return false;
  }
  flushed_ += pending_.size();
  pending_.clear();
  return true;
}

bool AtomicFile::Commit() {
  if (fd_ < 0) return false;
  bool ok = Flush() && fsync(fd_) == 0;
  ok = close(fd_) == 0 && ok;
  fd_ = -1;
  if (ok && rename(temp_path_.c_str(), target_.c_str()) == 0) {
    SyncDirectoryOf(target_);
    return true;
  }
  unlink(temp_path_.c_str());
  return false;
}

void AtomicFile::Discard() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  unlink(temp_path_.c_str());
}
