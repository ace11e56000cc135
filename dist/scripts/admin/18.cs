// alwl-view - [COUNT]: the automatic white list's pairs and their records (default 100)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  int count = 100;
  if (arg(1) != "") {
    if (is_number(arg(1)) == 0) return refuse(res, req, "usage: [COUNT]");
    count = cs.CharToInt(arg(1));
  }
  HashArray entries = new HashArray();
  cs.ViewALWLDB(entries, count, 0, "", 0);
  for (int i = 0; i < entries.GetRecordCount(); i++) row2(res, entries.GetKeyByIndex(i), entries.GetByIndexS(i));
  return done(res, req);
}
