// strings.cs - slicing, trimming, case, fields, replacing, conversions and Format; returns the failures.

#include "check.csh"

int main() {
  // Split cuts at a character value (',' is an int), fields count from 0.
  same("Split 0", cs.Split("a,b,,d", ',', 0), "a");
  same("Split last", cs.Split("a,b,,d", ',', 3), "d");

  // Only spaces are trimmed.
  same("TrimInternal", cs.TrimInternal("  a   b  "), "a b");
  same("Trim", cs.Trim("  x  "), "x");
  same("TrimLeft", cs.TrimLeft("  x  "), "x  ");
  same("TrimRight", cs.TrimRight("  x  "), "  x");

  same("SubStr", cs.SubStr("hello", 1, 3), "ell");
  same("Lc", cs.Lc("AbC1"), "abc1");
  same("Uc", cs.Uc("AbC1"), "ABC1");
  same("Replace", cs.Replace("a-b-c", "-", "+"), "a+b+c");
  same("StrLen", "" + cs.StrLen("hello"), "5");
  same("CompareStringNoCase equal", "" + cs.CompareStringNoCase("ABC", "abc"), "0");

  // Conversions between characters, numbers and text.
  same("Ord", "" + cs.Ord('A'), "65");
  same("Chr", "" + cs.Chr(66), "66");
  same("CharToInt", "" + cs.CharToInt("42x"), "42");
  same("CharToFloat", cs.FloatToChar(cs.CharToFloat("2.5")), "2.5");
  same("IntToChar", cs.IntToChar(-7), "-7");
  same("FloatToInt truncates", "" + cs.FloatToInt(-2.7), "-2");

  // Format takes one value per conversion, in order.
  same("Format", cs.Format("%05.1f|%d|%s|%%", 3.14159, 7, "x"), "003.1|7|x|%");

  cs.Print(cs.Format("%d passed, %d failed\n", passed, failed));
  return failed;
}
