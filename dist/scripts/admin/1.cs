// status - version, client address, banned addresses, cron jobs and plug-ins (no arguments)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  HashArray jobs = new HashArray();
  HashArray plugins = new HashArray();
  cs.ViewCronJob(jobs);
  cs.GetPlugInInstalled(plugins);
  int banned = 0;
  CDB_Ram inferno = cs.GetDBRamIpInferno();
  if (inferno != 0) banned = inferno.GetCount();
  row2(res, "version", GetTorvaneVersion());
  row2(res, "client", cs.GetClientIP());
  row2(res, "banned", cs.IntToChar(banned));
  row2(res, "cron_jobs", cs.IntToChar(jobs.GetRecordCount()));
  row2(res, "plugins", cs.IntToChar(plugins.GetRecordCount()));
  return done(res, req);
}
