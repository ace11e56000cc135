// library_loader - COpenLib ("open library"): a shared library loaded at run
// time and its entry points looked up by name. The MySQL connector loads the
// client library through it, so the daemon runs without that library.
#ifndef TORVANE_ENGINES_LIBRARY_LOADER_H_
#define TORVANE_ENGINES_LIBRARY_LOADER_H_

#include <string>

// Not thread-safe: one owner loads, looks up and closes. Failures are printed
// on standard output ("plugin dlopen fail: ...", "plugin dlsym(...) fail")
// for an administrator running the check by hand, and kept for LastError.
class COpenLib {
 public:
  COpenLib() = default;
  // Close.
  virtual ~COpenLib();
  COpenLib(const COpenLib&) = delete;
  COpenLib& operator=(const COpenLib&) = delete;

  // Loads `path` with lazy binding (plus `extra_flags`, e.g. RTLD_NODELETE).
  // A file or folder that a user other than its owner could replace is
  // refused: the daemon runs as root and would run that user's code. The
  // file and its folder must belong to root or to this process's user and
  // be writable by neither group nor others. False, printed and kept in
  // LastError, when refused or when the loader fails.
  bool Init(const char* path, int extra_flags = 0);
  // The entry point `symbol`, or null (printed, kept in LastError) when it is
  // missing or nothing is loaded.
  void* LoadFunction(const char* symbol);
  // Unloads; nothing when not loaded.
  void Close();

  bool IsLoaded() const { return handle_ != nullptr; }
  // Why the last Init or LoadFunction failed ("" after a success).
  const std::string& LastError() const { return error_; }

 private:
  // "" when `path` (a file or folder) is safe to load code from, else why not.
  static std::string UnsafeReason(const char* path);
  void Fail(const std::string& reason, const char* format, const char* argument);

  void* handle_ = nullptr;  // from dlopen; owned
  std::string error_;
};

#endif  // TORVANE_ENGINES_LIBRARY_LOADER_H_
