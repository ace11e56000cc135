// mail_parser_test - CParseMail and the decoded views the classifiers read.
#include "engines/mail_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/scratch_dir.h"
#include "engines/mail_decoding.h"

namespace {

struct Parsed {
  std::string header, body, subject, from, to, type, charset, encoding, id_domain;
  std::vector<std::string> part_types, part_data;
};

Parsed ParseText(const std::string& raw) {
  CParseMail mail;
  mail.AddStreaming(std::string_view(raw));
  EXPECT_EQ(mail.Parse(), 1);
  Parsed p{mail.GetHeader(), std::string(mail.BodyView()), mail.GetSubject(), mail.GetMailFrom(),
           mail.GetMailTo(), mail.GetContentType(), mail.GetCharset(), mail.GetContentTransferEncoding(),
           mail.GetMessageIdDomain(), {}, {}};
  for (int i = 0; i < mail.GetAttachmentCount(); ++i) {
    p.part_types.push_back(mail.GetAttachmentContentType(i));
    p.part_data.push_back(std::string(mail.Attachment(i)->data.View()));
  }
  return p;
}

TEST(CParseMail, HeaderSplitKeepsEveryByte) {
  struct Case {
    const char* raw;
    const char* header;
  } cases[] = {
      {"Subject: a\r\n\r\nbody\r\n", "Subject: a"},
      {"Subject: a\n\nbody", "Subject: a"},
      {"Subject: a\r\n\r\n", "Subject: a"},  // empty body: the header stays a header
      {"Subject: a\n\r\r\nbody", "Subject: a"},
      {"no empty line at all\r\n", ""},
      {"\r\nstarts empty", ""},
  };
  for (const Case& c : cases) {
    const Parsed p = ParseText(c.raw);
    EXPECT_EQ(p.header, c.header) << c.raw;
    EXPECT_EQ(p.header + p.body, c.raw);
  }
}

TEST(CParseMail, HeaderValuesComeFromTheirOwnFields) {
  const Parsed p = ParseText(
      "Reply-To: wrong@example.com\r\n"
      "To: right@example.com\r\n"
      "X-Subject: not this\r\n"
      "Subject:Hello\r\n"
      " again\r\n"
      "From: \"Al\" <al@example.com>\r\n"
      "Message-Id: <abc@mid.example>\r\n"
      "Content-Type: Text/Plain\r\n"
      "Content-Transfer-Encoding: Base64 \r\n"
      "\r\n"
      "body");
  EXPECT_EQ(p.to, "right@example.com");
  EXPECT_EQ(p.subject, "Hello again");
  EXPECT_EQ(p.from, "\"Al\" <al@example.com>");
  EXPECT_EQ(p.id_domain, "mid.example");
  EXPECT_EQ(p.type, "text/plain");
  EXPECT_EQ(p.encoding, "base64");
}

TEST(CParseMail, ContentTypeParameters) {
  struct Case {
    const char* content_type;
    const char* type;
    const char* charset;
  } cases[] = {
      {"text/plain", "text/plain", ""},
      {"text/html; charset=\"ISO-8859-1\"", "text/html", "iso-8859-1"},
      {"text/html;charset=UTF-8; format=flowed", "text/html", "utf-8"},
      {"text/plain; charset=koi8-r (comment)", "text/plain", "koi8-r"},
      {"text/plain; xcharset=no", "text/plain", ""},
  };
  for (const Case& c : cases) {
    const Parsed p = ParseText(std::string("Content-Type: ") + c.content_type + "\r\n\r\nx");
    EXPECT_EQ(p.type, c.type) << c.content_type;
    EXPECT_EQ(p.charset, c.charset) << c.content_type;
  }
}

TEST(CParseMail, MultipartPartsInOrder) {
  struct Case {
    const char* name;
    std::string raw;
    std::vector<std::string> types, data;
  } cases[] = {
      {"unquoted boundary, text and pdf",
       "Content-Type: multipart/mixed; boundary=XYZ\r\n\r\npreamble\r\n--XYZ\r\nContent-Type: text/plain\r\n\r\n"
       "hello\r\n--XYZ\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n"
       "--XYZ--\r\nepilogue",
       {"text/plain", "application/pdf"},
       {"hello", "JVBERi0="}},
      {"adjacent delimiters and a part without type",
       "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n--b\nX-No-Type: 1\n\nplain\n--b\n"
       "Content-Type: text/plain\n\nkept\n--b--\n",
       {"text/plain", "text/plain"},
       {"plain", "kept"}},
      {"parts without a header are plain text; a header cut short holds nothing",
       "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nno header\r\n--b\r\nno field\r\n\r\nline\r\n"
       "--b\r\nContent-Type: image/gif\r\n--b--\r\n",
       {"text/plain", "text/plain"},
       {"no header", "no field\r\n\r\nline"}},
      {"a digest's parts are messages",
       "Content-Type: multipart/digest; boundary=d\n\n--d\n\nSubject: one\n\nfirst\n--d--\n",
       {"message/rfc822"},
       {"Subject: one\n\nfirst"}},
      {"longer boundary with the same prefix is no delimiter",
       "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\none\n--bb\ntwo\n--b--\n",
       {"text/plain"},
       {"one\n--bb\ntwo"}},
      {"last part cut short is kept",
       "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/html\n\n<p>cut",
       {"text/html"},
       {"<p>cut"}},
      {"nested alternative, leaves in order",
       "Content-Type: multipart/mixed; boundary=out\n\n--out\nContent-Type: multipart/alternative; boundary=in\n\n"
       "--in\nContent-Type: text/plain\n\nplain\n--in\nContent-Type: text/html\n\nhtml\n--in--\n--out\n"
       "Content-Type: image/gif\n\nGIF\n--out--\n",
       {"text/plain", "text/html", "image/gif"},
       {"plain", "html", "GIF"}},
  };
  for (const Case& c : cases) {
    const Parsed p = ParseText(c.raw);
    EXPECT_EQ(p.part_types, c.types) << c.name;
    EXPECT_EQ(p.part_data, c.data) << c.name;
  }
}

TEST(CParseMail, HostileShapesStayBounded) {
  // 100 nested multiparts: walked to the depth limit, the rest kept whole.
  std::string nested = "Content-Type: multipart/mixed; boundary=b0\n\n";
  for (int i = 1; i <= 100; ++i) {
    nested += "--b" + std::to_string(i - 1) + "\nContent-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n";
  }
  nested += "--b100\nContent-Type: text/plain\n\ndeep\n";
  const Parsed deep = ParseText(nested);
  EXPECT_EQ(deep.part_types, std::vector<std::string>{"multipart/mixed"});

  std::string many = "Content-Type: multipart/mixed; boundary=b\n\n";
  for (int i = 0; i < CParseMail::kMaxParts + 50; ++i) many += "--b\nContent-Type: text/plain\n\nx\n";
  EXPECT_EQ(ParseText(many).part_types.size(), static_cast<size_t>(CParseMail::kMaxParts));
}

TEST(CParseMail, ParseTwiceAndAccessorsOutOfRange) {
  CParseMail mail;
  mail.LoadMail("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nx\n--b--\n");
  ASSERT_EQ(mail.Parse(), 1);
  ASSERT_EQ(mail.Parse(), 1);
  EXPECT_EQ(mail.GetAttachmentCount(), 1);
  for (int i : {-1, 1, 5}) EXPECT_STREQ(mail.GetAttachmentBuffer(i), "") << i;
  CParseMail empty;
  EXPECT_EQ(empty.Parse(), 0);
}

TEST(CParseMail, FilesAreBinarySafeAndReplacedWhole) {
  ScratchDir dir;
  std::string bytes = "Subject: nul\r\n\r\nbefore";
  bytes += std::string(3000, '\0') + "after";
  CParseMail mail;
  ASSERT_EQ(mail.LoadFromFile(dir.Put("in.eml", bytes).c_str()), 1);
  EXPECT_EQ(std::string(mail.RawView()), bytes);
  EXPECT_EQ(mail.LoadFromFile(dir.File("missing").c_str()), 0);
  ASSERT_EQ(mail.SaveInFile(dir.File("out.eml").c_str()), 1);
  EXPECT_EQ(ScratchDir::Contents(dir.File("out.eml")), bytes);
}

TEST(MailDecoding, TransferEncodingsAndCharsets) {
  struct Case {
    const char* data;
    const char* encoding;
    const char* charset;
    const char* text;
  } cases[] = {
      {"SGVs\r\nbG8=", "base64", "", "Hello"},
      {"SGVsbG8gd2", "base64", "", "Hello w"},  // cut mid-group
      {"S!G@V#s$bG8=", "base64", "", "Hello"},  // bad characters skipped
      {"caf=E9 =3D =ZZ=\r\nend", "quoted-printable", "iso-8859-1", "caf\xc3\xa9 = =ZZend"},
      {"\xe9t\xe9", "8bit", "", "\xc3\xa9t\xc3\xa9"},  // undeclared 8-bit: windows-1252
      {"\xc3\xa9t\xc3\xa9", "8bit", "utf-8", "\xc3\xa9t\xc3\xa9"},
      {"\xd0\xc1", "8bit", "koi8-r", "\xd0\xbf\xd0\xb0"},
      {"x\xff\xfe", "8bit", "no-such-charset", "x\xc3\xbf\xc3\xbe"},
  };
  for (const Case& c : cases) {
    const std::string text = ToUtf8(DecodeTransfer(c.data, c.encoding), c.charset);
    EXPECT_EQ(text, c.text) << c.data;
    EXPECT_TRUE(IsValidUtf8(text));
  }
}

TEST(MailDecoding, EncodedWordsInHeaders) {
  struct Case {
    const char* value;
    const char* text;
  } cases[] = {
      {"=?UTF-8?B?SGVsbG8=?= =?utf-8?q?_w=C3=B6rld?=", "Hello w\xc3\xb6rld"},
      {"plain =?iso-8859-1?Q?caf=E9?= end", "plain caf\xc3\xa9 end"},
      {"=?bad?X?nope?= =?utf-8?B?", "=?bad?X?nope?= =?utf-8?B?"},
      {"folded\r\n line", "folded line"},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeHeaderValue(c.value), c.text) << c.value;
  EXPECT_LE(DecodeHeaderValue(std::string(5000, 'a'), 100).size(), 100u);
}

TEST(CParseMail, TextViewsOfEveryTextPart) {
  CParseMail mail;
  mail.LoadMail(
      "Content-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type: text/plain; charset=utf-8\n"
      "Content-Transfer-Encoding: quoted-printable\n\nGr=C3=BC=C3=9Fe\n--b\nContent-Type: image/png\n\nPNG\n"
      "--b\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n\nPGI+aGk8L2I+\n--b--\n");
  ASSERT_EQ(mail.Parse(), 1);
  std::vector<std::string> texts;
  mail.ForEachText([&](std::string_view type, const std::string& text) { texts.push_back(std::string(type) + "|" + text); });
  EXPECT_EQ(texts, (std::vector<std::string>{"text/plain|Gr\xc3\xbc\xc3\x9f" "e", "text/html|<b>hi</b>"}));
}

}  // namespace
