// signals - recording handlers, and the async-signal-safe last words of a
// fatal signal: one XML log record written with pread/pwrite, the pid file
// unlinked, exit status 1.
#include "core/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "core/daemon.h"

namespace {

volatile sig_atomic_t g_reload_signal = 0;
volatile sig_atomic_t g_stop_signal = 0;
volatile sig_atomic_t g_pid_file_owned = 0;
// The fatal record's target: descriptor of the live log (-1: none), the
// log's threshold, and the local time's offset from UTC.
volatile sig_atomic_t g_fatal_fd = -1;
volatile sig_atomic_t g_fatal_level = 0;
volatile long g_utc_offset = 0;

constexpr char kFatalEntry[] =
    "Oh my god !!! riceve signal ABORT. Preserve the operation system  ... now Exit(1)";
constexpr char kCloseRoot[] = "</LogFile>";
constexpr int kCloseRootLength = sizeof(kCloseRoot) - 1;
// Room for one fatal record.
constexpr size_t kRecordBytes = 1024;

// A fixed buffer filled with async-signal-safe appends only.
class SafeText {
 public:
  void Add(const char* text) {
    while (*text != '\0' && length_ + 1 < sizeof(data_)) data_[length_++] = *text++;
  }
  // `value` with at least `width` digits, zero-padded.
  void AddNumber(long value, int width) {
    char digits[24];
    int n = 0;
    unsigned long v = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v > 0 && n < 20);
    while (n < width && n < 20) digits[n++] = '0';
    if (value < 0) Add("-");
    while (n > 0 && length_ + 1 < sizeof(data_)) data_[length_++] = digits[--n];
  }
  const char* data() const { return data_; }
  size_t size() const { return length_; }

 private:
  char data_[kRecordBytes];
  size_t length_ = 0;
};

// Civil date of a day count since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(long days, long* year, int* month, int* day) {
  days += 719468;
  const long era = (days >= 0 ? days : days - 146096) / 146097;
  const long doe = days - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

void AddField(SafeText* text, const char* tag, const char* value) {
  text->Add("\n    <");
  text->Add(tag);
  text->Add(">");
  text->Add(value);
  text->Add("</");
  text->Add(tag);
  text->Add(">");
}

void BuildFatalRecord(SafeText* text, int level) {
  const long local = static_cast<long>(time(nullptr)) + g_utc_offset;
  long days = local / 86400;
  long seconds = local % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  long year;
  int month, day;
  CivilFromDays(days, &year, &month, &day);
  text->Add("\n  <LogItem>\n    <Date>");
  text->AddNumber(year, 4);
  text->Add("-");
  text->AddNumber(month, 2);
  text->Add("-");
  text->AddNumber(day, 2);
  text->Add("</Date>\n    <Time>");
  text->AddNumber(seconds / 3600, 2);
  text->Add(":");
  text->AddNumber(seconds / 60 % 60, 2);
  text->Add(":");
  text->AddNumber(seconds % 60, 2);
  text->Add("</Time>");
  const bool debug = level == kLogDebug;
  AddField(text, "Filename", debug ? "torvaneantispamkrn" : "");
  AddField(text, "Function", debug ? "TorvaneAntispamkrn::core" : "");
  AddField(text, "Type", log_type::kSys);
  AddField(text, "Entry", kFatalEntry);
  text->Add("\n  </LogItem>");
  text->Add(kCloseRoot);
}

// Writes the record over the log's closing tag (or at its end).
void WriteFatalRecord() {
  const int fd = g_fatal_fd;
  const int level = g_fatal_level;
  if (fd < 0 || level < kLogError) return;
  SafeText record;
  BuildFatalRecord(&record, level);
  off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) return;
  char tail[kCloseRootLength];
  if (end >= kCloseRootLength && pread(fd, tail, sizeof(tail), end - kCloseRootLength) == kCloseRootLength &&
      memcmp(tail, kCloseRoot, kCloseRootLength) == 0) {
    end -= kCloseRootLength;
  }
  if (pwrite(fd, record.data(), record.size(), end) < 0) return;
}

[[noreturn]] void FatalExit() {
  WriteFatalRecord();
  if (g_pid_file_owned) unlink(kPidFilePath);
  _exit(1);
}

}  // namespace

void regHand(int signal, void (*function)(int)) {
  struct sigaction action {};
  action.sa_handler = function;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // interrupted calls return EINTR; every wait is bounded anyway
  sigaction(signal, &action, nullptr);
}

void handler(int signal) {
  switch (signal) {
    case SIGHUP:
      g_reload_signal = signal;
      break;
    case SIGTERM:
    case SIGINT:
      g_stop_signal = signal;
      break;
    case SIGSEGV:
    case SIGFPE:
    case SIGABRT:
      FatalExit();
    default:
      break;
  }
}

void InstallSignalHandlers(bool foreground) {
  for (int signal : {SIGTERM, SIGHUP, SIGSEGV, SIGFPE, SIGABRT}) regHand(signal, &handler);
  if (foreground) regHand(SIGINT, &handler);
}

void MarkPidFileOwned() { g_pid_file_owned = 1; }

void RemovePid() {
  if (g_pid_file_owned) unlink(kPidFilePath);
  g_pid_file_owned = 0;
}

int TakeReloadSignal() {
  const int signal = g_reload_signal;
  g_reload_signal = 0;
  return signal;
}

int TakeStopSignal() {
  const int signal = g_stop_signal;
  g_stop_signal = 0;
  return signal;
}

void SetFatalLogTarget(const char* path, int level, long utc_offset_seconds) {
  const int fresh = path != nullptr ? open(path, O_RDWR | O_CLOEXEC) : -1;
  const int old = g_fatal_fd;
  g_utc_offset = utc_offset_seconds;
  g_fatal_level = level;
  g_fatal_fd = fresh;
  if (old >= 0) close(old);
}
