// config-save - writes the configuration and reloads it (no arguments)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  cs.SaveConfig();
  cs.WaitForReplaceConfig();
  cs.SetRebootConfig(1);
  return done(res, req);
}
