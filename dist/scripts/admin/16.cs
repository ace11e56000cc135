// stats-day - [YYYY-MM-DD]: the counters of a day (default today, UTC date), name and value
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  CS_FileSystem fs = new CS_FileSystem();
  string day = arg(1);
  if (day == "") day = cs.DateTimeFormat("%Y-%m-%d", cs.Time());
  if (cs.REeq(day, "^[0-9]{4}-[0-9]{2}-[0-9]{2}$") == 0) return refuse(res, req, "usage: [YYYY-MM-DD]");
  CS_Statistic stats = new CS_Statistic();
  if (stats.Load(fs.AppPath() + "/db/DAY_" + day + ".stc") == 0) return refuse(res, req, "no statistics for " + day);
  HashArray counters = new HashArray();
  stats.PopulatedArray(counters);
  pair_rows(res, counters);
  return done(res, req);
}
