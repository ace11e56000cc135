// CS_InConde: known values of the codecs, MD5 forms and bounds (the rounds: text_codecs_test).
#include "scriptlib/encoding_functions.h"

#include <gtest/gtest.h>

#include <string>

#include "common/scratch_dir.h"

namespace {

// One text method applied to one input.
struct MethodCase {
  const char* name;
  const char* (CS_InConde::*method)(const char*);
  const char* input;
  const char* expected;
};

// Runs each case on a fresh object.
template <size_t N>
void ExpectMethodCases(const MethodCase (&cases)[N]) {
  for (const MethodCase& t : cases) {
    CS_InConde c;
    EXPECT_STREQ((c.*t.method)(t.input), t.expected) << t.name;
  }
}

// MD5 of "" and of "abc" (RFC 1321 test suite).
constexpr char kMD5Empty[] = "d41d8cd98f00b204e9800998ecf8427e";
constexpr char kMD5Abc[] = "900150983cd24fb0d6963f7d28e17f72";

TEST(CS_InCondeTest, Encode64BreaksLinesAfter76Characters) {
  CS_InConde c;
  const std::string b57(57, 'x');
  const std::string e57 = c.Encode64(b57.c_str());
  ASSERT_EQ(e57.size(), 78u);
  EXPECT_EQ(e57.substr(76), "\r\n");
  EXPECT_EQ(e57.find('='), std::string::npos);

  const std::string b58(58, 'x');
  const std::string e58 = c.Encode64(b58.c_str());
  ASSERT_EQ(e58.size(), 82u);
  EXPECT_EQ(e58.substr(76, 2), "\r\n");
  EXPECT_EQ(e58.substr(80), "==");
  EXPECT_EQ(e58.substr(0, 76), e57.substr(0, 76));
}

TEST(CS_InCondeTest, Base64KnownValues) {
  const struct {
    const char* plain;
    const char* encoded;
  } cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe", "//4="},
  };
  CS_InConde c;
  for (const auto& t : cases) {
    EXPECT_STREQ(c.Encode64(t.plain), t.encoded) << t.plain;
    EXPECT_STREQ(c.Decode64(t.encoded), t.plain) << t.encoded;
  }
}

TEST(CS_InCondeTest, Decode64SkipsForeignCharactersAndStops) {
  const struct {
    const char* encoded;
    const char* plain;
  } cases[] = {
      {"Zm9v\r\nYmFy", "foobar"},  // line breaks skipped
      {"Zm 9v*Ym!Fy", "foobar"},   // any character outside the alphabet
      {"Zg==Zm9v", "f"},           // stops at the first '='
      {"Zm9vY", "foo"},            // a lone last sextet holds no byte
      {"Zm9vYg", "foob"},          // unpadded last group
      {"AEE=", ""},                // decoded NUL ends the text
      {"QQBC", "A"},               // "A\0B" is the text "A"
      {nullptr, ""},
  };
  CS_InConde c;
  for (const auto& t : cases) {
    EXPECT_STREQ(c.Decode64(t.encoded), t.plain) << (t.encoded ? t.encoded : "(null)");
  }
}

TEST(CS_InCondeTest, MD5OfTextAndNull) {
  CS_InConde c;
  EXPECT_STREQ(c.MD5("abc"), kMD5Abc);
  EXPECT_STREQ(c.MD5(""), kMD5Empty);
  EXPECT_EQ(c.MD5(nullptr), nullptr);
}

TEST(CS_InCondeTest, MD5FileReadsInAnyBlockSize) {
  ScratchDir dir;
  std::string content;
  for (int i = 0; i < 10000; ++i) content += static_cast<char>('a' + i % 26);
  const std::string path = dir.Put("data.bin", content);
  CS_InConde c;
  const std::string expected = c.MD5(content.c_str());
  for (const int block : {1, 7, 4096, 0, -5, 1048576, 1048577}) {
    EXPECT_EQ(c.MD5File(path.c_str(), block), expected) << block;
  }
  EXPECT_STREQ(c.MD5File(dir.Put("empty", "").c_str(), 100), kMD5Empty);
  EXPECT_STREQ(c.MD5File(dir.File("missing").c_str(), 100), "");
  EXPECT_STREQ(c.MD5File(nullptr, 100), "");
}

TEST(CS_InCondeTest, MD5StreamSumsItsPieces) {
  CS_InConde c;
  c.MD5StartStream();
  c.MD5UpdateStream("a");
  String buffer;
  buffer.SetBuffer("bcXYZ", 5);
  c.MD5UpdateStreamB(&buffer, 2);
  EXPECT_STREQ(c.MD5FinalStream(), kMD5Abc);
  // Final starts afresh; StartStream drops what was fed.
  EXPECT_STREQ(c.MD5FinalStream(), kMD5Empty);
  c.MD5UpdateStream("junk");
  c.MD5StartStream();
  c.MD5UpdateStream("abc");
  EXPECT_STREQ(c.MD5FinalStream(), kMD5Abc);
}

TEST(CS_InCondeTest, MD5UpdateStreamBNeverReadsPastTheBuffer) {
  String abc;
  abc.SetBuffer("abc", 3);
  String text("abc");  // a text String: its stored length bounds the read
  const struct {
    const char* name;
    const String* buffer;
    int length;
    const char* expected;
  } cases[] = {
      {"length past the end", &abc, 32768, kMD5Abc},
      {"text buffer", &text, 1000, kMD5Abc},
      {"length too large", &abc, 32769, kMD5Empty},
      {"zero length", &abc, 0, kMD5Empty},
      {"null buffer", nullptr, 3, kMD5Empty},
  };
  for (const auto& t : cases) {
    CS_InConde c;
    c.MD5UpdateStreamB(t.buffer, t.length);
    EXPECT_STREQ(c.MD5FinalStream(), t.expected) << t.name;
  }
  CS_InConde c;
  c.MD5UpdateStreamBytes("abcdef", 3, 6);
  EXPECT_STREQ(c.MD5FinalStream(), kMD5Abc);
}

TEST(CS_InCondeTest, HtmlEntityCases) {
  const MethodCase cases[] = {
      {"encode amp and spaces", &CS_InConde::EncodeHtmlSpecialChar, "a & b", "a&nbsp;&amp;&nbsp;b"},
      {"encode markup", &CS_InConde::EncodeHtmlSpecialChar, "<\"x\">", "&lt;&quot;x&quot;&gt;"},
      {"encode first row of a byte", &CS_InConde::EncodeHtmlSpecialChar, "\x98\xb0\xb5\x82",
       "&tilde;&deg;&micro;&sbquo;"},
      {"encode keeps 0x01", &CS_InConde::EncodeHtmlSpecialChar, "\x01", "\x01"},
      {"decode amp stays", &CS_InConde::DecodeHtmlSpecialChar, "a&nbsp;&amp;&nbsp;b",
       "a\xa0&amp;\xa0" "b"},
      {"decode second spellings", &CS_InConde::DecodeHtmlSpecialChar, "&#176;&#730;&mu;&asymp;",
       "\xb0\xb0\xb5\x98"},
      {"decode unknown and broken", &CS_InConde::DecodeHtmlSpecialChar, "&foo; &lt &;&lt;",
       "&foo; &lt &;<"},
      {"decode double amp", &CS_InConde::DecodeHtmlSpecialChar, "&&lt;", "&<"},
      {"decode case matters", &CS_InConde::DecodeHtmlSpecialChar, "&Scaron;&scaron;&LT;",
       "\x8a\x9a&LT;"},
      {"decode null", &CS_InConde::DecodeHtmlSpecialChar, nullptr, ""},
  };
  ExpectMethodCases(cases);
}

TEST(CS_InCondeTest, DeOfuscateFollowsReferences) {
  const struct {
    const char* input;
    const char* expected;
  } cases[] = {
      {"&#65;&#066;C", "ABC"},
      {"&#9;x", "&#9;x"},                // one digit is no reference
      {"a&#300;b", "ab"},                // codes above 255 are removed
      {"&#38;#65;", "A"},                // "&#38;" is '&', making "&#65;"
      {"&amp;#65;", "&amp;#65;"},        // "&amp;" is never decoded
      {"&lt;&#62;", "<>"},               // entities first
      {nullptr, ""},
  };
  CS_InConde c;
  for (const auto& t : cases) {
    EXPECT_STREQ(c.DeOfuscate(t.input), t.expected) << (t.input ? t.input : "(null)");
  }
}

TEST(CS_InCondeTest, HtmlToTextStripsTagsThenDecodes) {
  const struct {
    const char* input;
    const char* expected;
  } cases[] = {
      {"<b>bold</b> &amp; <i>it</i>", "bold &amp; it"},
      {"1 < 2 and 3 > 2", "1  2"},             // a "tag" is any "<...>" on a line
      {"a <\nb> c", "a <\nb> c"},              // not across lines
      {"x<>y", "x<>y"},                        // needs a character inside
      {"x<a><b<a>>", "x"},                     // removing both copies joins "<b>"
      {"&lt;b&gt;", "<b>"},                    // decoded after stripping
      {nullptr, ""},
  };
  CS_InConde c;
  for (const auto& t : cases) {
    EXPECT_STREQ(c.HtmlToText(t.input), t.expected) << (t.input ? t.input : "(null)");
  }
}

TEST(CS_InCondeTest, URLCoding) {
  const MethodCase cases[] = {
      {"encode", &CS_InConde::URLEncode, "a /\xe9", "a%20%2F%E9"},
      {"encode word chars", &CS_InConde::URLEncode, "Az09_", "Az09_"},
      {"encode symbols", &CS_InConde::URLEncode, "-.~+", "%2D%2E%7E%2B"},
      {"decode two rounds", &CS_InConde::URLDecode, "%2541", "A"},
      {"decode plus", &CS_InConde::URLDecode, "a+b%2B", "a b+"},
      {"decode broken", &CS_InConde::URLDecode, "%G1%4%", "%G1%4%"},
      {"decode nul dropped", &CS_InConde::URLDecode, "a%00b", "ab"},
      {"decode null", &CS_InConde::URLDecode, nullptr, ""},
  };
  ExpectMethodCases(cases);
  CS_InConde c;
  EXPECT_EQ(c.URLEncode(nullptr), nullptr);
}


}  // namespace
