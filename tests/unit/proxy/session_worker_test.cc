// The session worker without a proxy core: a loopback client, a scripted MTA
// on 127.0.0.1 and a core.cs that connects to it.
#include "proxy/session_worker.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/utility.h"
#include "common/app_directory.h"
#include "common/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

// Longest wait for the worker or the MTA, and the fake MTA's longest life.
constexpr auto kPatience = std::chrono::seconds(10);
constexpr auto kMtaLifetime = std::chrono::seconds(120);
constexpr int kConnectionId = 7;

// The timers' clock, moved by the tests; counts its readings.
std::atomic<int64_t> g_now_ms{1000000};
std::atomic<int> g_readings{0};
int64_t FakeClock() {
  ++g_readings;
  return g_now_ms.load();
}

// Polls `done` (which may act, like Add) until it is true; bounded.
bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = Clock::now() + kPatience;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// An MTA recording what each connection sends. EHLO is answered a byte at a
// time; DATA with `data_reply`, its "." after `end_delay_ms`; "RCPT TO:<reject"
// gets 501, AUTH 334 then 235, "HANG" nothing; QUIT closes.
class FakeMta {
 public:
  FakeMta() {
    if (listener_.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, CSocketComm::kOptionReuseAddress))
      port_ = BoundPort(listener_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeMta() {
    stop_ = true;
    thread_.join();
  }
  const std::string& port() const { return port_; }
  // What connection `n` (from 1) received.
  std::string Received(int n = 1) {
    std::lock_guard<std::mutex> hold(lock_);
    return received_[n];
  }
  int connections() {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(received_.size());
  }
  // Command lines that arrived while an earlier one was still unanswered.
  int early_lines() const { return early_lines_; }
  std::string data_reply = "354 go ahead\r\n";
  int end_delay_ms = 0;
  std::atomic<bool> bytes_while_holding{false};

 private:
  void Serve() {
    const auto deadline = Clock::now() + kMtaLifetime;
    for (int n = 1; !stop_ && Clock::now() < deadline; ++n) {
      pollfd wait{listener_.GetSocket(), POLLIN, 0};
      while (!stop_ && Clock::now() < deadline && poll(&wait, 1, 20) == 0) {
      }
      if (stop_ || (wait.revents & POLLIN) == 0) return;
      CSocketComm connection;
      connection.SetHandle(CSocketComm::WaitForConnection(listener_.GetSocket()));
      {
        std::lock_guard<std::mutex> hold(lock_);
        received_[n];
      }
      Converse(&connection, n, deadline);
    }
  }

  void Converse(CSocketComm* connection, int n, Clock::time_point deadline) {
    connection_ = connection;
    in_data_ = false;
    Answer("220 mta.test ESMTP\r\n");
    std::string pending;
    char buffer[65536];
    while (!stop_ && Clock::now() < deadline) {
      const int got = connection->Riceve(buffer, sizeof(buffer), 20);
      if (got < 0) return;
      {
        std::lock_guard<std::mutex> hold(lock_);
        received_[n].append(buffer, static_cast<size_t>(got));
      }
      pending.append(buffer, static_cast<size_t>(got));
      if (!Process(&pending)) return;
    }
  }

  // Handles what `pending` holds; false once the MTA closed.
  bool Process(std::string* pending) {
    for (;;) {
      if (in_data_) {
        message_ += *pending;
        pending->clear();
        const size_t end = message_.find("\r\n.\r\n");
        if (end == std::string::npos) return true;
        *pending = message_.substr(end + 5);
        in_data_ = false;
        HoldEndReply(pending);
        Answer("250 2.0.0 queued\r\n");
        continue;
      }
      const size_t end = pending->find('\n');
      if (end == std::string::npos) return true;
      const std::string line = pending->substr(0, end + 1);
      pending->erase(0, end + 1);
      if (pending->find('\n') != std::string::npos) ++early_lines_;
      if (!Command(line)) return false;
    }
  }

  // Waits before answering "."; notes whether the relay sent anything meanwhile.
  void HoldEndReply(const std::string* pending) {
    if (end_delay_ms <= 0) return;
    pollfd more{connection_->GetSocket(), POLLIN, 0};
    bytes_while_holding = !pending->empty() || poll(&more, 1, end_delay_ms) > 0;
  }

  bool Command(const std::string& line) {
    if (auth_next_) {
      auth_next_ = false;
      Answer("235 2.7.0 accepted\r\n");
    } else if (line.compare(0, 4, "EHLO") == 0) {
      const std::string ehlo = "250-mta.test\r\n250-PIPELINING\r\n250-STARTTLS\r\n250-CHUNKING\r\n250 SIZE 100000\r\n";
      for (char c : ehlo) Answer(std::string(1, c));
    } else if (line.compare(0, 4, "DATA") == 0) {
      in_data_ = data_reply.compare(0, 3, "354") == 0;
      message_ = "\r\n";  // so that an empty message's "." is found too
      Answer(data_reply);
    } else if (line.compare(0, 15, "RCPT TO:<reject") == 0) {
      Answer("501 5.1.3 bad recipient address syntax\r\n");
    } else if (line.compare(0, 4, "AUTH") == 0) {
      auth_next_ = true;
      Answer("334 \r\n");
    } else if (line.compare(0, 4, "HANG") == 0) {
      // no answer at all
    } else if (line.compare(0, 4, "QUIT") == 0) {
      Answer("221 bye\r\n");
      connection_->CloseComm();
      return false;
    } else {
      Answer("250 ok\r\n");
    }
    return true;
  }

  void Answer(const std::string& reply) { connection_->Send(reply.data(), static_cast<int>(reply.size()), 1000); }

  CSocketComm listener_;
  CSocketComm* connection_ = nullptr;
  std::string port_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::map<int, std::string> received_;  // guarded by lock_
  std::atomic<int> early_lines_{0};
  bool in_data_ = false;
  bool auth_next_ = false;
  std::string message_;
};

// Connects the MTA, refuses STARTTLS locally, drops a message marked
// "X-Drop-Me" and logs what the events received.
constexpr char kCoreScript[] = R"(CS_ANTISPAM_SCRIPT cs = new CS_ANTISPAM_SCRIPT($_this);
int OnStartClientConnection(int id) {
  if (cs.ConnectToMTA("127.0.0.1", "@PORT@") == 0) { cs.SendToClient("421 no MTA\r\n"); }
  return 0;
}
int OnAllClientData(string line) {
  if (line == "STARTTLS") {
    cs.SendToClient("454 4.7.0 TLS not available due to local problem\r\n");
    cs.DropBufferToMTA();
  }
  return 0;
}
int OnHelo(string name, string word) { cs.DropExtensionMTA("STARTTLS"); cs.WriteLog(1, "helo " + name + " " + word, "TEST"); return 0; }
int OnMailFrom(string from) { cs.WriteLog(1, "from " + from, "TEST"); return 0; }
int OnRcptTo(string to) { cs.WriteLog(1, "rcpt " + to, "TEST"); return 0; }
int OnCommandData(int limit) { cs.WriteLog(1, "data " + limit, "TEST"); return 0; }
int OnAllDataMessage(string block, int end) { if (end == 1) { cs.WriteLog(1, "end of data", "TEST"); } return 0; }
int OnEmailMessagesToAnalyzer() {
  cs.WriteLog(1, "analyse " + cs.GetEmailLen(), "TEST");
  if (cs.REeq(cs.GetEmailRaw(), "after the NUL", 0)) { cs.WriteLog(1, "analyse sees past NUL", "TEST"); }
  if (cs.REeq(cs.GetEmailRaw(), "^[.][.]", 3)) { cs.WriteLog(1, "analyse sees stuffing", "TEST"); }
  if (cs.REeq(cs.GetEmailRaw(), "^[.]dot-stuffed", 3)) { cs.WriteLog(1, "analyse sees leading dots", "TEST"); }
  if (cs.REeq(cs.GetEmailRaw(), "^X-Drop-Me:", 3)) {
    cs.DropBufferToMTA();
    cs.SendToClient("550 5.7.1 dropped\r\n");
  }
  return 0;
}
int OverWriteCommandError(int count) { cs.WriteLog(1, "error " + count, "TEST"); return 0; }
int OnClientTimeOut() { cs.WriteLog(1, "timeout event", "TEST"); return 0; }
)";

class LauchAntispamTest : public ::testing::Test {
 protected:
  LauchAntispamTest() {
    settings_.select_time_ms = 50;
    settings_.block_size = 1024;
    settings_.timeout_client = 30;
    settings_.session_timeout = 600;
    settings_.command_timeout = 300;
    settings_.mta_timeout = 120;
    settings_.event_cpu_ms = 1000;
    settings_.error_max = 3;
    entries_.Add(String("1|core.cs"));
    worker_.SetClock(&FakeClock);
  }
  ~LauchAntispamTest() override { worker_.Stop(); }

  // Writes core.cs (MTA port filled in, `extra` appended) and hands the worker a client.
  void Connect(const std::string& extra = "", std::string script = kCoreScript) {
    script += extra;
    const size_t port = script.find("@PORT@");
    if (port != std::string::npos) script.replace(port, 6, mta_.port());
    dir_.Write("core.cs", script);
    settings_.policy = CS_PROXY_ANTISPAM_INSTANCE().CompilePolicy(entries_);
    worker_.SetSettings(std::make_shared<const SessionSettings>(settings_));
    worker_.SetCacheScript(caching_);
    if (!worker_.IsStart()) {
      ASSERT_TRUE(worker_.Start());
    }
    NewClient();
  }
  void NewClient() {
    client_.CloseComm();
    heard_.clear();
    CSocketComm listener;
    ASSERT_TRUE(listener.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, CSocketComm::kOptionReuseAddress));
    ASSERT_TRUE(client_.ConnectTo("127.0.0.1", BoundPort(listener).c_str(), AF_INET, SOCK_STREAM, "127.0.0.1"));
    slot_.SetHandle(CSocketComm::WaitForConnection(listener.GetSocket()));
    slot_.SetLibero(false);
    ASSERT_TRUE(WaitFor([this] { return worker_.Add({kConnectionId, &slot_}); }));
  }

  void Send(const std::string& bytes) {
    ASSERT_EQ(client_.Send(bytes.data(), static_cast<int>(bytes.size()), 5000), static_cast<int>(bytes.size()));
  }
  // Reads until the client has received `text` (empty: never) or the worker closed it; true when it closed.
  bool Read(const std::string& text = "") {
    const auto deadline = Clock::now() + kPatience;
    char buffer[4096];
    while ((text.empty() || heard_.find(text) == std::string::npos) && Clock::now() < deadline) {
      const int got = client_.Riceve(buffer, sizeof(buffer), 20);
      if (got < 0) return true;
      heard_.append(buffer, static_cast<size_t>(got));
    }
    return false;
  }
  bool ReadUntil(const std::string& text) {
    Read(text);
    return heard_.find(text) != std::string::npos;
  }
  bool ReadUntilClosed() { return Read(); }
  // Moves the fake clock and waits for a whole relay pass (at most two readings) or the session's end.
  void AdvanceClock(int seconds) {
    g_now_ms += static_cast<int64_t>(seconds) * 1000;
    const int seen = g_readings.load();
    WaitFor([this, seen] { return g_readings.load() >= seen + 4 || !worker_.IsLavorando(); });
  }
  bool WaitIdle() {
    return WaitFor([this] { return !worker_.IsLavorando(); });
  }
  // The worker's log entries so far, oldest first.
  std::vector<std::string> Log() {
    worker_.GetLog().Drain([this](const CLogSimple::LogSimple_item& item) { log_.push_back(item.entry.ToStdString()); });
    return log_;
  }
  bool Logged(const std::string& entry) {
    const std::vector<std::string> log = Log();
    return std::find(log.begin(), log.end(), entry) != log.end();
  }
  bool LoggedPart(const std::string& part) {
    const std::vector<std::string> log = Log();
    return std::any_of(log.begin(), log.end(), [&part](const std::string& e) { return e.find(part) != std::string::npos; });
  }
  // The script's own records ("TEST" WriteLog lines), in order.
  std::vector<std::string> Events() {
    std::vector<std::string> events;
    for (const std::string& entry : Log()) {
      for (const char* prefix : {"helo ", "from ", "rcpt ", "data ", "end of data", "analyse", "error ", "timeout"}) {
        if (entry.rfind(prefix, 0) == 0) events.push_back(entry);
      }
    }
    return events;
  }
  // Waits (bounded) until MTA connection `n` has received `expected`.
  bool MtaGot(const std::string& expected, int n = 1) {
    return WaitFor([&] { return mta_.Received(n) == expected; });
  }

  TempAppDirectory dir_{"scripts/antispam"};
  SessionSettings settings_;
  CArray<String> entries_;  // the configured scripts
  bool caching_ = true;
  FakeMta mta_;
  CSocketComm slot_;  // the listener's slot the worker is handed
  CSocketComm client_;
  std::string heard_;  // what the client received
  std::vector<std::string> log_;
  CLauchAntispam worker_;  // last: stopped before what it uses goes
};

const std::string kEnvelope = "EHLO c.test\r\nMAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.net>\r\n";

TEST_F(LauchAntispamTest, PipelinedCommandsReachTheMtaOneAtATimeAsWholeReplies) {
  Connect();
  const std::string commands = kEnvelope + "RCPT TO:<carol@example.net>\r\nNOOP\r\n";
  Send(commands);
  ASSERT_TRUE(ReadUntil("250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n")) << heard_;
  EXPECT_TRUE(MtaGot(commands));
  EXPECT_EQ(mta_.early_lines(), 0);
  // The EHLO answer came a byte at a time; it is edited whole and well formed.
  EXPECT_EQ(heard_,
            "220 mta.test ESMTP\r\n250-mta.test\r\n250-PIPELINING\r\n250-CHUNKING\r\n250 SIZE 100000\r\n"
            "250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n");
  EXPECT_EQ(Events(), (std::vector<std::string>{"helo c.test EHLO", "from a@example.com", "rcpt b@example.net",
                                                "rcpt carol@example.net"}));
}

// A refused DATA leaves the pipelined lines commands.
TEST_F(LauchAntispamTest, RefusedDataLeavesTheFollowingLinesCommands) {
  mta_.data_reply = "554 5.5.1 no valid recipients\r\n";
  Connect();
  Send(kEnvelope + "DATA\r\nRSET\r\n");
  ASSERT_TRUE(ReadUntil("554 5.5.1 no valid recipients\r\n250 ok\r\n")) << heard_;
  Send("STARTTLS\r\nQUIT\r\n");
  ASSERT_TRUE(ReadUntil("454 4.7.0 TLS not available due to local problem\r\n221 bye\r\n")) << heard_;
  EXPECT_TRUE(ReadUntilClosed());
  EXPECT_TRUE(MtaGot(kEnvelope + "DATA\r\nRSET\r\nQUIT\r\n"));
}

TEST_F(LauchAntispamTest, NextCommandWaitsForTheReplyToTheMessage) {
  mta_.end_delay_ms = 300;
  Connect();
  Send(kEnvelope + "DATA\r\n");
  ASSERT_TRUE(ReadUntil("354 go ahead\r\n"));
  Send("Subject: x\r\n\r\nbody\r\n.\r\nMAIL FROM:<next@example.com>\r\n");
  ASSERT_TRUE(ReadUntil("250 2.0.0 queued\r\n250 ok\r\n")) << heard_;
  EXPECT_FALSE(mta_.bytes_while_holding);
  EXPECT_EQ(Events().back(), "from next@example.com");
}

TEST_F(LauchAntispamTest, MessagesAreAnalysedOnTheirPrefixAndRelayedUnchanged) {
  Connect();
  std::string body = "Subject: big\r\n\r\n";
  for (int i = 0; body.size() < 100000; ++i) body += (i % 7 == 0 ? "..dot-stuffed line " : "line ") + std::to_string(i) + "\r\n";
  const std::string nul_message = std::string("Subject: a\0b\r\n\r\nafter the NUL\r\n.\r\n", 34);
  Send(kEnvelope + "DATA\r\n");
  ASSERT_TRUE(ReadUntil("354 go ahead\r\n"));
  Send(body + ".\r\nDATA\r\n");
  ASSERT_TRUE(ReadUntil("queued\r\n354 go ahead\r\n")) << heard_;
  Send(nul_message);
  ASSERT_TRUE(ReadUntil("queued\r\n354 go ahead\r\n250 2.0.0 queued\r\n")) << heard_;
  EXPECT_TRUE(MtaGot(kEnvelope + "DATA\r\n" + body + ".\r\nDATA\r\n" + nul_message));
  const std::vector<std::string> events = Events();
  // The scripts read the message, not its SMTP form: one dot less on each
  // stuffed line of the data held, and no end line ("Subject: a\0b..." is 31).
  const size_t held = SmtpSession::kAnalysedBytes;
  const auto stuffed = static_cast<size_t>(std::count(body.begin(), body.begin() + held, '\n') / 7 + 1);
  const auto analysed = std::find_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("analyse 3", 0) == 0 && e.size() == 13; });
  ASSERT_NE(analysed, events.end()) << testing::PrintToString(events);
  EXPECT_GE(std::stoul(analysed->substr(8)), held - stuffed);
  EXPECT_LE(std::stoul(analysed->substr(8)), held);
  EXPECT_EQ(std::count(events.begin(), events.end(), "analyse 31"), 1) << testing::PrintToString(events);
  EXPECT_EQ(std::count(events.begin(), events.end(), "analyse sees leading dots"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "analyse sees stuffing"), 0);
  EXPECT_EQ(std::count(events.begin(), events.end(), "analyse sees past NUL"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "end of data"), 2);
}

// A dropped message reopens the MTA connection, greeted with the session's
// EHLO out of the client's sight.
TEST_F(LauchAntispamTest, DroppedMessageLeavesTheMtaInStep) {
  Connect();
  Send(kEnvelope + "DATA\r\n");
  ASSERT_TRUE(ReadUntil("354 go ahead\r\n"));
  Send("X-Drop-Me: yes\r\n\r\nsecret\r\n.\r\n");
  ASSERT_TRUE(ReadUntil("550 5.7.1 dropped\r\n")) << heard_;
  Send("MAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.net>\r\nDATA\r\n");
  ASSERT_TRUE(ReadUntil("dropped\r\n250 ok\r\n250 ok\r\n354 go ahead\r\n")) << heard_;
  Send("Subject: kept\r\n\r\nbody\r\n.\r\nQUIT\r\n");
  ASSERT_TRUE(ReadUntil("250 2.0.0 queued\r\n221 bye\r\n")) << heard_;
  EXPECT_EQ(mta_.Received(1), kEnvelope + "DATA\r\n");
  EXPECT_TRUE(MtaGot(kEnvelope + "DATA\r\nSubject: kept\r\n\r\nbody\r\n.\r\nQUIT\r\n", 2));
  EXPECT_EQ(heard_.find("220 mta.test", 10), std::string::npos) << "the second greeting reached the client";
}

TEST_F(LauchAntispamTest, CredentialsStayOutOfTheLogAndOverlongLinesAreRefused) {
  Connect();
  Send("AUTH PLAIN c2VjcmV0\r\n");
  ASSERT_TRUE(ReadUntil("334 \r\n"));
  Send("bXlwYXNzd29yZA==\r\nNOOP\r\n");
  ASSERT_TRUE(ReadUntil("235 2.7.0 accepted\r\n250 ok\r\n")) << heard_;
  std::vector<std::string> log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "fr<-cl : AUTH ..."), 2);
  EXPECT_FALSE(LoggedPart("c2VjcmV0") || LoggedPart("bXlwYXNzd29yZA"));
  EXPECT_TRUE(Logged("fr<-cl : NOOP"));
  // An overlong line is refused here; the next one is relayed.
  Send(std::string(5000, 'A') + "\r\nRSET\r\n");
  ASSERT_TRUE(ReadUntil("accepted\r\n250 ok\r\n500 5.5.2 Line too long\r\n250 ok\r\n")) << heard_;
  EXPECT_TRUE(MtaGot("AUTH PLAIN c2VjcmV0\r\nbXlwYXNzd29yZA==\r\nNOOP\r\nRSET\r\n"));
}

TEST_F(LauchAntispamTest, TooManyMtaErrorsEndTheConnection) {
  settings_.error_max = 1;
  Connect();
  Send("EHLO c.test\r\nMAIL FROM:<a@example.com>\r\nRCPT TO:<reject1@example.net>\r\n"
       "RCPT TO:<reject2@example.net>\r\n");
  EXPECT_TRUE(ReadUntilClosed());
  // The second refusal passes the limit: the connection ends before it is relayed.
  EXPECT_NE(heard_.find("501 5.1.3 bad recipient address syntax\r\n"), std::string::npos);
  EXPECT_EQ(heard_.find("syntax\r\n501"), std::string::npos);
  EXPECT_TRUE(WaitIdle());
  EXPECT_TRUE(Logged("max errors exceeded... close connection !!!"));
  EXPECT_EQ(Events(), (std::vector<std::string>{"helo c.test EHLO", "from a@example.com", "rcpt reject1@example.net",
                                                "error 1", "rcpt reject2@example.net", "error 2"}));
}

// The client's idle time does not run while the relay waits for the MTA.
TEST_F(LauchAntispamTest, TimersEndTheSession) {
  struct Case {
    const char* name;
    std::string sent;
    int advance_s;
    const char* reply;
  } cases[] = {
      {"idle client", "", 31, "451 Connection timeout, try later\r\n"},
      {"byte by byte", "NOO", 301, "421 4.4.2 Command time limit reached, closing transmission channel\r\n"},
      {"whole session", "NOOP\r\n", 601, "421 4.4.2 Session time limit reached, closing transmission channel\r\n"},
      {"silent MTA", "HANG\r\n", 121, "451 4.4.2 No answer from the mail server, try later\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connect();
    ASSERT_TRUE(ReadUntil("220 mta.test ESMTP\r\n"));
    if (!c.sent.empty()) Send(c.sent);
    if (c.sent == "NOOP\r\n") {
      ASSERT_TRUE(ReadUntil("250 ok\r\n"));
    }
    AdvanceClock(0);  // the worker has taken what was sent
    if (c.sent == "HANG\r\n") {
      // Past the client's idle time: the relay waits for the MTA, not the client.
      AdvanceClock(60);
      Send("NOOP\r\n");
    }
    AdvanceClock(c.advance_s);
    ASSERT_TRUE(ReadUntil(c.reply)) << heard_;
    EXPECT_TRUE(ReadUntilClosed());
    EXPECT_TRUE(WaitIdle());
  }
  EXPECT_TRUE(Logged("timeout event"));
}

TEST_F(LauchAntispamTest, ScriptOverItsBudgetEndsTheSessionAndTheWorkerServesOn) {
  settings_.event_cpu_ms = 200;
  Connect("int OnCommandNOOP() { while (1) { } return 0; }\n");
  Send("NOOP\r\n");
  ASSERT_TRUE(ReadUntil("421 4.3.0 Policy failure, closing transmission channel\r\n")) << heard_;
  EXPECT_TRUE(ReadUntilClosed());
  EXPECT_TRUE(WaitIdle());
  EXPECT_TRUE(LoggedPart("in OnCommandNOOP stopped: over its CPU time budget"));
  // The next client on the same worker is served by a freshly built script.
  NewClient();
  Send("EHLO c.test\r\n");
  EXPECT_TRUE(ReadUntil("250 SIZE 100000\r\n")) << heard_;
}

// A stop ends every wait (connects too: all are one interruptible poll); Stop returns once the thread has ended.
TEST_F(LauchAntispamTest, StopEndsEveryWait) {
  struct Case {
    const char* name;
    std::string handler;
  } cases[] = {
      {"in the relay loop", ""},
      {"in a script sleep", "int OnHelo(string n, string w) { cs.Sleep(60000); return 0; }\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string script = kCoreScript;
    if (!c.handler.empty()) script.replace(script.find("int OnHelo("), script.find("int OnMailFrom(") - script.find("int OnHelo("), c.handler);
    Connect("", script);
    ASSERT_TRUE(ReadUntil("220 mta.test ESMTP\r\n"));
    Send("HELO c.test\r\n");
    if (c.handler.empty()) {
      ASSERT_TRUE(ReadUntil("250 ok\r\n"));
    }
    EXPECT_TRUE(worker_.Stop());
    EXPECT_FALSE(worker_.IsStart());
    EXPECT_TRUE(ReadUntil("421 Service not available, closing transmission channel\r\n")) << heard_;
  }
}

// The slot is freed only once the worker can take the next connection.
TEST_F(LauchAntispamTest, SlotIsFreedOnlyWhenTheWorkerIsReady) {
  Connect("int OnDestroyThis() { cs.Sleep(200); return 0; }\n");
  ASSERT_TRUE(ReadUntil("220 mta.test ESMTP\r\n"));
  Send("QUIT\r\n");
  ASSERT_TRUE(WaitFor([this] { return slot_.IsLibero(); }));
  EXPECT_FALSE(worker_.IsLavorando());
  EXPECT_TRUE(worker_.IsPause());
}

// A session that cannot go on ends with the script's answer, if any, and
// frees its slot.
TEST_F(LauchAntispamTest, ConnectionEndsWithoutUsableScriptsOrMta) {
  std::string no_mta = kCoreScript;
  no_mta.replace(no_mta.find("@PORT@"), 6, "1");
  const struct {
    const char* name;
    bool configured;
    std::string source;
    const char* reply;
    const char* expected_log;
  } cases[] = {
      {"no script configured", false, "", "", "NO SCRIPT SETTING IN CONFIG"},
      {"broken core script", true, "int OnStartClientConnection(int id) { return ; \n", "",
       "-- ERROR SCRIPT: /scripts/antispam/core.cs --"},
      {"MTA connect refused", true, no_mta, "421 no MTA\r\n", "Connection is closed from Friend"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.configured) entries_.RemoveAll();
    Connect("", c.source);
    EXPECT_TRUE(ReadUntilClosed());
    EXPECT_EQ(heard_, c.reply);
    EXPECT_TRUE(WaitIdle());
    EXPECT_TRUE(Logged(c.expected_log)) << testing::PrintToString(Log());
    EXPECT_TRUE(WaitFor([this] { return slot_.IsLibero(); }));  // freed just after the worker
    worker_.Stop();
    entries_.RemoveAll();
    entries_.Add(String("1|core.cs"));
  }
}

TEST_F(LauchAntispamTest, WorkerWithoutCachingServesOneConnection) {
  caching_ = false;
  Connect();
  Send("QUIT\r\n");
  ASSERT_TRUE(ReadUntil("221 bye\r\n")) << heard_;
  EXPECT_TRUE(ReadUntilClosed());
  EXPECT_TRUE(WaitIdle());
  // Spent: neither busy nor ready, so the core retires it.
  EXPECT_FALSE(worker_.IsPause());
  EXPECT_EQ(worker_.script(), nullptr);
  EXPECT_FALSE(worker_.Add({kConnectionId + 1, &slot_}));
}

}  // namespace
