// page_cache - compiled page scripts kept between requests. Building an
// interpreter and compiling a page costs far more than running it, so a
// page that served a request well waits here for the next request of the
// same file; it is used again only while none of the files it was compiled
// from (the page and its includes) has changed.
#ifndef TORVANE_ADMIN_PAGE_CACHE_H_
#define TORVANE_ADMIN_PAGE_CACHE_H_

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CS_WEB_INSTANCE;

// What a file looked like when a page was compiled from it.
struct FileStamp {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  // The stamp of the file at `path` now; a missing file has inode 0.
  static FileStamp Of(const std::string& path);
  bool operator==(const FileStamp& other) const;
};

// Thread-safe: the page threads of every child take and give back pages.
class PageCache {
 public:
  // Idle pages kept at most; past it the longest idle one goes.
  static constexpr size_t kMaxIdlePages = 64;

  PageCache();
  ~PageCache();
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  // An idle page compiled from `path` whose files are all unchanged, now
  // the caller's; null when there is none. Stale pages of `path` are
  // dropped on the way.
  std::unique_ptr<CS_WEB_INSTANCE> Take(const std::string& path);
  // Keeps a page that ran to its end without errors for a later request.
  void Give(std::unique_ptr<CS_WEB_INSTANCE> page);
  size_t IdleCount();

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<CS_WEB_INSTANCE>> idle_;  // oldest first; guarded by mutex_
};

#endif  // TORVANE_ADMIN_PAGE_CACHE_H_
