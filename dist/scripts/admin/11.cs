// plugins - installed plug-ins: uniqueID and folder (no arguments)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  HashArray plugins = new HashArray();
  cs.GetPlugInInstalled(plugins);
  pair_rows(res, plugins);
  return done(res, req);
}
