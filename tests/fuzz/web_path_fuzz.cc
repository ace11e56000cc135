// web_path_fuzz - targets through decoding and the confined open: reading the canary beside the root, or a crash.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "admin/document_root.h"
#include "admin/http_request.h"

namespace {

constexpr char kCanary[] = "canary outside the root";

// The document root, made once per process.
const std::string& Root() {
  static const std::string root = [] {
    char pattern[] = "/tmp/web-path-fuzz-XXXXXX";
    const std::string base = mkdtemp(pattern);
    const std::string www = base + "/www/";
    mkdir(www.c_str(), 0755);
    mkdir((www + "sub").c_str(), 0755);
    std::ofstream(base + "/canary.txt") << kCanary;
    std::ofstream(www + "a.txt") << "inside";
    symlink((base + "/canary.txt").c_str(), (www + "out.txt").c_str());
    symlink("../../canary.txt", (www + "sub/up.txt").c_str());
    return www;
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string target(reinterpret_cast<const char*>(data), size);
  std::string inbox = "GET " + target + " HTTP/1.0\r\n\r\n";
  HttpRequest request;
  int status = 0;
  const std::string paths[] = {target, ParseHttpRequest(&inbox, HttpLimits(), &request, &status) ==
                                               HttpParse::kComplete ? request.path : ""};
  for (const std::string& path : paths) {
    std::string bytes;
    if (ReadWebFile(Root(), path, kMaxWebFileBytes, &bytes) == WebFile::kRead && bytes == kCanary) abort();
  }
  return 0;
}
