// crontab_fuzz - crontab bytes: a crash, a script outside the cron folder, or an invalid job matching a minute.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "admin/crontab.h"

namespace {

// Minutes spread over every field's range, ends included.
constexpr CronMinute kProbes[] = {
    {0, 0, 1, 1, 0}, {59, 23, 31, 12, 6}, {30, 12, 15, 6, 3}, {7, 3, 29, 2, 5}, {45, 18, 30, 4, 1},
};

void Check(const CCronJob& job) {
  if (!job.IsValid()) {
    for (const CronMinute& when : kProbes) {
      if (job.CalcolateJob(when)) __builtin_trap();
    }
    return;
  }
  const std::string& script = job.GetScriptName();
  if (script.empty() || script.find('/') != std::string::npos || script.find("..") != std::string::npos) {
    __builtin_trap();
  }
  for (const CronMinute& when : kProbes) job.CalcolateJob(when);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const CrontabLine& line : SplitCrontab(text)) {
    if (line.job.empty() || line.job.size() > size) __builtin_trap();
    if (line.error.empty()) Check(CCronJob(line.job.c_str(), line.signature.c_str()));
  }
  const std::string job = CleanCrontabField(text);
  Check(CCronJob(job.c_str(), nullptr));
  return 0;
}
