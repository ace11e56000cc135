// Tests of the relay's byte rules: where message data ends (DATA and BDAT),
// the EHLO extension drops, and the wait planned for a relay pass.
#include "proxy/relay_rules.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>

namespace {

TEST(CutDotMessageTest, FindsTheEndAndWhatFollowsIt) {
  struct Case {
    const char* name;
    std::string block;
    bool at_line_start;
    bool end;
    std::string message;  // the bytes the message keeps
    std::string held;     // the bytes kept back for the next read
  } cases[] = {
      {"plain lines", "Subject: x\r\n\r\nbody\r\n", true, false, "Subject: x\r\n\r\nbody\r\n", ""},
      {"end mark inside", "body\r\n.\r\n", true, true, "body\r\n.\r\n", ""},
      {"commands pipelined after the end", "body\r\n.\r\nQUIT\r\n", true, true, "body\r\n.\r\n", ""},
      {"block starting with the end", ".\r\nMAIL FROM:<a@b.c>\r\n", true, true, ".\r\n", ""},
      {"bare LF end line", "body\n.\nQUIT\n", true, true, "body\n.\n", ""},
      {"first of two marks", "a\r\n.\r\nb\r\n.\r\n", true, true, "a\r\n.\r\n", ""},
      {"dot-stuffed line", "a\r\n..b\r\n", true, false, "a\r\n..b\r\n", ""},
      {"dot inside a line", "a.\r\nb\r\n", true, false, "a.\r\nb\r\n", ""},
      {"dot then text", "a\r\n.x\r\n", true, false, "a\r\n.x\r\n", ""},
      {"dot then CR then text", "a\r\n.\rx\r\n", true, false, "a\r\n.\rx\r\n", ""},
      // Read boundaries: a "." line cut by the read is held, not judged.
      {"dot at the block's end", "body\r\n.", true, false, "body\r\n", "."},
      {"dot and CR at the block's end", "body\r\n.\r", true, false, "body\r\n", ".\r"},
      {"lone dot", ".", true, false, "", "."},
      // A block that starts inside a line: its leading "." ends no message.
      {"sentence end after a boundary", ".\r\nmore\r\n", false, false, ".\r\nmore\r\n", ""},
      {"mark after a boundary", "end.\r\n.\r\nQUIT\r\n", false, true, "end.\r\n.\r\n", ""},
      {"unfinished dot inside a line", ".", false, false, ".", ""},
      {"empty block", "", true, false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DataCut cut = CutDotMessage(c.block, c.at_line_start);
    EXPECT_EQ(cut.end_of_data, c.end);
    EXPECT_EQ(c.block.substr(0, cut.message_bytes), c.message);
    EXPECT_EQ(c.block.substr(cut.message_bytes, cut.held_bytes), c.held);
  }
}

TEST(CutDotMessageTest, HandlesBytesAfterANul) {
  const std::string block("a\0b\r\n.\r\nQUIT\r\n", 14);
  const DataCut cut = CutDotMessage(block, true);
  EXPECT_TRUE(cut.end_of_data);
  EXPECT_EQ(cut.message_bytes, 8u);
}

// Feeds a message to CutDotMessage split at every position, carrying held
// bytes and the line-start state as the relay does: the end is always
// found at the same byte, whatever the boundary.
TEST(CutDotMessageTest, EveryReadBoundaryFindsTheSameEnd) {
  const std::string message = "Subject: t\r\n\r\nPrice is 5.\r\n..stuffed\r\n.\rx\r\n.\r\n";
  const std::string stream = message + "QUIT\r\n";
  for (size_t split = 0; split <= stream.size(); ++split) {
    SCOPED_TRACE(split);
    std::string kept;
    std::string held;
    std::string rest;
    bool line_start = true;
    bool end = false;
    for (const std::string& read : {stream.substr(0, split), stream.substr(split)}) {
      if (end) {
        rest += read;
        continue;
      }
      const std::string block = held + read;
      const DataCut cut = CutDotMessage(block, line_start);
      kept += block.substr(0, cut.message_bytes);
      held = block.substr(cut.message_bytes, cut.held_bytes);
      rest += block.substr(cut.message_bytes + cut.held_bytes);
      if (cut.held_bytes > 0) {
        line_start = true;
      } else if (cut.message_bytes > 0) {
        line_start = block[cut.message_bytes - 1] == '\n';
      }
      end = cut.end_of_data;
    }
    EXPECT_TRUE(end);
    EXPECT_EQ(kept, message);
    EXPECT_EQ(rest, "QUIT\r\n");
  }
}

TEST(CutChunkTest, TakesExactlyTheAnnouncedBytes) {
  struct Case {
    const char* name;
    std::string block;
    int remaining;
    size_t message_bytes;
    bool end;
  } cases[] = {
      {"chunk larger than the block", "abcdef", 100, 6, false},
      {"chunk ends inside the block", "abcQUIT\r\n", 3, 3, true},
      {"chunk ends with the block", "abc", 3, 3, true},
      {"line ends are data too", "\r\n.\r\n", 5, 5, true},
      {"nothing due: empty chunk", "", 0, 0, true},
      {"nothing due: all commands", "QUIT\r\n", 0, 0, true},
      {"negative counts as nothing due", "QUIT\r\n", -4, 0, true},
      {"empty block, bytes due", "", 10, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DataCut cut = CutChunk(c.block, c.remaining);
    EXPECT_EQ(cut.message_bytes, c.message_bytes);
    EXPECT_EQ(cut.end_of_data, c.end);
  }
}

TEST(CutChunkTest, ChunkSpreadOverReadsEndsOnItsLastByte) {
  // "BDAT 10" followed by reads of 4, 4 and 5 bytes: 4 + 4 + 2 belong to
  // the chunk, the last 3 are a command.
  int remaining = 10;
  std::string message;
  bool end = false;
  for (const std::string read : {"abcd", "efgh", "ijNO\n"}) {
    ASSERT_FALSE(end);
    const DataCut cut = CutChunk(read, remaining);
    message += read.substr(0, cut.message_bytes);
    remaining -= static_cast<int>(cut.message_bytes);
    end = cut.end_of_data;
  }
  EXPECT_TRUE(end);
  EXPECT_EQ(message, "abcdefghij");
  EXPECT_EQ(remaining, 0);
}

TEST(ExtensionDropTest, RecognisesStartTlsEntries) {
  struct Case {
    const char* entry;
    bool starttls;
  } cases[] = {
      {"STARTTLS", true},       {"starttls", true},       {"250-STARTTLS", true},
      {"250 StartTLS\r", true}, {"STARTTLS\r", true},     {"STARTTLSX", false},
      {"250-PIPELINING", false}, {"", false},             {"251-STARTTLS", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(IsStartTlsDropEntry(c.entry), c.starttls);
  }
}

TEST(ExtensionDropTest, EditsOnlyEhloAnswers) {
  struct Case {
    const char* name;
    std::string block;
    std::string drop_list;
    bool applied;
    std::string result;
  } cases[] = {
      {"STARTTLS in the middle", "250-mx\r\n250-STARTTLS\r\n250 8BITMIME\r\n", "STARTTLS", true,
       "250-mx\r\n250 8BITMIME\r\n"},
      {"STARTTLS last keeps the answer well formed", "250-mx\r\n250-SIZE 10\r\n250 STARTTLS\r\n", "STARTTLS",
       true, "250-mx\r\n250 SIZE 10\r\n"},
      {"plain entry, upper-cased, with its line end", "250-mx\r\n250-PIPELINING\r\n250 HELP\r\n",
       "250-pipelining\r", true, "250-mx\r\n250 HELP\r\n"},
      {"both kinds", "250-mx\r\n250-PIPELINING\r\n250-STARTTLS\r\n250 HELP\r\n",
       "250-PIPELINING\r\n250-STARTTLS", true, "250-mx\r\n250 HELP\r\n"},
      {"entry not present", "250-mx\r\n250 HELP\r\n", "250-CHUNKING\r", true, "250-mx\r\n250 HELP\r\n"},
      {"not an EHLO answer", "250 OK\r\n", "STARTTLS", false, "250 OK\r\n"},
      {"greeting is never dropped", "250-STARTTLS\r\n250 HELP\r\n", "STARTTLS", true,
       "250-STARTTLS\r\n250 HELP\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    String block(std::string_view(c.block));
    EXPECT_EQ(ApplyExtensionDrops(&block, c.drop_list), c.applied);
    EXPECT_EQ(block.ToStdString(), c.result);
  }
}

TEST(PlanRelayWaitTest, WaitsOnlyWhenNothingIsDue) {
  constexpr int kWait = 300;
  struct Case {
    const char* name;
    RelayWaitState state;
    short client_events;
    short mta_events;
    int timeout_ms;
  };
  RelayWaitState idle;
  idle.client_open = true;
  idle.client_may_read = true;
  idle.mta_open = true;

  auto with = [&idle](auto change) {
    RelayWaitState state = idle;
    change(state);
    return state;
  };
  const Case cases[] = {
      {"idle session waits on both sockets", idle, POLLIN, POLLIN, kWait},
      {"reading not allowed", with([](RelayWaitState& s) { s.client_may_read = false; }), 0, POLLIN, kWait},
      {"no MTA yet", with([](RelayWaitState& s) { s.mta_open = false; }), POLLIN, 0, kWait},
      {"command line ready", with([](RelayWaitState& s) { s.command_waiting = true; }), POLLIN, POLLIN, 0},
      {"data to move", with([](RelayWaitState& s) { s.data_to_move = true; }), POLLIN, POLLIN, 0},
      {"client queue not tried yet", with([](RelayWaitState& s) { s.to_client_pending = true; }), POLLIN,
       POLLIN, 0},
      {"client queue blocked waits for room", with([](RelayWaitState& s) {
         s.to_client_pending = true;
         s.client_send_blocked = true;
       }),
       POLLIN | POLLOUT, POLLIN, kWait},
      {"MTA queue not tried yet", with([](RelayWaitState& s) { s.to_mta_pending = true; }), POLLIN, POLLIN, 0},
      {"MTA queue blocked waits for room", with([](RelayWaitState& s) {
         s.to_mta_pending = true;
         s.mta_send_blocked = true;
       }),
       POLLIN, POLLIN | POLLOUT, kWait},
      {"MTA queue without an MTA is no work", with([](RelayWaitState& s) {
         s.mta_open = false;
         s.to_mta_pending = true;
       }),
       POLLIN, 0, kWait},
      {"closed MTA with nothing for the client", with([](RelayWaitState& s) {
         s.mta_open = false;
         s.mta_gone = true;
       }),
       POLLIN, 0, 0},
      {"closed MTA, client queue blocked", with([](RelayWaitState& s) {
         s.mta_open = false;
         s.mta_gone = true;
         s.to_client_pending = true;
         s.client_send_blocked = true;
       }),
       POLLIN | POLLOUT, 0, 0},
      {"close once sent, queue empty", with([](RelayWaitState& s) {
         s.close_pending = true;
         s.client_may_read = false;
       }),
       0, POLLIN, 0},
      {"close once sent, queue blocked", with([](RelayWaitState& s) {
         s.close_pending = true;
         s.client_may_read = false;
         s.to_client_pending = true;
         s.client_send_blocked = true;
       }),
       POLLOUT, POLLIN, kWait},
      {"closed client is not watched", with([](RelayWaitState& s) {
         s.client_open = false;
         s.to_client_pending = true;
         s.client_send_blocked = true;
       }),
       0, POLLIN, kWait},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RelayWait wait = PlanRelayWait(c.state, kWait);
    EXPECT_EQ(wait.client_events, c.client_events);
    EXPECT_EQ(wait.mta_events, c.mta_events);
    EXPECT_EQ(wait.timeout_ms, c.timeout_ms);
  }
}

}  // namespace
