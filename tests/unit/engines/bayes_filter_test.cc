// bayes_filter_test - tokenisers, verdicts, training, quarantines, the writer lock and the token table.
#include "engines/bayes_filter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/md5.h"
#include "common/app_directory.h"
#include "engines/bayes_tokenizer.h"

namespace {

std::vector<std::string> Words(const CBayesWord& words) {
  std::vector<std::string> out;
  for (const String& w : words.words()) out.push_back(w.ToStdString());
  return out;
}

void SetCounter(CBayes* bayes, const char* word, int16_t value) {
  const char bytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
  if (bayes->Update(word, bytes, 2, 0) < 0) bayes->Insert(word, bytes, 2, 0);
}

int Counter(CBayes* bayes, const char* word) {
  const CDB_RAM::RECORD* record = bayes->GetByIndexPtr(bayes->Find(word, 0));
  if (record == nullptr) return 0;
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<unsigned char>(record->value[0]) |
                                                    (static_cast<unsigned char>(record->value[1]) << 8)));
}

class BayesTest : public ::testing::Test {
 protected:
  BayesTest() : app_("db") {}
  void SetUp() override {
    ASSERT_EQ(bayes_.SuperLoad(), 1);
    ASSERT_TRUE(bayes_.TakeWriterLock());
  }
  std::string QuarantineFile(const char* folder, const std::string& raw) {
    return app_.root() + "/quarantine/" + folder + "/" + MD5Hex(raw.data(), raw.size()).ToStdString() + ".eml";
  }
  TempAppDirectory app_;
  CBayes bayes_;
};

TEST(CBayesWord, Tokenisers) {
  CBayesWord words;
  words.PopolateWords("Hello");  // no blank: nothing
  words.PopolateWords("Hello ");
  words.PopolateWords("cat body last");  // 3 chars dropped, the last piece unused
  const std::string long_word(40, 'x');
  words.PopolateWords(long_word + " ");
  EXPECT_EQ(Words(words), (std::vector<std::string>{"Hello", "body", MD5Hex(long_word.c_str()).ToStdString()}));
}

TEST(CBayesWord, SlicesAndDigests) {
  CBayesWord slices;
  slices.PopolateForSeven("abcdefgXhij klm_nopqrs");
  // Offsets 0, 8, 16: "abcdefg", "hij klm", "nopqrs" (too short).
  EXPECT_EQ(Words(slices), (std::vector<std::string>{"abcdefg", "hij klm"}));

  CBayesWord digests;
  std::string lines;
  for (int i = 0; i < 17; ++i) lines += "l" + std::to_string(i) + "\n";
  digests.Md5Words(lines);
  std::string first16;
  for (int i = 0; i < 16; ++i) first16 += "l" + std::to_string(i);
  EXPECT_EQ(Words(digests), (std::vector<std::string>{MD5Hex(first16.c_str()).ToStdString(), MD5Hex("l16").ToStdString()}));
}

TEST_F(BayesTest, CounterVerdicts) {
  SetCounter(&bayes_, "spam5", 5);
  SetCounter(&bayes_, "spam1", 1);
  SetCounter(&bayes_, "ham3", -3);
  CBayesWord words;
  for (const char* w : {"spam5", "spam1", "ham3", "unknown"}) words.words().Add(String(w));
  CBayes_res res;
  bayes_.SetMinOccorenze(32.0f);
  EXPECT_EQ(bayes_.IsSpam(&words, &res), CBayes::kSpam);
  EXPECT_EQ(res.total, 6);
  EXPECT_FLOAT_EQ(res.pSpam, 0.5f);
  EXPECT_FLOAT_EQ(res.pHam, 2.0f / 6);
  EXPECT_EQ(res.spam.GetSize(), 2);
  EXPECT_EQ(res.unknown[0].ToStdString(), "SCORE 0 : unknown");

  // 70 % unknown with maxUnknown 0.68: too little known to decide.
  CBayesWord mostly_unknown;
  for (int i = 0; i < 7; ++i) mostly_unknown.words().Add(String(("new" + std::to_string(i)).c_str()));
  for (int i = 0; i < 3; ++i) mostly_unknown.words().Add(String("spam5"));
  EXPECT_EQ(bayes_.IsSpam(&mostly_unknown, nullptr), CBayes::kLearn);
  CBayesWord none;
  EXPECT_EQ(bayes_.IsSpam(&none, nullptr), CBayes::kNeutral);
}

TEST_F(BayesTest, CountersSaturateInsteadOfWrapping) {
  SetCounter(&bayes_, "hot", CBayes::kMaxCounter);
  SetCounter(&bayes_, "cold", -CBayes::kMaxCounter);
  CBayesWord hot, cold;
  hot.words().Add(String("hot"));
  cold.words().Add(String("cold"));
  bayes_.PopolateDB(&hot, CBayes::kSpam);
  bayes_.PopolateDB(&cold, CBayes::kHam);
  EXPECT_EQ(Counter(&bayes_, "hot"), CBayes::kMaxCounter);
  EXPECT_EQ(Counter(&bayes_, "cold"), -CBayes::kMaxCounter);
  EXPECT_EQ(bayes_.GetWordsCount("SPAM"), CBayes::kMaxCounter);
  EXPECT_EQ(bayes_.GetWordsCount("ham"), CBayes::kMaxCounter);
}

TEST_F(BayesTest, ConcurrentTrainingLosesNoCount) {
  constexpr int kThreads = 8, kRounds = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this] {
      CBayesWord words;
      CParseMail mail;
      mail.LoadMail("Subject: shared words\r\n\r\nsome shared body text\r\n");
      mail.Parse();
      words.Elaborate(&mail);
      for (int i = 0; i < kRounds; ++i) bayes_.PopolateDB(&words, CBayes::kSpam);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(Counter(&bayes_, "shared"), kThreads * kRounds);
  int32_t spam = 0, ham = 0;
  bayes_.tokens()->Totals(&spam, &ham);
  EXPECT_EQ(spam, kThreads * kRounds);
}

TEST_F(BayesTest, QuarantineFilesOncePerClass) {
  CParseMail mail;
  const std::string raw = "Subject: buy now\r\n\r\nbody\r\n";
  mail.LoadMail(raw.c_str());
  mail.Parse();
  CStatitiche_Day stats;
  EXPECT_EQ(bayes_.AddQuarantena(&mail, "one", "two", CBayes::kSpam, &stats), 1);
  EXPECT_EQ(bayes_.AddQuarantena(&mail, "one", "two", CBayes::kSpam, &stats), 1);
  EXPECT_EQ(bayes_.AddQuarantena(&mail, "one", "two", CBayes::kHam, &stats), 1);
  EXPECT_EQ(bayes_.AddQuarantena(&mail, "one", "two", 9, &stats), 0);
  EXPECT_EQ(bayes_.GetDBRam("spam")->GetRealRecordCount(), 1);
  EXPECT_EQ(bayes_.GetDBRam("HAM")->GetRealRecordCount(), 1);
  EXPECT_EQ(stats.GetValueByName("f11_bayes_spam"), 1.0f);
  const std::string path = QuarantineFile("spam", raw);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), raw);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((app_.root() + "/quarantine/spam").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  CDB_RAM::RECORD* record = bayes_.GetDBRam("spam")->GetByIndexPtr(0);
  EXPECT_EQ(std::string(record->value.get(), record->len), std::string("one\x02two\x02") + "buy now");
}

TEST_F(BayesTest, FailedWriteFilesNothing) {
  // A file where the quarantine folder belongs: no folder, no write.
  std::ofstream(app_.root() + "/quarantine") << "in the way";
  CParseMail mail;
  mail.LoadMail("Subject: x\r\n\r\ny\r\n");
  mail.Parse();
  EXPECT_EQ(bayes_.AddQuarantena(&mail, "", "", CBayes::kSpam, nullptr), 0);
  EXPECT_EQ(bayes_.GetDBRam("spam")->GetRealRecordCount(), 0);
}

// Hygiene removes a quarantined message's file with its record, and tokens trained once that went stale.
TEST_F(BayesTest, HygieneRemovesFileAndRecordAndStaleTokens) {
  static int64_t now = 1'700'000'000;
  CDB_RAM* spam = bayes_.GetDBRam("spam");
  spam->SetClock([] { return static_cast<time_t>(now); });
  bayes_.tokens()->SetClock([] { return static_cast<time_t>(now); });
  bayes_.tokens()->Train({"once", "twice"}, true);
  bayes_.tokens()->Train({"twice"}, false);
  BayesSettings settings;
  settings.quarantine_lifetime_value = 72;
  settings.quarantine_lifetime_unit = 3600;
  bayes_.ApplySettings(settings);
  CParseMail mail;
  const std::string raw = "Subject: old\r\n\r\nold\r\n";
  mail.LoadMail(raw.c_str());
  mail.Parse();
  ASSERT_EQ(bayes_.AddQuarantena(&mail, "", "", CBayes::kSpam, nullptr), 1);
  now += 71 * 3600;
  bayes_.SanitizeAll();
  EXPECT_TRUE(std::filesystem::exists(QuarantineFile("spam", raw)));
  now += 3600;
  bayes_.SanitizeAll();
  EXPECT_FALSE(std::filesystem::exists(QuarantineFile("spam", raw)));
  EXPECT_EQ(spam->GetRealRecordCount(), 0);
  CDB_RAM reread;
  ASSERT_TRUE(reread.Open("db/eq_spam.db"));
  EXPECT_EQ(reread.GetRecordCount(), 0);
  EXPECT_GE(bayes_.tokens()->Find("once", 0), 0) << "tokens live longer";
  now += 31 * 86400;
  bayes_.SanitizeAll();
  EXPECT_LT(bayes_.tokens()->Find("once", 0), 0);
  EXPECT_GE(bayes_.tokens()->Find("twice", 0), 0);
  EXPECT_GE(bayes_.tokens()->Find(CBayesTokens::kTotalsKey, 0), 0);
}

TEST_F(BayesTest, OnlyTheLockHolderSaves) {
  CBayesWord words;
  words.words().Add(String("trained"));
  bayes_.PopolateDB(&words, CBayes::kSpam);
  ASSERT_TRUE(bayes_.SaveAll());

  CBayes second;
  ASSERT_EQ(second.SuperLoad(), 1);
  EXPECT_FALSE(second.TakeWriterLock());
  second.RemoveNeutral(1);
  second.PopolateDB(&words, CBayes::kHam);
  second.PopolateDB(&words, CBayes::kHam);
  EXPECT_FALSE(second.SaveAll());
  EXPECT_GT(second.GetLog().GetCount(), 0);

  CBayes reread;
  ASSERT_EQ(reread.SuperLoad(), 1);
  EXPECT_EQ(Counter(&reread, "trained"), 1);
}

TEST(CBayesTokens, ChiSquareTail) {
  // Known values: Q(x2 | 2) = e^(-x2/2); Q(x2 | 4) = e^(-x2/2) (1 + x2/2).
  EXPECT_NEAR(CBayesTokens::ChiSquareTail(3.0, 1), std::exp(-1.5), 1e-12);
  EXPECT_NEAR(CBayesTokens::ChiSquareTail(3.0, 2), std::exp(-1.5) * 2.5, 1e-12);
  EXPECT_DOUBLE_EQ(CBayesTokens::ChiSquareTail(0.0, 5), 1.0);
  EXPECT_NEAR(CBayesTokens::ChiSquareTail(20000.0, 3000), 0.0, 1e-12);  // no overflow, no NaN
  EXPECT_NEAR(CBayesTokens::ChiSquareTail(100.0, 3000), 1.0, 1e-12);
}

TEST_F(BayesTest, TokenTableLearnsAndRefusesUntrained) {
  BayesSettings settings;
  settings.method = 1;
  settings.cutoffs.min_trained = 3;
  bayes_.ApplySettings(settings);
  auto message = [](const char* subject, const char* body) {
    auto mail = std::make_unique<CParseMail>();
    mail->LoadMail((std::string("Subject: ") + subject + "\r\n\r\n" + body + "\r\n").c_str());
    mail->Parse();
    auto words = std::make_unique<CBayesWord>();
    words->Elaborate(mail.get());
    return words;
  };
  auto spam = message("cheap pills", "buy cheap pills now http://pills.example/ offer");
  auto ham = message("meeting notes", "the meeting notes from tuesday are attached");
  EXPECT_EQ(bayes_.IsSpam(spam.get(), nullptr), CBayes::kLearn);
  for (int i = 0; i < 3; ++i) {
    bayes_.PopolateDB(spam.get(), CBayes::kSpam);
    bayes_.PopolateDB(ham.get(), CBayes::kHam);
  }
  CBayes_res res;
  EXPECT_EQ(bayes_.IsSpam(message("pills offer", "cheap pills at pills.example").get(), &res), CBayes::kSpam);
  EXPECT_GT(res.pSpam, 0.9f);
  EXPECT_EQ(bayes_.IsSpam(message("notes", "notes of the meeting").get(), &res), CBayes::kHam);
  EXPECT_LT(res.pSpam, 0.2f);
}

TEST(BayesTokenizer, TokensAreBoundedDistinctText) {
  CParseMail mail;
  std::string body;
  for (int i = 0; i < 5000; ++i) body += "word" + std::to_string(i) + " ";
  mail.LoadMail(("Subject: =?utf-8?B?R3LDvMOfZQ==?= Deal\r\nReceived: from mx.example.org ([10.1.2.3])\r\n"
                 "Content-Type: text/html\r\n\r\n<a href=\"HTTP://Evil.Example/x\">word1 word1</a> "
                 "<FONT color=red><a href=\"https://www3.cheap.pills.test/\">go</a></font> " + body)
                    .c_str());
  mail.Parse();
  const std::vector<std::string> tokens = MessageTokens(mail);
  EXPECT_EQ(tokens.size(), kMaxMessageTokens);
  for (const char* expected : {"subj:grüße", "subj:deal", "rcvd:mx.example.org", "rcvd:10.1.2.3", "url:evil.example", "word1",
                               "url:www3.cheap.pills.test", "url:pills.test", "tag:a", "tag:font", "deal"}) {
    EXPECT_NE(std::find(tokens.begin(), tokens.end(), expected), tokens.end()) << expected;
  }
  EXPECT_EQ(std::count(tokens.begin(), tokens.end(), "word1"), 1);
  for (const char* absent : {"href", "tag:", "red", "url:test"}) {
    EXPECT_EQ(std::find(tokens.begin(), tokens.end(), absent), tokens.end()) << absent;
  }
}

}  // namespace
