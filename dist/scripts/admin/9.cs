// cron-add - "MIN HOUR DAY MONTH WEEKDAY SCRIPT" [SIGNATURE]: schedules a job and saves the crontab
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (is_line(arg(1)) == 0 || arg(1) == "" || (arg(2) != "" && is_name(arg(2)) == 0)) {
    return refuse(res, req, "usage: \"MIN HOUR DAY MONTH WEEKDAY SCRIPT\" [SIGNATURE]");
  }
  if (cs.AddCronJob(arg(1), arg(2)) == 0) return refuse(res, req, "job refused (see the log)");
  return done(res, req);
}
