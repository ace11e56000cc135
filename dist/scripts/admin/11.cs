// plugins - installed plug-ins: uniqueID and folder (no arguments)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  HashArray plugins = new HashArray();
  cs.GetPlugInInstalled(plugins);
  for (int i = 0; i < plugins.GetRecordCount(); i++) row2(res, plugins.GetKeyByIndex(i), plugins.GetByIndexS(i));
  return done(res, req);
}
