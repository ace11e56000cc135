// Tests of the relay's client command table, the client line splitter and
// the MTA reply helpers.
#include "proxy/smtp_commands.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

// The arguments; one without text at all (rather than "") shows as null.
Args ArgsOf(const SmtpClientCommand& command) {
  Args args;
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
    Args args;
  } cases[] = {
      {"HELO mail.example.com\r\n", false, "HELO/EHLO", "OnHelo", {"mail.example.com", "HELO"}},
      {"  ehlo [192.0.2.1]\r\n", false, "HELO/EHLO", "OnHelo", {"[192.0.2.1]", "ehlo"}},
      {"EHLO <bad,name>\r\n", false, "HELO/EHLO", "OnHelo", {"bad", "EHLO"}},
      {"HELO\r\n", false, "other", nullptr, {}},
      {"MAIL FROM:<alice@example.com> SIZE=1000\r\n", false, "MAIL FROM", "OnMailFrom", {"alice@example.com"}},
      {"mail from: bob@[192.0.2.7]\r\n", false, "MAIL FROM", "OnMailFrom", {"bob@[192.0.2.7]"}},
      {"MAIL FROM:<>\r\n", false, "MAIL FROM", "OnMailFrom", {""}},
      {"MAIL FROM: <>\n", false, "MAIL FROM", "OnMailFrom", {""}},
      {"MAIL FROM:<postmaster>\r\n", false, "other", nullptr, {}},
      {" MAIL FROM:<alice@example.com>\r\n", false, "other", nullptr, {}},  // not at the start
      {"RCPT TO:<bob@example.org>\r\n", false, "RCPT TO", "OnRcptTo", {"bob@example.org"}},
      {"rcpt to: bob@example.org\r\n", true, "RCPT TO", "OnRcptTo", {"bob@example.org"}},
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
      {"RCPT TO:<example.org!bob>\r\n", false, "RCPT TO", "OnRcptTo", {"bob@example.org"}},
      {"RCPT TO:<example.org!bob>\r\n", true, "RCPT TO", "OnRcptTo", {"bob@example.org"}},
      // A bang path before an @ is a source route for a non-relay client.
      {"RCPT TO:<example.org!bob@relay.example.net>\r\n", false, "RCPT TO", "OnRcptToError",
       {"RCPT TO:<example.org!bob@relay.example.net>"}},
      // No usable address.
      {"RCPT TO:<bob>\r\n", false, "RCPT TO", "OnRcptToError", {"RCPT TO:<bob>"}},
      {"RCPT TO:<bob>\r\n", true, "RCPT TO", nullptr, {}},
      {"NOOP\r\n", false, "NOOP", "OnCommandNOOP", {}},
      {" rset\r\n", false, "RSET", "OnCommandRSET", {}},
      {"QUIT\r\n", false, "other", nullptr, {}},
      {"", false, "other", nullptr, {}},
      {std::string("\0\xff\x01\r\n", 5), false, "other", nullptr, {}},
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
      {"  data\r\n", true, -1, kLimit},
      {"BDAT 100 LAST\r\n", true, 100, 99},
      {"bdat 100\r\n", true, 100, 99},
      {"BDAT 30720\r\n", true, 30720, kLimit},
      {"BDAT 50000\r\n", true, 50000, kLimit},
      {"BDAT 1\r\n", true, 1, 0},
      {"BDAT 0 LAST\r\n", true, 0, 0},
      {"BDAT 99999999999999999999\r\n", true, INT_MAX, kLimit},
      {"BDAT LAST\r\n", false, -1, kLimit},
      {"BDAT -5\r\n", false, -1, kLimit},
      {"MAIL FROM:<data@example.com>\r\n", false, -1, kLimit},
  };
  for (const Case& c : cases) {
    const SmtpClientCommand command = ClassifyClientLine(c.line, false);
    EXPECT_EQ(command.enters_data_mode, c.enters) << c.line;
    EXPECT_EQ(Text(command.data_event), Text(c.enters ? "OnCommandData" : nullptr)) << c.line;
    EXPECT_EQ(command.bdat_size, c.bdat_size) << c.line;
    EXPECT_EQ(command.DataLimitAfter(kLimit), c.limit_after) << c.line;
  }
}

TEST(ClassifyClientLineTest, DataCheckIsIndependentOfTheVerb) {
  // The data check runs on every line, after and besides the ordered verbs.
  const SmtpClientCommand command = ClassifyClientLine("BDAT 10 rcpt to:<bob@example.org>\r\n", false);
  EXPECT_STREQ(command.verb, "RCPT TO");
  // The address is taken only from a line that starts with the verb.
  EXPECT_STREQ(command.event, "OnRcptToError");
  EXPECT_TRUE(command.enters_data_mode);
  EXPECT_EQ(command.bdat_size, 10);
}

TEST(StripLineEndsTest, RemovesEveryCrAndLf) {
  struct Case {
    const char* line;
    const char* stripped;
  } cases[] = {
      {"NOOP\r\n", "NOOP"}, {"NOOP\n", "NOOP"}, {"NO\rOP\r\n", "NOOP"}, {"\r\n", ""}, {"QUIT", "QUIT"},
  };
  for (const Case& c : cases) {
    String out;
    StripLineEnds(c.line, &out);
    EXPECT_EQ(out.ToStdString(), c.stripped) << c.line;
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

using Lines = std::vector<std::string>;

TEST(ClientLineSplitterTest, PacketsCutIntoLines) {
  struct Case {
    const char* name;
    std::vector<std::string> packets;
    Lines lines;
  } cases[] = {
      {"pipelined in one packet",
       {"MAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.org>\r\nNOOP\r\n"},
       {"MAIL FROM:<a@example.com>\r\n", "RCPT TO:<b@example.org>\r\n", "NOOP\r\n"}},
      {"split packets", {"MAIL FR", "OM:<a@example.com>\r", "\nNO", "OP\n"},
       {"MAIL FROM:<a@example.com>\r\n", "NOOP\n"}},
      {"no line end yet", {"NOOP"}, {}},
      {"empty lines", {"\r\n\n"}, {"\r\n", "\n"}},
      {"NUL bytes kept", {std::string("A\0B\r\n", 5)}, {std::string("A\0B\r\n", 5)}},
      {"at the limit", {std::string(4096, 'a') + "\r\n"}, {std::string(4096, 'a') + "\r\n"}},
      {"at the limit, bare LF", {std::string(4096, 'a') + "\n"}, {std::string(4096, 'a') + "\n"}},
      {"one over the limit", {std::string(4097, 'a') + "\r\nNOOP\r\n"}, {"<too long>", "NOOP\r\n"}},
      {"overlong with its end in the same packet", {std::string(5000, 'x') + "\r\nRSET\r\n"},
       {"<too long>", "RSET\r\n"}},
      {"overlong after a good line", {"NOOP\r\n" + std::string(6000, 'x')}, {"NOOP\r\n", "<too long>"}},
      {"overlong over many packets",
       {std::string(1500, 'x'), std::string(1500, 'x'), std::string(1500, 'x'), std::string(1500, 'x'),
        "xx\r\nQUIT\r\n"},
       {"<too long>", "QUIT\r\n"}},
  };
  for (const Case& c : cases) {
    ClientLineSplitter splitter;
    for (const std::string& packet : c.packets) splitter.Append(packet);
    EXPECT_EQ(Drain(splitter), c.lines) << c.name;
  }
}

TEST(ClientLineSplitterTest, RefusedLineIsDroppedAsItArrives) {
  ClientLineSplitter splitter;
  splitter.Append(std::string(5000, 'x'));
  EXPECT_EQ(Drain(splitter), Lines({"<too long>"}));
  // The rest of the refused line keeps coming; it is neither held nor
  // refused a second time.
  for (int i = 0; i < 100; ++i) splitter.Append(std::string(1000, 'y'));
  EXPECT_EQ(splitter.PendingBytes(), 0u);
  EXPECT_EQ(Drain(splitter), Lines({}));
  splitter.Append("yyy\r\nNOOP\r\n");
  EXPECT_EQ(Drain(splitter), Lines({"NOOP\r\n"}));
}

TEST(ClientLineSplitterTest, PartialLineIsBoundedEvenWhenNotRead) {
  // The relay takes no line while it waits for the MTA; a client sending a
  // megabyte without a line end must not be buffered.
  ClientLineSplitter splitter;
  splitter.Append("NOOP\r\n");
  for (int i = 0; i < 1024; ++i) splitter.Append(std::string(1024, 'z'));
  EXPECT_LE(splitter.PendingBytes(), 6 + ClientLineSplitter::kMaxCommandLine + 2);
  splitter.Append("\r\nRSET\r\n");
  EXPECT_EQ(Drain(splitter), Lines({"NOOP\r\n", "<too long>", "RSET\r\n"}));
  EXPECT_TRUE(splitter.IsEmpty());
}

TEST(ClientLineSplitterTest, FullWhenManyLinesWait) {
  ClientLineSplitter splitter;
  const std::string line = "NOOP\r\n";
  for (size_t held = 0; held < ClientLineSplitter::kMaxPendingBytes; held += line.size()) {
    EXPECT_FALSE(splitter.IsFull());
    splitter.Append(line);
  }
  EXPECT_TRUE(splitter.IsFull());
  String taken;
  ASSERT_EQ(splitter.Next(&taken), ClientLineSplitter::kLine);
  EXPECT_FALSE(splitter.IsFull());
}

TEST(ClientLineSplitterTest, PipelinedDataFollowsTheDataCommand) {
  ClientLineSplitter splitter;
  splitter.Append("MAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.org>\r\nDATA\r\nSubject: hi\r\n\r\nbo");
  std::vector<std::string> events;
  String line;
  bool data_mode = false;
  for (int i = 0; i < 10 && !data_mode && splitter.Next(&line) == ClientLineSplitter::kLine; ++i) {
    const SmtpClientCommand command = ClassifyClientLine(line.View(), false);
    events.push_back(Text(command.enters_data_mode ? command.data_event : command.event));
    data_mode = command.enters_data_mode;
  }
  ASSERT_TRUE(data_mode);
  EXPECT_EQ(events, std::vector<std::string>({"OnMailFrom", "OnRcptTo", "OnCommandData"}));
  EXPECT_FALSE(splitter.IsEmpty());
  String data;
  splitter.TakePending(&data);
  EXPECT_EQ(data.ToStdString(), "Subject: hi\r\n\r\nbo");
  EXPECT_TRUE(splitter.IsEmpty());
}

// ---- MTA replies --------------------------------------------------------------

TEST(MtaReplyTest, ErrorAndAuthenticationLookAtTheFirstLineOnly) {
  struct Case {
    const char* block;
    bool error;
    bool authenticated;
  } cases[] = {
      {"503 5.5.1 bad sequence\r\n", true, false},
      {"500 5.5.2 what\n", true, false},
      {"509 last of the 50x\r\n", true, false},
      {"510 5.1.0 bad address\r\n", false, false},
      {"550 5.1.1 unknown user\r\n", false, false},  // refusals are not protocol errors
      {"250-first\r\n550 second\r\n", false, false},
      {"250-first\r\n503 second\r\n", false, false},
      {"250 ok\r\n500 later\r\n", false, false},
      {"501 no line end", false, false},
      {"235 2.7.0 Authentication successful\r\n", false, true},
      {"334 VXNlcm5hbWU6\r\n235 later\r\n", false, false},
      {"", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsMtaErrorReply(c.block), c.error) << c.block;
    EXPECT_EQ(IsMtaAuthenticatedReply(c.block), c.authenticated) << c.block;
  }
}

TEST(MtaReplyTest, InjectExtensions) {
  struct Case {
    const char* block;
    const char* injection;
    bool done;
    const char* after;
  } cases[] = {
      {"250-mx.example\r\n250 SIZE 1000\r\n", "250-XTORVANE\r\n", true,
       "250-mx.example\r\n250-XTORVANE\r\n250 SIZE 1000\r\n"},
      {"250 mx.example\r\n", "250-XTORVANE\r\n", false, "250 mx.example\r\n"},
      {"220 mx.example ESMTP\r\n", "250-XTORVANE\r\n", false, "220 mx.example ESMTP\r\n"},
      {"\n250-mx.example\r\n", "250-XTORVANE\r\n", false, "\n250-mx.example\r\n"},
      {"250-mx.example", "250-XTORVANE\r\n", false, "250-mx.example"},
      {"250-mx.example\r\n250 SIZE\r\n", "", false, "250-mx.example\r\n250 SIZE\r\n"},
  };
  for (const Case& c : cases) {
    String block(c.block);
    EXPECT_EQ(InjectExtensions(&block, c.injection), c.done) << c.block;
    EXPECT_EQ(block.ToStdString(), c.after) << c.block;
  }
}

TEST(MtaReplyTest, DropExtensions) {
  const char* ehlo = "250-mx.example\r\n250-PIPELINING\r\n250-8BITMIME\r\n250 SIZE 1000\r\n";
  struct Case {
    const char* block;
    const char* drop;
    bool done;
    const char* after;
  } cases[] = {
      {ehlo, "250-pipelining\r", true, "250-mx.example\r\n250-8BITMIME\r\n250 SIZE 1000\r\n"},
      {ehlo, "250-PIPELINING\r\n250-8bitmime\r", true, "250-mx.example\r\n250 SIZE 1000\r\n"},
      // Empty entries do not strip line ends.
      {ehlo, "\n\n250-8BITMIME\r\n", true, "250-mx.example\r\n250-PIPELINING\r\n250 SIZE 1000\r\n"},
      {ehlo, "250-CHUNKING\r", true, ehlo},
      {"250 mx.example\r\n", "250 MX.EXAMPLE\r", false, "250 mx.example\r\n"},
  };
  for (const Case& c : cases) {
    String block(c.block);
    EXPECT_EQ(DropExtensions(&block, c.drop), c.done) << c.drop;
    EXPECT_EQ(block.ToStdString(), c.after) << c.drop;
  }
}

TEST(MtaReplyTest, RemoveStartTlsKeepsTheAnswerWellFormed) {
  struct Case {
    const char* name;
    const char* block;
    bool removed;
    const char* after;
  } cases[] = {
      {"in the middle", "250-mx.example\r\n250-STARTTLS\r\n250 SIZE 1000\r\n", true,
       "250-mx.example\r\n250 SIZE 1000\r\n"},
      {"last line", "250-mx.example\r\n250-SIZE 1000\r\n250 STARTTLS\r\n", true,
       "250-mx.example\r\n250 SIZE 1000\r\n"},
      {"only extension", "250-mx.example\r\n250 STARTTLS\r\n", true, "250 mx.example\r\n"},
      {"lower case, bare LF", "250-mx.example\n250-8BITMIME\n250 starttls\n", true,
       "250-mx.example\n250 8BITMIME\n"},
      {"trailing blanks", "250-mx.example\r\n250-STARTTLS  \r\n250 SIZE\r\n", true,
       "250-mx.example\r\n250 SIZE\r\n"},
      {"absent", "250-mx.example\r\n250 SIZE 1000\r\n", false, "250-mx.example\r\n250 SIZE 1000\r\n"},
      {"not an extension", "250-mx.example\r\n250-STARTTLSX\r\n250 SIZE\r\n", false,
       "250-mx.example\r\n250-STARTTLSX\r\n250 SIZE\r\n"},
      {"greeting is never removed", "250 STARTTLS\r\n", false, "250 STARTTLS\r\n"},
      {"empty", "", false, ""},
  };
  for (const Case& c : cases) {
    String block(c.block);
    EXPECT_EQ(RemoveStartTls(&block), c.removed) << c.name;
    EXPECT_EQ(block.ToStdString(), c.after) << c.name;
  }
}

}  // namespace
