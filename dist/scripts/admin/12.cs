// plugin-install - FOLDER UNIQUEID: runs the plug-in's install function
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (is_name(arg(1)) == 0 || is_name(arg(2)) == 0) return refuse(res, req, "usage: FOLDER UNIQUEID");
  if (cs.PlugInInstall(arg(1), arg(2)) == 0) return refuse(res, req, "install failed (see the log)");
  return done(res, req);
}
