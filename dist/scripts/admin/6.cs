// ban-add - ADDRESS SECONDS: refuses the address's connections for that long
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (is_ip(arg(1)) == 0 || is_number(arg(2)) == 0) return refuse(res, req, "usage: ADDRESS SECONDS");
  CDB_Ram inferno = cs.GetDBRamIpInferno();
  if (inferno == 0) return refuse(res, req, "no ban list");
  inferno.Delete(arg(1));
  inferno.Insert(arg(1), cs.IntToChar(cs.Time() + cs.CharToInt(arg(2))));
  inferno.Save();
  return done(res, req);
}
