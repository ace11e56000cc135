// library_loader - COpenLib over dlopen, with the ownership check of the files
// whose code it runs.
#include "engines/library_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

COpenLib::~COpenLib() { Close(); }

std::string COpenLib::UnsafeReason(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return "";  // missing: dlopen says so
  if (info.st_uid != 0 && info.st_uid != geteuid()) {
    return std::string(path) + " belongs to another user";
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return std::string(path) + " is writable by group or others";
  }
  return "";
}

void COpenLib::Fail(const std::string& reason, const char* format, const char* argument) {
  error_ = reason;
  printf(format, argument);
  fflush(stdout);
}

bool COpenLib::Init(const char* path, int extra_flags) {
  Close();
  error_.clear();
  if (path == nullptr) path = "";
  // The folder first: whoever may write there can swap the file itself.
  for (const std::string& checked : {Folder(path), std::string(path)}) {
    const std::string unsafe = UnsafeReason(checked.c_str());
    if (!unsafe.empty()) {
      Fail(unsafe, "plugin dlopen fail: %s\n", unsafe.c_str());
      return false;
    }
  }
  handle_ = dlopen(path, RTLD_LAZY | extra_flags);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    Fail(why != nullptr ? why : path, "plugin dlopen fail: %s\n", why != nullptr ? why : path);
    return false;
  }
  return true;
}

void* COpenLib::LoadFunction(const char* symbol) {
  if (handle_ == nullptr || symbol == nullptr) {
    Fail("nothing loaded", "plugin dlsym(%s) fail\n", symbol != nullptr ? symbol : "");
    return nullptr;
  }
  dlerror();  // clear a stale error
  void* entry = dlsym(handle_, symbol);
  if (entry == nullptr) {
    const char* why = dlerror();
    Fail(why != nullptr ? why : symbol, "plugin dlsym(%s) fail\n", symbol);
    return nullptr;
  }
  error_.clear();
  return entry;
}

void COpenLib::Close() {
  if (handle_ == nullptr) return;
  dlclose(handle_);
  handle_ = nullptr;
}
