// greylist_test - the greylist on a fake clock.
#include "engines/greylist.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "base/utility.h"
#include "common/scratch_dir.h"

namespace {

constexpr time_t kStart = 1700000000;
std::atomic<time_t> g_now{kStart};

class CGreyListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = kStart;
    list_ = std::make_unique<CGreyList>();
    list_->SetClock([] { return g_now.load(); });
    list_->SetTimeOfImbargo(1, 60);
  }

  std::string Triples(const char* recipients, const char* from = "a@far.test", const char* host = "") {
    String out;
    return list_->PrepareTriples(&out, recipients, "192.0.2.1", from, "<>", host);
  }
  // Records the triples of `recipients`, then moves the clock on.
  std::string AddedThenLater(const char* recipients, time_t later) {
    const std::string triples = Triples(recipients);
    list_->AddGreyList(triples.c_str(), &stats_);
    g_now += later;
    return triples;
  }
  int Pass(const std::string& triples) { return list_->ByPassGreyList(triples.c_str(), &stats_); }
  int Forced(const std::string& triples) { return list_->GetForzeMoltiplicatore(triples.c_str()); }
  float Stat(const char* name) { return stats_.GetValueByName(name); }

  ScratchAppDir dir_;
  CStatitiche_Day stats_;
  std::unique_ptr<CGreyList> list_;
};

TEST_F(CGreyListTest, PrepareTriplesBuildsOneTriplePerRecipient) {
  const struct {
    const char* recipients;
    const char* from;
    const char* host;
    std::string expected;
  } cases[] = {
      {"b@l", "a@f", "mail.out.example.com", "out.example.com\x02" "a@f\x02" "b@l"},
      {"b@l", "a@f", "localhost", "192.0.2.1\x02" "a@f\x02" "b@l"},
      {"b@l", "", "", "192.0.2.1\x02<>\x02" "b@l"},
      {"b@l", "PRVS=1a2b=a@f", "", "192.0.2.1\x02" "a@f\x02" "b@l"},
      {"b@l", "prvs==a@f", "", "192.0.2.1\x02prvs==a@f\x02" "b@l"},
      {" b@l  c@l ", "a@f", "", "192.0.2.1\x02" "a@f\x02" "b@l\x03" "192.0.2.1\x02" "a@f\x02" "c@l"},
      {"b@l", "x\x03" "1\x02" "a@f", "", "192.0.2.1\x02x?1?a@f\x02" "b@l"},  // separators stay in their field
      {"", "a@f", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Triples(c.recipients, c.from, c.host), c.expected) << c.recipients;
}

TEST_F(CGreyListTest, NewMessageToThreeRecipientsIsBlockedOnce) {
  const std::string triples = Triples("b@l.test c@l.test d@l.test");
  EXPECT_EQ(list_->AddGreyList(triples.c_str(), &stats_), 1);
  list_->AddGreyList(triples.c_str(), &stats_);
  EXPECT_EQ(Stat("f8_grey_bloc"), 1.0f);
  EXPECT_EQ(list_->GetRealRecordCount(), 3);
  EXPECT_EQ(list_->IsExists(Triples("C@L.test").c_str()), 1);
  EXPECT_EQ(list_->AddGreyList("", &stats_), 0);
}

// Retries within the embargo count as forced; one at exactly the embargo passes, in any case.
TEST_F(CGreyListTest, EmbargoEdgeAndForcedRetries) {
  const std::string triples = AddedThenLater("b@l.test", 30);
  EXPECT_EQ(Pass(triples), 0);
  g_now = kStart + 59;
  EXPECT_EQ(Pass(triples), 0);
  EXPECT_EQ(Forced(triples), 2);
  EXPECT_EQ(Stat("f8_grey_forze"), 2.0f);
  g_now = kStart + 60;
  EXPECT_EQ(Pass(Triples("B@L.TEST", "A@Far.Test")), 1) << "the time of the first attempt was kept";
  EXPECT_EQ(Stat("f8_grey_recall"), 1.0f);
  EXPECT_EQ(Pass(Triples("other@l.test")), 0) << "an unknown triple never passes";
}

TEST_F(CGreyListTest, PassCountsItsDelayBucket) {
  const std::pair<time_t, const char*> cases[] = {
      {300, "f8_grey_m5"}, {301, "f8_grey_m10"}, {3600, "f8_grey_m60"}, {3601, "f8_grey_mmax"}};
  for (const auto& [delay, bucket] : cases) {
    g_now = kStart;
    EXPECT_EQ(Pass(AddedThenLater((std::to_string(delay) + "@l").c_str(), delay)), 1) << delay;
    EXPECT_EQ(Stat(bucket), 1.0f) << delay;
  }
}

TEST_F(CGreyListTest, ResetCountsThePassOnlyOnce) {
  const std::string triples = AddedThenLater("b@l.test", 30);
  Pass(triples);
  g_now += 400;
  EXPECT_EQ(Pass(triples), 1);
  EXPECT_EQ(Forced(triples), 1);
  list_->AzzeraMoltiplicatore(triples.c_str());
  EXPECT_EQ(Forced(triples), 0);
  g_now += 1000;
  EXPECT_EQ(Pass(triples), 1);
  EXPECT_EQ(Stat("f8_grey_recall"), 1.0f);
  EXPECT_EQ(Stat("f8_grey_m30"), 0.0f);
}

// A record stamped before the clock was set back starts its embargo over from now.
TEST_F(CGreyListTest, ClockSetBackRestartsTheEmbargoFromNow) {
  const std::string triples = AddedThenLater("b@l.test", -3600);
  EXPECT_EQ(Pass(triples), 0);
  EXPECT_EQ(Forced(triples), 0);
  g_now += 60;
  EXPECT_EQ(Pass(triples), 1);

  list_->SetTimeOfImbargo(-1, 60);  // a negative delay picks no bucket
  g_now = kStart;
  EXPECT_EQ(Pass(AddedThenLater("c@l.test", -30)), 1);
  EXPECT_EQ(Stat("f8_grey_recall"), 2.0f);
  EXPECT_EQ(Stat("f8_grey_m5"), 1.0f);
}

// A sender holding separators cannot make triples of the client's choosing.
TEST_F(CGreyListTest, InjectedSeparatorsCannotReachAnotherTriple) {
  const std::string aged = AddedThenLater("b@l.test", 3600);
  ASSERT_EQ(Pass(aged), 1);
  EXPECT_EQ(Pass(Triples("victim@l.test", ("z\x03" + aged + "\x03z").c_str())), 0);
  list_->AddGreyList("one field\x03" "a\x02" "b", &stats_);
  EXPECT_EQ(list_->GetRealRecordCount(), 1) << "only whole triples are stored";
}

TEST_F(CGreyListTest, FullStoreDropsTheOldest) {
  list_->SetMaxRecords(100);
  for (int i = 0; i < 150; ++i) AddedThenLater((std::to_string(i) + "@l").c_str(), 1);
  EXPECT_EQ(list_->GetRealRecordCount(), 100);
  EXPECT_EQ(list_->IsExists(Triples("0@l").c_str()), 0);
  EXPECT_EQ(list_->IsExists(Triples("149@l").c_str()), 1);
  EXPECT_GT(list_->GetLog().GetCount(), 0);
  const std::string too_long = Triples(std::string(BoundedStore::kMaxAddressBytes + 1, 'x').c_str());
  list_->AddGreyList(too_long.c_str(), &stats_);
  EXPECT_EQ(list_->IsExists(too_long.c_str()), 0);
}

}  // namespace
