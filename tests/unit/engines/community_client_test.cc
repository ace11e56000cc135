// community_client_test - the reputation client against a loopback test service.
#include "engines/community_client.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/md5.h"
#include "common/scratch_dir.h"
#include "common/test_server_process.h"

namespace {

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";
constexpr int kTimeoutMs = 150;

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) hex += std::string{kDigits[c >> 4], kDigits[c & 15]};
  return hex;
}

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

class CCommunityTorvaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string script = TORVANE_SOURCE_DIR "/tests/unit/engines/community_test_server.py";
    address_ = testproc::StartOnFreeAddress("127.0.66.", 1, 250, CCommunityTorvane::kPort, [&](const std::string& a) {
      return server_.Start({"/usr/bin/python3", script, "--address", a, "--port", "6666", "--state", dir_.path()},
                           dir_.File("ready"));
    });
    ASSERT_FALSE(address_.empty()) << "no loopback address free for the test service";
    CommunitySettings settings;
    settings.key = kKey;
    settings.timeout_ms = kTimeoutMs;
    settings.default_server = address_;
    client_.ApplySettings(settings);
  }

  // The service answers datagrams with `bytes` as `kind` says (the script lists them).
  void Answer(const std::string& bytes, const char* kind = "reply") {
    dir_.Put("mode.tmp", std::string(kind) + " " + Hex(bytes) + "\n");
    std::filesystem::rename(dir_.File("mode.tmp"), dir_.File("mode"));
  }
  // The datagrams the service received so far.
  std::vector<std::string> Requests() const {
    std::vector<std::string> requests;
    std::ifstream in(dir_.File("requests"));
    for (std::string line; std::getline(in, line);) requests.push_back(Unhex(line));
    return requests;
  }
  float Query() { return client_.CommunityQuery("192.0.2.7", "mail.relay.example.com", "A@B.example"); }

  ScratchDir dir_;
  testproc::TestServerProcess server_;
  std::string address_;
  CCommunityTorvane client_;
};

TEST_F(CCommunityTorvaneTest, QueryLayoutAndVerdicts) {
  for (const auto& [asked, kept] : {std::pair{1, 50}, std::pair{400, 400}, std::pair{99999, 5000}}) {
    client_.SetTimeOut(asked);
    EXPECT_EQ(client_.Settings()->timeout_ms, kept);
  }
  client_.SetTimeOut(kTimeoutMs);
  Answer("FAILFAIL\r\n");
  bool answered = false;
  EXPECT_FLOAT_EQ(client_.CommunityQuery("192.0.2.7", "mail.relay.example.com", "A@B.example", &answered), 5.0f);
  EXPECT_TRUE(answered);
  EXPECT_STREQ(client_.GetResFromScore(5.0f), "FAIL");
  const std::vector<std::string> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& request = requests[0];
  ASSERT_EQ(request.size(), CCommunityTorvane::kDatagramBytes);
  EXPECT_EQ(request.substr(0, 35), std::string(kKey) + "004");
  EXPECT_EQ(request.substr(35, 32), MD5Hex("relay.example.coma@b.example").ToStdString());
  EXPECT_EQ(request.find_first_not_of(' ', 67), std::string::npos);
  // A host name without a domain: the network part is the address.
  EXPECT_EQ(CCommunityTorvane::PairDigest("192.0.2.7", "localhost", "x@y"), MD5Hex("192.0.2.7x@y").ToStdString());
  struct Case {
    std::string reply;
    float score;
  } cases[] = {{"HARDFAIL", 10.0f}, {" SOFTFAIL ", 2.5f}, {"NEUTRALE", 0.0f}, {"UNKNOWN", 0.0f},
               {std::string(2000, 'H'), 0.0f}, {std::string("\0\0HARDFAIL", 10), 0.0f}};
  for (const Case& c : cases) {
    Answer(c.reply);
    EXPECT_FLOAT_EQ(Query(), c.score) << c.reply.substr(0, 20);
  }
}

// A forged reply from another port of the server's address, sent first, is not read.
TEST_F(CCommunityTorvaneTest, RepliesFromAnotherPortAreIgnored) {
  Answer("HARDFAIL", "spoof");
  EXPECT_FLOAT_EQ(Query(), 0.0f);
}

TEST_F(CCommunityTorvaneTest, SilentServiceCostsFourRequests) {
  std::filesystem::remove(dir_.File("mode"));
  bool answered = true;
  EXPECT_FLOAT_EQ(client_.CommunityQuery("192.0.2.7", "mail.relay.example.com", "A@B.example", &answered), 0.0f);
  EXPECT_FALSE(answered) << "no verdict, not a neutral one";
  EXPECT_EQ(Requests().size(), 4u);
}

// Each query has its own socket: the service answers only once ten queries
// wait at the same time, which queries that took turns would never do.
TEST_F(CCommunityTorvaneTest, ParallelQueriesDoNotWaitForEachOther) {
  constexpr int kQueries = 10;
  client_.SetTimeOut(2000);  // long: a busy machine still gets all ten asking
  Answer("HARDFAIL", ("gate " + std::to_string(kQueries)).c_str());
  std::vector<std::thread> queries;
  for (int i = 0; i < kQueries; ++i) queries.emplace_back([&] { EXPECT_FLOAT_EQ(Query(), 10.0f); });
  for (std::thread& query : queries) query.join();
}

// Unusable keys, LAN clients and a missing service send nothing (the last request is the signal).
TEST_F(CCommunityTorvaneTest, WhatSendsNothing) {
  Answer("OK");
  client_.CommunityAnnunce("192.168.1.5", "", "a@b.example");
  client_.CommunityAnnunce("172.20.40.1", "", "a@b.example");
  CCommunityTorvane short_key;
  short_key.ApplySettings({std::string(31, 'k'), kTimeoutMs, 2.5f, 5.0f, 10.0f, address_});
  EXPECT_FLOAT_EQ(short_key.CommunityQuery("192.0.2.7", "", "a@b.example"), 0.0f);
  CCommunityTorvane no_service;
  no_service.SetSegretKey(kKey);
  EXPECT_FLOAT_EQ(no_service.CommunityQuery("192.0.2.7", "", "a@b.example"), 0.0f);
  client_.CommunityAnnunce("127.1.0.1", "", "a@b.example");
  client_.CommunityAnnunce("172.32.0.1", "", "a@b.example");
  EXPECT_EQ(client_.CommunityTest(0, nullptr), 1);
  const std::vector<std::string> requests = Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].substr(32, 3), "003");
  EXPECT_EQ(requests[2].substr(32, 3), "005");
  struct Case {
    const char* address;
    int lan;
  } cases[] = {{"127.0.0.9", 1}, {"127.1.0.1", 0}, {"10.255.0.1", 1}, {"192.168.0.1", 1}, {"192.169.0.1", 0},
               {"172.16.0.1", 1}, {"172.31.9.9", 1}, {"172.15.0.1", 0}, {"172.32.0.1", 0}, {"10.300.0.1", 0},
               {nullptr, 0}};
  for (const Case& c : cases) EXPECT_EQ(CCommunityTorvane::IsLanIp(c.address), c.lan) << (c.address ? c.address : "null");
}

// A server list must be 1 to 32 addresses or host names; anything else keeps the old list.
TEST_F(CCommunityTorvaneTest, OnlyWellFormedServerListsReplaceTheOld) {
  client_.AddCommunityServer("old.example");
  std::string too_many;
  for (size_t i = 0; i <= CCommunityTorvane::kMaxServers; ++i) too_many += "h.io ";
  for (const std::string& junk : {std::string(""), std::string("1.2.3.4 ../etc/x"), std::string("1.2.3.999"),
                                  std::string("a\x01b.example"), too_many}) {
    Answer(junk);
    EXPECT_EQ(client_.RefreshServerFromCommunity(), 0) << junk.substr(0, 40);
    EXPECT_EQ(client_.GetServerCount(), 1);
  }
  Answer("127.0.0.5 B.example\r\n");
  EXPECT_EQ(client_.RefreshServerFromCommunity(), 1);
  EXPECT_EQ(client_.GetServerCount(), 2);
  EXPECT_EQ(Requests().back().substr(32, 3), "006");
}

}  // namespace
