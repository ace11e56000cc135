// xml_log - record buffers, the XML log file and its rotation decision.
#include "base/xml_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The root element's closing tag; records are written over it.
constexpr char kCloseRoot[] = "</LogFile>";
constexpr int kCloseRootLength = sizeof(kCloseRoot) - 1;
// A file whose first bytes can be read continues an earlier log.
constexpr size_t kProbeBytes = 5;
// Blanks per depth step of an element line.
constexpr int kIndentPerDepth = 2;
constexpr int64_t kSecondsPerHour = 3600;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kSecondsPerWeek = 604800;
constexpr int64_t kSecondsPerMonth = 2678400;  // 31 days
constexpr int64_t kBytesPerMB = 1048576;
// Longest period (seconds) and size (MB) taken, so the arithmetic stays exact.
constexpr int64_t kMaxPeriodSeconds = INT32_MAX;
constexpr int64_t kMaxSizeMB = 1 << 20;

const char* TextOf(const String& s) { return s.GetData() != nullptr ? s.GetData() : ""; }

// A field value as XML element text: "&", "<", ">" and the double quote
// become entities, a control character XML 1.0 does not allow becomes "?",
// and the result keeps at most `max_chars` characters without cutting an
// entity in two.
std::string EscapeValue(const char* value, size_t max_chars) {
  std::string out;
  for (const char* p = value; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const char* piece = nullptr;
    char plain[2] = {*p, '\0'};
    switch (c) {
      case '&': piece = "&amp;"; break;
      case '<': piece = "&lt;"; break;
      case '>': piece = "&gt;"; break;
      case '"': piece = "&quot;"; break;
      default:
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') plain[0] = '?';
        piece = plain;
    }
    const size_t length = strlen(piece);
    if (out.size() + length > max_chars) break;
    out.append(piece, length);
  }
  return out;
}

bool LocalTime(time_t t, tm* out) { return localtime_r(&t, out) != nullptr; }

}  // namespace

String LogExcerpt(std::string_view text, size_t max_bytes) {
  const bool cut = text.size() > max_bytes;
  std::string out(text.substr(0, max_bytes));
  for (char& c : out) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n' || c == '\t') {
      c = ' ';
    } else if (byte < 0x20 || byte == 0x7F) {
      c = '?';
    }
  }
  if (cut) out += "...";
  return String(std::string_view(out));
}

// ---- CLogSimple ---------------------------------------------------------

void CLogSimple::LogS(int level, const char* entry, const char* filename, const char* function,
                      const char* type, int id_connection) {
  if (!Keeps(level)) return;
  LogSimple_item item;
  item.level = level;
  item.entry = entry != nullptr ? entry : "";
  item.filename = filename != nullptr ? filename : "";
  item.function = function != nullptr ? function : "";
  item.type = type != nullptr ? type : "";
  item.idConnection = id_connection;
  CriticalScope hold(lock_);
  items_.Add(item);
}

void CLogSimple::LogFormat(const char* format, ...) {
  char message[kMaxFormatChars + 1];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format != nullptr ? format : "", args);
  va_end(args);
  LogS(kLogDebug, message, "", "", "", 0);
}

void CLogSimple::Merge(CLogSimple& from, int id_connection) {
  from.Drain([this, id_connection](const LogSimple_item& item) {
    LogS(item.level, TextOf(item.entry), TextOf(item.filename), TextOf(item.function),
         TextOf(item.type), id_connection > 0 ? id_connection : item.idConnection);
  });
}

void CLogSimple::Drain(const std::function<void(const LogSimple_item&)>& sink) {
  CriticalScope hold(lock_);
  for (const LogSimple_item& item : items_) sink(item);
  items_.RemoveAll();
}

int CLogSimple::GetCount() {
  CriticalScope hold(lock_);
  return items_.GetCount();
}

// ---- LogXML -------------------------------------------------------------

LogXML::LogXML(const char* path, const char* app_name, WallClock clock) : clock_(clock) {
  const bool exists = file_.Open(path, CKFile::kModeReadWriteExisting);
  if (!exists && !file_.Open(path, CKFile::kModeReadWriteCreate)) return;
  char probe[kProbeBytes];
  file_.Seek(0, CKFile::kSeekStart);
  if (file_.Read(probe, sizeof(probe)) == 0) {
    WriteHeader(app_name);
    file_.Flush();
  }
  depth_ = 1;
}

LogXML::~LogXML() { Close(); }

bool LogXML::WriteHeader(const char* app_name) {
  static const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n";
  static const char kStylesheet[] = "<?xml-stylesheet href=\"Log.xsl\" type=\"text/xsl\" ?>";
  depth_ = 0;
  bool ok = WriteData(kDeclaration, sizeof(kDeclaration) - 1);
  ok = WriteData(kStylesheet, sizeof(kStylesheet) - 1) && ok;
  ok = WriteLine("<LogFile>") && ok;
  ok = WriteLine("AppName", app_name) && ok;
  ok = WriteTimestamp() && ok;
  ok = WriteDateTime() && ok;
  depth_ = 1;
  return ok;
}

void LogXML::SetLogLevel(int level) {
  level_ = level;
  char notice[64];
  snprintf(notice, sizeof(notice), "Set Log Level to: %d", level);
  Log(kLogAlways, notice, nullptr, nullptr, log_type::kSys, 0);
}

bool LogXML::Log(int level, const char* entry, const char* filename, const char* function,
                 const char* type, int id_connection) {
  if (level > level_) return true;
  bool ok = goDown();
  ok = WriteFields(entry, filename, function, type, id_connection) && ok;
  return goUp() && ok;
}

bool LogXML::WriteFields(const char* entry, const char* filename, const char* function,
                         const char* type, int id_connection) {
  bool ok = true;
  if (level_ != kLogDebug) {
    ok = WriteLine("Filename", nullptr) && ok;
    ok = WriteLine("Function", nullptr) && ok;
  } else {
    if (filename != nullptr) ok = WriteLine("Filename", filename) && ok;
    if (function != nullptr) ok = WriteLine("Function", function) && ok;
  }
  if (type != nullptr) ok = WriteLine("Type", type) && ok;
  if (id_connection != 0) {
    char number[16];
    snprintf(number, sizeof(number), "%d", id_connection);
    ok = WriteLine("IdConnection", number) && ok;
  }
  return WriteLine("Entry", entry) && ok;
}

void LogXML::PrintLogSimple(CLogSimple& buffer, int id_connection) {
  buffer.Drain([this, id_connection](const CLogSimple::LogSimple_item& item) {
    LogS(item.level, TextOf(item.entry), TextOf(item.filename), TextOf(item.function),
         TextOf(item.type), id_connection > 0 ? id_connection : item.idConnection);
  });
}

uint64_t LogXML::GetLenFile() { return file_.GetLength(); }

void LogXML::Close() {
  if (!file_.IsValid()) return;
  while (depth_ > 1) goUp();
  Log(kLogError, "Log File closed", "logxml", nullptr, log_type::kSys, 0);
  --depth_;
  file_.Close();
}

bool LogXML::goDown() {
  if (!file_.IsValid()) return false;
  if (close_at_ < 0) close_at_ = FindRecordPosition();
  file_.Seek(close_at_, CKFile::kSeekStart);
  position_ = close_at_;
  bool ok = WriteLine("<LogItem>");
  ++depth_;
  return WriteDateTime() && ok;
}

int64_t LogXML::FindRecordPosition() {
  char tail[kCloseRootLength];
  const uint64_t length = file_.GetLength();
  if (length >= static_cast<uint64_t>(kCloseRootLength)) {
    file_.Seek(-kCloseRootLength, CKFile::kSeekEnd);
    if (file_.Read(tail, sizeof(tail)) == sizeof(tail) && memcmp(tail, kCloseRoot, kCloseRootLength) == 0) {
      return static_cast<int64_t>(length) - kCloseRootLength;
    }
  }
  return static_cast<int64_t>(length);
}

bool LogXML::goUp() {
  if (depth_ <= 1) return true;
  --depth_;
  bool ok = WriteLine("</LogItem>");
  const int64_t close_at = position_;
  ok = WriteData(kCloseRoot, kCloseRootLength) && ok;
  ok = file_.Flush() && ok;
  // After a failed write the file's end is not known: look again next time.
  close_at_ = ok ? close_at : -1;
  return ok;
}

bool LogXML::WriteDateTime() {
  tm local{};
  if (!LocalTime(clock_(), &local)) return false;
  char line[64];
  snprintf(line, sizeof(line), "<Date>%04d-%02d-%02d</Date>", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday);
  bool ok = WriteLine(line);
  snprintf(line, sizeof(line), "<Time>%02d:%02d:%02d</Time>", local.tm_hour, local.tm_min,
           local.tm_sec);
  return WriteLine(line) && ok;
}

bool LogXML::WriteTimestamp() {
  char line[64];
  snprintf(line, sizeof(line), "<Timestamp>%ld</Timestamp>", static_cast<long>(clock_()));
  return WriteLine(line);
}

bool LogXML::WriteLine(const char* text) {
  std::string line = "\n";
  line.append(static_cast<size_t>(depth_ > 0 ? depth_ * kIndentPerDepth : 0), ' ');
  line += text;
  return WriteData(line.data(), line.size());
}

bool LogXML::WriteLine(const char* tag, const char* value) {
  const std::string escaped = EscapeValue(value != nullptr ? value : "", kMaxValueChars);
  std::string element = std::string("<") + tag + ">" + escaped + "</" + tag + ">";
  return WriteLine(element.c_str());
}

bool LogXML::WriteData(const char* bytes, size_t n) {
  if (!file_.IsValid()) return false;
  const size_t written = file_.Write(bytes, n);
  position_ += static_cast<int64_t>(written);
  return written == n;
}

// ---- RoteteLogXML -------------------------------------------------------

void RoteteLogXML::SetPer(int type, int value) {
  const int64_t count = value < 1 ? 1 : value;
  int64_t unit = 0;
  switch (type) {
    case kHours: unit = kSecondsPerHour; break;
    case kDays: unit = kSecondsPerDay; break;
    case kWeeks: unit = kSecondsPerWeek; break;
    case kMonths: unit = kSecondsPerMonth; break;
    case kSize: size_mb_ = count < kMaxSizeMB ? count : kMaxSizeMB; break;
    default: period_ = 0; break;  // unknown type: never rotate
  }
  if (unit > 0) {
    period_ = count * unit < kMaxPeriodSeconds ? count * unit : kMaxPeriodSeconds;
    last_period_ = clock_() / period_;
  }
  rot_type_ = type;
}

bool RoteteLogXML::IsRotateLog(LogXML* log) {
  if (rot_type_ == kSize) {
    return log != nullptr && log->GetLenFile() >= static_cast<uint64_t>(size_mb_ * kBytesPerMB);
  }
  if (rot_type_ < kHours || rot_type_ > kMonths || period_ <= 0) return false;
  const int64_t now_period = clock_() / period_;
  const bool passed = last_period_ > 0 && last_period_ != now_period;
  last_period_ = now_period;
  return passed;
}

void RoteteLogXML::MakeArchiveName(String* out, time_t t) {
  tm local{};
  if (out == nullptr) return;
  if (!LocalTime(t, &local)) local = tm{};
  char name[96];
  snprintf(name, sizeof(name), "logs/log_%04d-%02d-%02d_%02d-%02d-%02d.xml", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  *out = name;
}
