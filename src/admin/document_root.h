// document_root - the web server's files: opening a request's path strictly
// below the document root (no "..", absolute path or symbolic link leads
// out), reading it within a size bound, and the MIME type of an extension.
#ifndef TORVANE_ADMIN_DOCUMENT_ROOT_H_
#define TORVANE_ADMIN_DOCUMENT_ROOT_H_

#include <cstddef>
#include <string>
#include <string_view>

// Files served or read by pages at most; a larger one is an error.
inline constexpr size_t kMaxWebFileBytes = 11048575;

enum class WebFile { kRead, kMissing, kTooLarge };

// Opens `path` (a decoded request path; leading "/" ignored) for reading
// beneath the directory `root`. The descriptor (the caller closes it), or
// -1 when it does not exist, would leave the root, is no regular file or
// holds a NUL byte.
int OpenBeneath(const std::string& root, std::string_view path);
// Reads the file OpenBeneath opens: kRead with its bytes in *out, kMissing
// when it cannot be opened, kTooLarge over `max_bytes`.
WebFile ReadWebFile(const std::string& root, std::string_view path, size_t max_bytes, std::string* out);

// The lower-case text after the last "." of the path's last component; ""
// without one.
std::string ExtensionOf(std::string_view path);
// The Content-Type of an extension (lower case); "application/octet-stream"
// for an unknown one.
const char* MimeTypeOf(std::string_view extension);

#endif  // TORVANE_ADMIN_DOCUMENT_ROOT_H_
