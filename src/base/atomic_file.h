// atomic_file - replaces a file's contents so that a crash or a full disk in
// the middle never leaves it truncated. Stores, configuration and statistics
// are written through it: the new contents go to a temporary file beside the
// target, which is synced and then renamed over it in one step. A target that
// is a symbolic link is followed: the file it leads to is replaced.
#ifndef TORVANE_BASE_ATOMIC_FILE_H_
#define TORVANE_BASE_ATOMIC_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

class AtomicFile {
 public:
  // `path` is the file to replace; the temporary file is the replaced file's
  // name + ".tmp". A file made new gets `new_file_mode` (0600 for private
  // contents).
  explicit AtomicFile(std::string path, mode_t new_file_mode = 0644);
  // Discards the temporary file unless Commit succeeded.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates (truncates) the temporary file with the permission bits of the
  // target (new_file_mode when there is none yet). False when it cannot be created.
  bool Open();
  // Appends `n` bytes. False after any failed write (a full disk, say); the
  // failure sticks, so callers may test only the result of Commit.
  bool Write(const void* data, size_t n);
  // Syncs the temporary file and renames it over the target, then syncs the
  // directory. On any failure (now or earlier) the target is left untouched,
  // the temporary file is removed and the result is false.
  bool Commit();

  const std::string& path() const { return path_; }

 private:
  // Writes are gathered in memory and sent to the file this many at a time.
  static constexpr size_t kFlushBytes = 64 * 1024;

  bool Flush();
  void Discard();

  std::string path_;
  std::string target_;  // path_ with a final symbolic link followed
  std::string temp_path_;
  mode_t new_file_mode_;
  int fd_ = -1;
  bool failed_ = false;
  size_t flushed_ = 0;   // bytes already in the temporary file
  std::string pending_;  // bytes written since, not yet in the file
};

#endif  // TORVANE_BASE_ATOMIC_FILE_H_
