// persistent.cs - objects kept between scripts (persistent objects), and
// what a script run by hand gets from the management functions: the daemon's
// engines are not there, so each answers empty.
// Run it by hand:  torvane-script tests/script/persistent.cs
// It prints "N passed, M failed" and returns the number of failures.

#include "check.csh"

// Another part of a job reaching the same cell by name.
int read_counter() {
  CS_Flag cell = cs.GetPersistentOBJ("runs", "CS_Flag");
  return cell.GetInt();
}

int main() {
  CS_Flag counter = cs.CreatePersistentOBJ("runs", "CS_Flag");
  counter.SetInt(counter.GetInt() + 1);
  same("persistent cell by name", "" + read_counter(), "1");

  // Without the daemon: no configuration, no resolver, no engines.
  same("GetConfig", cs.GetConfig("loglevel"), "");
  same("DNS_Resolve", cs.DNS_Resolve("localhost"), "");
  same("InsertDomain", "" + cs.InsertDomain("example.org"), "-1");
  same("IsALWL", "" + cs.IsALWL("a@example.org", "b@example.org"), "0");
  same("GetDBPhishingDate", cs.GetDBPhishingDate(), "");

  cs.Print(cs.Format("%d passed, %d failed\n", passed, failed));
  return failed;
}
