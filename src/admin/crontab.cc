// crontab - parsing crontab lines and matching their time fields (see
// crontab.h).
#include "admin/crontab.h"

#include <string>

#include "scriptlib/cron_script.h"

namespace {

// What a time field may hold, by position in the job text.
struct FieldRange {
  const char* name;
  int lo;
  int hi;
};
constexpr FieldRange kFieldRanges[] = {
    {"minute", 0, 59}, {"hour", 0, 23}, {"day of month", 1, 31}, {"month", 1, 12}, {"day of week", 0, 6},
};
// The time fields plus the script name.
constexpr size_t kJobFields = 6;
// A number in a field has at most this many digits, so reading it cannot
// overflow an int.
constexpr size_t kMaxDigits = 9;
// Characters of a field quoted in an error message.
constexpr size_t kMaxQuotedChars = 40;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Quoted(std::string_view text) {
  return "\"" + std::string(text.substr(0, kMaxQuotedChars)) + (text.size() > kMaxQuotedChars ? "...\"" : "\"");
}

// A decimal number that makes up all of `text`; false for anything else.
bool ReadNumber(std::string_view text, int* out) {
  if (text.empty() || text.size() > kMaxDigits) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

// Sets in `allowed` the values of one list item: a number or a range "A-B".
bool ParseItem(std::string_view item, const FieldRange& range, uint64_t* allowed, std::string* error) {
  const size_t dash = item.find('-');
  int first = 0;
  int last = 0;
  if (dash == std::string_view::npos) {
    if (!ReadNumber(item, &first)) {
      *error = std::string(range.name) + " " + Quoted(item) + " is not a number, a range, a list or a step";
      return false;
    }
    last = first;
  } else if (!ReadNumber(item.substr(0, dash), &first) || !ReadNumber(item.substr(dash + 1), &last)) {
    *error = std::string(range.name) + " range " + Quoted(item) + " is not two numbers";
    return false;
  }
  for (int value : {first, last}) {
    if (value < range.lo || value > range.hi) {
      *error = std::string(range.name) + " " + std::to_string(value) + " is outside " + std::to_string(range.lo) +
               "-" + std::to_string(range.hi);
      return false;
    }
  }
  if (first > last) {
    *error = std::string(range.name) + " range " + Quoted(item) + " runs backwards";
    return false;
  }
  for (int value = first; value <= last; ++value) *allowed |= uint64_t{1} << value;
  return true;
}

}  // namespace

CCronJob::CCronJob(const char* job, const char* signature)
    : job_(job != nullptr ? job : ""), signature_(signature != nullptr ? signature : "") {
  if (!Parse()) script_name_.clear();
}

bool CCronJob::Parse() {
  std::vector<std::string_view> parts;
  const std::string_view text(job_);
  for (size_t at = 0; at < text.size();) {
    if (IsBlank(text[at])) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    parts.push_back(text.substr(at, end - at));
    at = end;
  }
  if (parts.size() != kJobFields) {
    error_ = "expected 6 fields (minute hour day month weekday script), found " + std::to_string(parts.size());
    return false;
  }
  for (int i = 0; i < kTimeFields; ++i) {
    const FieldRange& range = kFieldRanges[i];
    const std::string_view field = parts[i];
    Field& parsed = fields_[i];
    if (field == "*" || field.substr(0, 2) == "*/") {
      int step = 1;
      const int span = range.hi - range.lo + 1;
      if (field.size() > 1 && (!ReadNumber(field.substr(2), &step) || step > span)) {
        error_ = std::string(range.name) + " step " + Quoted(field) + " is not a number up to " + std::to_string(span);
        return false;
      }
      if (step < 1) step = 1;  // "*/0" means every value
      for (int value = range.lo; value <= range.hi; value += step) parsed.allowed |= uint64_t{1} << value;
      parsed.star = true;
      continue;
    }
    for (size_t at = 0;;) {
      const size_t comma = field.find(',', at);
      const std::string_view item = field.substr(at, comma == std::string_view::npos ? field.npos : comma - at);
      if (item.empty()) {
        error_ = std::string(range.name) + " list " + Quoted(field) + " has an empty item";
        return false;
      }
      if (!ParseItem(item, range, &parsed.allowed, &error_)) return false;
      if (comma == std::string_view::npos) break;
      at = comma + 1;
    }
  }
  script_name_ = CleanCronScriptName(std::string(parts[kTimeFields]).c_str());
  if (script_name_.empty()) {
    error_ = "the script name " + Quoted(parts[kTimeFields]) + " names no file";
    return false;
  }
  fixed_time_ = !fields_[kMinute].star && !fields_[kHour].star;
  return true;
}

bool CCronJob::CalcolateJob(const CronMinute& when) const {
  if (!IsValid()) return false;
  const int values[kTimeFields] = {when.minute, when.hour, when.day, when.month, when.weekday};
  for (int i = 0; i < kTimeFields; ++i) {
    if (values[i] < 0 || values[i] > 63 || (fields_[i].allowed & (uint64_t{1} << values[i])) == 0) return false;
  }
  return true;
}

std::string CleanCrontabField(std::string_view text) {
  std::string clean;
  for (char c : text) {
    if (c != '\r' && c != '\n') clean.push_back(c);
  }
  const size_t first = clean.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return clean.substr(first, clean.find_last_not_of(" \t") - first + 1);
}

std::string CrontabLineProblem(const std::string& job, const std::string& signature) {
  if (job.size() + 1 + signature.size() > CCronJob::kMaxLineBytes) {
    return "longer than " + std::to_string(CCronJob::kMaxLineBytes) + " bytes";
  }
  for (const std::string* field : {&job, &signature}) {
    for (unsigned char c : *field) {
      if ((c < 0x20 && c != '\t') || c == 0x7f) return "holds a control character";
      if (c == '=') return "holds \"=\" in the job or the signature";
    }
  }
  return "";
}

std::vector<CrontabLine> SplitCrontab(std::string_view text) {
  std::vector<CrontabLine> lines;
  int number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view raw = text.substr(at, end - at);
    at = end + 1;
    ++number;
    const size_t first_equal = raw.find('=');
    const size_t second_equal = first_equal == raw.npos ? raw.npos : raw.find('=', first_equal + 1);
    CrontabLine line;
    line.number = number;
    // Fields may hold NUL bytes: std::string keeps them, so they show up
    // as control characters below instead of cutting the field short.
    line.job = CleanCrontabField(raw.substr(0, first_equal));
    if (first_equal != raw.npos) {
      line.signature = CleanCrontabField(
          raw.substr(first_equal + 1, second_equal == raw.npos ? raw.npos : second_equal - first_equal - 1));
    }
    if (line.job.empty()) continue;
    line.error = CrontabLineProblem(line.job, line.signature);
    lines.push_back(std::move(line));
  }
  return lines;
}
