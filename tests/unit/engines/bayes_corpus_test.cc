// bayes_corpus_test - the token classifier on a public corpus of real mail (skipped without it; the parser's
// oracle runs on it as the fuzz test mail_parse_real_mail).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/app_directory.h"
#include "common/scratch_dir.h"
#include "engines/bayes_filter.h"

namespace {

// The prefix a session analyses.
constexpr size_t kAnalysedBytes = 30720;

struct Message {
  std::string path;
  bool spam;
  bool train;  // an even id
};

std::vector<Message> Corpus() {
  std::vector<Message> messages;
  const std::filesystem::path root = TORVANE_SPAM_CORPUS;
  std::error_code missing;
  for (const auto& group : std::filesystem::directory_iterator(root, missing)) {
    if (!group.is_directory()) continue;
    const std::string name = group.path().filename().string();
    const bool spam = name.rfind("spam", 0) == 0;
    for (const auto& file : std::filesystem::directory_iterator(group.path())) {
      if (file.path().extension() != ".txt") continue;
      const int id = std::atoi(file.path().filename().string().c_str());
      messages.push_back({file.path().string(), spam, id % 2 == 0});
    }
  }
  return messages;
}

class BayesCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    messages_ = Corpus();
    if (messages_.empty()) GTEST_SKIP() << "no corpus at " << TORVANE_SPAM_CORPUS << " (tools/test fetches it)";
  }
  std::vector<Message> messages_;
};

TEST_F(BayesCorpus, TokenTableSortsUnseenMail) {
  TempAppDirectory app("db");
  CBayes bayes;
  ASSERT_EQ(bayes.SuperLoad(), 1);
  BayesSettings settings;
  settings.method = 1;
  bayes.ApplySettings(settings);
  auto tokenise = [](const Message& message, CParseMail* mail, CBayesWord* words) {
    mail->Clear();
    mail->AddStreaming(ScratchDir::Contents(message.path).substr(0, kAnalysedBytes));
    mail->Parse();
    words->Elaborate(mail);
  };
  CParseMail mail;
  CBayesWord words;
  for (const Message& message : messages_) {
    if (!message.train) continue;
    tokenise(message, &mail, &words);
    bayes.PopolateDB(&words, message.spam ? CBayes::kSpam : CBayes::kHam);
  }
  int ham = 0, spam = 0, false_positives = 0, false_negatives = 0;
  for (const Message& message : messages_) {
    if (message.train) continue;
    tokenise(message, &mail, &words);
    CBayes_res res;
    bayes.IsSpam(&words, &res);
    const bool judged_spam = res.pSpam >= 0.5f;
    (message.spam ? spam : ham)++;
    if (!message.spam && judged_spam) ++false_positives;
    if (message.spam && !judged_spam) ++false_negatives;
  }
  const double fp = 100.0 * false_positives / ham, fn = 100.0 * false_negatives / spam;
  RecordProperty("false_positive_percent", std::to_string(fp));
  RecordProperty("false_negative_percent", std::to_string(fn));
  EXPECT_LE(fp, 0.5) << false_positives << " of " << ham << " ham judged spam";
  EXPECT_LE(fn, 3.0) << false_negatives << " of " << spam << " spam missed";
}

}  // namespace
