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
  same("DateTimeFormat now", "" + cs.REeq(cs.DateTimeFormat(0),
       "^\\w{3}, \\d{2} \\w{3} \\d{4} \\d{2}:\\d{2}:\\d{2} GMT$"), "1");

  // REeq keeps the first five groups; option 1 is caseless.
  same("REeq caseless", "" + cs.REeq("abc", "(B)(C)", 1), "1");
  same("$1", cs.$1(), "b");
  same("$2", cs.$2(), "c");
  same("$3 unused", cs.$3(), "");
  same("REeq five groups", "" + cs.REeq("k1=v1;k2=v2", "(\\w)(\\d)=(\\w+);(\\w+)=(\\w)"), "1");
  same("$5", cs.$1() + cs.$2() + cs.$3() + cs.$4() + cs.$5(), "k1v1k2v");
  same("REeq no match", "" + cs.REeq("abc", "(x)"), "0");
  same("$1 cleared", cs.$1(), "");
  same("REeq bad pattern", "" + cs.REeq("abc", "("), "0");
  // 2: ^ at every line, 4: '.' also matches a line end.
  same("REeq multi-line", "" + cs.REeq("a\nb", "^b", 2), "1");
  same("REeq dot-all", "" + cs.REeq("a\nb", "a.b", 4), "1");
  same("REeq dot without dot-all", "" + cs.REeq("a\nb", "a.b"), "0");

  cs.Print(cs.Format("%d passed, %d failed\n", passed, failed));
  return failed;
}
