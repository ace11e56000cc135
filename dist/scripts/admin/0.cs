// list - every command: number, name and usage (no arguments)
#include "fields.csh"

// The first line of a command script, "// NAME - USAGE", split into the row.
int Main(CAdminRequest req, CAdminResponse res) {
  CS_FileSystem fs = new CS_FileSystem();
  HashArray names = new HashArray();
  string dir = fs.AppPath() + "/scripts/admin/";
  fs.ReadDir(dir, names);
  for (int n = 0; n < 1000; n++) {
    string file = cs.IntToChar(n) + ".cs";
    if (names.KeyExists(file) == 0) continue;
    CS_File f = new CS_File();
    CS_Buffer b = new CS_Buffer();
    b.Allocate(200);
    if (f.Open(dir + file, 32768) == 0) continue;
    f.Read(b);
    f.Close();
    if (cs.REeq(b.ToString(), "^// ([a-z0-9-]+) - ([^\\r\\n]*)") == 0) continue;
    res.Addnew();
    res.SetFieldAt(1, cs.IntToChar(n));
    res.SetFieldAt(2, cs.$1());
    res.SetFieldAt(3, cs.$2());
  }
  return done(res, req);
}
