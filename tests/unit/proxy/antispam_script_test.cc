// The antispam script glue without a proxy core: events raised over several
// script files, the shared-variable channel, cached instances, the message
// edits and relay controls CS_ANTISPAM_SCRIPT makes on a real session, and
// the empty results of everything that needs a core or an instance.
#include "proxy/antispam_script.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/socket.h"
#include "base/utility.h"
#include "common/app_directory.h"
#include "script/externs.h"

namespace {

constexpr int kConnectionId = 42;
// The first line of every test script.
constexpr char kOpen[] = "CS_ANTISPAM_SCRIPT cs = new CS_ANTISPAM_SCRIPT($_this);\n";

// A temporary application directory holding "scripts/antispam/".
class AppDirectory : public TempAppDirectory {
 public:
  AppDirectory() : TempAppDirectory("scripts/antispam") {}
};

// Two ends of one TCP connection on 127.0.0.1.
struct LoopbackConnection {
  CSocketComm near_end;  // the connecting side
  std::unique_ptr<CSocketComm> far_end = std::make_unique<CSocketComm>();  // the accepted side

  LoopbackConnection() {
    CSocketComm listener;
    SockAddrIn bound;
    if (!listener.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, CSocketComm::kOptionReuseAddress) ||
        !listener.GetSockName(&bound)) {
      return;
    }
    const std::string port = std::to_string(bound.GetPort());
    if (!near_end.ConnectTo("127.0.0.1", port.c_str(), AF_INET, SOCK_STREAM, "127.0.0.1")) return;
    far_end->SetHandle(CSocketComm::WaitForConnection(listener.GetSocket()));
  }
  bool ok() const { return near_end.IsOpen() && far_end->IsOpen(); }
};

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
    AntispamContext context;
    context.session = &session_;
    context.log = &log_;
    instance_.SetContext(context);
  }

  // Prepares the instance for `entries` ("number|file") and compiles.
  void Load(std::initializer_list<const char*> entries, bool keep = false) {
    instance_.InitScript(Entries(entries), keep);
    instance_.CompileScripts(false);
  }
  static CArray<String> Entries(std::initializer_list<const char*> entries) {
    CArray<String> list;
    for (const char* entry : entries) list.Add(String(entry));
    return list;
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

  AppDirectory dir_;
  SmtpSession session_;
  CLogSimple log_;
  CS_PROXY_ANTISPAM_INSTANCE instance_;
};

// {=========== event dispatch

TEST_F(AntispamScriptTest, EventResultIsTheOrOfEveryScriptDefiningIt) {
  const struct {
    int a, b, expected;
  } kCases[] = {{0, 2, 2}, {1, 2, 3}, {0, 0, 0}, {6, 3, 7}};
  for (const auto& c : kCases) {
    for (auto [file, result] : {std::pair{"a.cs", c.a}, std::pair{"b.cs", c.b}}) {
      dir_.Write(file, "int OnStartClientConnection(int id) { return " + std::to_string(result) + "; }\n");
    }
    Load({"1|a.cs", "2|b.cs"});
    EXPECT_EQ(instance_.run("OnStartClientConnection", "int", &session_.id), c.expected) << c.a << "|" << c.b;
  }
}

TEST_F(AntispamScriptTest, ArgumentsReachEveryScriptByValue) {
  const std::string source = "int OnHelo(string name, string verb) { if (name == \"mx.example\" && verb == "
                             "\"EHLO\") return 1; return 8; }\n"
                             "int OnStartClientConnection(int id) { return id; }\n";
  dir_.Write("a.cs", source);
  dir_.Write("b.cs", source);
  Load({"1|a.cs", "2|b.cs"});
  EXPECT_EQ(instance_.run("OnHelo", "string,string", "mx.example", "EHLO"), 1);
  EXPECT_EQ(instance_.run("OnStartClientConnection", "int", &session_.id), kConnectionId);
  EXPECT_FALSE(instance_.HasBadScript());
}

TEST_F(AntispamScriptTest, ScriptsRunInTheGivenListOrder) {
  WriteMarker("a.cs", "OnCommandNOOP", "a", 0);
  WriteMarker("b.cs", "OnCommandNOOP", "b", 0);
  const struct {
    std::initializer_list<const char*> entries;
    const char* trace;
  } kCases[] = {
      {{"1|a.cs", "2|b.cs"}, "abab"},
      {{"2|b.cs", "1|a.cs"}, "baba"},  // kept as given: the configuration sorts
      {{"b.cs", "a.cs"}, "baba"},      // an entry without a number is all file
  };
  for (const auto& c : kCases) {
    session_.extension_injection.clear();
    Load(c.entries);
    ASSERT_EQ(instance_.Count(), 2);
    instance_.run("OnCommandNOOP");
    instance_.run("OnCommandNOOP");
    EXPECT_EQ(Trace(), c.trace);
  }
  EXPECT_STREQ(instance_.slots()[0].file.GetData(), "/scripts/antispam/b.cs");
}

TEST_F(AntispamScriptTest, WithoutScriptsEventsGiveOneAndUndefinedEventsZero) {
  EXPECT_EQ(instance_.Count(), -1);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 1);
  Load({});
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 1);

  WriteMarker("a.cs", "OnCommandNOOP", "a", 5);
  Load({"1|a.cs"});
  EXPECT_EQ(instance_.run("OnCommandRSET"), 0);
  EXPECT_EQ(instance_.run(nullptr), 0);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 5);

  instance_.DeleteScript();
  EXPECT_EQ(instance_.Count(), -1);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 1);
}

TEST_F(AntispamScriptTest, RunTimeErrorMarksTheScriptBadForLaterEvents) {
  dir_.Write("a.cs", std::string(kOpen) +
                         "int Deeper(int n) { return Deeper(n + 1); }\n"
                         "int OnCommandNOOP() { cs.InjectionExtensionMTA(\"a\"); return Deeper(0); }\n");
  WriteMarker("b.cs", "OnCommandNOOP", "b", 4);
  Load({"1|a.cs", "2|b.cs"});

  EXPECT_EQ(instance_.run("OnCommandNOOP"), 4);
  EXPECT_EQ(Trace(), "ab");
  EXPECT_FALSE(instance_.slots()[0].good);
  EXPECT_TRUE(instance_.slots()[1].good);
  EXPECT_TRUE(instance_.HasBadScript());
  std::vector<Record> records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 1);
  EXPECT_NE(records[0].text.find("recursion"), std::string::npos) << records[0].text;
  EXPECT_EQ(records[0].source, "/scripts/antispam/a.cs");
  EXPECT_EQ(records[0].category, "SCRIPT");
  EXPECT_EQ(records[0].connection, kConnectionId);

  EXPECT_EQ(instance_.run("OnCommandNOOP"), 4);
  EXPECT_EQ(Trace(), "abb");
}

TEST_F(AntispamScriptTest, ScriptsThatCannotBeBuiltAreNotGood) {
  const struct {
    const char* name;
    const char* source;  // null: no file at all
    const char* reason;  // part of the interpreter's log
  } kCases[] = {
      {"missing", nullptr, "can't open"},
      {"syntax error", "int OnCommandNOOP( { return 1; }\n", ""},
      {"bad directive", "#include \"nowhere.cs\"\nint OnCommandNOOP() { return 1; }\n", ""},
  };
  WriteMarker("good.cs", "OnCommandNOOP", "g", 2);
  for (const auto& c : kCases) {
    unlink((GetAppPath().ToStdString() + "/scripts/antispam/broken.cs").c_str());
    if (c.source != nullptr) dir_.Write("broken.cs", c.source);
    Load({"1|broken.cs", "2|good.cs"});
    const AntispamScriptSlot& broken = instance_.slots()[0];
    EXPECT_TRUE(broken.compiled) << c.name;
    EXPECT_FALSE(broken.good) << c.name;
    const std::string log = broken.interpreter->BuildAllLog();
    EXPECT_FALSE(log.empty()) << c.name;
    EXPECT_NE(log.find(c.reason), std::string::npos) << c.name << ": " << log;
    EXPECT_TRUE(instance_.slots()[1].good) << c.name;
    EXPECT_EQ(instance_.run("OnCommandNOOP"), 2) << c.name;
  }
}

// }===========

// {=========== shared variables

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
  // b answers every announcement by setting a variable itself: that change
  // must not travel on.
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

TEST_F(AntispamScriptTest, AFailedCallAnnouncesNothing) {
  dir_.Write("a.cs", std::string(kOpen) +
                         "int Deeper(int n) { return Deeper(n + 1); }\n"
                         "int OnCommandNOOP() { cs.RegisterGlobalVariable(\"v\"); cs.SetGlobalVariable(\"v\", "
                         "\"1\"); return Deeper(0); }\n");
  dir_.Write("b.cs", std::string(kOpen) +
                         "int NotificationGlobalVariable(string name, string value) {\n"
                         "  cs.InjectionExtensionMTA(name); return 0; }\n"
                         "int OnCommandRSET() { cs.SetGlobalVariable(\"v\", \"2\"); return 0; }\n");
  Load({"1|a.cs", "2|b.cs"});
  instance_.run("OnCommandNOOP");
  EXPECT_FALSE(instance_.slots()[0].good);
  EXPECT_EQ(Trace(), "");
  instance_.run("OnCommandRSET");  // b's own change reaches only the bad a
  EXPECT_EQ(Trace(), "");
}

// }===========

// {=========== cached instances

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

  // A new source is not picked up by a cached instance.
  dir_.Write("a.cs", "int OnCommandNOOP() { return 100; }\n");
  Load({"1|a.cs", "2|b.cs"}, /*keep=*/true);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 1);  // globals back at their start values
  instance_.run("OnHelo", "string,string", "second", "HELO");
  EXPECT_EQ(Trace(), "first");  // the registered names were emptied

  instance_.CompileScripts(/*recompile_all=*/true);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 100);

  instance_.InitScript(Entries({"1|a.cs", "2|b.cs"}), /*keep=*/false);
  ASSERT_EQ(instance_.Count(), 2);
  EXPECT_FALSE(instance_.slots()[0].compiled);
  EXPECT_EQ(instance_.run("OnCommandNOOP"), 0);  // nothing compiled yet
}

// }===========

// {=========== message edits

class MessageEditTest : public AntispamScriptTest {
 protected:
  CS_ANTISPAM_SCRIPT script_{&instance_};
};

TEST_F(MessageEditTest, WriteHeaderMessageAddsTheLastHeader) {
  const struct {
    const char* data;
    const char* line;
    const char* expected;
  } kCases[] = {
      {"From: a\r\nTo: b\r\n\r\nbody\r\n", "X-Spam: yes", "From: a\r\nTo: b\r\nX-Spam: yes\r\n\r\nbody\r\n"},
      {"From: a\r\n\r\nbody\r\n\r\nmore", "X: 1", "From: a\r\nX: 1\r\n\r\nbody\r\n\r\nmore"},
      {"From: a\r\nTo: b\r\n", "X: 1", "X: 1\r\n\r\nFrom: a\r\nTo: b\r\n"},
      {"", "X: 1", "X: 1\r\n\r\n"},
      {"\r\n\r\nbody", "X: 1", "\r\nX: 1\r\n\r\nbody"},
  };
  for (const auto& c : kCases) {
    session_.data_block = c.data;
    script_.WriteHeaderMessages(c.line);
    EXPECT_EQ(session_.data_block.ToStdString(), c.expected) << c.data;
  }
}

TEST_F(MessageEditTest, ModifyHeaderSubjectTagsTheSubject) {
  const struct {
    const char* name;
    const char* data;
    const char* expected;
  } kCases[] = {
      {"subject", "From: a\r\nSubject: Hello\r\n\r\nbody", "From: a\r\nSubject: [SPAM]  Hello\r\n\r\nbody"},
      {"lower case", "subject: Hi there\r\n\r\n", "subject: [SPAM]  Hi there\r\n\r\n"},
      {"empty subject", "From: a\r\nSubject: \r\n\r\nbody", "From: a\r\nSubject: [SPAM]\r\n\r\nbody"},
      {"empty lower case", "subject: \r\nTo: b\r\n\r\n", "Subject: [SPAM]\r\nTo: b\r\n\r\n"},
      {"no subject", "From: a\r\n\r\nbody", "Subject: [SPAM]\r\nFrom: a\r\n\r\nbody"},
      {"no data", "", "Subject: [SPAM]\r\n"},
      {"folded headers before", "Received: from x\r\n\tby y\r\nSubject: Hi\r\n\r\n",
       "Received: from x\r\n\tby y\r\nSubject: [SPAM]  Hi\r\n\r\n"},
      // The subject's text is replaced wherever it occurs.
      {"text repeated in body", "Subject: offer\r\n\r\nbest offer\r\n",
       "Subject: [SPAM]  offer\r\n\r\nbest [SPAM]  offer\r\n"},
      // A subject without CRLF cannot be tagged, and is not added again.
      {"bare line feed", "Subject: Hi\n\nbody", "Subject: Hi\n\nbody"},
  };
  for (const auto& c : kCases) {
    session_.data_block = c.data;
    script_.ModifyHeaderSubject("[SPAM]");
    EXPECT_EQ(session_.data_block.ToStdString(), c.expected) << c.name;
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
  EXPECT_STREQ(script_.GetEmailMailFrom(), "a@x");
  EXPECT_STREQ(script_.GetEmailMailTo(), "b@y");
  EXPECT_STREQ(script_.GetEmailContentType(), "multipart/mixed");
  EXPECT_EQ(script_.GetEmailAttachmentCount(), 1);
  EXPECT_STREQ(script_.GetEmailAttachmentBuffer(0), "hello");
  EXPECT_STREQ(script_.GetEmailAttachmentContentType(0), "text/plain");
  EXPECT_STREQ(script_.GetEmailAttachmentBuffer(1), "");
  session_.Reset();
  EXPECT_STREQ(script_.GetEmailSubject(), "");
}

// }===========

// {=========== relay controls

class RelayControlTest : public AntispamScriptTest {
 protected:
  void SetUp() override {
    AntispamScriptTest::SetUp();
    ASSERT_TRUE(client_.ok());
    ASSERT_TRUE(mta_.ok());
    session_.client = client_.far_end.get();
    session_.mta = std::move(mta_.far_end);
  }

  LoopbackConnection client_;  // far end: the client's slot
  LoopbackConnection mta_;     // far end: moved into the session
  CS_ANTISPAM_SCRIPT script_{&instance_};
};

TEST_F(RelayControlTest, QueuesAndBuffers) {
  session_.line_ready = false;
  script_.SendToClient("250 ok\r\n");
  script_.SendToMTA("RSET\r\n");
  EXPECT_EQ(session_.to_client.ToStdString(), "250 ok\r\n");
  EXPECT_TRUE(session_.line_ready);
  EXPECT_EQ(session_.to_mta.ToStdString(), "RSET\r\n");

  session_.current_line = "DATA\r\n";
  session_.from_client = "x";
  session_.state = SmtpSession::kDataMode;
  script_.DropBufferToMTA();
  EXPECT_TRUE(session_.current_line.IsEmpty());
  EXPECT_TRUE(session_.to_mta.IsEmpty());
  EXPECT_TRUE(session_.from_client.IsEmpty());
  EXPECT_EQ(session_.state, SmtpSession::kCommandMode);

  session_.from_mta = "550 no\r\n";
  script_.DropBufferToClient();
  EXPECT_TRUE(session_.to_client.IsEmpty());
  EXPECT_TRUE(session_.from_mta.IsEmpty());

  // Without sockets nothing is queued and the line stays blocked.
  session_.client->CloseComm();
  session_.mta->CloseComm();
  session_.line_ready = false;
  script_.SendToClient("250 ok\r\n");
  script_.SendToMTA("RSET\r\n");
  EXPECT_TRUE(session_.to_client.IsEmpty());
  EXPECT_TRUE(session_.to_mta.IsEmpty());
  EXPECT_FALSE(session_.line_ready);
}

TEST_F(RelayControlTest, SessionFields) {
  script_.RegisterSessionProperty(1);
  script_.RegisterSessionProperty(4);
  EXPECT_EQ(script_.GetSessionProperty(), 5);
  script_.SetErrorCountRFC(3);
  EXPECT_EQ(session_.error_count, 3);
  session_.error_count = 7;
  EXPECT_EQ(script_.GetErrorCountRFC(), 7);
  EXPECT_EQ(script_.ClientIsRelay(), 0);
  session_.relay_client = true;
  EXPECT_EQ(script_.ClientIsRelay(), 1);

  script_.InjectionExtensionMTA("250-X-ONE\r\n");
  script_.InjectionExtensionMTA("250-X-TWO\r\n");
  EXPECT_EQ(session_.extension_injection.ToStdString(), "250-X-ONE\r\n250-X-TWO\r\n");
  script_.DropExtensionMTA("STARTTLS");
  script_.DropExtensionMTA("");
  script_.DropExtensionMTA("PIPELINING");
  EXPECT_EQ(session_.extension_drop.ToStdString(), "STARTTLS\nPIPELINING");

  session_.mta_name = "mx1.example";
  session_.mta_replace_name = "inbound";
  session_.reverse_name = "client.example";
  EXPECT_STREQ(script_.GetNameServerMTA(), "mx1.example");
  EXPECT_STREQ(script_.GetReplaceNameServerMTA(), "inbound");
  EXPECT_STREQ(script_.GetClientReverseDns(), "client.example");
}

TEST_F(RelayControlTest, AddressesComeFromTheSockets) {
  EXPECT_STREQ(script_.GetClientIP(), "127.0.0.1");
  EXPECT_EQ(session_.client_address.ToStdString(), "127.0.0.1");
  EXPECT_STREQ(script_.GetMTAIP(), "127.0.0.1");
  session_.client_address = "192.0.2.7";  // known already: the socket is not asked
  EXPECT_STREQ(script_.GetClientIP(), "192.0.2.7");
  session_.mta->CloseComm();
  EXPECT_STREQ(script_.GetMTAIP(), "");
}

TEST_F(RelayControlTest, ClosingConnections) {
  const struct {
    const char* name;
    void (CS_ANTISPAM_SCRIPT::*close)();
    bool client_open, mta_open, after_queue;
  } kCases[] = {
      {"client", &CS_ANTISPAM_SCRIPT::CloseClientConnection, false, true, false},
      {"mta", &CS_ANTISPAM_SCRIPT::CloseMTAConnection, true, false, false},
      {"all", &CS_ANTISPAM_SCRIPT::CloseAllConnection, false, false, false},
      {"after queue", &CS_ANTISPAM_SCRIPT::CloseClientConnAfterSendingQueue, true, true, true},
  };
  for (const auto& c : kCases) {
    LoopbackConnection client, mta;
    ASSERT_TRUE(client.ok() && mta.ok());
    session_.client = client.far_end.get();
    session_.mta = std::move(mta.far_end);
    session_.close_after_queue = false;
    (script_.*c.close)();
    EXPECT_EQ(session_.HasClient(), c.client_open) << c.name;
    EXPECT_EQ(session_.HasMta(), c.mta_open) << c.name;
    EXPECT_EQ(session_.close_after_queue, c.after_queue) << c.name;
  }
  session_.client = nullptr;
  session_.mta.reset();
  script_.CloseAllConnection();  // nothing to close: no harm
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
  SockAddrIn bound;
  ASSERT_TRUE(listener.CreateSocket("0", "127.0.0.1", AF_INET, SOCK_STREAM, CSocketComm::kOptionReuseAddress));
  ASSERT_TRUE(listener.GetSockName(&bound));
  const std::string port = std::to_string(bound.GetPort());
  EXPECT_EQ(script_.ConnectToMTA("127.0.0.1", nullptr), 0);
  EXPECT_EQ(script_.ConnectToMTA(nullptr, port.c_str()), 0);
  EXPECT_TRUE(session_.HasMta());  // a missing argument leaves the MTA alone

  if (SCOMM_GetIPAddress(nullptr) == 0) GTEST_SKIP() << "the host's own name does not resolve";
  EXPECT_EQ(script_.ConnectToMTA("127.0.0.1", port.c_str()), 1);
  SockAddrIn peer;
  ASSERT_TRUE(session_.mta->GetPeerName(&peer));
  EXPECT_EQ(peer.GetPort(), bound.GetPort());
  listener.CloseComm();
  EXPECT_EQ(script_.ConnectToMTA("127.0.0.1", port.c_str()), 0);
  EXPECT_FALSE(session_.HasMta());
}

// }===========

// {=========== without core or instance

TEST_F(AntispamScriptTest, WriteLogRecordsNameTheScriptAndTheConnection) {
  dir_.Write("a.cs", std::string(kOpen) +
                         "int OnCommandNOOP() { cs.WriteLog(3, \"hello\"); cs.WriteLog(2, \"x\", \"FIREWALL\");\n"
                         "  return 0; }\n");
  Load({"1|a.cs"});
  instance_.run("OnCommandNOOP");
  std::vector<Record> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, 3);
  EXPECT_EQ(records[0].text, "hello");
  EXPECT_EQ(records[0].source, "/scripts/antispam/a.cs");
  EXPECT_EQ(records[0].category, "SCRIPT");
  EXPECT_EQ(records[0].connection, kConnectionId);
  EXPECT_EQ(records[1].category, "FIREWALL");
}

// Checks that hold both for a script object without core and for one
// without instance (built with 0).
constexpr const char* kEmptyWithoutCore[] = {
    "cs.IsIpInferno(\"127.0.0.2\") == 0",
    "cs.IsIpWhiteList(\"127.0.0.2\") == 0",
    "cs.IsRelayIp(\"127.0.0.1\") == 0",
    "cs.IsLanIp(\"192.168.1.1\") == 0",
    "cs.IsIpMaxSession(\"127.0.0.2\") == 0",
    "cs.IsForgetHelo(\"localhost\") == 0",
    "cs.DNS_Reverse(\"127.0.0.1\") == \"\"",
    "cs.DNS_Resolve(\"localhost\") == \"\"",
    "cs.DNS_MX(\"example.org\") == \"\"",
    "cs.DNS_NS(\"example.org\") == \"\"",
    "cs.DNS_TXT(\"example.org\") == \"\"",
    "cs.DNSBL_Score(\"127.0.0.2\") == 0.0",
    "cs.DNSBL_Ns(\"127.0.0.2\") == \"\"",
    "cs.SPFQuery(\"127.0.0.2\", \"a@b.example\", \"helo\") == 4",  // None: no check ran
    "cs.SPFQuery(0, \"a@b.example\", \"helo\") == 4",
    "cs.IsLocalDomainByRCPT_TO(\"a@b.example\") == -1",
    "cs.IsWhiteBlackList(\"a@b.example\", \"b.example\") == -1",
    "cs.IsSpamLover(\"a@b.example\") == 0",
    "cs.RecalculatingScoreByUser(2.5, 1.0, \"a@b.example\") == 2.5",
    "cs.IsSpamTrap(\"a@b.example\") == 0",
    "cs.GetSpamTrapResponse() == \"\"",
    "cs.MirelCommunityQuery(\"a\", \"b\", \"c\") == 0.0",
    "cs.IsValidKeyMirelCommunity() == 0",
    "cs.MirelCommunityGetEnumStringFormScore(9.0) == \"NEUTRAL\"",
    "cs.IsALWL(\"a\", \"b\") == 0",
    "cs.ViewALWLDB(list) == 0",
    "cs.IsWhiteIpGreyList(\"127.0.0.2\") == 0",
    "cs.PrepareTriplesGreyList(\"a\", \"b\", \"c\", \"d\", \"e\") == \"\"",
    "cs.PassGreyList(\"t\") == 0",
    "cs.GetForgedCountGreyList(\"k\") == 0",
    "cs.ViewGreyListDB(list, 5, 1, \"x\", 1) == 0",
    "cs.BayesianCheck() == 0",
    "cs.BayesianCheck(\"not a message\") == 0",
    "cs.AddToBayesianQuarantine(\"a\", \"b\", 1) == 0",
    "cs.RegularExpressionCheck() == 0.0",
    "cs.IsPhishing(0) == 0",
    "cs.GetFakePhishingDomain() == \"\"",
    "cs.GetEmailBody() == \"\"",
    "cs.GetEmailHeader() == \"\"",
    "cs.GetEmailSubject() == \"\"",
    "cs.GetEmailMailFrom() == \"\"",
    "cs.GetEmailMailTo() == \"\"",
    "cs.GetEmailContentType() == \"\"",
    "cs.GetEmailAttachmentCount() == 0",
    "cs.GetEmailAttachmentBuffer(0) == \"\"",
    "cs.GetEmailAttachmentContentType(0) == \"\"",
    "cs.ConnectToDefaultMTA() == 0",
    "cs.GetConfig(\"loglevel\") == \"\"",
    "cs.GetConfig(\"loglevel\", \"CONFIG\") == \"\"",
    "cs.GetDomain(\"example.org\") == 0",
    "cs.CreatePersistentOBJ(\"db\", \"CDB_Ram\") == 0",
};
// Calls that must do nothing without a core (they run before the checks).
constexpr char kActionsWithoutCore[] =
    "cs.AddIpInferno(\"127.0.0.2\", 10); cs.RegisterSessionIp(\"127.0.0.2\");"
    " cs.StatisticValue(\"f1tot_conn\", 1, 0, 1.0, 1); cs.MirelCommunityAnnunce(\"a\", \"b\", \"c\");"
    " cs.AddALWL(\"a\", \"b\"); cs.AddToGreyList(\"t\"); cs.ResetForgedCountGreyList(\"k\");"
    " cs.DeletePersistentOBJ(\"db\");\n";
// Checks only a script object without instance passes: it reaches no
// session either.
constexpr const char* kEmptyWithoutInstance[] = {
    "cs.GetSessionProperty() == -1",
    "cs.GetClientIP() == \"\"",
    "cs.GetClientReverseDns() == \"\"",
    "cs.GetMTAIP() == \"\"",
    "cs.GetNameServerMTA() == \"\"",
    "cs.GetReplaceNameServerMTA() == \"\"",
    "cs.ConnectToMTA(\"127.0.0.1\", \"25\") == 0",
    "cs.ClientIsRelay() == 0",
    "cs.GetErrorCountRFC() == 0",
    "cs.GetEmailRaw() == \"\"",
    "cs.GetEmailLen() == 0",
    "cs.SPFResultString(1) == \"\"",
};

// A script whose OnCommandNOOP runs `actions` and returns 0 when every
// check holds, else the number of the first that fails.
std::string CheckScript(const char* constructor_argument, const char* actions,
                        std::initializer_list<const char* const*> lists, std::initializer_list<size_t> sizes) {
  std::string source = std::string("CS_ANTISPAM_SCRIPT cs = new CS_ANTISPAM_SCRIPT(") + constructor_argument +
                       ");\nint OnCommandNOOP() {\nHashArray list = new HashArray();\n" + actions;
  int number = 1;
  auto size = sizes.begin();
  for (const char* const* list : lists) {
    for (size_t i = 0; i < *size; ++i, ++number) {
      source += "if (!(" + std::string(list[i]) + ")) return " + std::to_string(number) + ";\n";
    }
    ++size;
  }
  return source + "return 0; }\n";
}

std::string CheckAt(int number) {
  std::vector<const char*> all(std::begin(kEmptyWithoutCore), std::end(kEmptyWithoutCore));
  all.insert(all.end(), std::begin(kEmptyWithoutInstance), std::end(kEmptyWithoutInstance));
  return number >= 1 && number <= static_cast<int>(all.size()) ? all[number - 1] : "(none)";
}

TEST_F(AntispamScriptTest, EngineFunctionsWithoutCoreGiveTheirEmptyResults) {
  dir_.Write("a.cs", CheckScript("$_this", kActionsWithoutCore, {kEmptyWithoutCore}, {std::size(kEmptyWithoutCore)}));
  Load({"1|a.cs"});
  ASSERT_TRUE(instance_.slots()[0].good) << instance_.slots()[0].interpreter->BuildAllLog();
  const int failed = instance_.run("OnCommandNOOP");
  EXPECT_EQ(failed, 0) << CheckAt(failed);
  EXPECT_TRUE(instance_.slots()[0].good);
  EXPECT_EQ(session_.property, 0);
}

TEST_F(AntispamScriptTest, EveryFunctionWithoutInstanceGivesItsEmptyResult) {
  const std::string actions = std::string(kActionsWithoutCore) +
                              "cs.SendToClient(\"x\"); cs.SendToMTA(\"x\"); cs.DropBufferToMTA();"
                              " cs.DropBufferToClient(); cs.CloseClientConnAfterSendingQueue(); cs.CloseAllConnection();"
                              " cs.InjectionExtensionMTA(\"x\"); cs.DropExtensionMTA(\"x\"); cs.SetErrorCountRFC(9);"
                              " cs.RegisterSessionProperty(2); cs.WriteHeaderMessage(\"X: 1\");"
                              " cs.ModifyHeaderSubject(\"x\"); cs.RegisterGlobalVariable(\"v\");"
                              " cs.SetGlobalVariable(\"v\", \"1\"); cs.WriteLog(1, \"lost\");\n";
  dir_.Write("a.cs", CheckScript("0", actions.c_str(), {kEmptyWithoutCore, kEmptyWithoutInstance},
                                 {std::size(kEmptyWithoutCore), std::size(kEmptyWithoutInstance)}));
  Load({"1|a.cs"});
  session_.data_block = "From: a\r\n\r\n";
  session_.current_line = "NOOP\r\n";
  const int failed = instance_.run("OnCommandNOOP");
  EXPECT_EQ(failed, 0) << CheckAt(failed);
  EXPECT_TRUE(instance_.slots()[0].good);
  // Nothing reached the session or the log.
  EXPECT_EQ(session_.data_block.ToStdString(), "From: a\r\n\r\n");
  EXPECT_EQ(session_.current_line.ToStdString(), "NOOP\r\n");
  EXPECT_EQ(session_.property, 0);
  EXPECT_EQ(session_.error_count, 0);
  EXPECT_FALSE(session_.close_after_queue);
  EXPECT_EQ(Trace(), "");
  EXPECT_TRUE(Records().empty());
}

// }===========

// {=========== registration

// Every name is called by the scripts above; what remains is how the
// registration shapes the calls: default arguments and the closing pair.
TEST(AntispamScriptClassTest, DefaultsAndTheClosingMessageEdits) {
  const struct {
    const char* name;
    const char* defaults;
  } kDefaults[] = {
      {"Format", ",..."},      {"GetConfig", ",0"},        {"DateTimeFormat", ",0"},
      {"REeq", ",,0"},         {"ViewALWLDB", ",100,0,0,0"}, {"ViewGreyListDB", ",100,0,0,0"},
      {"BayesianCheck", "0"},  {"AddToBayesianQuarantine", ",,,0"}, {"RegularExpressionCheck", "0,0"},
  };
  Interpreter in;
  RegisterAntispamScriptClass(&in);
  const int index = in.program().FindExternClass("CS_ANTISPAM_SCRIPT");
  ASSERT_GE(index, 0);
  ExternClassBase* cls = in.program().extern_classes[static_cast<size_t>(index)].binding.get();
  for (const auto& d : kDefaults) {
    const int method = cls->get_function(d.name);
    ASSERT_GE(method, 0) << d.name;
    ASSERT_NE(cls->get_function_default_args(method), nullptr) << d.name;
    EXPECT_STREQ(cls->get_function_default_args(method), d.defaults) << d.name;
  }
  // The message edits close the list.
  EXPECT_STREQ(cls->get_function_name(cls->method_count() - 1), "ModifyHeaderSubject");
  EXPECT_STREQ(cls->get_function_name(cls->method_count() - 2), "WriteHeaderMessage");
}

// }===========

}  // namespace
