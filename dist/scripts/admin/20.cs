// quarantine-list - NAME [COUNT]: messages of quarantine spam, ham, neutral or learn: key, first, second, subject
#include "fields.csh"
#include "quarantine.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  int count = count_arg(2, 100);
  if (is_quarantine(arg(1)) == 0 || count < 0) return refuse(res, req, "usage: spam|ham|neutral|learn [COUNT]");
  CS_Bayes bayes = cs.GetDBBayes();
  if (bayes == 0) return refuse(res, req, "no Bayes filter");
  CDB_Ram index = bayes.GetDBRam(cs.Uc(arg(1)));
  HashArray entries = new HashArray();
  index.Query("", entries);
  // The index keeps its fields apart with byte 2. Chr gives that byte as a
  // character value (a number: text + Chr(2) appends "2"), so the text of
  // it comes from Format.
  string sep = cs.Format("%c", 2);
  for (int i = 0; i < entries.GetRecordCount() && i < count; i++) {
    res.Addnew();
    res.SetFieldAt(1, entries.GetKeyByIndex(i));
    if (cs.REeq(entries.GetByIndexS(i), "^([^" + sep + "]*)" + sep + "([^" + sep + "]*)" + sep + "(.*)$", 4)) {
      res.SetFieldAt(2, cs.$1());
      res.SetFieldAt(3, cs.$2());
      res.SetFieldAt(4, cs.$3());
    }
  }
  return done(res, req);
}
