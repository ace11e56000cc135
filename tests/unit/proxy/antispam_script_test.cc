// The antispam script glue without a proxy core: events over several script
// files, shared variables, cached instances, message edits, relay controls.
#include "proxy/antispam_script.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/socket.h"
#include "base/utility.h"
#include "common/app_directory.h"
#include "common/loopback.h"
#include "script/externs.h"

namespace {

constexpr int kConnectionId = 42;
// The first line of every test script.
constexpr char kOpen[] = "CS_ANTISPAM_SCRIPT cs = new CS_ANTISPAM_SCRIPT($_this);\n";

struct Record {
  int level;
  std::string text;
  std::string source;
  std::string category;
  int connection;
};

class AntispamScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_.id = kConnectionId;
    instance_.SetContext({.session = &session_, .log = &log_});
  }

  // Prepares the instance for a policy of `entries` ("number|file") and compiles.
  void Load(std::initializer_list<const char*> entries, bool keep = false) {
    CArray<String> list;
    for (const char* entry : entries) list.Add(String(entry));
    policy_ = CS_PROXY_ANTISPAM_INSTANCE().CompilePolicy(list);
    instance_.InitScript(policy_, keep);
    instance_.CompileScripts(false);
  }
  // A script whose `event` appends `mark` to the trace and returns `result`.
  void WriteMarker(const char* file, const char* event, const char* mark, int result) {
    dir_.Write(file, std::string(kOpen) + "int " + event + "() { cs.InjectionExtensionMTA(\"" + mark +
                         "\"); return " + std::to_string(result) + "; }\n");
  }
  // What the scripts appended with InjectionExtensionMTA.
  std::string Trace() const { return session_.extension_injection.ToStdString(); }
  std::vector<Record> Records() {
    std::vector<Record> out;
    log_.Drain([&out](const CLogSimple::LogSimple_item& item) {
      out.push_back({item.level, item.entry.ToStdString(), item.filename.ToStdString(), item.type.ToStdString(),
                     item.idConnection});
    });
    return out;
  }

  TempAppDirectory dir_{"scripts/antispam"};
  SmtpSession session_;
  CLogSimple log_;
  CS_PROXY_ANTISPAM_INSTANCE instance_;
  std::shared_ptr<const AntispamPolicy> policy_;  // the last Load's
};

// ---- Event dispatch ---------------------------------------------------------

TEST_F(AntispamScriptTest, EventResultIsTheOrOfEveryScriptDefiningIt) {
  const struct {
    int a, b, expected;
  } kCases[] = {{0, 2, 2}, {1, 2, 3}, {0, 0, 0}, {6, 3, 7}};
  for (const auto& c : kCases) {
    for (auto [file, result] : {std::pair{"a.cs", c.a}, std::pair{"b.cs", c.b}}) {
      dir_.Write(file, "int OnStartClientConnection(int id) { if (id != 42) return 64; return " +
                           std::to_string(result) + "; }\n"
                           "int OnHelo(string n, string v) { if (n == \"mx\" && v == \"EHLO\") return 1; return 8; }\n");
    }
    Load({"1|a.cs", "2|b.cs"});
    EXPECT_EQ(instance_.run("OnStartClientConnection", "int", &session_.id), c.expected) << c.a << "|" << c.b;
    EXPECT_EQ(instance_.run("OnHelo", "string,string", "mx", "EHLO"), 1);
    EXPECT_EQ(instance_.run("OnCommandRSET"), 0);  // defined nowhere
  }
  instance_.DeleteScript();
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 1);  // no scripts at all
}

TEST_F(AntispamScriptTest, ScriptsRunInTheGivenListOrder) {
  WriteMarker("a.cs", "OnCommandNOOP", "a", 0);
  WriteMarker("b.cs", "OnCommandNOOP", "b", 0);
  const struct {
    std::initializer_list<const char*> entries;
    const char* trace;
  } kCases[] = {
      {{"1|a.cs", "2|b.cs"}, "ab"},
      {{"2|b.cs", "1|a.cs"}, "ba"},  // kept as given: the configuration sorts
      {{"b.cs", "a.cs"}, "ba"},      // an entry without a number is all file
  };
  for (const auto& c : kCases) {
    session_.extension_injection.clear();
    Load(c.entries);
    instance_.run("OnCommandNOOP");
    EXPECT_EQ(Trace(), c.trace);
  }
}

// A failed call marks its script bad and announces none of its changes.
TEST_F(AntispamScriptTest, RunTimeErrorMarksTheScriptBadForLaterEvents) {
  dir_.Write("a.cs", std::string(kOpen) +
                         "int Deeper(int n) { return Deeper(n + 1); }\n"
                         "int OnCommandNOOP() { cs.InjectionExtensionMTA(\"a\"); cs.RegisterGlobalVariable(\"v\");\n"
                         "  cs.SetGlobalVariable(\"v\", \"1\"); return Deeper(0); }\n");
  dir_.Write("b.cs", std::string(kOpen) +
                         "int NotificationGlobalVariable(string name, string value) { cs.InjectionExtensionMTA(name); "
                         "return 0; }\n"
                         "int OnCommandNOOP() { cs.InjectionExtensionMTA(\"b\"); return 4; }\n");
  Load({"1|a.cs", "2|b.cs"});

  EXPECT_EQ(instance_.run("OnCommandNOOP"), 4);
  EXPECT_EQ(Trace(), "ab");
  EXPECT_FALSE(instance_.slots()[0].good);
  EXPECT_TRUE(instance_.slots()[1].good);
  std::vector<Record> records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].text.find("recursion"), std::string::npos) << records[0].text;
  EXPECT_EQ(records[0].source, "/scripts/antispam/a.cs");
  EXPECT_EQ(records[0].connection, kConnectionId);

  EXPECT_EQ(instance_.run("OnCommandNOOP"), 4);
  EXPECT_EQ(Trace(), "abb");
}

TEST_F(AntispamScriptTest, ScriptThatCannotBeBuiltIsNotGood) {
  WriteMarker("good.cs", "OnCommandNOOP", "g", 2);
  dir_.Write("broken.cs", "int OnCommandNOOP( { return 1; }\n");
  Load({"1|broken.cs", "2|good.cs"});
  const AntispamScriptSlot& broken = instance_.slots()[0];
  EXPECT_TRUE(broken.compiled);
  EXPECT_FALSE(broken.good);
  const std::string log = broken.interpreter->BuildAllLog();
  EXPECT_NE(log.find("counts of '(' and ')'"), std::string::npos) << log;
  EXPECT_TRUE(instance_.slots()[1].good);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 2);
}

// ---- Shared variables -------------------------------------------------------

TEST_F(AntispamScriptTest, SetVariablesAreAnnouncedToTheOtherScriptsInNameOrder) {
  auto listener = [](const char* self, const char* extra) {
    return std::string(kOpen) + "int NotificationGlobalVariable(string name, string value) {\n"
           "  cs.InjectionExtensionMTA(\"" + self + ":\" + name + \"=\" + value + \";\");\n" + extra +
           "  return 0; }\n";
  };
  dir_.Write("a.cs", listener("a", "") +
                         "int OnCommandNOOP() {\n"
                         "  cs.RegisterGlobalVariable(\"zeta\"); cs.RegisterGlobalVariable(\"alpha\");\n"
                         "  cs.SetGlobalVariable(\"zeta\", \"2\"); cs.SetGlobalVariable(\"alpha\", \"1\");\n"
                         "  cs.SetGlobalVariable(\"nobody\", \"x\");\n"
                         "  return 0; }\n"
                         "int OnCommandRSET() { cs.SetGlobalVariable(\"unknown\", \"1\"); return 0; }\n");
  // b answers every announcement with a change of its own, which must not travel on.
  dir_.Write("b.cs", listener("b", "  cs.SetGlobalVariable(\"alpha\", \"echo\");\n"));
  dir_.Write("c.cs", listener("c", ""));
  Load({"1|a.cs", "2|b.cs", "3|c.cs"});

  instance_.run("OnCommandNOOP");
  EXPECT_EQ(Trace(), "b:alpha=1;b:zeta=2;c:alpha=1;c:zeta=2;");

  session_.extension_injection.clear();
  instance_.run("OnCommandRSET");
  EXPECT_EQ(Trace(), "");
  EXPECT_FALSE(instance_.HasBadScript());
}

// ---- Cached instances -------------------------------------------------------

TEST_F(AntispamScriptTest, KeepResetsTheScriptsWithoutRecompiling) {
  dir_.Write("a.cs", std::string(kOpen) +
                         "int count = 0;\n"
                         "int OnCommandNOOP() { count = count + 1; return count; }\n"
                         "int OnCommandRSET() { cs.RegisterGlobalVariable(\"v\"); return 0; }\n"
                         "int OnHelo(string name, string verb) { cs.SetGlobalVariable(\"v\", name); return 0; }\n");
  dir_.Write("b.cs", std::string(kOpen) +
                         "int NotificationGlobalVariable(string name, string value) {\n"
                         "  cs.InjectionExtensionMTA(value); return 0; }\n");
  Load({"1|a.cs", "2|b.cs"});
  instance_.run("OnCommandRSET");
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 1);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 2);
  instance_.run("OnHelo", "string,string", "first", "HELO");
  EXPECT_EQ(Trace(), "first");

  // A source saved since is not picked up from the same policy.
  dir_.Write("a.cs", "int OnCommandNOOP() { return 100; }\n");
  EXPECT_FALSE(instance_.InitScript(policy_, /*keep=*/true));
  instance_.CompileScripts(false);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 1);  // globals back at their start values
  instance_.run("OnHelo", "string,string", "second", "HELO");
  EXPECT_EQ(Trace(), "first");  // the registered names were emptied
  instance_.CompileScripts(/*recompile_all=*/true);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 1);

  // A new policy replaces the cached scripts.
  Load({"1|a.cs", "2|b.cs"}, /*keep=*/true);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 100);

  EXPECT_TRUE(instance_.InitScript(policy_, /*keep=*/false));
  ASSERT_EQ(instance_.Count(), 2);
  EXPECT_FALSE(instance_.slots()[0].compiled);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 0);  // nothing compiled yet
}

// ---- Message edits ----------------------------------------------------------

class MessageEditTest : public AntispamScriptTest {
 protected:
  CS_ANTISPAM_SCRIPT script_{&instance_};
};

// Both edits touch the header block only; the text's own line breaks are
// HeaderLine's (WireTextTest), here once for the injection it stops.
TEST_F(MessageEditTest, WriteHeaderMessageAddsTheLastHeader) {
  const struct {
    const char* data;
    const char* line;
    const char* expected;
  } kCases[] = {
      {"From: a\r\nTo: b\r\n\r\nbody\r\n", "X-Spam: yes", "From: a\r\nTo: b\r\nX-Spam: yes\r\n\r\nbody\r\n"},
      {"From: a\r\n\r\nbody\r\n\r\nmore", "X: 1", "From: a\r\nX: 1\r\n\r\nbody\r\n\r\nmore"},
      {"From: a\r\nTo: b\r\n", "X: 1", "X: 1\r\n\r\nFrom: a\r\nTo: b\r\n"},
      {"\r\nbody\r\n\r\nmore", "X: 1", "X: 1\r\n\r\nbody\r\n\r\nmore"},
      {"From: a\r\n\r\nb", "X: a\r\nBcc: evil@example.net", "From: a\r\nX: a Bcc: evil@example.net\r\n\r\nb"},
  };
  for (const auto& c : kCases) {
    session_.data_block = c.data;
    script_.WriteHeaderMessages(c.line);
    EXPECT_EQ(session_.data_block.ToStdString(), c.expected) << c.data << " + " << c.line;
  }
}

TEST_F(MessageEditTest, ModifyHeaderSubjectTagsTheSubject) {
  const struct {
    const char* name;
    const char* data;
    const char* expected;  // tagged "[SPAM]"
  } kCases[] = {
      {"subject", "From: a\r\nSubject: Hello\r\n\r\nbody", "From: a\r\nSubject: [SPAM]  Hello\r\n\r\nbody"},
      {"lower case", "subject: Hi there\r\n\r\n", "subject: [SPAM]  Hi there\r\n\r\n"},
      {"empty subject", "subject: \r\nTo: b\r\n\r\n", "Subject: [SPAM]\r\nTo: b\r\n\r\n"},
      {"no subject", "From: a\r\n\r\nbody", "Subject: [SPAM]\r\nFrom: a\r\n\r\nbody"},
      {"no data", "", "Subject: [SPAM]\r\n"},
      {"folded headers before", "Received: x\r\n\tby y\r\nSubject: Hi\r\n\r\n",
       "Received: x\r\n\tby y\r\nSubject: [SPAM]  Hi\r\n\r\n"},
      {"subject in the body only", "From: a\r\n\r\nSubject: x\r\n", "Subject: [SPAM]\r\nFrom: a\r\n\r\nSubject: x\r\n"},
  };
  for (const auto& c : kCases) {
    session_.data_block = c.data;
    script_.ModifyHeaderSubject("[SPAM]");
    EXPECT_EQ(session_.data_block.ToStdString(), c.expected) << c.name;
  }
}

// The quarantine files a message as the client sent it, whatever the edits.
TEST_F(MessageEditTest, ReceivedDataUndoesEveryEdit) {
  for (const char* data : {"Subject: Hi\r\nTo: b\r\n\r\nbody\r\n", "From: a\r\nTo: b\r\n", "\r\nbody", "",
                           "Subject:\r\n\r\nSubject: x\r\n"}) {
    session_.StartMessage(false);
    session_.data_block = data;
    script_.ModifyHeaderSubject("[S]");
    script_.WriteHeaderMessages("X-Score: 5");
    script_.ModifyHeaderSubject("[T]");
    script_.WriteHeaderMessages("X-Status: Yes");
    EXPECT_NE(session_.data_block.ToStdString(), data);
    EXPECT_EQ(session_.ReceivedData(), data) << session_.data_block.ToStdString();
  }
}

TEST_F(MessageEditTest, ScriptsEditTheDataBlockByTheRegisteredNames) {
  dir_.Write("a.cs", std::string(kOpen) +
                         "int OnDoneAntispamFilter() { cs.ModifyHeaderSubject(\"%s [T]\");\n"
                         "  cs.WriteHeaderMessage(\"X-Score: 5\"); return cs.GetEmailLen(); }\n");
  Load({"1|a.cs"});
  session_.data_block = "Subject: Hi\r\n\r\nbody";
  session_.analysed_message = "Subject: Hi\r\n\r\nbody";
  EXPECT_EQ(instance_.run("OnDoneAntispamFilter"), 19);
  EXPECT_EQ(session_.data_block.ToStdString(), "Subject: %s [T]  Hi\r\nX-Score: 5\r\n\r\nbody");
}

TEST_F(MessageEditTest, MessageFunctionsReadTheParsedPrefix) {
  session_.parser.LoadMail(
      "Subject: Hi\r\nFrom: a@x\r\nTo: b@y\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n--b--\r\n");
  session_.parser.Parse();
  EXPECT_STREQ(script_.GetEmailSubject(), "Hi");
  EXPECT_EQ(script_.GetEmailAttachmentCount(), 1);
  EXPECT_STREQ(script_.GetEmailAttachmentBuffer(0), "hello");
  EXPECT_STREQ(script_.GetEmailAttachmentBuffer(1), "");
  session_.Reset();
  EXPECT_STREQ(script_.GetEmailSubject(), "");
}

// ---- Relay controls ---------------------------------------------------------

class RelayControlTest : public AntispamScriptTest {
 protected:
  void SetUp() override {
    AntispamScriptTest::SetUp();
    ASSERT_TRUE(client_.Open());
    ASSERT_TRUE(mta_.Open());
    session_.client = &client_.server;
    session_.mta = std::make_unique<CSocketComm>();
    session_.mta->SetHandle(mta_.server.GetSocket());
    mta_.server.SetHandle(CSocketComm::kNoSocket);  // the session's now
  }

  LoopbackPair client_;  // server side: the client's slot
  LoopbackPair mta_;     // server side: handed to the session
  CS_ANTISPAM_SCRIPT script_{&instance_};
};

TEST_F(RelayControlTest, QueuesBuffersAndAddresses) {
  EXPECT_STREQ(script_.GetClientIP(), "127.0.0.1");
  EXPECT_STREQ(script_.GetMTAIP(), "127.0.0.1");
  session_.client_address = "192.0.2.7";  // known already: the socket is not asked
  EXPECT_STREQ(script_.GetClientIP(), "192.0.2.7");
  session_.line_ready = false;
  session_.to_mta = "EHLO x\r\n";
  script_.SendToClient("550 listed: x\r\n250 2.0.0 Ok\r\n");  // text from a DNS answer adds no reply
  script_.SendToMTA("RSET\r\n");
  EXPECT_EQ(session_.to_client.ToStdString(), "550 listed: x 250 2.0.0 Ok\r\n");
  EXPECT_TRUE(session_.line_ready);
  EXPECT_EQ(session_.to_mta.ToStdString(), "EHLO x\r\nRSET\r\n");

  session_.current_line = "DATA\r\n";
  session_.state = SmtpSession::kDataMode;
  script_.DropBufferToMTA();
  EXPECT_TRUE(session_.current_line.IsEmpty());
  EXPECT_TRUE(session_.to_mta.IsEmpty());
  EXPECT_EQ(session_.state, SmtpSession::kCommandMode);

  // Without sockets nothing is queued and the line stays blocked.
  session_.client->CloseComm();
  session_.mta->CloseComm();
  EXPECT_STREQ(script_.GetMTAIP(), "");
  session_.line_ready = false;
  script_.SendToClient("250 ok\r\n");
  script_.SendToMTA("RSET\r\n");
  EXPECT_EQ(session_.to_client.ToStdString(), "550 listed: x 250 2.0.0 Ok\r\n");
  EXPECT_TRUE(session_.to_mta.IsEmpty());
  EXPECT_FALSE(session_.line_ready);
}

TEST_F(RelayControlTest, ExitStopsTheScriptAndEndsTheSession) {
  dir_.Write("a.cs", std::string(kOpen) +
                         "int OnCommandNOOP() { cs.SendToClient(\"221 bye\\r\\n\"); cs.Exit();\n"
                         "  cs.InjectionExtensionMTA(\"after exit\"); return 3; }\n");
  Load({"1|a.cs"});
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 0);
  EXPECT_EQ(Trace(), "");
  EXPECT_TRUE(session_.close_after_queue);
  EXPECT_FALSE(session_.HasClient());
  EXPECT_FALSE(session_.HasMta());
  EXPECT_EQ(session_.to_client.ToStdString(), "221 bye\r\n");
  EXPECT_TRUE(instance_.slots()[0].good);
}

TEST_F(RelayControlTest, ConnectToMTAReplacesTheMtaConnection) {
  CSocketComm listener;
  ASSERT_TRUE(listener.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, CSocketComm::kOptionReuseAddress));
  const std::string port = BoundPort(listener);
  EXPECT_EQ(script_.ConnectToMTA(nullptr, port.c_str()), 0);
  EXPECT_TRUE(session_.HasMta());  // a missing argument leaves the MTA alone

  if (SCOMM_GetIPAddress(nullptr) == 0) GTEST_SKIP() << "the host's own name does not resolve";
  EXPECT_EQ(script_.ConnectToMTA("127.0.0.1", port.c_str()), 1);
  SockAddrIn peer;
  ASSERT_TRUE(session_.mta->GetPeerName(&peer));
  EXPECT_EQ(std::to_string(peer.GetPort()), port);
  listener.CloseComm();
  EXPECT_EQ(script_.ConnectToMTA("127.0.0.1", port.c_str()), 0);
  EXPECT_FALSE(session_.HasMta());
}

// ---- Without core or instance -----------------------------------------------

TEST_F(AntispamScriptTest, WriteLogRecordsNameTheScriptAndTheConnection) {
  dir_.Write("a.cs", std::string(kOpen) + "int OnCommandNOOP() { cs.WriteLog(3, \"hello\"); return 0; }\n");
  Load({"1|a.cs"});
  instance_.run("OnCommandNOOP");
  std::vector<Record> records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].source, "/scripts/antispam/a.cs");
  EXPECT_EQ(records[0].category, "SCRIPT");
  EXPECT_EQ(records[0].connection, kConnectionId);
}

// Without core (or without instance, built with 0) every function goes
// through one accessor and gives its empty result; one row per kind of result.
constexpr const char* kEmptyWithoutCore[] = {
    "cs.SPFQuery(\"127.0.0.2\", \"a@b.example\", \"helo\") == 4",  // None: no check ran
    "cs.RecalculatingScoreByUser(2.5, 1.0, \"a@b.example\") == 2.5",
    "cs.MirelCommunityGetEnumStringFormScore(9.0) == \"NEUTRAL\"",
};
// Calls that must do nothing without a core (they run before the checks).
constexpr char kActionsWithoutCore[] =
    "cs.AddIpInferno(\"127.0.0.2\", 10); cs.StatisticValue(\"f1tot_conn\", 1, 0, 1.0, 1);\n";
// Checks only a script object without instance (no session either) passes.
constexpr const char* kEmptyWithoutInstance[] = {
    "cs.GetSessionProperty() == -1",
    "cs.ConnectToMTA(\"127.0.0.1\", \"25\") == 0",
};

// OnCommandNOOP runs `actions`, then returns the number of the first failed check of `lists` (0: none).
std::string CheckScript(const char* constructor_argument, const std::string& actions,
                        std::vector<std::vector<const char*>> lists) {
  std::string source = std::string("CS_ANTISPAM_SCRIPT cs = new CS_ANTISPAM_SCRIPT(") + constructor_argument +
                       ");\nint OnCommandNOOP() {\n" + actions;
  int number = 1;
  for (const auto& list : lists) {
    for (const char* check : list) source += "if (!(" + std::string(check) + ")) return " + std::to_string(number++) + ";\n";
  }
  return source + "return 0; }\n";
}

TEST_F(AntispamScriptTest, WithoutCoreOrInstanceEveryFunctionGivesItsEmptyResult) {
  const std::vector<const char*> core(std::begin(kEmptyWithoutCore), std::end(kEmptyWithoutCore));
  const std::vector<const char*> instance(std::begin(kEmptyWithoutInstance), std::end(kEmptyWithoutInstance));
  const std::string session_actions =
      "cs.SendToClient(\"x\"); cs.DropBufferToMTA(); cs.RegisterSessionProperty(2); cs.WriteHeaderMessage(\"X: 1\");"
      " cs.WriteLog(1, \"lost\");\n";
  dir_.Write("core.cs", CheckScript("$_this", kActionsWithoutCore, {core}));
  dir_.Write("none.cs", CheckScript("0", kActionsWithoutCore + session_actions, {core, instance}));
  for (const char* file : {"1|core.cs", "1|none.cs"}) {
    Load({file});
    session_.data_block = "From: a\r\n\r\n";
    const int failed = instance_.run("OnCommandNOOP");
    EXPECT_EQ(failed, 0) << file << ": check " << failed;
    EXPECT_TRUE(instance_.slots()[0].good) << instance_.slots()[0].interpreter->BuildAllLog();
    EXPECT_EQ(session_.data_block.ToStdString(), "From: a\r\n\r\n") << file;
    EXPECT_EQ(session_.property, 0) << file;
  }
  EXPECT_TRUE(Records().empty());
}

}  // namespace
