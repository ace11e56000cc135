// local_domains_test - the local-domain table and its settings objects.
#include "engines/local_domains.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/md5.h"
#include "base/utility.h"
#include "common/app_directory.h"
#include "common/scratch_dir.h"
#include "engines/spam_trap.h"

namespace {

constexpr char kTemplate[] =
    "[ADD_VARIABLES]\r\nproprieta=1\r\nperc_user_aggre=0\r\n"
    "[ADD_DBRAM]\r\nwbip=[domain].wb\r\nlover=[domain].lover\r\n";

class CLocalDomainTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir_.File("db")); }

  // A table loaded from the given template with `domains` inserted.
  std::unique_ptr<CLocalDomain> Table(const std::vector<const char*>& domains, const char* templ = kTemplate) {
    if (templ != nullptr) dir_.Put("db/local_domain_add_config.cstemplate", templ);
    auto table = std::make_unique<CLocalDomain>();
    table->SuperLoad();
    for (const char* domain : domains) EXPECT_GE(table->InsertDomain(domain), 0) << domain;
    return table;
  }
  // Adds key -> value to store `store` of `domain`.
  static void List(CLocalDomain* table, const char* domain, const char* store, const char* key, const char* value) {
    CDB_RAM* db = table->GetDomain(domain)->GetDBRAM(store);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(db->CSInsert(key, value, 0), 1);
  }

  ScratchAppDir dir_;
};

TEST_F(CLocalDomainTest, PropertyComesFromTemplateThenFromCfg) {
  auto table = Table({"Example.ORG "});
  EXPECT_EQ(table->IsLocalDomain("example.org"), 1);
  EXPECT_EQ(table->IsLocalDomainByRCPTO("Bob@EXAMPLE.org"), 1);
  dir_.Put("db/example.org.cfg", "[CFG]\r\nproprieta=3\r\n");
  table->SuperLoad();
  EXPECT_EQ(table->IsLocalDomain("example.org"), 3);
  for (const char* address : {"bob.example.org", "@example.org", "bob@", "bob@other.org", ""}) {
    EXPECT_EQ(table->IsLocalDomainByRCPTO(address), -1) << address;
  }
}

// Names become file names: only host names are taken, and no template store leaves db/.
TEST_F(CLocalDomainTest, NamesThatAreNoHostNamesAreRefused) {
  const std::string long_label(64, 'a');
  const std::string long_name = std::string(250, 'b') + ".com";
  auto table = Table({}, "[ADD_DBRAM]\r\nwbip=../[domain].wb\r\nok=[domain].ok\r\n");
  for (const std::string& bad : {std::string("../x"), std::string("a/b.com"), std::string(".hidden"),
                                 std::string("x..y"), std::string(""), std::string("-a.com"), long_label + ".com",
                                 long_name, std::string("a b.com")}) {
    EXPECT_EQ(table->InsertDomain(bad.c_str()), -1) << bad;
  }
  EXPECT_EQ(table->InsertDomain(nullptr), -1);
  ASSERT_GE(table->InsertDomain("good.org"), 0);
  EXPECT_EQ(table->InsertDomain("GOOD.org"), -1);  // already there
  EXPECT_EQ(table->GetDomain("good.org")->GetDBRAM("wbip"), nullptr);
  EXPECT_NE(table->GetDomain("good.org")->GetDBRAM("ok"), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("good.org.wb")));
  EXPECT_EQ(table->DeleteDomain("../x"), 0);
  // A bad record written into the table's store directly is skipped on load.
  ASSERT_EQ(table->CSInsert("../evil", "1", 0), 1);
  table->SuperSave();
  table->SuperLoad();
  EXPECT_EQ(table->GetDomain("../evil"), nullptr);
  EXPECT_NE(table->GetDomain("good.org"), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("evil.cfg")));
}

// Deleting the first of three domains (renumbering the records) leaves the others theirs.
TEST_F(CLocalDomainTest, DeletingTheFirstDomainLeavesTheOthersTheirs) {
  dir_.Put("db/b.org.cfg", "[CFG]\r\nproprieta=7\r\n");
  dir_.Put("db/c.org.cfg", "[CFG]\r\nproprieta=9\r\n");
  auto table = Table({"a.org", "b.org", "c.org"});
  table->SuperSave();
  ASSERT_EQ(table->DeleteDomain("a.org"), 1);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("db/a.org.wb")));
  EXPECT_EQ(table->IsLocalDomain("a.org"), -1);
  EXPECT_EQ(table->IsLocalDomain("b.org"), 7);
  EXPECT_EQ(table->IsLocalDomain("c.org"), 9);
  table->SuperLoad();  // from the saved files, as after a restart
  EXPECT_EQ(table->GetRealRecordCount(), 2);
  EXPECT_EQ(table->IsLocalDomain("b.org"), 7);
  EXPECT_EQ(table->IsLocalDomain("c.org"), 9);
}

// What a session or script holds outlives deletion, reloads and saves.
TEST_F(CLocalDomainTest, HeldObjectsSurviveTableChanges) {
  auto table = Table({"a.org"});
  std::shared_ptr<CDomainConf> held = table->GetDomain("a.org");
  CDB_RAM* list = held->GetDBRAM("wbip");
  held->SetVar("perc_user_aggre", "20");
  held->SetVar("unknown", "x");  // only existing variables change
  table->SuperSave();
  EXPECT_EQ(table->GetDomain("a.org")->GetVar("perc_user_aggre").ToStdString(), "20");
  EXPECT_EQ(held->GetVar("unknown").ToStdString(), "");
  table->SuperLoad();  // new objects; the held one stays as it was
  EXPECT_EQ(held->GetVar("perc_user_aggre").ToStdString(), "20");
  std::shared_ptr<CDomainConf> reloaded = table->GetDomain("a.org");
  CDB_RAM* reloaded_list = reloaded->GetDBRAM("wbip");
  ASSERT_EQ(table->DeleteDomain("a.org"), 1);
  EXPECT_EQ(reloaded->GetVar("proprieta").ToStdString(), "");  // cleared with its files
  EXPECT_EQ(reloaded_list->Find("anyone", 0), -1);  // the handles still point at live stores
  EXPECT_EQ(list->Find("anyone", 0), -1);
}

// An unreadable template must not make every domain foreign.
TEST_F(CLocalDomainTest, MissingTemplateStillLoadsTheDomains) {
  Table({"a.org"})->SuperSave();
  std::filesystem::remove(dir_.File("db/local_domain_add_config.cstemplate"));
  CLocalDomain table;
  table.SuperLoad();
  EXPECT_EQ(table.IsLocalDomain("a.org"), 0);
  EXPECT_EQ(table.GetDomain("a.org")->GetDBRAM("wbip"), nullptr);
  EXPECT_NE(table.GetLog().GetCount(), 0);
}

TEST_F(CLocalDomainTest, WhiteBlackListVerdicts) {
  auto table = Table({"a.org", "b.org"});
  List(table.get(), "a.org", "wbip", ".*@spam\\.example", "0");
  List(table.get(), "a.org", "wbip", "friend@spam.example", "1");  // exact beats the pattern
  List(table.get(), "a.org", "wbip", "family.example", "1");       // the sender's domain
  List(table.get(), "b.org", "wbip", "gone@x.example", "0");
  table->GetDomain("b.org")->GetDBRAM("wbip")->Delete("gone@x.example");
  struct Case {
    const char* recipients;
    const char* sender;
    int verdict;
  } cases[] = {
      {"u@a.org", "anyone@spam.example", 0},
      {"u@a.org", "Friend@SPAM.example", 1},
      {"u@a.org", "mum@family.example", 1},
      {"u@a.org", "x@elsewhere.example", -1},
      {"u@b.org", "gone@x.example", -1},  // deleted records do not count
      {"u@b.org u@a.org", "a@spam.example", 0},
      {"u@foreign.org", "a@spam.example", -1},
      {"", "a@spam.example", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(table->IsWhiteBlackList(c.recipients, c.sender), c.verdict) << c.sender;
}

TEST_F(CLocalDomainTest, SpamLoversAndScoreShifts) {
  dir_.Put("db/b.org.cfg", "[CFG]\r\nperc_user_aggre=50\r\n");
  dir_.Put("db/c.org.cfg", "[CFG]\r\nperc_user_aggre=150\r\n");
  auto table = Table({"a.org", "b.org", "c.org"});
  List(table.get(), "a.org", "lover", "fan@a.org", "1");
  EXPECT_EQ(table->IsSpamLover("x@b.org FAN@a.org"), 1);
  EXPECT_EQ(table->IsSpamLover("other@a.org fan@b.org"), 0);
  struct Case {
    const char* recipients;
    float expected;
  } cases[] = {{"u@b.org", 8.0f}, {"u@c.org", 6.0f}, {"u@a.org u@c.org u@b.org", 8.0f}, {"u@x.org", 6.0f}};
  for (const Case& c : cases) {
    EXPECT_FLOAT_EQ(table->RecalcolateScoreByUser(6.0f, 4.0f, c.recipients), c.expected) << c.recipients;
  }
}

TEST(CSpam_trapTest, TrapsInAnyCaseAndOneMultiLineReply) {
  TempAppDirectory dir("db");
  CSpam_trap traps;
  traps.CSInsert(MD5Hex("trap@a.org").GetData(), "1", 0);
  EXPECT_EQ(traps.IsSpamTrap("x@a.org  TRAP@A.org"), 1);
  EXPECT_EQ(traps.IsSpamTrap("x@a.org trap@a.org.evil"), 0);
  // Eight continuation lines, then the final one: a client reads one reply.
  std::string reply = traps.GetRisposta().ToStdString();
  std::vector<std::string> lines;
  for (size_t end; (end = reply.find("\r\n")) != std::string::npos; reply.erase(0, end + 2)) {
    lines.push_back(reply.substr(0, end));
  }
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_TRUE(reply.empty());
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(lines[i].substr(0, 4), i < 8 ? "550-" : "550 ") << i;
}

// Lookups from 8 threads while another inserts, deletes and saves.
TEST_F(CLocalDomainTest, LookupsRaceEdits) {
  auto table = Table({"stay.org"});
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 8; ++i) {
    readers.emplace_back([&] {
      while (!done.load()) {
        EXPECT_EQ(table->IsLocalDomainByRCPTO("u@stay.org"), 1);
        table->IsWhiteBlackList("u@churn.org u@stay.org", "a@b.c");
        table->RecalcolateScoreByUser(1.0f, 5.0f, "u@churn.org");
        std::shared_ptr<CDomainConf> held = table->GetDomain("churn.org");
        if (held != nullptr) held->GetVar("proprieta");
      }
    });
  }
  for (int round = 0; round < 20; ++round) {
    table->InsertDomain("churn.org");
    table->SuperSave();
    table->DeleteDomain("churn.org");
    if (round % 10 == 0) table->SuperLoad();
  }
  done.store(true);
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(table->IsLocalDomain("churn.org"), -1);
}

}  // namespace
