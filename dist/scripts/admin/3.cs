// config-set - SECTION KEY VALUE: changes one value in memory (config-save applies it)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (is_name(arg(1)) == 0 || is_name(arg(2)) == 0 || is_line(arg(3)) == 0) {
    return refuse(res, req, "usage: SECTION KEY VALUE (one line)");
  }
  cs.SetConfig(arg(1), arg(2), arg(3));
  return done(res, req);
}
