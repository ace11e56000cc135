// status - version, client address, today's connections, banned addresses, cron jobs and plug-ins (no arguments)
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
  // Today's counters as last saved (the daemon saves them every minute).
  CS_FileSystem fs = new CS_FileSystem();
  CS_Statistic stats = new CS_Statistic();
  HashArray counters = new HashArray();
  string today = "0";
  if (stats.Load(fs.AppPath() + "/db/DAY_" + cs.DateTimeFormat("%Y-%m-%d", cs.Time()) + ".stc")) {
    stats.PopulatedArray(counters);
    if (counters.KeyExists("f1tot_conn")) today = counters.GetS("f1tot_conn");
  }
  row2(res, "connections_today", today);
  row2(res, "banned", cs.IntToChar(banned));
  row2(res, "cron_jobs", cs.IntToChar(jobs.GetRecordCount()));
  row2(res, "plugins", cs.IntToChar(plugins.GetRecordCount()));
  return done(res, req);
}
