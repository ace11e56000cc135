// http_client_test - URL parsing, the request bytes, and the answers of a loopback test server.
#include "base/http_client.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/scratch_dir.h"
#include "common/test_server_process.h"

namespace {

TEST(CTorvaneHTTPClientTest, ParseURL) {
  const struct {
    const char* url;
    bool ok;
    const char* protocol;
    const char* host;
    const char* path;
    int port;
  } cases[] = {
      {"http://host.example:8080/a?b", true, "HTTP", "HOST.EXAMPLE", "/a?b", 8080},
      {"host.example/Path", true, "HTTP", "HOST.EXAMPLE", "/Path", 80},
      {"https://host.example/", true, "HTTPS", "HOST.EXAMPLE", "/", 80},
      {"http://h/a\r\nX-Injected: 1", false, "", "", "", 0},       // request splitting
      {"http:///path", false, "", "", "", 0},                       // no host
      {"http://h:99999/", false, "", "", "", 0},
      {"http://h:/", false, "", "", "", 0},
      {"abcdefghijklmnopqrstu://h/", false, "", "", "", 0},         // protocol of 21 bytes
      {nullptr, false, "", "", "", 0},
  };
  for (const auto& c : cases) {
    std::string protocol, host, path;
    int port = 0;
    const bool ok = CTorvaneHTTPClient::ParseURL(c.url, &protocol, &host, &path, &port);
    EXPECT_EQ(ok, c.ok) << (c.url ? c.url : "null");
    if (!ok || !c.ok) continue;
    EXPECT_EQ(protocol, c.protocol);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(path, c.path);
    EXPECT_EQ(port, c.port);
  }
  std::string protocol, host, path;
  int port = 0;
  EXPECT_TRUE(CTorvaneHTTPClient::ParseURL(("http://h/" + std::string(1014, 'p')).c_str(), &protocol, &host, &path, &port));
  EXPECT_FALSE(CTorvaneHTTPClient::ParseURL(("http://h/" + std::string(1023, 'p')).c_str(), &protocol, &host, &path, &port));
  EXPECT_FALSE(CTorvaneHTTPClient::ParseURL(("http://" + std::string(256, 'h') + "/").c_str(), &protocol, &host, &path, &port));
}

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start({"/usr/bin/python3", TORVANE_SOURCE_DIR "/tests/unit/base/http_test_server.py", "--state",
                               dir_.path()},
                              dir_.File("ready")));
    std::ifstream(dir_.File("ready")) >> port_;
    ASSERT_GT(port_, 0);
  }
  std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  ScratchDir dir_;
  testproc::TestServerProcess server_;
  int port_ = 0;
  CTorvaneHTTPClient client_;
};

TEST_F(HttpServerTest, Answers) {
  const struct {
    const char* path;
    bool ok;
    int status;
    const char* body;
  } cases[] = {
      {"/ok", true, 200, "hello"},
      {"/close", true, 200, "closed-body"},  // ends with the connection
      {"/302", true, 302, ""},               // not followed
      {"/chunked", true, 200, "hello world"},
      {"/badchunk", false, 0, ""},
      {"/noend", false, 0, ""},                      // the header never ends
      {"/cut", false, 0, ""},                        // short of its Content-Length
      {"/big", false, 0, ""},                        // over maxLen
  };
  client_.SetMaxBufferLen(64);
  for (const auto& c : cases) {
    EXPECT_EQ(client_.SendRequest(CTorvaneHTTPClient::kGet, Url(c.path).c_str(), nullptr), c.ok) << c.path;
    EXPECT_EQ(client_.GetStatus(), c.ok ? c.status : 0) << c.path;
    EXPECT_STREQ(client_.GetResult(), c.ok ? c.body : "") << c.path;
  }
  EXPECT_FALSE(client_.SendRequest(CTorvaneHTTPClient::kGet, "https://127.0.0.1/", nullptr));
}

TEST_F(HttpServerTest, RequestBytes) {
  client_.SetAgentName("Agent/1");
  ASSERT_TRUE(client_.SendRequest(CTorvaneHTTPClient::kPost, Url("/ok").c_str(), "a=1&b=2"));
  const std::string expected =
            "POST /ok HTTP/1.0\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-excel, "
            "application/msword, application/vnd.ms-powerpoint, */*\r\n"
            "Accept-Language: en-us\r\nUser-Agent: Agent/1\r\nContent-Length: 7\r\nHost: 127.0.0.1\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n\r\n";
  EXPECT_EQ(ScratchDir::Contents(dir_.File("request")).substr(0, expected.size()), expected);
  EXPECT_STREQ(client_.GetHeader(), "HTTP/1.0 200 OK\r\nContent-Length: 5");
}

TEST_F(HttpServerTest, OneDeadlineForTheWholeRequest) {
  // A byte a second would keep a per-read wait alive for 100 seconds.
  client_.SetTimeOut(1500);
  for (const char* path : {"/slow", "/silent"}) {
    EXPECT_FALSE(client_.SendRequest(CTorvaneHTTPClient::kGet, Url(path).c_str(), nullptr)) << path;
    EXPECT_EQ(client_.GetStatus(), 0);
  }
}

}  // namespace
