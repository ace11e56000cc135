// cron-list - the scheduled jobs and their signatures (no arguments)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  HashArray jobs = new HashArray();
  cs.ViewCronJob(jobs);
  for (int i = 0; i < jobs.GetRecordCount(); i++) row2(res, jobs.GetKeyByIndex(i), jobs.GetByIndexS(i));
  return done(res, req);
}
