// SmtpSession between connections: Reset leaves nothing of the last one
// but the listener's client socket, and PrepareMta hands out a closed,
// free MTA socket.
#include "proxy/smtp_session.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

// Two connected stream descriptors: `near` is handed to the code under
// test, `far` stays with the test and is closed with the object.
struct SocketPair {
  int near = -1;
  int far = -1;
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    near = fds[0];
    far = fds[1];
  }
  ~SocketPair() { close(far); }
  // True when the near end was closed: the far end reads end of file
  // (waiting at most a second).
  bool NearClosed() const {
    pollfd ready = {far, POLLIN, 0};
    char byte;
    return poll(&ready, 1, 1000) == 1 && read(far, &byte, 1) == 0;
  }
};

std::string Text(const String& s) { return s.ToStdString(); }

TEST(SmtpSessionTest, ResetGivesTheStateOfANewConnection) {
  SocketPair client_pair;
  CSocketComm client;
  client.SetHandle(client_pair.near);
  SocketPair mta;
  SmtpSession s;
  s.id = 9;
  s.client = &client;
  s.mta = std::make_unique<CSocketComm>();
  s.mta->SetHandle(mta.near);
  for (String* text : {&s.to_client, &s.from_mta, &s.to_mta, &s.from_client, &s.current_line, &s.reverse_name,
                       &s.client_address, &s.mta_name, &s.mta_replace_name, &s.extension_injection,
                       &s.extension_drop, &s.data_block, &s.helo_name, &s.mail_from, &s.analysed_message}) {
    *text = "left over";
  }
  s.state = SmtpSession::kDataMode;
  s.lines.Append(std::string(ClientLineSplitter::kMaxCommandLine + 10, 'x'));  // a line being refused
  s.line_ready = false;
  s.error_count = 3;
  s.relay_client = true;
  s.last_activity = 100;
  s.block_sending = true;
  s.end_of_data = 1;
  s.bdat_remaining = 50;
  s.close_after_queue = true;
  s.data_limit = 99;
  s.property = 6;

  s.Reset();

  const SmtpSession fresh;
  EXPECT_EQ(s.id, fresh.id);
  EXPECT_EQ(s.client, nullptr);
  EXPECT_TRUE(client.IsOpen());  // the listener's socket is not ours to close
  EXPECT_EQ(s.mta, nullptr);
  EXPECT_TRUE(mta.NearClosed());
  for (const String* text : {&s.to_client, &s.from_mta, &s.to_mta, &s.from_client, &s.current_line,
                             &s.reverse_name, &s.client_address, &s.mta_name, &s.mta_replace_name,
                             &s.extension_injection, &s.extension_drop, &s.data_block, &s.helo_name,
                             &s.mail_from, &s.analysed_message}) {
    EXPECT_EQ(Text(*text), "");
  }
  EXPECT_EQ(s.state, SmtpSession::kCommandMode);
  EXPECT_EQ(s.line_ready, fresh.line_ready);
  EXPECT_EQ(s.error_count, 0);
  EXPECT_FALSE(s.relay_client);
  EXPECT_EQ(s.last_activity, 0);
  EXPECT_FALSE(s.block_sending);
  EXPECT_EQ(s.end_of_data, 0);
  EXPECT_EQ(s.bdat_remaining, 0);
  EXPECT_FALSE(s.close_after_queue);
  EXPECT_EQ(s.data_limit, SmtpSession::kDefaultDataLimit);
  EXPECT_EQ(s.property, 0);

  // The refused line of the last connection does not swallow the next one.
  EXPECT_TRUE(s.lines.IsEmpty());
  s.lines.Append("NOOP\r\n");
  String line;
  ASSERT_EQ(s.lines.Next(&line), ClientLineSplitter::kLine);
  EXPECT_EQ(Text(line), "NOOP\r\n");
}

TEST(SmtpSessionTest, PrepareMtaHandsOutAClosedFreeSocket) {
  SmtpSession s;
  CSocketComm* first = s.PrepareMta();
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(first->IsOpen());
  EXPECT_TRUE(first->IsLibero());

  SocketPair peer;
  first->SetHandle(peer.near);
  first->SetLibero(false);
  ASSERT_TRUE(s.HasMta());
  CSocketComm* again = s.PrepareMta();
  EXPECT_EQ(again, first);  // the object is kept, only its connection goes
  EXPECT_FALSE(s.HasMta());
  EXPECT_TRUE(again->IsLibero());
  EXPECT_TRUE(peer.NearClosed());
}

}  // namespace
