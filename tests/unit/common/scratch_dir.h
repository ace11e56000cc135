// scratch_dir - a private temporary directory for file tests, removed with
// everything in it when the test ends.
#ifndef TORVANE_TESTS_UNIT_COMMON_SCRATCH_DIR_H_
#define TORVANE_TESTS_UNIT_COMMON_SCRATCH_DIR_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/utility.h"

class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/torvane_test_XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
    EXPECT_FALSE(path_.empty()) << "mkdtemp failed";
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Writes `contents` as the whole file `name`; returns its path.
  std::string Put(const std::string& name, const std::string& contents) const {
    std::ofstream(File(name), std::ios::binary) << contents;
    return File(name);
  }
  // The whole file at `path` ("" when it cannot be read).
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string path_;
};

// A scratch directory that is the application path while it lives.
class ScratchAppDir : public ScratchDir {
 public:
  ScratchAppDir() { SetAppPath(path().c_str()); }
  ~ScratchAppDir() { SetAppPath(nullptr); }
};

// A file holding `contents` in a scratch directory the test process shares,
// removed with the object. Files made one after another sit side by side, as
// scripts that include each other by name expect.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& contents, const std::string& suffix = ".cs")
      : path_(Shared().Put("file" + std::to_string(++made_) + suffix, contents)) {}
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  static ScratchDir& Shared() {
    static ScratchDir dir;
    return dir;
  }
  static inline int made_ = 0;
  std::string path_;
};

#endif  // TORVANE_TESTS_UNIT_COMMON_SCRATCH_DIR_H_
