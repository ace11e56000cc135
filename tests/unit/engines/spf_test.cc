// spf_test - the sender-policy engine against a resolver answering from a table.
#include "engines/spf.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// Answers from a table and counts the questions; a name absent from it does not exist.
class TableDns : public DnsLookup {
 public:
  void Add(const std::string& name, uint16_t type, const std::string& value) {
    CDnsRES_RECORD::DnsRR rr;
    rr.type = type;
    rr.data = value.c_str();
    rr.text = value.c_str();
    records_[name].push_back(rr);
  }
  void Fail(const std::string& name, DnsStatus status) { failures_[name] = status; }
  int Asked(const std::string& name, uint16_t type) { return asked_[name + " " + std::to_string(type)]; }

  DnsStatus Lookup(const char* name, uint16_t type, int32_t, CArray<CDnsRES_RECORD::DnsRR>* records) override {
    ++asked_[std::string(name) + " " + std::to_string(type)];
    if (on_lookup) on_lookup();
    records->RemoveAll();
    if (failures_.count(name) != 0) return failures_[name];
    auto found = records_.find(name);
    if (found == records_.end()) return DnsStatus::kNameError;
    for (const auto& rr : found->second) {
      if (rr.type == type) records->Add(rr);
    }
    return DnsStatus::kAnswer;
  }

  std::function<void()> on_lookup;

 private:
  std::map<std::string, std::vector<CDnsRES_RECORD::DnsRR>> records_;
  std::map<std::string, DnsStatus> failures_;
  std::map<std::string, int> asked_;
};

struct Case {
  const char* what;
  std::vector<std::pair<std::string, std::string>> txt;  // name -> policy
  const char* ip;
  const char* sender;
  int32_t expected;
};

class CSPFTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dns_.Add("mx.test", kDnsTypeMX, "mail.mx.test");
    dns_.Add("mail.mx.test", kDnsTypeA, "192.0.2.7");
    dns_.Add("a.test", kDnsTypeA, "192.0.2.1");
    dns_.Add("x.test", kDnsTypeTXT, "v=spf1 -all");
  }
  // Each case on a copy of the common records, with its own policies.
  int32_t Query(const Case& c, bool strict) {
    TableDns dns = dns_;
    for (const auto& [name, policy] : c.txt) dns.Add(name, kDnsTypeTXT, policy);
    CSPF spf(&dns, nullptr);
    spf.SetStrict(strict);
    return spf.GetSPFQuery(c.ip, c.sender, "mail.example");
  }
  TableDns dns_;
};

TEST_F(CSPFTest, DefaultModeVerdicts) {
  const Case cases[] = {
      {"ip4 in", {{"d.test", "v=spf1 ip4:192.0.2.0/24 -all"}}, "192.0.2.7", "u@d.test", kSpfPass},
      {"ip4 out", {{"d.test", "v=spf1 ip4:192.0.2.0/24 -all"}}, "198.51.100.1", "u@d.test", kSpfFail},
      {"mx in", {{"mx.test", "v=spf1 mx ~all"}}, "192.0.2.7", "u@mx.test", kSpfPass},
      {"mx out", {{"mx.test", "v=spf1 mx ~all"}}, "192.0.2.8", "u@mx.test", kSpfSoftFail},
      {"a/24", {{"a.test", "v=spf1 a/24 -all"}}, "192.0.2.200", "u@a.test", kSpfPass},
      {"no match, no all", {{"d.test", "v=spf1 a:a.test mx:mx.test"}}, "198.51.100.1", "u@d.test", kSpfNeutral},
      {"bad ip4", {{"d.test", "v=spf1 ip4:300.1.1.1 -all"}}, "192.0.2.7", "u@d.test", kSpfPermError},
      {"no record", {}, "192.0.2.7", "u@none.test", kSpfNeutral},
      {"include spliced", {{"d.test", "v=spf1 include:x.test ~all"}}, "192.0.2.7", "u@d.test", kSpfFail},
      {"self include", {{"d.test", "v=spf1 include:d.test ~all"}}, "192.0.2.7", "u@d.test", kSpfSoftFail},
      {"client no address", {{"d.test", "v=spf1 +all"}}, "192.0.2", "u@d.test", kSpfTempError},
  };
  for (const Case& c : cases) EXPECT_EQ(Query(c, false), c.expected) << c.what;
}

TEST_F(CSPFTest, StrictModeVerdicts) {
  std::string many = "v=spf1";
  for (int i = 0; i < 11; ++i) many += " a:a.test";
  const Case cases[] = {
      {"include fail only", {{"d.test", "v=spf1 include:x.test ~all"}}, "192.0.2.7", "u@d.test", kSpfSoftFail},
      {"self include", {{"d.test", "v=spf1 include:d.test ~all"}}, "192.0.2.7", "u@d.test", kSpfPermError},
      {"include none", {{"d.test", "v=spf1 include:none.test"}}, "192.0.2.7", "u@d.test", kSpfPermError},
      {"spf10", {{"d.test", "v=spf10 +all"}}, "192.0.2.7", "u@d.test", kSpfNone},
      {"two records", {{"d.test", "v=spf1 +all"}, {"d.test", "v=spf1 -all"}}, "192.0.2.7", "u@d.test",
       kSpfPermError},
      {"plain all", {{"d.test", "v=spf1 all"}}, "192.0.2.7", "u@d.test", kSpfPass},
      {"error after match", {{"d.test", "v=spf1 +all bogus"}}, "192.0.2.7", "u@d.test", kSpfPermError},
      {"redirect with all", {{"d.test", "v=spf1 ?all redirect=x.test"}}, "192.0.2.7", "u@d.test", kSpfNeutral},
      {"redirect", {{"d.test", "v=spf1 redirect=x.test"}}, "192.0.2.7", "u@d.test", kSpfFail},
      {"eleven terms", {{"d.test", many}}, "192.0.2.9", "u@d.test", kSpfPermError},
      {"void lookups", {{"d.test", "v=spf1 a:n1.test a:n2.test a:n3.test"}}, "192.0.2.7", "u@d.test",
       kSpfPermError},
      {"ip6 never matches", {{"d.test", "v=spf1 ip6:::/0 -all"}}, "192.0.2.7", "u@d.test", kSpfFail},
      {"null sender uses helo", {{"mail.example", "v=spf1 exists:%{l}.a.test -all"}}, "192.0.2.7", "",
       kSpfPass},
      {"no domain", {}, "192.0.2.7", "u@nodots", kSpfNone},
  };
  dns_.Add("postmaster.a.test", kDnsTypeA, "127.0.0.2");
  for (const Case& c : cases) EXPECT_EQ(Query(c, true), c.expected) << c.what;
}

// A resolver hiccup is no verdict: TempError, not cached, asked again.
TEST_F(CSPFTest, DnsFailureIsTemporaryAndNotCached) {
  dns_.Add("d.test", kDnsTypeTXT, "v=spf1 a:down.test -all");
  dns_.Fail("down.test", DnsStatus::kServerFailure);
  for (bool strict : {false, true}) {
    CSPF spf(&dns_, nullptr);
    spf.SetStrict(strict);
    EXPECT_EQ(spf.GetSPFQuery("192.0.2.7", "u@d.test", "h"), kSpfTempError);
    EXPECT_EQ(spf.GetSPFQuery("192.0.2.7", "u@d.test", "h"), kSpfTempError);
  }
  EXPECT_EQ(dns_.Asked("down.test", kDnsTypeA), 4);
  // A name that cannot be asked has no records: no reason to try again.
  dns_.Add("e.test", kDnsTypeTXT, "v=spf1 a:long.test -all");
  dns_.Fail("long.test", DnsStatus::kUnsendable);
  for (bool strict : {false, true}) {
    CSPF spf(&dns_, nullptr);
    spf.SetStrict(strict);
    EXPECT_EQ(spf.GetSPFQuery("192.0.2.7", "u@e.test", "h"), kSpfFail) << strict;
  }
}

// "192.0.2.4" + "5a@x.test" and "192.0.2.45" + "a@x.test" do not share a cached verdict.
TEST_F(CSPFTest, CacheKeepsFieldsApartAndExpires) {
  dns_.Add("k.test", kDnsTypeTXT, "v=spf1 ip4:192.0.2.4 -all");
  CSPF spf(&dns_, nullptr);
  static time_t now;
  now = 1000000;
  spf.SetClock([] { return now; });
  spf.SetTimeOfValidityRecord(1, 60);
  EXPECT_EQ(spf.GetSPFQuery("192.0.2.4", "5a@k.test", ""), kSpfPass);
  EXPECT_EQ(spf.GetSPFQuery("192.0.2.45", "a@k.test", ""), kSpfFail);
  EXPECT_EQ(dns_.Asked("k.test", kDnsTypeTXT), 2);
  EXPECT_EQ(spf.GetSPFQuery("192.0.2.45", "a@k.test", ""), kSpfFail);
  EXPECT_EQ(dns_.Asked("k.test", kDnsTypeTXT), 2);  // cached
  spf.SetStrict(true);
  EXPECT_EQ(spf.GetSPFQuery("192.0.2.45", "a@k.test", ""), kSpfFail);
  EXPECT_EQ(dns_.Asked("k.test", kDnsTypeTXT), 3);  // the other mode has its own
  now += 61;
  EXPECT_EQ(spf.GetSPFQuery("192.0.2.45", "a@k.test", ""), kSpfFail);
  EXPECT_EQ(dns_.Asked("k.test", kDnsTypeTXT), 4);  // expired
  EXPECT_EQ(spf.GetRealRecordCount(), 3);           // refreshed in place
}

// Slow name servers cannot hold a connection longer than the budget.
TEST_F(CSPFTest, OverallBudgetEndsTheEvaluation) {
  dns_.Add("d.test", kDnsTypeTXT, "v=spf1 a:h1.test a:h2.test a:h3.test a:h4.test -all");
  for (const char* host : {"h1.test", "h2.test", "h3.test", "h4.test"}) dns_.Add(host, kDnsTypeA, "198.51.100.1");
  int64_t now = 0;
  dns_.on_lookup = [&now] { now += 6000; };
  for (bool strict : {false, true}) {
    CSPF spf(&dns_, nullptr);
    spf.SetStrict(strict);
    spf.SetTickClock([&now] { return now; });
    EXPECT_EQ(spf.GetSPFQuery("192.0.2.7", "u@d.test", "h"), kSpfTempError) << strict;
  }
  EXPECT_EQ(dns_.Asked("h4.test", kDnsTypeA), 0);
}

// Over the query limit is TempError; a repeated include is skipped and logged printable and short.
TEST_F(CSPFTest, LimitsAndRepeatedIncludes) {
  dns_.Add("d.test", kDnsTypeTXT, "v=spf1 a:a1.test a:a2.test a:a3.test -all");
  CSPF spf(&dns_, nullptr);
  spf.SetMaxRecursion(3);
  EXPECT_EQ(spf.GetSPFQuery("192.0.2.7", "u@d.test", "h"), kSpfTempError);
  const std::string long_name(300, 'z');
  dns_.Add("r.test", kDnsTypeTXT,
           "v=spf1 include:x.test include:x.test include:a\x01" "b include:a\x01" "b include:" + long_name +
               " include:" + long_name);
  spf.SetMaxRecursion(CSPF::kDefaultMaxRecursion);
  EXPECT_EQ(spf.GetSPFQuery("192.0.2.7", "u@r.test", "h"), kSpfFail);
  std::vector<std::string> lines;
  spf.GetLog().Drain([&](const CLogSimple::LogSimple_item& item) {
    EXPECT_EQ(item.level, kLogDebug);
    lines.push_back(item.entry.GetData());
  });
  const std::vector<std::string> expected = {"cmd include | x.test", "cmd include | a?b",
                                             ("cmd include | " + long_name).substr(0, CSPF::kMaxLogTextBytes)};
  EXPECT_EQ(lines, expected);
}

TEST_F(CSPFTest, DefaultMacros) {
  CSPF spf(&dns_, nullptr);
  CSPF_Algo algo;
  algo.ip = "192.0.2.7";
  CSPF::aton4(algo.ip, algo.ipBinary);
  algo.sender = "helo@mail.example";
  algo.domain = "a.b.c";
  algo.helo = "mail.example";
  algo.deadlineMs = INT64_MAX;
  const std::pair<std::string, std::string> cases[] = {
      {"%{ir}.x", "7.2.0.192.x"},  {"%{d2}", "a.b"},         {"%{s}", "helo@mail.example"},
      {"%{d1r}", "c"},             {"%{i-}", "192.0.2.7"},   {"%%%_%-", "% %20"},
      {"%{o}", "cur.test"},        {"%xq", "q"},             {"%{d", ""},
      {"%{q}", ""},                {"%{t}", ""},             {std::string(4097, 'x'), ""},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(spf.macro(&algo, text.c_str(), "cur.test", text != "%{t}"), expected.c_str()) << text;
  }
}

TEST_F(CSPFTest, PtrOfAListAsksEachAddress) {
  dns_.Add("192.0.2.1", kDnsTypePTR, "a.test");
  dns_.Add("192.0.2.2", kDnsTypePTR, "mail.mx.test");
  CSPF spf(&dns_, nullptr);
  CSPF_Algo algo;
  algo.deadlineMs = INT64_MAX;
  EXPECT_EQ(spf.QueryPTR(&algo, "192.0.2.1|192.0.2.2"), "192.0.2.1|192.0.2.7");
  EXPECT_EQ(algo.lookups, 4);
}

}  // namespace
