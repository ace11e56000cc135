// page_cache - compiled page scripts kept between requests (see
// page_cache.h).
#include "admin/page_cache.h"

#include <sys/stat.h>

#include "admin/web_script.h"

FileStamp FileStamp::Of(const std::string& path) {
  FileStamp stamp;
  stamp.path = path;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return stamp;
  stamp.device = info.st_dev;
  stamp.inode = info.st_ino;
  stamp.size = info.st_size;
  stamp.modified = info.st_mtim;
  return stamp;
}

bool FileStamp::operator==(const FileStamp& other) const {
  return path == other.path && device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

PageCache::PageCache() = default;

PageCache::~PageCache() = default;

std::unique_ptr<CS_WEB_INSTANCE> PageCache::Take(const std::string& path) {
  std::vector<std::unique_ptr<CS_WEB_INSTANCE>> stale;  // destroyed after the lock is let go
  std::unique_ptr<CS_WEB_INSTANCE> found;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (size_t i = idle_.size(); i-- > 0 && found == nullptr;) {
      if (idle_[i]->path() != path) continue;
      if (idle_[i]->SourcesUnchanged()) {
        found = std::move(idle_[i]);
      } else {
        stale.push_back(std::move(idle_[i]));
      }
      idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  return found;
}

void PageCache::Give(std::unique_ptr<CS_WEB_INSTANCE> page) {
  std::unique_ptr<CS_WEB_INSTANCE> dropped;
  std::lock_guard<std::mutex> hold(mutex_);
  if (idle_.size() >= kMaxIdlePages) {
    dropped = std::move(idle_.front());
    idle_.erase(idle_.begin());
  }
  idle_.push_back(std::move(page));
}

size_t PageCache::IdleCount() {
  std::lock_guard<std::mutex> hold(mutex_);
  return idle_.size();
}
