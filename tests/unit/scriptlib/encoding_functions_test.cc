// CS_InConde: a known value of each codec, the functions that chain two, MD5 forms and bounds (round trips and
// the decoding rounds: text_codecs_test).
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

// MD5 of "" and of "abc" (RFC 1321 test suite).
constexpr char kMD5Empty[] = "d41d8cd98f00b204e9800998ecf8427e";
constexpr char kMD5Abc[] = "900150983cd24fb0d6963f7d28e17f72";

TEST(CS_InCondeTest, Base64KnownValuesAndLineBreaks) {
  const struct {
    const char* plain;
    const char* encoded;
  } cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe", "//4="},
  };
  CS_InConde c;
  for (const auto& t : cases) {
    EXPECT_STREQ(c.Encode64(t.plain), t.encoded) << t.plain;
    EXPECT_STREQ(c.Decode64(t.encoded), t.plain) << t.encoded;
  }
  // Every full line of 76 characters ends in a line break, the last one too.
  EXPECT_EQ(std::string(c.Encode64(std::string(57, 'x').c_str())).substr(76), "\r\n");
  const std::string e58 = c.Encode64(std::string(58, 'x').c_str());
  ASSERT_EQ(e58.size(), 82u);
  EXPECT_EQ(e58.substr(76, 2), "\r\n");
  EXPECT_EQ(e58.substr(80), "==");
}

TEST(CS_InCondeTest, Decode64SkipsForeignCharactersAndStops) {
  const struct {
    const char* encoded;
    const char* plain;
  } cases[] = {
      {"Zm 9v\r\n*Ym!Fy", "foobar"},  // anything outside the alphabet is skipped
      {"Zg==Zm9v", "f"},              // stops at the first '='
      {"Zm9vY", "foo"},               // a lone last sextet holds no byte
      {"Zm9vYg", "foob"},             // unpadded last group
      {nullptr, ""},
  };
  CS_InConde c;
  for (const auto& t : cases) {
    EXPECT_STREQ(c.Decode64(t.encoded), t.plain) << (t.encoded ? t.encoded : "(null)");
  }
}

TEST(CS_InCondeTest, MD5FileReadsInAnyBlockSize) {
  ScratchDir dir;
  std::string content;
  for (int i = 0; i < 10000; ++i) content += static_cast<char>('a' + i % 26);
  const std::string path = dir.Put("data.bin", content);
  CS_InConde c;
  const std::string expected = c.MD5(content.c_str());
  for (const int block : {1, 0, 1048576, 1048577}) {
    EXPECT_EQ(c.MD5File(path.c_str(), block), expected) << block;
  }
  EXPECT_STREQ(c.MD5File(dir.File("missing").c_str(), 100), "");
}

TEST(CS_InCondeTest, MD5OfTextAndStream) {
  CS_InConde c;
  EXPECT_STREQ(c.MD5("abc"), kMD5Abc);
  EXPECT_EQ(c.MD5(nullptr), nullptr);
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
  const struct {
    const char* name;
    const String* buffer;
    int length;
    const char* expected;
  } cases[] = {
      {"length past the end", &abc, 32768, kMD5Abc},
      {"length too large", &abc, 32769, kMD5Empty},
      {"zero length", &abc, 0, kMD5Empty},
      {"null buffer", nullptr, 3, kMD5Empty},
  };
  for (const auto& t : cases) {
    CS_InConde c;
    c.MD5UpdateStreamB(t.buffer, t.length);
    EXPECT_STREQ(c.MD5FinalStream(), t.expected) << t.name;
  }
}

TEST(CS_InCondeTest, HtmlAndURLKnownValues) {
  const MethodCase cases[] = {
      {"encode markup", &CS_InConde::EncodeHtmlSpecialChar, "a & <\"x\">", "a&nbsp;&amp;&nbsp;&lt;&quot;x&quot;&gt;"},
      {"encode high bytes", &CS_InConde::EncodeHtmlSpecialChar, "\x98\xb0\x01", "&tilde;&deg;\x01"},
      {"decode amp stays", &CS_InConde::DecodeHtmlSpecialChar, "a&nbsp;&amp;", "a\xa0&amp;"},
      {"decode second spellings", &CS_InConde::DecodeHtmlSpecialChar, "&#176;&#730;&mu;&asymp;",
       "\xb0\xb0\xb5\x98"},
      {"decode unknown and broken", &CS_InConde::DecodeHtmlSpecialChar, "&foo; &lt &;&&lt;", "&foo; &lt &;&<"},
      {"decode case matters", &CS_InConde::DecodeHtmlSpecialChar, "&Scaron;&scaron;&LT;", "\x8a\x9a&LT;"},
      {"references after entities", &CS_InConde::DeOfuscate, "&#65;&#066;&lt;&#62;", "AB<>"},
      {"amp never made a reference", &CS_InConde::DeOfuscate, "&amp;#65;", "&amp;#65;"},
      {"tags stripped, then decoded", &CS_InConde::HtmlToText, "<b>bold</b> &amp; &lt;i&gt;", "bold &amp; <i>"},
      {"URL encode", &CS_InConde::URLEncode, "a /\xe9-Az09_", "a%20%2F%E9%2DAz09_"},
  };
  CS_InConde c;
  for (const MethodCase& t : cases) {
    EXPECT_STREQ((c.*t.method)(t.input), t.expected) << t.name;
  }
  EXPECT_EQ(c.URLEncode(nullptr), nullptr);
}

}  // namespace
