// Tests of the session worker without a proxy core: a real loopback client,
// a scripted MTA on 127.0.0.1 and a core.cs that connects to it. They check
// what reaches each side, in which order, and which events the script saw.
#include "proxy/session_worker.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/scratch_dir.h"
#include "base/utility.h"

namespace {

using Clock = std::chrono::steady_clock;

// Longest wait for anything the worker or the MTA should do.
constexpr auto kPatience = std::chrono::seconds(10);
constexpr int kConnectionId = 7;

// An MTA that answers by simple rules and records every byte it receives.
// EHLO gets a list with STARTTLS; DATA collects to "\r\n.\r\n"; "BDAT n"
// takes n bytes; a recipient starting with "reject" gets a 501; QUIT
// closes. Runs one connection on its own thread, bounded in time.
class FakeMta {
 public:
  FakeMta() {
    SockAddrIn bound;
    if (listener_.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, CSocketComm::kOptionReuseAddress) &&
        listener_.GetSockName(&bound)) {
      port_ = std::to_string(bound.GetPort());
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeMta() {
    stop_ = true;
    thread_.join();
  }
  const std::string& port() const { return port_; }
  std::string Received() {
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
  }
  // Command lines that arrived while an earlier one was still unanswered.
  int early_lines() const { return early_lines_; }
  // Greets only after `ms` and notes whether the relay spoke first.
  void DelayGreeting(int ms) { greeting_delay_ms_ = ms; }
  bool spoke_before_greeting() const { return spoke_before_greeting_; }

 private:
  void Serve() {
    pollfd wait{listener_.GetSocket(), POLLIN, 0};
    const auto deadline = Clock::now() + kPatience;
    while (!stop_ && Clock::now() < deadline && poll(&wait, 1, 20) == 0) {
    }
    if (stop_ || (wait.revents & POLLIN) == 0) return;
    connection_.SetHandle(CSocketComm::WaitForConnection(listener_.GetSocket()));
    if (greeting_delay_ms_ > 0) {
      pollfd early{connection_.GetSocket(), POLLIN, 0};
      spoke_before_greeting_ = poll(&early, 1, greeting_delay_ms_) > 0;
    }
    Answer("220 mta.test ESMTP\r\n");
    std::string pending;
    char buffer[65536];
    while (!stop_ && Clock::now() < deadline) {
      const int got = connection_.Riceve(buffer, sizeof(buffer), 20);
      if (got < 0) return;
      {
        std::lock_guard<std::mutex> hold(lock_);
        received_.append(buffer, static_cast<size_t>(got));
      }
      pending.append(buffer, static_cast<size_t>(got));
      if (!Process(&pending)) return;
    }
  }

  // Handles what `pending` holds; false once the MTA closed.
  bool Process(std::string* pending) {
    for (;;) {
      if (chunk_remaining_ > 0) {
        const size_t take = std::min(pending->size(), chunk_remaining_);
        pending->erase(0, take);
        chunk_remaining_ -= take;
        if (chunk_remaining_ > 0) return true;
        Answer("250 2.0.0 chunk taken\r\n");
        continue;
      }
      if (in_data_) {
        message_ += *pending;
        pending->clear();
        const size_t end = message_.find("\r\n.\r\n");
        if (end == std::string::npos) return true;
        *pending = message_.substr(end + 5);
        message_.clear();
        in_data_ = false;
        Answer("250 2.0.0 queued\r\n");
        continue;
      }
      const size_t end = pending->find('\n');
      if (end == std::string::npos) return true;
      const std::string line = pending->substr(0, end + 1);
      pending->erase(0, end + 1);
      if (line.compare(0, 5, "BDAT ") != 0 && pending->find('\n') != std::string::npos) ++early_lines_;
      if (!Command(line)) return false;
    }
  }

  bool Command(const std::string& line) {
    if (line.compare(0, 4, "EHLO") == 0) {
      Answer("250-mta.test\r\n250-PIPELINING\r\n250-STARTTLS\r\n250-CHUNKING\r\n250 SIZE 100000\r\n");
    } else if (line.compare(0, 4, "DATA") == 0) {
      in_data_ = true;
      message_ = "\r\n";  // so that an empty message's "." is found too
      Answer("354 go ahead\r\n");
    } else if (line.compare(0, 5, "BDAT ") == 0) {
      chunk_remaining_ = std::stoul(line.substr(5));
      if (chunk_remaining_ == 0) Answer("250 2.0.0 chunk taken\r\n");
    } else if (line.compare(0, 15, "RCPT TO:<reject") == 0) {
      Answer("501 5.1.3 bad recipient address syntax\r\n");
    } else if (line.compare(0, 4, "QUIT") == 0) {
      Answer("221 bye\r\n");
      connection_.CloseComm();
      return false;
    } else {
      Answer("250 ok\r\n");
    }
    return true;
  }

  void Answer(const std::string& reply) {
    connection_.Send(reply.data(), static_cast<int>(reply.size()), 1000);
  }

  CSocketComm listener_;
  CSocketComm connection_;
  std::string port_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::string received_;  // guarded by lock_
  std::atomic<int> early_lines_{0};
  std::atomic<int> greeting_delay_ms_{0};
  std::atomic<bool> spoke_before_greeting_{false};
  bool in_data_ = false;
  std::string message_;
  size_t chunk_remaining_ = 0;
};

// The script every test runs unless it writes its own: connect the MTA,
// answer STARTTLS locally and hide it from the EHLO answer, and log what
// the events received.
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
int OnEmailMessagesToAnalyzer() { cs.WriteLog(1, "analyse " + cs.GetEmailLen(), "TEST"); return 0; }
int OverWriteCommandError(int count) { cs.WriteLog(1, "error " + count, "TEST"); return 0; }
int OnClientTimeOut() { cs.WriteLog(1, "timeout event", "TEST"); return 0; }
)";

class LauchAntispamTest : public ::testing::Test {
 protected:
  LauchAntispamTest() : previous_path_(GetAppPath()) {
    std::filesystem::create_directories(dir_.File("scripts/antispam"));
    SetAppPath(dir_.path().c_str());
    settings_.select_time_ms = 50;
    settings_.block_size = 1024;
    settings_.timeout_client = 30;
    settings_.error_max = 3;
    settings_.scripts.Add(String("1|core.cs"));
  }
  ~LauchAntispamTest() override {
    worker_.Stop();
    SetAppPath(previous_path_.GetData() != nullptr ? previous_path_.GetData() : "");
  }

  // Writes core.cs (the MTA's port filled in), starts the worker and hands
  // it a fresh loopback client.
  void Connect(std::string script = kCoreScript) {
    const size_t port = script.find("@PORT@");
    if (port != std::string::npos) script.replace(port, 6, mta_.port());
    dir_.Put("scripts/antispam/core.cs", script);
    worker_.SetSettings(std::make_shared<const SessionSettings>(settings_));
    worker_.SetCacheScript(caching_);
    ASSERT_TRUE(worker_.Start());
    CSocketComm listener;
    SockAddrIn bound;
    ASSERT_TRUE(listener.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, CSocketComm::kOptionReuseAddress));
    ASSERT_TRUE(listener.GetSockName(&bound));
    ASSERT_TRUE(client_.ConnectTo("127.0.0.1", std::to_string(bound.GetPort()).c_str(), AF_INET, SOCK_STREAM,
                                  "127.0.0.1"));
    slot_.SetHandle(CSocketComm::WaitForConnection(listener.GetSocket()));
    slot_.SetLibero(false);
    ASSERT_TRUE(worker_.Add({kConnectionId, &slot_}));
  }

  void Send(const std::string& bytes) {
    ASSERT_EQ(client_.Send(bytes.data(), static_cast<int>(bytes.size()), 5000), static_cast<int>(bytes.size()));
  }
  // Reads until the client has received `text` (true) or the connection
  // closed or the wait ran out (false).
  bool ReadUntil(const std::string& text) {
    const auto deadline = Clock::now() + kPatience;
    char buffer[4096];
    while (heard_.find(text) == std::string::npos && Clock::now() < deadline) {
      const int got = client_.Riceve(buffer, sizeof(buffer), 20);
      if (got < 0) return false;
      heard_.append(buffer, static_cast<size_t>(got));
    }
    return heard_.find(text) != std::string::npos;
  }
  // Reads until the worker closes the client; true when it did.
  bool ReadUntilClosed() {
    const auto deadline = Clock::now() + kPatience;
    char buffer[4096];
    while (Clock::now() < deadline) {
      const int got = client_.Riceve(buffer, sizeof(buffer), 20);
      if (got < 0) return true;
      heard_.append(buffer, static_cast<size_t>(got));
    }
    return false;
  }
  // Waits until the worker is idle again.
  bool WaitIdle() {
    const auto deadline = Clock::now() + kPatience;
    while (worker_.IsLavorando() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return !worker_.IsLavorando();
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
  // The script's own records ("TEST" WriteLog lines), in order.
  std::vector<std::string> Events() {
    std::vector<std::string> events;
    for (const std::string& entry : Log()) {
      for (const char* prefix : {"helo ", "from ", "rcpt ", "data ", "end of data", "analyse ", "error ", "timeout"}) {
        if (entry.rfind(prefix, 0) == 0) events.push_back(entry);
      }
    }
    return events;
  }
  // Waits (bounded) until the MTA has received `count` bytes.
  std::string MtaReceived(size_t count) {
    const auto deadline = Clock::now() + kPatience;
    while (mta_.Received().size() < count && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return mta_.Received();
  }

  ScratchDir dir_;
  String previous_path_;
  SessionSettings settings_;
  bool caching_ = true;
  FakeMta mta_;
  CSocketComm slot_;  // the listener's slot the worker is handed
  CSocketComm client_;
  std::string heard_;  // what the client received
  std::vector<std::string> log_;
  CLauchAntispam worker_;  // last: stopped before what it uses goes
};

TEST_F(LauchAntispamTest, PipelinedCommandsReachTheMtaOneAtATime) {
  Connect();
  const std::string commands =
      "EHLO client.test\r\nMAIL FROM:<alice@example.com>\r\nRCPT TO:<bob@example.net>\r\n"
      "RCPT TO:<carol@example.net>\r\nNOOP\r\n";
  Send(commands);
  ASSERT_TRUE(ReadUntil("250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n")) << heard_;
  EXPECT_EQ(MtaReceived(commands.size()), commands);
  EXPECT_EQ(mta_.early_lines(), 0);
  // The EHLO answer arrives without STARTTLS and still well formed.
  EXPECT_EQ(heard_,
            "220 mta.test ESMTP\r\n250-mta.test\r\n250-PIPELINING\r\n250-CHUNKING\r\n250 SIZE 100000\r\n"
            "250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n");
  EXPECT_EQ(Events(), (std::vector<std::string>{"helo client.test EHLO", "from alice@example.com",
                                                "rcpt bob@example.net", "rcpt carol@example.net"}));
}

TEST_F(LauchAntispamTest, ClientTalkingBeforeTheGreetingWaitsForIt) {
  mta_.DelayGreeting(200);
  Connect();
  Send("EHLO early.test\r\nNOOP\r\n");
  ASSERT_TRUE(ReadUntil("250 ok\r\n")) << heard_;
  EXPECT_FALSE(mta_.spoke_before_greeting());
  EXPECT_EQ(mta_.early_lines(), 0);
  EXPECT_EQ(heard_.find("220 mta.test ESMTP\r\n250-mta.test\r\n"), 0u) << heard_;
}

TEST_F(LauchAntispamTest, ScriptAnswersStartTlsItself) {
  Connect();
  Send("EHLO c.test\r\nSTARTTLS\r\nQUIT\r\n");
  ASSERT_TRUE(ReadUntil("221 bye\r\n")) << heard_;
  EXPECT_NE(heard_.find("454 4.7.0 TLS not available due to local problem\r\n"), std::string::npos);
  const std::string relayed = "EHLO c.test\r\nQUIT\r\n";
  EXPECT_EQ(MtaReceived(relayed.size()), relayed);
  EXPECT_TRUE(ReadUntilClosed());
  EXPECT_TRUE(WaitIdle());
  EXPECT_TRUE(slot_.IsLibero());
}

TEST_F(LauchAntispamTest, LargeMessageIsAnalysedOnItsPrefixAndRelayedUnchanged) {
  Connect();
  std::string body = "Subject: big\r\n\r\n";
  for (int i = 0; body.size() < 100000; ++i) body += (i % 7 == 0 ? "..dot-stuffed line " : "line ") + std::to_string(i) + "\r\n";
  const std::string message = body + ".\r\n";
  Send("EHLO c.test\r\nMAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.net>\r\nDATA\r\n");
  ASSERT_TRUE(ReadUntil("354 go ahead\r\n")) << heard_;
  Send(message);
  ASSERT_TRUE(ReadUntil("250 2.0.0 queued\r\n")) << heard_;
  const std::string prefix = "EHLO c.test\r\nMAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.net>\r\nDATA\r\n";
  EXPECT_EQ(MtaReceived(prefix.size() + message.size()), prefix + message);
  const std::vector<std::string> events = Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "analyse 30720"), 1) << testing::PrintToString(events);
  EXPECT_EQ(std::count(events.begin(), events.end(), "end of data"), 1);
}

TEST_F(LauchAntispamTest, BdatChunkPipelinedWithItsCommandStaysIntact) {
  Connect();
  // A chunk holding a line far longer than any command line may be.
  std::string chunk = "Subject: chunk\r\n\r\n" + std::string(6000, 'x') + "\r\n";
  const std::string bdat = "BDAT " + std::to_string(chunk.size()) + " LAST\r\n";
  Send("EHLO c.test\r\n");
  ASSERT_TRUE(ReadUntil("250 SIZE 100000\r\n"));
  Send(bdat + chunk + "QUIT\r\n");
  ASSERT_TRUE(ReadUntil("221 bye\r\n")) << heard_;
  EXPECT_NE(heard_.find("250 2.0.0 chunk taken\r\n221 bye\r\n"), std::string::npos) << heard_;
  EXPECT_EQ(mta_.Received(), "EHLO c.test\r\n" + bdat + chunk + "QUIT\r\n");
  EXPECT_TRUE(Logged("data " + std::to_string(chunk.size() - 1)));
  EXPECT_TRUE(Logged("end of data"));
}

TEST_F(LauchAntispamTest, OverlongLineIsRefusedAndTheNextOneRelayed) {
  Connect();
  Send(std::string(5000, 'A') + "\r\nNOOP\r\n");
  ASSERT_TRUE(ReadUntil("250 ok\r\n")) << heard_;
  EXPECT_EQ(heard_, "220 mta.test ESMTP\r\n500 5.5.2 Line too long\r\n250 ok\r\n");
  EXPECT_EQ(MtaReceived(strlen("NOOP\r\n")), "NOOP\r\n");
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
  const std::vector<std::string> events = Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "error 1"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "error 2"), 1);
}

TEST_F(LauchAntispamTest, SilentClientTimesOut) {
  settings_.timeout_client = 1;
  Connect();
  ASSERT_TRUE(ReadUntil("451 Connection timeout, try later\r\n")) << heard_;
  EXPECT_TRUE(ReadUntilClosed());
  EXPECT_TRUE(WaitIdle());
  EXPECT_TRUE(Logged("Connection Timeout"));
  EXPECT_TRUE(Logged("timeout event"));
}

TEST_F(LauchAntispamTest, StoppingTheWorkerSays421) {
  Connect();
  ASSERT_TRUE(ReadUntil("220 mta.test ESMTP\r\n"));
  worker_.Stop();
  ASSERT_TRUE(ReadUntil("421 Service not available, closing transmission channel\r\n")) << heard_;
  EXPECT_TRUE(ReadUntilClosed());
}

TEST_F(LauchAntispamTest, FailedMtaConnectStillDeliversTheScriptsAnswer) {
  Connect(std::string(kCoreScript).replace(std::string(kCoreScript).find("@PORT@"), 6, "1"));
  ASSERT_TRUE(ReadUntil("421 no MTA\r\n")) << heard_;
  EXPECT_TRUE(ReadUntilClosed());
  EXPECT_TRUE(WaitIdle());
  EXPECT_TRUE(Logged("Connection is closed from Friend"));
}

TEST_F(LauchAntispamTest, ConnectionEndsWithoutUsableScripts) {
  const struct {
    const char* name;
    bool configured;
    const char* source;
    const char* expected_log;
  } cases[] = {
      {"no script configured", false, "", "NO SCRIPT SETTING IN CONFIG"},
      {"broken core script", true, "int OnStartClientConnection(int id) { return ; \n",
       "-- ERROR SCRIPT: /scripts/antispam/core.cs --"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.configured) settings_.scripts.RemoveAll();
    Connect(c.source);
    EXPECT_TRUE(ReadUntilClosed());
    EXPECT_EQ(heard_, "");
    EXPECT_TRUE(WaitIdle());
    EXPECT_TRUE(Logged(c.expected_log)) << testing::PrintToString(Log());
    EXPECT_TRUE(slot_.IsLibero());
    worker_.Stop();
    settings_.scripts.RemoveAll();
    settings_.scripts.Add(String("1|core.cs"));
    client_.CloseComm();
    heard_.clear();
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
