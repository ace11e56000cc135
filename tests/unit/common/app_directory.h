// app_directory - a temporary application directory for one test: made with
// the script folder the tested kind reads from, set as the application path,
// and removed again (the previous path restored) when the test ends.
#ifndef TORVANE_TESTS_UNIT_COMMON_APP_DIRECTORY_H_
#define TORVANE_TESTS_UNIT_COMMON_APP_DIRECTORY_H_

#include <filesystem>
#include <string>

#include "base/string.h"
#include "base/utility.h"
#include "common/scratch_dir.h"

class TempAppDirectory : public ScratchDir {
 public:
  // `script_dir` is relative, e.g. "scripts/cron".
  explicit TempAppDirectory(const char* script_dir) : previous_(GetAppPath()), script_dir_(script_dir) {
    std::filesystem::create_directories(File(script_dir_));
    SetAppPath(path().c_str());
  }
  ~TempAppDirectory() { SetAppPath(previous_.GetData() != nullptr ? previous_.GetData() : ""); }

  // The path of script `name` in the script folder.
  std::string ScriptPath(const char* name) const { return File(script_dir_ + "/" + name); }
  // Writes script `name` into the script folder.
  void Write(const char* name, const std::string& source) const { Put(script_dir_ + "/" + name, source); }
  const std::string& root() const { return path(); }

 private:
  String previous_;
  std::string script_dir_;
};

#endif  // TORVANE_TESTS_UNIT_COMMON_APP_DIRECTORY_H_
