// content_rules_test - rule records, targets, scoring, refused and damaged rules.
#include "engines/content_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>

#include "common/map_sink.h"
#include "common/scratch_dir.h"
#include "base/utility.h"

namespace {

time_t g_now = 1700000000;

constexpr char kPlain[] =
    "From: a@far.test\r\nSubject: Cheap pills today\r\nContent-Type: text/plain\r\n\r\nBuy now at low prices\r\n";
constexpr char kMultipart[] =
    "From: a@far.test\r\nSubject: hello\r\nContent-Type: multipart/mixed; boundary=\"out\"\r\n\r\n"
    "--out\r\nContent-Type: multipart/alternative; boundary=\"in\"\r\n\r\n"
    "--in\r\nContent-Type: text/plain\r\n\r\nplain-part\r\n"
    "--in\r\nContent-Type: text/html\r\n\r\n<b>html-part</b>\r\n--in--\r\n"
    "--out\r\nContent-Type: application/pdf\r\n\r\npdf-part\r\n--out--\r\n";
constexpr char kNoText[] =
    "Subject: x\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "--b\r\nContent-Type: image/png\r\n\r\npng-part\r\n--b--\r\n";

class CRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rules_ = std::make_unique<CRules>();
    rules_->SetNoticeClock([] { return g_now; });
    ASSERT_EQ(rules_->Open("rules.db"), 1);
  }
  CParseMail& Mail(const char* raw) {
    mail_.Clear();
    mail_.LoadMail(raw);
    mail_.Parse();
    return mail_;
  }
  std::string Logged() {
    std::string all;
    rules_->GetLog().Drain([&all](const CLogSimple::LogSimple_item& item) { all += item.entry.ToStdString() + "\n"; });
    return all;
  }

  ScratchAppDir dir_;
  CParseMail mail_;
  std::unique_ptr<CRules> rules_;
};

TEST_F(CRulesTest, TargetTexts) {
  const struct {
    const char* raw;
    int32_t target;
    std::string want;
  } cases[] = {
      {kPlain, kRuleSubject, "Cheap pills today"},
      {kPlain, kRuleTextBody, "Buy now at low prices"},
      {kMultipart, kRuleTextBody, "plain-part<b>html-part</b>"},  // nested parts, in order, no pdf
      {kNoText, kRuleTextBody, ""},
      {"Subject: x\r\n\r\nuntyped body\r\n", kRuleTextBody, "untyped body"},  // plain text by default
      {kPlain, 7, ""},
  };
  // Line ends around part boundaries are the parser's business: compared without them.
  auto flat = [](std::string text) {
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    return text;
  };
  for (const auto& c : cases) EXPECT_EQ(flat(CRules::TargetText(&Mail(c.raw), c.target)), c.want) << c.target;
}

TEST_F(CRulesTest, AddRuleRefusesUnusableRules) {
  const struct {
    const char* name;
    const char* pattern;
    int32_t target;
    float score;
    int32_t want;
  } cases[] = {
      {"ok", "pills", kRuleSubject, 1.0f, 1},
      {"ok", "other", kRuleSubject, 1.0f, 0},  // live name taken
      {"", "x", kRuleSubject, 1.0f, 0},
      {nullptr, "x", kRuleSubject, 1.0f, 0},
      {"empty", "", kRuleSubject, 1.0f, 0},
      {"bad", "(unclosed", kRuleSubject, 1.0f, 0},
      {"nan", "x", kRuleSubject, NAN, 0},
      {"target", "x", 9, 1.0f, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rules_->AddRule(c.name, c.pattern, c.target, c.score, 0), c.want) << (c.name ? c.name : "null");
  }
  // Deleted: the name is free again, before and after a save.
  EXPECT_EQ(rules_->DeleteRule("ok"), 1);
  EXPECT_EQ(rules_->AddRule("ok", "again", kRuleSubject, 1.0f, 0), 1);
  rules_->DeleteRule("ok");
  rules_->Save();
  EXPECT_EQ(rules_->AddRule("ok", "again", kRuleSubject, 1.0f, 0), 1);
}

TEST_F(CRulesTest, ScoresSumInRecordOrderAndSurviveReload) {
  ASSERT_EQ(rules_->AddRule("pills", "PILLS", kRuleSubject, 2.5f, kRegexCaseless), 1);
  ASSERT_EQ(rules_->AddRule("nomatch", "lottery", kRuleRawMessage, 7.0f, 0), 1);
  ASSERT_EQ(rules_->AddRule("prices", "low.prices", kRuleTextBody, -1.0f, kRegexDotAll), 1);
  CRulesResult result;
  EXPECT_FLOAT_EQ(rules_->IsScoreRules(&Mail(kPlain), &result), 1.5f);
  ASSERT_EQ(result.GetRulesCount(), 2);
  EXPECT_STREQ(result.GetRulesName(0), "pills");
  EXPECT_STREQ(result.GetRulesRE(1), "low.prices");
  EXPECT_FLOAT_EQ(result.GetRulesScore(1), -1.0f);
  EXPECT_FLOAT_EQ(result.GetRulesScore(5), 0.0f);
  EXPECT_STREQ(result.GetRulesName(-1), "");
  EXPECT_FLOAT_EQ(rules_->IsScoreRules(&Mail(kPlain), nullptr), 1.5f);
  EXPECT_FLOAT_EQ(rules_->IsScoreRules(nullptr, &result), 0.0f);
  EXPECT_EQ(result.GetRulesCount(), 0);

  // An edit is seen by the next evaluation; a reloaded store scores alike.
  rules_->DeleteRule("pills");
  EXPECT_FLOAT_EQ(rules_->IsScoreRules(&Mail(kPlain), nullptr), -1.0f);
  ASSERT_EQ(rules_->Save(), 1);
  CRules reloaded;
  ASSERT_EQ(reloaded.Open("rules.db"), 1);
  ASSERT_EQ(reloaded.Load(), 1);
  EXPECT_FLOAT_EQ(reloaded.IsScoreRules(&Mail(kPlain), nullptr), -1.0f);
  MapSink listing;
  reloaded.RuletoArray(&listing);
  EXPECT_EQ(listing.pairs["prices"], "-1.000\x02" "2\x02" "4\x02low.prices");
  EXPECT_EQ(listing.pairs.count("pills"), 0u);
}

TEST_F(CRulesTest, DamagedAndInvalidRecordsAreSkippedAndKept) {
  ASSERT_EQ(rules_->AddRule("good", "pills", kRuleSubject, 1.0f, 0), 1);
  ASSERT_EQ(rules_->Insert("short", "abc", 3, 0), 1);  // shorter than the fixed fields
  const char bad_pattern[] = "\0\0\x80\x3f\1\0\0\0\0\0\0\0(x";  // score 1.0, subject, "(x"
  ASSERT_EQ(rules_->Insert("broken", bad_pattern, sizeof(bad_pattern) - 1, 0), 1);
  EXPECT_FLOAT_EQ(rules_->IsScoreRules(&Mail(kPlain), nullptr), 1.0f);
  const std::string log = Logged();
  EXPECT_NE(log.find("\"short\" skipped: damaged record"), std::string::npos) << log;
  EXPECT_NE(log.find("\"broken\" skipped: pattern does not compile"), std::string::npos) << log;
  ASSERT_EQ(rules_->Save(), 1);
  CRules reloaded;
  ASSERT_EQ(reloaded.Open("rules.db"), 1);
  ASSERT_EQ(reloaded.Load(), 1);
  EXPECT_EQ(reloaded.GetRealRecordCount(), 3);
}

TEST_F(CRulesTest, CatastrophicPatternIsCutOffAndLogged) {
  ASSERT_EQ(rules_->AddRule("nested", "(a+)+$", kRuleTextBody, 5.0f, 0), 1);
  ASSERT_EQ(rules_->AddRule("after", "aaa", kRuleTextBody, 1.0f, 0), 1);
  const std::string raw = "Subject: x\r\nContent-Type: text/plain\r\n\r\n" + std::string(30000, 'a') + "!";
  // Rules after a cut-off one still run.
  EXPECT_FLOAT_EQ(rules_->IsScoreRules(&Mail(raw.c_str()), nullptr), 1.0f);
  EXPECT_NE(Logged().find("\"nested\" cut off by the match limits"), std::string::npos);
  // Rate-limited: a second message within the interval logs nothing more.
  rules_->IsScoreRules(&Mail(raw.c_str()), nullptr);
  EXPECT_EQ(Logged(), "");
  g_now += LimitNoticeGate::kIntervalSeconds;
  rules_->IsScoreRules(&Mail(raw.c_str()), nullptr);
  EXPECT_NE(Logged().find("\"nested\" cut off"), std::string::npos);
}

TEST_F(CRulesTest, RuleTestFillsGroups) {
  MapSink groups;
  EXPECT_STREQ(rules_->RuleTest(&Mail(kPlain), "(Cheap) (\\w+)", kRuleSubject, 0, &groups), "MACTH");
  EXPECT_EQ(groups.pairs, (std::map<std::string, std::string>{{"$1", "Cheap"}, {"$2", "pills"}}));
  EXPECT_STREQ(rules_->RuleTest(&Mail(kPlain), "lottery", kRuleSubject, 0, nullptr), "NO MACTH");
  EXPECT_STREQ(rules_->RuleTest(&Mail(kPlain), "(", kRuleSubject, 0, nullptr), "NO MACTH");
  EXPECT_STREQ(rules_->RuleTest(nullptr, "x", kRuleSubject, 0, nullptr), "");
}

}  // namespace
