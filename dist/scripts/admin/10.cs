// cron-delete - "JOB" [SIGNATURE]: removes a job and saves the crontab
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (is_line(arg(1)) == 0 || is_line(arg(2)) == 0) return refuse(res, req, "usage: \"JOB\" [SIGNATURE]");
  if (cs.DeleteCronJob(arg(1), arg(2)) == 0) return refuse(res, req, "no such job");
  return done(res, req);
}
