// log-tail - [COUNT]: the last records of the log (default 20, at most 500)
#include "fields.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  int count = count_arg(1, 20);
  if (count < 0) return refuse(res, req, "usage: [COUNT]");
  if (count > 500) count = 500;
  CS_FileSystem fs = new CS_FileSystem();
  XMLParse records = new XMLParse();
  // A long log is read from its last tenth only.
  if (fs.FileSize(fs.AppPath() + "/torvane_log.xml") > 4000000) records.SetPartSeek(9);
  records.LoadFile(fs.AppPath() + "/torvane_log.xml");
  int first = records.GetCountChild() - count;
  if (first < 0) first = 0;
  for (int i = first; i < records.GetCountChild(); i++) {
    XMLChild item = records.GetChild(i);
    res.Addnew();
    res.SetFieldAt(1, item.GetValue("Date") + " " + item.GetValue("Time"));
    res.SetFieldAt(2, item.GetValue("Type"));
    res.SetFieldAt(3, item.GetValue("Entry"));
  }
  return done(res, req);
}
