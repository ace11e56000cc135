// The client command table, the line splitter, MTA replies and script text on the wire.
#include "proxy/smtp_commands.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

// The arguments; one without text at all (rather than "") shows as null.
Strings ArgsOf(const SmtpClientCommand& command) {
  Strings args;
  for (int i = 0; i < command.arg_count; ++i) {
    const String& arg = command.args[i];
    args.push_back(arg.GetData() != nullptr ? arg.ToStdString() : "(null)");
  }
  return args;
}

std::string Text(const char* maybe_null) { return maybe_null != nullptr ? maybe_null : "(none)"; }

TEST(ClassifyClientLineTest, VerbsEventsAndArguments) {
  struct Case {
    std::string line;
    bool relay;
    const char* verb;
    const char* event;
    Strings args;
  } cases[] = {
      {"HELO mail.example.com\r\n", false, "HELO/EHLO", "OnHelo", {"mail.example.com", "HELO"}},
      {"  ehlo [192.0.2.1]\r\n", false, "HELO/EHLO", "OnHelo", {"[192.0.2.1]", "ehlo"}},
      {"EHLO <bad,name>\r\n", false, "HELO/EHLO", "OnHelo", {"bad", "EHLO"}},
      {"HELO\r\n", false, "other", nullptr, {}},
      {"MAIL FROM:<alice@example.com> SIZE=1000\r\n", false, "MAIL FROM", "OnMailFrom", {"alice@example.com"}},
      {"mail from: bob@[192.0.2.7]\r\n", false, "MAIL FROM", "OnMailFrom", {"bob@[192.0.2.7]"}},
      {"MAIL FROM:<>\r\n", false, "MAIL FROM", "OnMailFrom", {""}},
      {"MAIL FROM:<postmaster>\r\n", false, "other", nullptr, {}},
      {" MAIL FROM:<alice@example.com>\r\n", false, "other", nullptr, {}},  // not at the start
      {"RCPT TO:<bob@example.org>\r\n", false, "RCPT TO", "OnRcptTo", {"bob@example.org"}},
      // Percent hack: refused for a non-relay client, passed for a relay one.
      {"RCPT TO:<bob%example.org@relay.example.net>\r\n", false, "RCPT TO", "OnRcptToError",
       {"RCPT TO:<bob%example.org@relay.example.net>"}},
      {"RCPT TO:<bob%example.org@relay.example.net>\r\n", true, "RCPT TO", "OnRcptTo",
       {"bob%example.org@relay.example.net"}},
      // Source route.
      {"RCPT TO:<@hop.example:bob@example.org>\r\n", false, "RCPT TO", "OnRcptToError",
       {"RCPT TO:<@hop.example:bob@example.org>"}},
      {"RCPT TO:<@hop.example:bob@example.org>\r\n", true, "RCPT TO", "OnRcptTo",
       {"@hop.example:bob@example.org"}},
      // Bang path host!user becomes user@host for everyone.
      {"RCPT TO: example.org!bob\r\n", false, "RCPT TO", "OnRcptTo", {"bob@example.org"}},
      {"RCPT TO: relay.example!example.org!bob\r\n", true, "RCPT TO", "OnRcptTo", {"bob@example.org"}},
      // A bang path before an @ is a source route for a non-relay client.
      {"RCPT TO:<example.org!bob@relay.example.net>\r\n", false, "RCPT TO", "OnRcptToError",
       {"RCPT TO:<example.org!bob@relay.example.net>"}},
      // No usable address.
      {"RCPT TO:<bob>\r\n", false, "RCPT TO", "OnRcptToError", {"RCPT TO:<bob>"}},
      {"RCPT TO:<bob>\r\n", true, "RCPT TO", nullptr, {}},
      {"NOOP\r\n", false, "NOOP", "OnCommandNOOP", {}},
      {" rset\r\n", false, "RSET", "OnCommandRSET", {}},
      {"NO\rOP\r\n", false, "other", nullptr, {}},
  };
  for (const Case& c : cases) {
    const SmtpClientCommand command = ClassifyClientLine(c.line, c.relay);
    EXPECT_EQ(Text(command.verb), Text(c.verb)) << c.line;
    EXPECT_EQ(Text(command.event), Text(c.event)) << c.line;
    EXPECT_EQ(ArgsOf(command), c.args) << c.line;
    EXPECT_FALSE(command.enters_data_mode) << c.line;
  }
}

TEST(ClassifyClientLineTest, DataAndBdatEnterDataMode) {
  constexpr int kLimit = 30720;
  struct Case {
    const char* line;
    bool enters;
    int bdat_size;
    int limit_after;
  } cases[] = {
      {"DATA\r\n", true, -1, kLimit},
      {"BDAT 100 LAST\r\n", true, 100, 99},
      {"BDAT 30720\r\n", true, 30720, kLimit},
      {"BDAT 1\r\n", true, 1, 0},
      {"BDAT 0 LAST\r\n", true, 0, 0},
      {"BDAT 99999999999999999999\r\n", true, INT_MAX, kLimit},
      {"BDAT LAST\r\n", false, -1, kLimit},
      {"BDAT -5\r\n", false, -1, kLimit},
      {"MAIL FROM:<data@example.com>\r\n", false, -1, kLimit},
      {"BDAT 10 rcpt to:<bob@example.org>\r\n", true, 10, 9},  // checked besides the verbs
  };
  for (const Case& c : cases) {
    const SmtpClientCommand command = ClassifyClientLine(c.line, false);
    EXPECT_EQ(command.enters_data_mode, c.enters) << c.line;
    EXPECT_EQ(Text(command.data_event), Text(c.enters ? "OnCommandData" : nullptr)) << c.line;
    EXPECT_EQ(command.bdat_size, c.bdat_size) << c.line;
    EXPECT_EQ(command.DataLimitAfter(kLimit), c.limit_after) << c.line;
  }
}

// ---- ClientLineSplitter -------------------------------------------------------

// Everything the splitter gives now: lines as text, refusals as "<too long>".
std::vector<std::string> Drain(ClientLineSplitter& splitter) {
  std::vector<std::string> out;
  for (int i = 0; i < 100; ++i) {
    String line;
    const ClientLineSplitter::Result result = splitter.Next(&line);
    if (result == ClientLineSplitter::kNoLine) break;
    out.push_back(result == ClientLineSplitter::kLine ? line.ToStdString() : "<too long>");
  }
  return out;
}

TEST(ClientLineSplitterTest, PacketsCutIntoLines) {
  struct Case {
    const char* name;
    std::vector<std::string> packets;
    Strings lines;
  } cases[] = {
      {"pipelined in one packet",
       {"MAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.org>\r\nNOOP\r\n"},
       {"MAIL FROM:<a@example.com>\r\n", "RCPT TO:<b@example.org>\r\n", "NOOP\r\n"}},
      {"split packets", {"MAIL FR", "OM:<a@example.com>\r", "\nNO", "OP\n"},
       {"MAIL FROM:<a@example.com>\r\n", "NOOP\n"}},
      {"no line end yet", {"NOOP"}, {}},
      {"NUL bytes kept", {std::string("A\0B\r\n", 5)}, {std::string("A\0B\r\n", 5)}},
      {"at the limit", {std::string(4096, 'a') + "\r\n"}, {std::string(4096, 'a') + "\r\n"}},
      {"one over the limit", {std::string(4097, 'a') + "\r\nNOOP\r\n"}, {"<too long>", "NOOP\r\n"}},
  };
  for (const Case& c : cases) {
    ClientLineSplitter splitter;
    for (const std::string& packet : c.packets) splitter.Append(packet);
    EXPECT_EQ(Drain(splitter), c.lines) << c.name;
  }
}

TEST(ClientLineSplitterTest, RefusedLineIsBoundedAndDroppedAsItArrives) {
  ClientLineSplitter splitter;
  splitter.Append("NOOP\r\n");
  for (int i = 0; i < 1024; ++i) splitter.Append(std::string(1024, 'z'));
  EXPECT_LE(splitter.PendingBytes(), 6 + ClientLineSplitter::kMaxCommandLine + 2);
  EXPECT_TRUE(splitter.HasPartialLine());
  EXPECT_EQ(Drain(splitter), Strings({"NOOP\r\n", "<too long>"}));
  for (int i = 0; i < 100; ++i) splitter.Append(std::string(1000, 'y'));
  EXPECT_EQ(splitter.PendingBytes(), 0u);
  splitter.Append("yyy\r\nRSET\r\n");
  EXPECT_EQ(Drain(splitter), Strings({"RSET\r\n"}));
  EXPECT_FALSE(splitter.HasPartialLine());
}

// ---- MTA replies --------------------------------------------------------------

// Replies come whole however the bytes are cut.
TEST(ReplyAssemblerTest, EverySplitGivesTheSameWholeReplies) {
  const Strings replies = {"220 mx ready\r\n", "250-mx\r\n250-235 is not a code here\r\n250 SIZE 10\r\n",
                         "354 go\n", "550-a\r\n550 b\r\n"};
  std::string stream;
  for (const std::string& reply : replies) stream += reply;
  for (size_t split = 0; split <= stream.size(); ++split) {
    ReplyAssembler assembler;
    Strings got;
    for (const std::string& read : {stream.substr(0, split), stream.substr(split)}) {
      assembler.Append(read);
      String reply;
      while (assembler.Next(&reply)) got.push_back(reply.ToStdString());
    }
    EXPECT_EQ(got, replies) << split;
    EXPECT_TRUE(assembler.IsEmpty());
  }
}

TEST(ReplyAssemblerTest, AnEndlessReplyIsHandedOutBounded) {
  ReplyAssembler assembler;
  String reply;
  for (int i = 0; i < 10000 && !assembler.Next(&reply); ++i) assembler.Append("250-more\r\n");
  EXPECT_GE(reply.size(), static_cast<int>(ReplyAssembler::kMaxReplyBytes));
  EXPECT_LT(reply.size(), static_cast<int>(ReplyAssembler::kMaxReplyBytes) + 16);
}

TEST(MtaReplyTest, CodesAndErrors) {
  struct Case {
    const char* reply;
    int code;
    bool error;
  } cases[] = {
      {"503 5.5.1 bad sequence\r\n", 503, true}, {"509 last of the 50x\r\n", 509, true},
      {"510 5.1.0 bad address\r\n", 510, false}, {"550 5.1.1 unknown user\r\n", 550, false},
      {"250-first\r\n503 second\r\n", 250, false}, {"235 2.7.0 ok\r\n", 235, false},
      {"25x\r\n", -1, false}, {"", -1, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplyCode(c.reply), c.code) << c.reply;
    EXPECT_EQ(IsMtaErrorReply(c.reply), c.error) << c.reply;
  }
}

TEST(MtaReplyTest, EhloAnswerEdits) {
  const std::string ehlo = "250-mx\r\n250-PIPELINING\r\n250-STARTTLS\r\n250 SIZE 10\r\n";
  struct Case {
    const char* name;
    std::string reply;
    std::string injection;
    std::string drops;
    bool edited;
    std::string after;
  } cases[] = {
      {"inject after the first line", "250-mx\r\n250 SIZE\r\n", "250-X\r\n", "", true,
       "250-mx\r\n250-X\r\n250 SIZE\r\n"},
      {"not an EHLO answer", "250 OK\r\n", "250-X\r\n", "STARTTLS", false, "250 OK\r\n"},
      {"STARTTLS in the middle", ehlo, "", "STARTTLS", true, "250-mx\r\n250-PIPELINING\r\n250 SIZE 10\r\n"},
      {"STARTTLS last: the line before becomes last", "250-mx\r\n250-SIZE 10\r\n250 starttls \r\n", "",
       "250-STARTTLS\r", true, "250-mx\r\n250 SIZE 10\r\n"},
      {"greeting line is never dropped", "250-STARTTLS\r\n250 HELP\r\n", "", "STARTTLS", true,
       "250-STARTTLS\r\n250 HELP\r\n"},
      {"plain entries upper-cased, empty ones skipped", ehlo, "", "\n250-pipelining\r\n250-STARTTLS", true,
       "250-mx\r\n250 SIZE 10\r\n"},
  };
  for (const Case& c : cases) {
    String reply(std::string_view(c.reply));
    bool edited = false;
    if (!c.injection.empty()) edited = InjectExtensions(&reply, c.injection);
    if (!c.drops.empty()) edited = ApplyExtensionDrops(&reply, c.drops);
    EXPECT_EQ(edited, c.edited) << c.name;
    EXPECT_EQ(reply.ToStdString(), c.after) << c.name;
  }
  EXPECT_TRUE(OffersChunking("250-mx\r\n250-chunking\r\n250 SIZE\r\n"));
  EXPECT_FALSE(OffersChunking("250-mx\r\n250-XCHUNKING\r\n250 SIZE\r\n"));
  EXPECT_FALSE(OffersChunking("250 CHUNKING\r\n"));  // no EHLO answer
  EXPECT_TRUE(OffersExtension("250-mx\r\n250 XCLIENT NAME ADDR\r\n", "XCLIENT"));
  EXPECT_FALSE(OffersExtension("250-mx\r\n250 XCLIENTS\r\n", "XCLIENT"));
  String offer(std::string_view("250-mx\r\n250-SIZE\r\n250 xclient NAME ADDR HELO\r\n"));
  EXPECT_TRUE(RemoveExtension(&offer, "XCLIENT"));
  EXPECT_EQ(offer.ToStdString(), "250-mx\r\n250 SIZE\r\n");
  EXPECT_FALSE(RemoveExtension(&offer, "XCLIENT"));
}

// ---- Script text on the wire --------------------------------------------------------

TEST(WireTextTest, ScriptTextAddsNoLineOfItsOwn) {
  struct Case {
    const char* text;
    const char* reply;   // SingleReply
    const char* header;  // HeaderLine
  } cases[] = {
      {"550 5.7.1 no\r\n", "550 5.7.1 no\r\n", "550 5.7.1 no"},
      {"250-a\r\n250 b\r\n", "250-a\r\n250 b\r\n", "250-a 250 b"},
      {"550 listed: x\r\n250 2.0.0 Ok\r\n", "550 listed: x 250 2.0.0 Ok\r\n", "550 listed: x 250 2.0.0 Ok"},
      {"550-a\n421 b\r\n", "550-a 421 b\r\n", "550-a 421 b"},
      {"550 a\rMAIL FROM:<x@y>", "550 a MAIL FROM:<x@y>", "550 a MAIL FROM:<x@y>"},
      {"X-Test: a\r\n\tb", "X-Test: a \tb", "X-Test: a\r\n\tb"},
      {"X-Test: a\r\n\r\nbody", "X-Test: a  body", "X-Test: a  body"},
      {"354 go", "354 go", "354 go"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SingleReply(c.text), c.reply) << c.text;
    EXPECT_EQ(HeaderLine(c.text), c.header) << c.text;
  }
}

}  // namespace
