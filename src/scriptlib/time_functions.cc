// time_functions - the script time functions over the shared clock routines.
#include "scriptlib/time_functions.h"

#include <algorithm>
#include <ctime>

#include "base/thread.h"
#include "scriptlib/script_budget.h"

int CS_Tempo::Time() const { return static_cast<int>(GetTimeNow()); }

int CS_Tempo::GetTickCount() {
  const int64_t reading = ticks_();
  if (reading < last_reading_) {
    // The clock dropped back: continue from the last value returned.
    tick_base_ = reading;
    tick_offset_ = last_result_;
  }
  last_reading_ = reading;
  last_result_ = std::min<int64_t>(reading - tick_base_ + tick_offset_, INT32_MAX);
  return static_cast<int>(last_result_);
}

const char* CS_Tempo::DateTimeFormat(const char* format, int seconds) {
  String date("");
  if (format == nullptr) {
    MakeDataGMT(&date, seconds);
    return results_.Keep(Text::kDateTimeFormat, date);
  }
  const time_t when = seconds > 0 ? static_cast<time_t>(seconds) : GetTimeNow();
  struct tm parts;
  char text[kMaxDateChars + 1];
  if (gmtime_r(&when, &parts) != nullptr && strftime(text, sizeof text, format, &parts) > 0) {
    date = text;
  }
  return results_.Keep(Text::kDateTimeFormat, date);
}

void CS_Tempo::Sleep(int milliseconds) const {
  InterruptibleSleep(ScriptBudget::SleepAllowance(milliseconds));
}
