// phishing_test - the check, list loading, domain edits and downloaded lists.
#include "engines/phishing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/map_sink.h"
#include "common/scratch_dir.h"
#include "common/test_server_process.h"

namespace {

const char* Text(const String& s) { return s.GetData() != nullptr ? s.GetData() : ""; }

// A list protecting bank.example: a message naming it is verified; its first
// link is the HTML capture; a link to a numeric host or a password request
// is fake. No pattern holds "=", which INI values cannot carry.
std::string List(int firm, const std::string& domains = "count=1\r\nD0=bank.example\r\n",
                 const std::string& verify_txt = "count=1\r\nR0=#D#\r\nR0n=1\r\nR0e=i\r\n") {
  return "[SETTING]\r\nfirm=" + std::to_string(firm) + "\r\ndate=2026-12-0" + std::to_string(firm % 10) +
         "\r\n[DOMAIN]\r\n" + domains + "[VERIFY_TXT]\r\n" + verify_txt +
         "[VERIFY_HTML]\r\ncount=1\r\nR0=href\\W+(http[^\"'> ]+)\r\nR0c=1\r\nR0e=i\r\n"
         "[FAKE_HTML]\r\ncount=1\r\nR0=^https?://\\d+\\.\\d+\\.\\d+\\.\\d+\r\n"
         "[FAKE_TXT]\r\ncount=1\r\nR0=confirm your password\r\nR0e=i\r\n";
}

std::string Message(const std::string& body, const char* from = "news@mailer.test") {
  return std::string("From: ") + from + "\r\nSubject: your account\r\nContent-Type: text/html\r\n\r\n" + body + "\r\n";
}

class CphishingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.File("db"));
    WriteList(List(5));
    phishing_ = Fresh();
  }
  void WriteList(const std::string& text) { dir_.Put("db/phishing.db", text); }
  std::string FileText() { return ScratchDir::Contents(dir_.File("db/phishing.db")); }
  std::unique_ptr<Cphishing> Fresh() {
    auto engine = std::make_unique<Cphishing>(dir_.path().c_str());
    EXPECT_TRUE(engine->ReloadDefaultDb());
    EXPECT_EQ(engine->LoadDB(), 1);
    return engine;
  }
  int Check(const std::string& raw, int spf = kSpfNone, const char* sender = "x@far.test") {
    CParseMail mail;
    mail.LoadMail(raw.c_str());
    mail.Parse();
    return phishing_->IsPhishing(&mail, &fake_, spf, sender);
  }
  std::string Logged() {
    std::string all;
    phishing_->GetLog().Drain([&all](const CLogSimple::LogSimple_item& item) { all += item.entry.ToStdString() + "\n"; });
    return all;
  }

  ScratchDir dir_;
  std::unique_ptr<Cphishing> phishing_;
  String fake_;
};

TEST_F(CphishingTest, LinkHeuristic) {
  const struct {
    const char* body;
    int want;
  } cases[] = {
      {"Welcome to bank.example: http://www.bank.example/login", 0},               // subdomain
      {"bank.example <a href\"x\">HTTPS://Bank.Example:443/a</a>", 0},              // case, port
      {"Dear bank.example customer, log in at http://evil.example/login", 1},
      {"bank.example: https://evil.example/login", 1},                              // https
      {"<a href=\"http://evil.example/\">www.bank.example</a>", 1},               // D in the anchor text
      {"bank.example http://evil.example/?next=bank.example", 1},                  // D in the query
      {"bank.example http://bank.example.evil.example/", 1},                       // D as a prefix
      {"bank.example http://bank.example@evil.example/", 1},                       // user part
      {"bank.example http://notbank.example/", 1},
      {"bank.example http://www.bank.example/ please confirm your password", 1},   // FAKE_TXT
      {"bank.example, no links at all; http: alone; http://", 0},
      {"a message about another.example http://evil.example/", 0},                // not verified
      {"bank-example http://evil.example/", 0},                                    // dots escaped
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Check(Message(c.body)), c.want) << c.body;
    EXPECT_STREQ(Text(fake_), c.want ? "bank.example" : "") << c.body;
  }
}

TEST_F(CphishingTest, SpfPassOfTheProtectedDomainIsGenuine) {
  const std::string raw = Message("bank.example http://evil.example/");
  EXPECT_EQ(Check(raw, kSpfPass, "service@bank.example"), 0);
  EXPECT_EQ(Check(raw, kSpfPass, "<Service@BANK.example>"), 0);
  EXPECT_EQ(Check(raw, kSpfNone, "service@bank.example"), 1);  // no SPF engine: forged passes not
  EXPECT_EQ(Check(raw, kSpfPass, "service@evil.example"), 1);
  phishing_->SetEuristica(0);
  EXPECT_EQ(Check(raw), 0);
}

TEST_F(CphishingTest, HtmlCaptureAndFakeRules) {
  phishing_->SetEuristica(0);
  EXPECT_EQ(Check(Message("bank.example <a href\"http://192.0.2.7/x\">go</a>")), 1);
  EXPECT_EQ(Check(Message("bank.example <a href\"http://www.bank.example/\">go</a>")), 0);
  EXPECT_EQ(Check(Message("bank.example, please confirm your password")), 1);  // no link: FAKE_TXT on the text
  // A group the pattern does not capture is not used.
  std::string text = List(5);
  text.replace(text.find("R0c=1"), 5, "R0c=12");
  WriteList(text);
  phishing_ = Fresh();
  phishing_->SetEuristica(0);
  EXPECT_EQ(Check(Message("bank.example <a href\"http://192.0.2.7/x\">go</a>")), 0);
}

TEST_F(CphishingTest, DomainExpansionFollowsEscapeDots) {
  WriteList(List(5, "count=1\r\nD0=bank.example\r\n", "count=1\r\nR0=^From: .*@#D#\r\nR0n=0\r\nR0e=im\r\n"));
  phishing_ = Fresh();
  EXPECT_EQ(Check(Message("http://evil.example/", "a@bankxexample")), 1);  // "." matches any character
  WriteList(List(5, "count=1\r\nD0=bank.example\r\n", "count=1\r\nR0=^From: .*@#D#\r\nR0n=1\r\nR0e=im\r\n"));
  phishing_ = Fresh();
  EXPECT_EQ(Check(Message("http://evil.example/", "a@bankxexample")), 0);
  EXPECT_EQ(Check(Message("http://evil.example/", "a@bank.example")), 1);
}

TEST_F(CphishingTest, UnusableRecordsAreSkipped) {
  // A bad domain, a missing, an empty and an uncompilable pattern.
  WriteList(List(5, "count=3\r\nD0=ba(nk.example\r\nD1=bank.example\r\nD2=\r\n",
                 "count=4\r\nR1=\r\nR2=(unclosed\r\nR3=#D#\r\nR3n=1\r\n"));
  phishing_ = Fresh();
  const std::string log = Logged();
  for (const char* expected : {"\"ba(nk.example\" skipped", "VERIFY_TXT R0 skipped: no pattern",
                               "VERIFY_TXT R1 skipped: no pattern", "VERIFY_TXT R2 skipped"}) {
    EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
  }
  EXPECT_EQ(Check(Message("nothing protected here http://evil.example/")), 0);
  EXPECT_EQ(Check(Message("bank.example http://evil.example/")), 1);
  // An empty DOMAIN section keeps the tables in use.
  WriteList(List(6, "count=0\r\n"));
  ASSERT_TRUE(phishing_->ReloadDefaultDb());
  EXPECT_EQ(phishing_->LoadDB(), 0);
  EXPECT_EQ(Check(Message("bank.example http://evil.example/")), 1);
}

TEST_F(CphishingTest, DomainEditsAreCheckedAndSaved) {
  EXPECT_EQ(phishing_->AddDomainFromGui("Shop.Example"), 1);
  EXPECT_EQ(phishing_->AddDomainFromGui("shop.example"), 0);  // present, caseless
  for (const char* bad : {"ev(il.example", "", "a b.example", "x..example", "under_score.example"})
    EXPECT_EQ(phishing_->AddDomainFromGui(bad), 0) << bad;
  EXPECT_EQ(phishing_->UpDateFromGui("bank.example", "bank2.example"), 1);
  EXPECT_EQ(phishing_->DeleteFromGui("missing.example"), 1);
  phishing_ = Fresh();  // what was saved
  MapSink listing;
  phishing_->ViewPhishingDB(&listing);
  EXPECT_EQ(listing.pairs, (std::map<std::string, std::string>{{"D0", "shop.example"}, {"D1", "bank2.example"}}));
  EXPECT_EQ(Check(Message("shop.example http://evil.example/")), 1);
}

TEST_F(CphishingTest, DownloadedListsMergeOrAreRefusedWhole) {
  const std::string original = FileText();
  const std::string known = Message("bank.example http://evil.example/");
  const struct {
    const char* name;
    std::string text;
  } refused[] = {
      {"same firm", List(5, "count=1\r\nD0=new.example\r\n")},
      {"no firm", "[DOMAIN]\r\ncount=1\r\nD0=new.example\r\n"},
      {"bad domain", List(6, "count=1\r\nD0=new(.example\r\n")},
      {"bad pattern", List(6, "count=1\r\nD0=new.example\r\n", "count=1\r\nR0=(#D#\r\n")},
      {"cut off", List(6).substr(0, List(6).find("[FAKE_HTML]") + 25)},
  };
  for (const auto& c : refused) {
    EXPECT_EQ(phishing_->MergeDownload(c.text), 0) << c.name;
    EXPECT_EQ(FileText(), original) << c.name;
    EXPECT_EQ(Check(known), 1) << c.name;
  }
  EXPECT_NE(Logged().find("downloaded list refused: not newer"), std::string::npos);

  const std::string newer = List(7, "count=2\r\nD0=New.example\r\nD1=bank.example\r\n") +
                            "[DELETE]\r\ncount=1\r\nD0=BANK.example\r\n";
  ASSERT_EQ(phishing_->MergeDownload(newer), 1);
  EXPECT_STREQ(Text(phishing_->GetDBDate()), "2026-12-07");
  phishing_ = Fresh();  // survives a restart
  MapSink listing;
  phishing_->ViewPhishingDB(&listing);
  // Deleted first, then added back by the same list.
  EXPECT_EQ(listing.pairs, (std::map<std::string, std::string>{{"D0", "new.example"}, {"D1", "bank.example"}}));
  EXPECT_EQ(phishing_->MergeDownload(newer), 0);
}

TEST_F(CphishingTest, ChecksSeeWholeListsWhileTheyAreReplaced) {
  const std::string known = Message("bank.example http://evil.example/");
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> checkers;
  for (int t = 0; t < 8; ++t) {
    checkers.emplace_back([&] {
      CParseMail mail;
      mail.LoadMail(known.c_str());
      mail.Parse();
      String fake;
      for (int i = 0; i < 100000 && !done; ++i) {
        if (phishing_->IsPhishing(&mail, &fake, kSpfNone, "") != 1 || fake != "bank.example") ++wrong;
      }
    });
  }
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(phishing_->AddDomainFromGui("other.example"), 1);
    ASSERT_EQ(phishing_->MergeDownload(List(10 + round, "count=1\r\nD0=third.example\r\n")), 1);
    ASSERT_EQ(phishing_->DeleteFromGui("other.example"), 1);
  }
  done = true;
  for (std::thread& t : checkers) t.join();
  EXPECT_EQ(wrong, 0);
}

TEST_F(CphishingTest, DownloadsFromALoopbackServer) {
  testproc::TestServerProcess server;
  ASSERT_TRUE(server.Start({"/usr/bin/python3", TORVANE_SOURCE_DIR "/tests/unit/base/http_test_server.py", "--state",
                            dir_.path()},
                           dir_.File("ready")));
  int port = 0;
  std::ifstream(dir_.File("ready")) >> port;
  ASSERT_GT(port, 0);
  std::ofstream(dir_.File("garbage")) << "<html><body>Welcome</body></html>";
  std::ofstream(dir_.File("newer")) << List(8, "count=1\r\nD0=shop.example\r\n");
  auto use_path = [&](const std::string& path) {
    std::string list = List(5);
    list.insert(list.find("date="), "URL=http://127.0.0.1:" + std::to_string(port) + path + "\r\n");
    WriteList(list);
    phishing_ = Fresh();
    return FileText();
  };
  const std::string known = Message("bank.example http://evil.example/");
  // Only a whole 200 answer holding a list is taken (time-outs are the HTTP client's tests' business).
  for (const char* path : {"/cut", "/302", "/file/garbage"}) {
    const std::string before = use_path(path);
    EXPECT_EQ(phishing_->UpdateDB(), 0) << path;
    EXPECT_EQ(FileText(), before) << path;
    EXPECT_EQ(Check(known), 1) << path;
  }
  use_path("/file/newer");
  ASSERT_EQ(phishing_->UpdateDB(), 1);
  EXPECT_EQ(Check(Message("shop.example http://evil.example/")), 1);
}

}  // namespace
