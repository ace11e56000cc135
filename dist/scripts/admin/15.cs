// gui-password - PASSWORD: sets the web GUI's password (stored as its MD5) and saves
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (cs.StrLen(arg(1)) < 8 || is_line(arg(1)) == 0) return refuse(res, req, "usage: PASSWORD (8 characters or more)");
  cs.SetConfig("READMIN", "password", cs.MD5(arg(1)));
  cs.WaitForReplaceConfig();
  cs.SaveConfig();
  return done(res, req);
}
