// document_root - confined opening of the web server's files (see
// document_root.h).
#include "admin/document_root.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

namespace {

const std::map<std::string_view, const char*>& FileTypes() {
  static const std::map<std::string_view, const char*> types = [] {
    const struct {
      const char* type;
      std::initializer_list<std::string_view> extensions;
    } kRows[] = {
        {"application/msword", {"doc"}},
        {"application/octet-stream", {"bin", "dll", "exe"}},
        {"application/pdf", {"pdf"}},
        {"application/pkcs7-mime", {"p7c"}},
        {"application/postscript", {"ai", "eps", "ps"}},
        {"application/vnd.fdf", {"fdf"}},
        {"application/x-compressed", {"arj", "cab"}},
        {"application/x-gzip", {"gz"}},
        {"application/x-java-class", {"class"}},
        {"application/x-javascript", {"js"}},
        {"application/x-lzh", {"lzh"}},
        {"application/x-ms-shortcut", {"lnk"}},
        {"application/x-tar", {"tar"}},
        {"application/x-winhelp", {"hlp"}},
        {"application/x-x509-ca-cert", {"cert"}},
        {"application/zip", {"zip"}},
        {"application/x-shockwave-flash", {"swf"}},
        {"audio/aiff", {"aif", "aifc", "aiff"}},
        {"audio/basic", {"au", "snd"}},
        {"audio/midi", {"mid", "rmi"}},
        {"audio/mpeg", {"mp3"}},
        {"audio/voxware", {"vox"}},
        {"audio/wav", {"wav"}},
        {"audio/x-pn-realaudio", {"ra", "ram"}},
        {"image/bmp", {"bmp"}},
        {"image/gif", {"gif"}},
        {"image/png", {"png"}},
        {"image/jpeg", {"jpeg", "jpg"}},
        {"image/tiff", {"tif", "tiff"}},
        {"image/xbm", {"xbm"}},
        {"image/svg+xml", {"svg"}},
        {"model/vrml", {"wrl"}},
        {"text/html", {"htm", "html", "htmcc"}},
        {"text/plain", {"c", "cpp", "def", "h", "txt"}},
        {"text/richtext", {"rtf", "rtx"}},
        {"text/x-java-source", {"java"}},
        {"text/css", {"css"}},
        {"video/mpeg", {"mpeg", "mpg", "mpe"}},
        {"video/msvideo", {"avi"}},
        {"video/quicktime", {"mov", "qt"}},
    };
    std::map<std::string_view, const char*> built;
    for (const auto& row : kRows) {
      for (std::string_view extension : row.extensions) built.emplace(extension, row.type);
    }
    return built;
  }();
  return types;
}

// The kernel's confined open: every step of the path stays below `dir`.
int OpenConfined(int dir, const std::string& relative) {
  open_how how{};
  how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, dir, relative.c_str(), &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
  // An older kernel: resolve the whole path and check where it ends.
  char root[PATH_MAX], target[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(dir);
  const ssize_t length = readlink(self.c_str(), root, sizeof root - 1);
  if (length <= 0) return -1;
  root[length] = '\0';
  const std::string full = std::string(root) + "/" + relative;
  if (realpath(full.c_str(), target) == nullptr) return -1;
  const std::string resolved = target;
  const std::string prefix = std::string(root) + "/";
  if (resolved.compare(0, prefix.size(), prefix) != 0) return -1;
  return open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
}

}  // namespace

int OpenBeneath(const std::string& root, std::string_view path) {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (path.empty() || path.find('\0') != std::string_view::npos) return -1;
  const int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  const int fd = OpenConfined(dir, std::string(path));
  close(dir);
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

WebFile ReadWebFile(const std::string& root, std::string_view path, size_t max_bytes, std::string* out) {
  out->clear();
  const int fd = OpenBeneath(root, path);
  if (fd < 0) return WebFile::kMissing;
  struct stat info {};
  WebFile result = WebFile::kRead;
  if (fstat(fd, &info) != 0 || static_cast<size_t>(info.st_size) > max_bytes) {
    result = WebFile::kTooLarge;
  } else {
    out->resize(static_cast<size_t>(info.st_size));
    size_t got = 0;
    while (got < out->size()) {
      const ssize_t n = read(fd, out->data() + got, out->size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    out->resize(got);  // a file that shrank meanwhile gives what it has
  }
  close(fd);
  return result;
}

std::string ExtensionOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return "";
  std::string extension(path.substr(dot + 1));
  for (char& c : extension) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return extension;
}

const char* MimeTypeOf(std::string_view extension) {
  const auto& types = FileTypes();
  const auto it = types.find(extension);
  return it != types.end() ? it->second : "application/octet-stream";
}
