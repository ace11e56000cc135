// The request parser on whole, partial, pipelined, overlong and malformed requests, and the variable splitters.
#include "admin/http_request.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseHttpRequest, Outcomes) {
  const std::string long_target = "GET /" + std::string(2100, 'a') + " HTTP/1.0\r\n\r\n";
  const std::string long_header = "GET / HTTP/1.0\r\nX: " + std::string(17000, 'b') + "\r\n\r\n";
  const struct {
    std::string bytes;
    HttpParse result;
    int status;        // when refused
    std::string path;  // when complete
  } kCases[] = {
      {"GET /a.html HTTP/1.0\r\n\r\n", HttpParse::kComplete, 0, "/a.html"},
      {"GET /a%20b.txt?x=1 HTTP/1.1\r\nHost: h\r\n\r\n", HttpParse::kComplete, 0, "/a b.txt"},
      {"\r\nGET / HTTP/1.0\r\n\r\n", HttpParse::kComplete, 0, "/"},
      {"GET / HTTP/1.0\r\nHost: h\r\n", HttpParse::kIncomplete, 0, ""},
      {"POST /p HTTP/1.0\r\nContent-Length: 5\r\n\r\nab", HttpParse::kIncomplete, 0, ""},
      {"HEAD / HTTP/1.0\r\n\r\n", HttpParse::kRefused, 501, ""},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", HttpParse::kRefused, 501, ""},
      {"GET\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"get / HTTP/1.0\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"GET a HTTP/1.0\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"GET / FTP/1.0\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"GET / HTTP/1.0\r\nno colon here\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"GET /a%00.txt HTTP/1.0\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"GET /a%5c..%5cb HTTP/1.0\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"GET /a%2 HTTP/1.0\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"GET /a%zz HTTP/1.0\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"POST / HTTP/1.0\r\nContent-Length: x1\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"POST / HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"POST / HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n", HttpParse::kRefused, 400, ""},
      {"POST / HTTP/1.0\r\nContent-Length: 11048577\r\n\r\n", HttpParse::kRefused, 413, ""},
      {long_target, HttpParse::kRefused, 414, ""},
      {long_target.substr(0, 2050), HttpParse::kRefused, 414, ""},  // no line end yet
      {long_header, HttpParse::kRefused, 431, ""},
      {long_header.substr(0, 16500), HttpParse::kRefused, 431, ""},
  };
  for (const auto& c : kCases) {
    std::string inbox = c.bytes;
    HttpRequest request;
    int status = 0;
    EXPECT_EQ(ParseHttpRequest(&inbox, HttpLimits(), &request, &status), c.result) << c.bytes.substr(0, 60);
    if (c.result == HttpParse::kRefused) {
      EXPECT_EQ(status, c.status) << c.bytes.substr(0, 60);
    }
    if (c.result == HttpParse::kComplete) {
      EXPECT_EQ(request.path, c.path);
      EXPECT_TRUE(inbox.empty());
    }
    if (c.result == HttpParse::kIncomplete) {
      EXPECT_EQ(inbox, c.bytes);
    }
  }
}

TEST(ParseHttpRequest, PipelinedRequestsEachKeepTheirOwnFields) {
  std::string inbox =
      "GET /one?a=1 HTTP/1.0\r\nConnection: Keep-Alive\r\nCookie: s=abc; t=%41\r\n\r\n"
      "POST /two HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 13\r\n\r\n"
      "b=2+3&c=x%3DyGET /three HTTP/1.0\r\n";
  HttpRequest request;
  int status = 0;
  ASSERT_EQ(ParseHttpRequest(&inbox, HttpLimits(), &request, &status), HttpParse::kComplete);
  EXPECT_EQ(request.method, "GET");
  EXPECT_TRUE(request.keep_alive);
  EXPECT_EQ(request.get_vars, (HttpVariables{{"a", "1"}}));
  EXPECT_EQ(request.cookies, (HttpVariables{{"s", "abc"}, {"t", "A"}}));
  ASSERT_EQ(ParseHttpRequest(&inbox, HttpLimits(), &request, &status), HttpParse::kComplete);
  EXPECT_EQ(request.path, "/two");
  EXPECT_FALSE(request.keep_alive);
  EXPECT_TRUE(request.get_vars.empty());  // the first request's query is not carried over
  EXPECT_EQ(request.post_vars, (HttpVariables{{"b", "2 3"}, {"c", "x=y"}}));
  EXPECT_EQ(inbox, "GET /three HTTP/1.0\r\n");
  EXPECT_EQ(ParseHttpRequest(&inbox, HttpLimits(), &request, &status), HttpParse::kIncomplete);
}

TEST(ParseHttpRequest, TargetIsDecodedOnce) {
  const struct {
    const char* target;
    const char* path;
  } kCases[] = {
      {"/%252e%252e%252f", "/%2e%2e%2f"},  // the second round is not made
      {"/..%2f..%2fetc", "/../../etc"},    // left for the confined open
      {"/a+b", "/a+b"},
      {"/%c0%ae", "/\xc0\xae"},
  };
  for (const auto& c : kCases) {
    std::string inbox = std::string("GET ") + c.target + " HTTP/1.0\r\n\r\n";
    HttpRequest request;
    int status = 0;
    ASSERT_EQ(ParseHttpRequest(&inbox, HttpLimits(), &request, &status), HttpParse::kComplete) << c.target;
    EXPECT_EQ(request.path, c.path);
  }
}

TEST(HttpVariables, QueryCookiesAndMultipart) {
  HttpVariables query;
  ParseQueryString("a=1=2&&=x&b&c=%zz&a=3&d=%3C", &query);
  EXPECT_EQ(query, (HttpVariables{{"a", "1"}, {"b", ""}, {"d", "<"}}));
  HttpVariables cookies;
  ParseCookies("x=1;y=2 ; =3; novalue; z=%2", &cookies);
  EXPECT_EQ(cookies, (HttpVariables{{"x", "1"}, {"y", "2"}}));
  static const char kBody[] =
      "--B\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nval\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a\"\r\n\r\nbin\0ary\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"\"\r\n\r\nnameless\r\n"
      "--B\r\n\r\n--B\r\nno head end--B--\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"cut\"\r\n\r\nno end";
  HttpVariables parts;
  ParseMultipart(std::string_view(kBody, sizeof kBody - 1), "B", &parts);
  EXPECT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts["f"], "val");
  EXPECT_EQ(parts["file"], std::string("bin\0ary", 7));
}

}  // namespace
