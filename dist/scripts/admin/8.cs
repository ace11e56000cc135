// cron-list - the scheduled jobs and their signatures (no arguments)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  HashArray jobs = new HashArray();
  cs.ViewCronJob(jobs);
  pair_rows(res, jobs);
  return done(res, req);
}
