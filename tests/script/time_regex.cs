// time_regex.cs - the clock, date formatting, sleeping and REeq with its
// captures $1 to $5.
// Run it by hand:  torvane-script tests/script/time_regex.cs
// It prints "N passed, M failed" and returns the number of failures.

#include "check.csh"

int main() {
  same("Time is after 2020", "" + (cs.Time() > 1577836800), "1");
  int before = cs.GetTickCount();
  cs.Sleep(20);
  int after = cs.GetTickCount();
  same("GetTickCount counts the sleep", "" + (after - before >= 20), "1");

  // Dates are formatted in UTC; a null format gives the HTTP date.
  same("DateTimeFormat", cs.DateTimeFormat("%Y-%m-%d %H:%M:%S", 86400), "1970-01-02 00:00:00");
  same("DateTimeFormat HTTP", cs.DateTimeFormat(0, 784111777), "Sun, 06 Nov 1994 08:49:37 GMT");

  // REeq keeps the first five groups for $1 to $5; option 1 is caseless.
  same("REeq caseless", "" + cs.REeq("abc", "(B)(C)", 1), "1");
  same("$1 to $5", cs.$1() + cs.$2() + cs.$3() + cs.$4() + cs.$5(), "bc");

  cs.Print(cs.Format("%d passed, %d failed\n", passed, failed));
  return failed;
}
