// crontab - CCronJob ("cron job"), one job of the crontab: five time fields
// and a cron script name, with an optional signature; and the splitting of
// the crontab text into job lines. Pure parsing and matching: the scheduler
// (cron_scheduler.h) brings the clock, the threads and the file.
//
// A crontab line is "JOB=SIGNATURE" (the signature may be empty, text after
// a second "=" is ignored). JOB is six fields separated by blanks or tabs:
// minute, hour, day of month, month, day of week (0 = Sunday), script. Each
// time field is "*", a step "*/N" (N below 1 counts as 1), a number, a range
// "A-B" or a list of numbers and ranges "1-5,10"; every number must lie in
// the field's range. A job matches a minute when all five fields do.
#ifndef TORVANE_ADMIN_CRONTAB_H_
#define TORVANE_ADMIN_CRONTAB_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One local wall-clock minute as the time fields see it.
struct CronMinute {
  int minute = 0;   // 0-59
  int hour = 0;     // 0-23
  int day = 1;      // day of month, 1-31
  int month = 1;    // 1-12
  int weekday = 0;  // 0-6, 0 = Sunday
};

// Immutable after construction, so any thread may read it.
class CCronJob {
 public:
  // Longest job line (job, "=" and signature) taken from the crontab or
  // from an admin client: more is never a sane job and would only bloat
  // the log lines that quote it.
  static constexpr size_t kMaxLineBytes = 1024;

  // Parses `job` and keeps `signature` (null: none). Both are taken as
  // given; CrontabLine and the scheduler clean them first. A job that does
  // not parse is kept with the reason (IsValid false) and never matches.
  CCronJob(const char* job, const char* signature);

  // True when the job text parsed.
  bool IsValid() const { return error_.empty(); }
  // Why the job text does not parse, e.g. "minute 61 is outside 0-59";
  // empty for a valid job.
  const std::string& GetError() const { return error_; }

  // True when the job is valid and every time field matches `when`.
  bool CalcolateJob(const CronMinute& when) const;
  // True when the minute and the hour are given as numbers (not "*" or a
  // step): a job meant for a wall-clock time of day, which the scheduler
  // runs once when the clock skips that time and not again when the clock
  // repeats it.
  bool IsFixedTime() const { return fixed_time_; }

  const std::string& GetJob() const { return job_; }
  const std::string& GetSignature() const { return signature_; }
  // The script file, relative to the cron script directory; "" for an
  // invalid job.
  const std::string& GetScriptName() const { return script_name_; }

 private:
  // The values a time field allows: bit v for value v.
  struct Field {
    uint64_t allowed = 0;
    bool star = false;  // "*" or a step: the field follows the clock
  };
  enum FieldIndex { kMinute, kHour, kDay, kMonth, kWeekday, kTimeFields };

  bool Parse();

  std::string job_;
  std::string signature_;
  std::string script_name_;
  std::string error_;
  Field fields_[kTimeFields];
  bool fixed_time_ = false;
};

// One job line of a crontab text.
struct CrontabLine {
  int number = 0;          // 1 for the first line of the text
  std::string job;         // trimmed, never empty
  std::string signature;   // trimmed, possibly empty
  std::string error;       // why the line cannot be a job; empty when it can
};

// Splits `text` into lines at "\n" (a last line without one counts too),
// cuts each at "=" into job and signature, cleans both (CleanCrontabField)
// and skips lines whose job is empty. A line with a CrontabLineProblem is
// kept with its error set. The job texts are not parsed here.
std::vector<CrontabLine> SplitCrontab(std::string_view text);

// Why a cleaned `job` and `signature` cannot make a crontab line: longer
// than CCronJob::kMaxLineBytes together, a control character other than
// tab, or an "=" (the line would read back cut differently). "" when they
// can.
std::string CrontabLineProblem(const std::string& job, const std::string& signature);

// `text` without CR and LF and trimmed of blanks and tabs at both ends: what
// the crontab reader does to a job or signature field, so that an admin
// client's job is saved and read back the same.
std::string CleanCrontabField(std::string_view text);

#endif  // TORVANE_ADMIN_CRONTAB_H_
