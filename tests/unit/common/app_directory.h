// app_directory - a temporary application directory for one test: made with
// the script folder the tested kind reads from, set as the application path,
// and removed again (the previous path restored) when the test ends.
#ifndef TORVANE_TESTS_UNIT_COMMON_APP_DIRECTORY_H_
#define TORVANE_TESTS_UNIT_COMMON_APP_DIRECTORY_H_

#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <string>

#include "base/string.h"
#include "base/utility.h"
#include "common/scratch_dir.h"

class TempAppDirectory {
 public:
  // `script_dir` is relative, e.g. "scripts/cron".
  explicit TempAppDirectory(const char* script_dir) : previous_(GetAppPath()), script_dir_(script_dir) {
    std::filesystem::create_directories(root_ + "/" + script_dir_);
    SetAppPath(root_.c_str());
  }
  ~TempAppDirectory() { SetAppPath(previous_.GetData() != nullptr ? previous_.GetData() : ""); }
  TempAppDirectory(const TempAppDirectory&) = delete;
  TempAppDirectory& operator=(const TempAppDirectory&) = delete;

  // The path of script `name` in the script folder.
  std::string ScriptPath(const char* name) const { return root_ + "/" + script_dir_ + "/" + name; }
  // Writes script `name` into the script folder.
  void Write(const char* name, const std::string& source) const {
    FILE* file = fopen(ScriptPath(name).c_str(), "wb");
    ASSERT_NE(file, nullptr) << ScriptPath(name);
    fwrite(source.data(), 1, source.size(), file);
    fclose(file);
  }
  const std::string& root() const { return root_; }

 private:
  String previous_;
  std::string script_dir_;
  ScratchDir scratch_;
  const std::string root_ = scratch_.path();
};

#endif  // TORVANE_TESTS_UNIT_COMMON_APP_DIRECTORY_H_
