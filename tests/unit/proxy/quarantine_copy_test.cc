// QuarantineCopy on a real CBayes: what lands in the quarantine once a message ends.
#include "proxy/quarantine_copy.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/md5.h"
#include "common/app_directory.h"
#include "engines/bayes_filter.h"

namespace {

class QuarantineCopyTest : public ::testing::Test {
 protected:
  QuarantineCopyTest() : app_("db") {}
  void SetUp() override {
    ASSERT_EQ(bayes_.SuperLoad(), 1);
    ASSERT_TRUE(bayes_.TakeWriterLock());
  }
  // The quarantined file of `message` in `folder`; "" when there is none.
  std::string Filed(const char* folder, const std::string& message) {
    std::ifstream in(app_.root() + "/quarantine/" + folder + "/" +
                         MD5Hex(message.data(), message.size()).ToStdString() + ".eml",
                     std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TempAppDirectory app_;
  CBayes bayes_;
  CLogSimple log_;
  QuarantineCopy copy_;
};

TEST_F(QuarantineCopyTest, FilesTheMessageAsItsSenderWroteIt) {
  const std::string tail(QuarantineCopy::kMaxBytes, 'x');
  const struct {
    const char* name;
    bool chunked;
    std::vector<std::string> pieces;  // the first held at the request
    std::string expected;
  } kCases[] = {
      {"DATA un-stuffed, end line dropped", false,
       {"Subject: a\r\n\r\n..one\r\n", "two\r\n..", "three\r\n.\r\n"}, "Subject: a\r\n\r\n.one\r\ntwo\r\n.three\r\n"},
      {"BDAT as it is", true, {"Subject: b\r\n\r\n..one\r\n", "two\r\n"}, "Subject: b\r\n\r\n..one\r\ntwo\r\n"},
      {"cut at the bound", true, {"Subject: c\r\n\r\n", tail}, ("Subject: c\r\n\r\n" + tail).substr(0, tail.size())},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    copy_.Request({"1.2.3.4", "5.1", "a", CBayes::kSpam}, c.pieces[0], c.chunked);
    copy_.Request({"1.2.3.4", "5.1", "a", CBayes::kHam}, "ignored: the copy exists", c.chunked);
    for (size_t i = 1; i < c.pieces.size(); ++i) copy_.Append(c.pieces[i]);
    EXPECT_EQ(copy_.File(&bayes_, nullptr, &log_, 7), 1);
    EXPECT_FALSE(copy_.pending());
    EXPECT_EQ(Filed("spam", c.expected), c.expected);
    EXPECT_EQ(Filed("ham", c.expected), c.expected);
  }
  bool cut_logged = false;
  log_.Drain([&](const CLogSimple::LogSimple_item& item) {
    cut_logged |= item.entry.ToStdString().find("cut to its first") != std::string::npos;
  });
  EXPECT_TRUE(cut_logged);
}

TEST_F(QuarantineCopyTest, NothingIsKeptOrFiledWithoutAnEndedRequest) {
  copy_.Append("Subject: x\r\n\r\nbody\r\n");  // no request: not copied
  EXPECT_EQ(copy_.File(&bayes_, nullptr, &log_, 7), 0);
  copy_.Request({"", "", "", CBayes::kSpam}, "Subject: y\r\n\r\n", false);
  copy_.Clear();  // the session ended first
  EXPECT_EQ(copy_.File(&bayes_, nullptr, &log_, 7), 0);
  EXPECT_EQ(bayes_.GetDBRam("spam")->GetRealRecordCount(), 0);
}

}  // namespace
