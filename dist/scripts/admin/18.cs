// alwl-view - [COUNT]: the automatic white list's pairs and their records (default 100)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  int count = count_arg(1, 100);
  if (count < 0) return refuse(res, req, "usage: [COUNT]");
  HashArray entries = new HashArray();
  cs.ViewALWLDB(entries, count, 0, "", 0);
  pair_rows(res, entries);
  return done(res, req);
}
