// encodings.cs - Base64, MD5, HTML entities, URL coding and HextoInt on mail text; returns the failures.

#include "check.csh"

// `count` copies of `text`.
string repeat(string text, int count) {
  string out = "";
  for (int i = 0; i < count; i++) out = out + text;
  return out;
}

int main() {
  // Base64 lines are 76 characters, each followed by CR LF.
  string line = repeat("YWFh", 19);
  same("Encode64 58 bytes", cs.Encode64(repeat("a", 58)), line + "\r\nYQ==");
  same("Encode64 short", cs.Encode64("abcd"), "YWJjZA==");
  same("Decode64", cs.Decode64("YWJjZA=="), "abcd");

  same("MD5", cs.MD5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  same("MD5File missing", cs.MD5File("/nonexistent/torvane/file", 0), "");
  cs.MD5StartStream();
  cs.MD5UpdateStream("a");
  cs.MD5UpdateStream("bc");
  same("MD5 stream", cs.MD5FinalStream(), "900150983cd24fb0d6963f7d28e17f72");

  // HTML entities: one table both ways; '&' is set aside while encoding.
  same("EncodeHtmlSpecialChar", cs.EncodeHtmlSpecialChar("a & b"), "a&nbsp;&amp;&nbsp;b");
  same("DecodeHtmlSpecialChar", cs.DecodeHtmlSpecialChar("&lt;b&gt;&quot;&amp;"), "<b>\"&amp;");
  same("DeOfuscate", cs.DeOfuscate("&#72;&#105;"), "Hi");
  same("HtmlToText", cs.HtmlToText("<p>Hi <b>there</b></p>&lt;"), "Hi there<");

  // URL coding: only letters, digits and '_' stay as they are.
  same("URLEncode", cs.URLEncode("a /" + cs.URLDecode("%E9")), "a%20%2F%E9");
  same("URLDecode two rounds", cs.URLDecode("%2541"), "A");

  same("HextoInt", "" + cs.HextoInt("1F"), "31");

  cs.Print(cs.Format("%d passed, %d failed\n", passed, failed));
  return failed;
}
