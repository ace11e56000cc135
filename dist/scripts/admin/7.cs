// ban-delete - ADDRESS: lifts the address's ban
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (is_ip(arg(1)) == 0) return refuse(res, req, "usage: ADDRESS");
  CDB_Ram inferno = cs.GetDBRamIpInferno();
  if (inferno == 0) return refuse(res, req, "no ban list");
  if (inferno.Delete(arg(1)) != 1) return refuse(res, req, "not banned");
  inferno.Save();
  return done(res, req);
}
