// utility - application path, files, clocks, time texts and text helpers.
#include "base/utility.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// ---- Application path ------------------------------------------------------

std::mutex app_path_mutex;
std::string app_path;  // guarded by app_path_mutex

// ---- Clocks ----------------------------------------------------------------

std::mutex tick_mutex;
TickCounter tick_counter;  // guarded by tick_mutex

// ---- Time texts ------------------------------------------------------------

// English names, whatever the process locale: these dates go into protocol
// headers that peers parse.
constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

// ---- Application path ------------------------------------------------------

void SetAppPath(const char* path) {
  std::lock_guard<std::mutex> lock(app_path_mutex);
  app_path = path == nullptr ? "" : path;
}

String GetAppPath() {
  std::lock_guard<std::mutex> lock(app_path_mutex);
  return String(app_path.c_str());
}

void MakeAppPath(String* out, const char* name) {
  if (out == nullptr) return;
  std::string base;
  {
    std::lock_guard<std::mutex> lock(app_path_mutex);
    if (app_path.empty()) {
      char cwd[kMaxCurrentDirChars + 1];
      if (getcwd(cwd, sizeof cwd) != nullptr) app_path = cwd;
    }
    base = app_path;
  }
  *out = base.c_str();
  out->append('/');
  out->append(name);
}

bool MakeAppDirectory(const char* name) {
  String dir;
  MakeAppPath(&dir, name);
  struct stat info;
  return mkdir(dir.GetData(), 0755) == 0 || (stat(dir.GetData(), &info) == 0 && S_ISDIR(info.st_mode));
}

// ---- Files -----------------------------------------------------------------

bool FileExists(const char* path) {
  struct stat info;
  return path != nullptr && stat(path, &info) == 0;
}

uint32_t FileSize(const char* path) {
  struct stat info;
  if (path == nullptr || stat(path, &info) != 0) return 0;
  return static_cast<uint32_t>(info.st_size);
}

bool MyDelete(const char* path) { return path != nullptr && unlink(path) == 0; }

// ---- Clocks ----------------------------------------------------------------

void MySleep(uint32_t milliseconds) {
  // usleep takes at most a second on some systems; nanosleep has no limit.
  struct timespec wait = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

time_t GetTimeNow() { return time(nullptr); }

uint32_t TickCounter::Tick(int64_t seconds, int64_t microseconds) {
  int64_t elapsed = seconds - base_;
  if (!started_ || elapsed > kMaxElapsedSeconds || elapsed < 0) {
    started_ = true;
    base_ = seconds - 1;
    elapsed = 1;
  }
  return static_cast<uint32_t>(elapsed * 1000 + microseconds / 1000);
}

uint32_t GetMyTickCount() {
  // The monotonic clock: intervals measured with the count must not jump when
  // the wall clock is set.
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::lock_guard<std::mutex> lock(tick_mutex);
  return tick_counter.Tick(now.tv_sec, now.tv_nsec / 1000);
}

// ---- Date and time texts ---------------------------------------------------

void MakeDataGMT(String* out, time_t t) {
  if (out == nullptr) return;
  if (t <= 0) t = time(nullptr);
  struct tm parts;
  if (gmtime_r(&t, &parts) == nullptr || parts.tm_wday < 0 || parts.tm_wday > 6 ||
      parts.tm_mon < 0 || parts.tm_mon > 11) {
    out->Empty();
    return;
  }
  out->Format("%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[parts.tm_wday], parts.tm_mday,
              kMonthNames[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min,
              parts.tm_sec);
}

// ---- Text ------------------------------------------------------------------

std::string Excerpt(std::string_view text, size_t max_chars) {
  std::string out(text.substr(0, max_chars));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

const char* OptionValue(const char* arg, const char* prefix) {
  const size_t length = strlen(prefix);
  return strncmp(arg, prefix, length) == 0 ? arg + length : nullptr;
}

bool SubString(String* out, const char* text, int index, char separator) {
  if (out == nullptr) return false;
  out->Empty();
  if (text == nullptr || index < 0) return false;
  const char* field = text;
  for (int i = 0; i < index; ++i) {
    const char* next = separator == '\0' ? nullptr : strchr(field, separator);
    if (next == nullptr) return false;
    field = next + 1;
  }
  const char* end = separator == '\0' ? nullptr : strchr(field, separator);
  size_t length = end == nullptr ? strlen(field) : static_cast<size_t>(end - field);
  if (length == 0) return false;
  out->append(field, length);
  return true;
}

int HextoInt(const char* text) {
  if (text == nullptr) return 0;
  int value = 0;
  for (int i = 0; i < kMaxHexDigits; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    int digit;
    if (c >= '*' && c <= '?') {
      digit = c & 15;
    } else if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
      digit = (c & 15) + 9;
    } else {
      break;
    }
    value = value * 16 + digit;
  }
  return value;
}
