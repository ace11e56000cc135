// config-save - writes the configuration and reloads it (no arguments)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  // The values set are taken into the running configuration first, which
  // is what SaveConfig writes.
  cs.WaitForReplaceConfig();
  cs.SaveConfig();
  cs.SetRebootConfig(1);
  return done(res, req);
}
