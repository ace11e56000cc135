// Tests of "CS_Dns" against the resolver tests' name server (loopback, port 53, stopped by PID).
#include "scriptlib/lib_dns.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/utility.h"
#include "common/scratch_dir.h"
#include "engines/dns_test_server.h"
#include "lib_harness.h"

namespace lib_test {
namespace {

using Texts = std::vector<std::string>;

class LibDnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bltest::DnslibAvailable()) GTEST_SKIP() << "no python3-dnslib";
    ASSERT_TRUE(server_.Start()) << "no test name server could be started";
    DnsSettings settings;
    settings.servers.Add(String(server_.address().c_str()));
    settings.timeout_ms = 1000;
    resolver_ = std::make_unique<CDns>(settings);
    SetScriptResolver(resolver_.get());
  }
  void TearDown() override { SetScriptResolver(nullptr); }

  ScratchAppDir scratch_;
  // Loopback hosts 161..200, apart from the resolver (61..120) and e2e (121..140) tests.
  bltest::TestNameServer server_{scratch_.path() + "/state", {"127.0.0.", 161, 200}, testproc::ServerStderr::kSilenced};
  std::unique_ptr<CDns> resolver_;
};

TEST_F(LibDnsTest, LookupKinds) {
  const struct {
    const char* call;
    const char* expected;
  } kCases[] = {
      {"d.DNS_Resolve(\"a.torvane.test\")", "192.0.2.10"},
      {"d.DNS_MX(\"mx2.torvane.test\")", "mail1.torvane.test;mail2.torvane.test"},
      {"d.DNS_NS(\"ns.torvane.test\")", "ns1.torvane.test;ns2.torvane.test"},
      {"d.DNS_TXT(\"txt1.torvane.test\")", "v=spf1 -all"},
      {"d.DNS_Reverse(\"192.0.2.1\")", "host1.torvane.test"},
      {"d.DNS_Resolve(\"missing.torvane.test\")", ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(RunBody(std::string("CS_Dns d = new CS_Dns(); Capture(") + c.call + ");"), Texts{Text(c.expected)})
        << c.call;
  }
}

// The resolver's own wait is far longer than the object's, so the bound tells them apart.
TEST_F(LibDnsTest, TheObjectsTimeoutBoundsASilentServer) {
  server_.SetMode("silent");
  resolver_->SetTimeOut(30000);
  const auto start = std::chrono::steady_clock::now();
  Texts got = RunBody("CS_Dns d = new CS_Dns(); d.SetTimeOut(100); Capture(d.DNS_TXT(\"txt2.torvane.test\"));");
  EXPECT_EQ(got, Texts{Text("")});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(resolver_->GetTimeOut(), 30000);  // the object's wait is its own
}

TEST_F(LibDnsTest, AddedServersReachTheSharedResolver) {
  const int before = resolver_->GetServerCount();
  RunBody("CS_Dns d = new CS_Dns(); d.AddNameServerDNS(\"127.0.0.200\"); d.AddNameServerDNS(\"\");");
  EXPECT_EQ(resolver_->GetServerCount(), before + 1);
}

TEST(LibDnsNoResolverTest, LookupsGiveEmptyTexts) {
  SetScriptResolver(nullptr);
  EXPECT_EQ(RunBody("CS_Dns d = new CS_Dns(); d.AddNameServerDNS(\"127.0.0.1\");"
                    "Capture(d.DNS_Resolve(\"a.torvane.test\")); Capture(d.DNS_MX(\"x\"));"),
            (Texts{Text(""), Text("")}));
}

}  // namespace
}  // namespace lib_test
