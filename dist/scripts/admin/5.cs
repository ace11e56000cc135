// ban-list - banned addresses and when each ban ends (no arguments)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  CDB_Ram inferno = cs.GetDBRamIpInferno();
  if (inferno == 0) return refuse(res, req, "no ban list");
  HashArray bans = new HashArray();
  inferno.Query("", bans);
  for (int i = 0; i < bans.GetRecordCount(); i++) row2(res, bans.GetKeyByIndex(i), bans.GetByIndexS(i));
  return done(res, req);
}
