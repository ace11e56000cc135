// quarantine-delete - NAME KEY: removes a message from its quarantine
#include "fields.csh"
#include "quarantine.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (is_quarantine(arg(1)) == 0 || is_message_key(arg(2)) == 0) return refuse(res, req, "usage: NAME KEY");
  CS_Bayes bayes = cs.GetDBBayes();
  if (bayes == 0) return refuse(res, req, "no Bayes filter");
  CDB_Ram index = bayes.GetDBRam(cs.Uc(arg(1)));
  CS_FileSystem fs = new CS_FileSystem();
  if (index.Delete(arg(2)) != 1) return refuse(res, req, "no such message");
  index.Save();
  fs.UnLink(message_path(arg(1), arg(2)));
  return done(res, req);
}
