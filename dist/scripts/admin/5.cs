// ban-list - banned addresses and when each ban ends (no arguments)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  CDB_Ram inferno = cs.GetDBRamIpInferno();
  if (inferno == 0) return refuse(res, req, "no ban list");
  HashArray bans = new HashArray();
  inferno.Query("", bans);
  pair_rows(res, bans);
  return done(res, req);
}
