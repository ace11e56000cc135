// config-get - SECTION [KEY]: the values of a section (secrets masked)
#include "fields.csh"

// Keys whose values give root's powers are never shown.
int is_secret(string section, string key) {
  return cs.REeq(section + " " + key, "^(READMIN (key|password)|WEBGUI password)$", 1);
}

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  string section = arg(1);
  string key = arg(2);
  if (is_name(section) == 0 || (key != "" && is_name(key) == 0)) return refuse(res, req, "usage: SECTION [KEY]");
  HashArray values = new HashArray();
  cs.GetConfigToArray(values, section);
  for (int i = 0; i < values.GetRecordCount(); i++) {
    string name = values.GetKeyByIndex(i);
    if (key != "" && cs.CompareStringNoCase(name, key) != 0) continue;
    string value = values.GetByIndexS(i);
    if (is_secret(section, name)) value = "********";
    row2(res, name, value);
  }
  return done(res, req);
}
