// The relay's byte rules: where message data ends, bare line ends, the planned wait.
#include "proxy/relay_rules.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>

namespace {

using Policy = DataScanner::BareLineEnds;

struct ScanResult {
  std::string message;  // what the message keeps (rewritten under kNormalise)
  std::string rest;     // the bytes after its end: the client's next commands
  bool ended = false;
  char bare = 0;
};

// Scans `stream` cut into two reads at `split`, as the relay reads it.
ScanResult Scan(const std::string& stream, Policy policy, size_t split) {
  DataScanner scanner;
  scanner.Reset(policy);
  ScanResult result;
  for (const std::string& read : {stream.substr(0, split), stream.substr(split)}) {
    if (scanner.ended()) {
      result.rest += read;
      continue;
    }
    const size_t taken = scanner.Scan(read, &result.message);
    result.rest += read.substr(taken);
  }
  result.ended = scanner.ended();
  result.bare = scanner.bare_line_end();
  return result;
}

// The end is exactly CR LF "." CR LF; a bare line end never ends a message
// (the smuggling forms among them), whatever the read boundaries.
TEST(DataScannerTest, EndsOnlyAtCrLfDotCrLfAtEveryReadBoundary) {
  const std::string smuggled = "MAIL FROM:<x@evil.example>\r\n";
  struct Case {
    const char* name;
    Policy policy;
    std::string stream;
    std::string message;
    std::string rest;
    bool ended;
    char bare;
  } cases[] = {
      {"commands after the end", Policy::kRefuse, "S: x\r\n\r\nbody\r\n.\r\nQUIT\r\n",
       "S: x\r\n\r\nbody\r\n.\r\n", "QUIT\r\n", true, 0},
      {"empty message", Policy::kRefuse, ".\r\n" + smuggled, ".\r\n", smuggled, true, 0},
      {"stuffed dots and a dot inside lines", Policy::kRefuse, "a.\r\n..b\r\n.x\r\n.\r\n",
       "a.\r\n..b\r\n.x\r\n.\r\n", "", true, 0},
      {"LF dot LF", Policy::kRefuse, "a\n.\n" + smuggled, "a\n.\n" + smuggled, "", false, '\n'},
      {"CR dot CR", Policy::kRefuse, "a\r.\r" + smuggled, "a\r.\r" + smuggled, "", false, '\r'},
      {"normalised LF dot LF", Policy::kNormalise, "a\n.\nb\r\n.\r\nQUIT\r\n", "a\r\n..\r\nb\r\n.\r\n",
       "QUIT\r\n", true, '\n'},
      {"normalised CR dot CR LF", Policy::kNormalise, "a\r.\r\n.\r\n", "a\r\n..\r\n.\r\n", "", true, '\r'},
  };
  for (const Case& c : cases) {
    for (size_t split = 0; split <= c.stream.size(); ++split) {
      SCOPED_TRACE(std::string(c.name) + " split at " + std::to_string(split));
      const ScanResult got = Scan(c.stream, c.policy, split);
      EXPECT_EQ(got.message, c.message);
      EXPECT_EQ(got.rest, c.rest);
      EXPECT_EQ(got.ended, c.ended);
      EXPECT_EQ(got.bare, c.bare);
    }
  }
}

// What the scanner keeps of a DATA message, turned back into the message.
TEST(UnstuffedMessageTest, TakesOneDotOffAndStopsAtTheEndLine) {
  const struct {
    std::string data;
    std::string message;
  } cases[] = {
      {"S: x\r\n\r\nbody\r\n.\r\n", "S: x\r\n\r\nbody\r\n"},
      {".\r\n", ""},
      {"a.\r\n..b\r\n...\r\n.x\r\n.\r\nafter\r\n", "a.\r\n.b\r\n..\r\nx\r\n"},
      {"cut in a li", "cut in a li"},
      {"a\r\n..cut", "a\r\n.cut"},
      {"a\r\n.", "a\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(UnstuffedMessage(c.data), c.message) << c.data;
}

TEST(ChunkBytesTest, TakesExactlyTheAnnouncedBytes) {
  EXPECT_EQ(ChunkBytes("abcdef", 100), 6u);
  EXPECT_EQ(ChunkBytes("abcQUIT\r\n", 3), 3u);
  EXPECT_EQ(ChunkBytes("QUIT\r\n", -4), 0u);
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
  const RelayWaitState idle{.client_open = true, .client_may_read = true, .mta_open = true, .mta_may_read = true};
  const Case cases[] = {
      {"idle session waits on both sockets", idle, POLLIN, POLLIN, kWait},
      {"reading not allowed", {.client_open = true, .mta_open = true}, 0, 0, kWait},
      {"command line ready",
       {.client_open = true, .client_may_read = true, .mta_open = true, .mta_may_read = true, .command_waiting = true},
       POLLIN, POLLIN, 0},
      {"client queue blocked waits for room",
       {.client_open = true, .client_may_read = true, .to_client_pending = true, .client_send_blocked = true,
        .mta_open = true, .mta_may_read = true},
       POLLIN | POLLOUT, POLLIN, kWait},
      {"MTA queue without an MTA is no work",
       {.client_open = true, .client_may_read = true, .mta_may_read = true, .to_mta_pending = true}, POLLIN, 0, kWait},
      {"closed MTA, client queue blocked",
       {.client_open = true, .client_may_read = true, .to_client_pending = true, .client_send_blocked = true,
        .mta_may_read = true, .mta_gone = true},
       POLLIN | POLLOUT, 0, 0},
      {"close once sent, queue blocked",
       {.client_open = true, .to_client_pending = true, .client_send_blocked = true, .mta_open = true,
        .mta_may_read = true, .close_pending = true},
       POLLOUT, POLLIN, kWait},
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
