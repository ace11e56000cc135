// utility - application path, files, clocks, time texts, text helpers and the
// keyed hexadecimal field encoding.
#include "base/utility.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
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
// Breaks `t` (now when 0) down in local time. False, with `out` emptied,
// when it cannot be; false alone when `out` is null.
bool LocalParts(String* out, time_t t, struct tm* parts) {
  if (out == nullptr) return false;
  if (t == 0) t = time(nullptr);
  if (localtime_r(&t, parts) != nullptr) return true;
  out->Empty();
  return false;
}

// ---- Keyed hexadecimal field encoding --------------------------------------

constexpr char kHexDigits[] = "0123456789abcdef";

// Walks the key sequence: the key's characters, then a zero byte, repeated.
class KeyStream {
 public:
  explicit KeyStream(const char* key) : key_(key), at_(key) {}
  uint8_t Next() {
    uint8_t byte = static_cast<uint8_t>(*at_);
    at_ = byte == 0 ? key_ : at_ + 1;
    return byte;
  }

 private:
  const char* key_;
  const char* at_;
};

bool IsEmptyKey(const char* key) { return key == nullptr || key[0] == '\0'; }

// The value of one hexadecimal digit (either case), or -1.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes `hex` (REQUIRES: `length` even) with `key` into `bytes`; false at
// the first character that is not a hexadecimal digit.
bool DecodeHexPairs(const char* hex, size_t length, const char* key, std::string* bytes) {
  KeyStream sequence(key);
  bytes->resize(length / 2);
  for (size_t i = 0; i < length; i += 2) {
    int high = HexValue(hex[i]);
    int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    (*bytes)[i / 2] = static_cast<char>((high << 4 | low) ^ sequence.Next());
  }
  return true;
}

// The common path of the two decoders: `out` becomes the decoded bytes, as
// binary contents or as text (ending at the first zero byte).
bool DecodeField(String* out, const char* hex, const char* key, bool as_binary) {
  if (out == nullptr || IsEmptyKey(key)) return false;
  // Longest encoded text accepted, plus one to tell "too long" apart.
  constexpr size_t kScanLimit = 2 * (kMaxCryptBytes - 1) + 1;
  size_t length = hex == nullptr ? 0 : strnlen(hex, kScanLimit);
  out->Empty();
  if (length < 2) return true;  // too short to hold a byte: the empty text
  std::string bytes;
  if (length % 2 != 0 || length >= kScanLimit || !DecodeHexPairs(hex, length, key, &bytes)) {
    return false;
  }
  if (as_binary) {
    out->SetBuffer(bytes.data(), bytes.size());
  } else {
    *out = bytes.c_str();
  }
  return true;
}

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

const char* FileName(const char* path) {
  const char* slash = path == nullptr ? nullptr : strrchr(path, '\\');
  return slash == nullptr ? "Error" : slash + 1;
}

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

void GetDateToLongTime(String* out, time_t t) {
  struct tm parts;
  if (!LocalParts(out, t, &parts)) return;
  out->Format("%04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
}

void GetTimeToLongTime(String* out, time_t t) {
  struct tm parts;
  if (!LocalParts(out, t, &parts)) return;
  out->Format("%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
}

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

void FORMAT(String* out, const char* format, ...) {
  if (out == nullptr) return;
  char text[kMaxFormatChars + 1] = "";
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
  *out = text;
}

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

String RAGetTagXML(const char* text, const char* open, const char* close, int max_len) {
  String result;
  if (text == nullptr || open == nullptr || close == nullptr || *open == '\0' || *close == '\0') {
    return result;
  }
  const char* start = strstr(text, open);
  if (start == nullptr) return result;
  start += strlen(open);
  const char* end = strstr(start, close);
  if (end == nullptr) return result;
  size_t length = end - start;
  if (max_len > 0 && length > static_cast<size_t>(max_len)) length = max_len;
  result.append(start, length);
  if (max_len > 0) {
    result.Replace("&gt;", ">");
    result.Replace("&lt;", "<");
  }
  return result;
}

// ---- Keyed hexadecimal field encoding --------------------------------------

bool EnHexCrypt(String* out, const void* data, size_t n, const char* key) {
  if (out == nullptr || IsEmptyKey(key)) return false;
  out->Empty();
  if (n >= kMaxCryptBytes || (data == nullptr && n > 0)) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::string hex(2 * n, '\0');
  KeyStream sequence(key);
  for (size_t i = 0; i < n; ++i) {
    uint8_t coded = bytes[i] ^ sequence.Next();
    hex[2 * i] = kHexDigits[coded >> 4];
    hex[2 * i + 1] = kHexDigits[coded & 15];
  }
  *out = hex.c_str();
  return true;
}

bool DeHexCrypt(String* out, const char* hex, const char* key) {
  return DecodeField(out, hex, key, /*as_binary=*/true);
}

bool GetStrigEnCrypt(String* out, const char* text, const char* key) {
  if (text == nullptr) text = "";
  return EnHexCrypt(out, text, strlen(text), key);
}

bool GetStrigDeCrypt(String* out, const char* hex, const char* key) {
  return DecodeField(out, hex, key, /*as_binary=*/false);
}
