// The web server's pieces without sockets: headers, built-in pages, escaping, the confined open and sessions.
#include "admin/web_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <regex>

#include "admin/document_root.h"
#include "admin/web_script.h"
#include "common/scratch_dir.h"

namespace {

// The header with its Date line blanked, which changes every second.
std::string WithoutDate(std::string header) {
  return std::regex_replace(header, std::regex("Date: [^\r]*\r\n"), "Date: -\r\n");
}

TEST(CServerWEB, HeaderBytes) {
  HeaderOptions page;
  page.content_length = 12;
  page.keep_alive = true;
  page.extra_headers = "Set-Cookie: a=1; path=/\r\n";
  page.no_cache = true;
  HeaderOptions redirect;
  redirect.location = "/login.htmcc";
  redirect.keep_alive = true;
  redirect.content_length = 99;
  HeaderOptions hardened;
  hardened.security_headers = true;
  const struct {
    HeaderOptions options;
    const char* expected;
  } kCases[] = {
      {page,
       "HTTP/1.0 200 OK\r\nDate: -\r\nServer: Torvane Antispam WebServer 2.1.3\r\nAccept-Ranges: bytes\r\n"
       "Content-Length: 12\r\nConnection: Keep-Alive\r\nCache-Control: no-cache, must-revalidate\r\n"
       "Expires: Sat, 26 Jul 1997 05:00:00 GMT\r\nSet-Cookie: a=1; path=/\r\nContent-Type: text/html\r\n\r\n"},
      {redirect,
       "HTTP/1.0 302 move\r\nDate: -\r\nServer: Torvane Antispam WebServer 2.1.3\r\nAccept-Ranges: bytes\r\n"
       "Content-Length: 0\r\nConnection: close\r\nLocation: /login.htmcc\r\n\r\n"},
      {hardened,
       "HTTP/1.0 200 OK\r\nDate: -\r\nServer: Torvane Antispam WebServer 2.1.3\r\nAccept-Ranges: bytes\r\n"
       "Content-Length: 0\r\nConnection: close\r\nX-Content-Type-Options: nosniff\r\n"
       "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\nReferrer-Policy: same-origin\r\n"
       "Content-Type: text/html\r\n\r\n"},
  };
  for (const auto& c : kCases) EXPECT_EQ(WithoutDate(CServerWEB::CreateHeaderRes(c.options)), c.expected);
}

TEST(CServerWEB, BuiltInPagesCarryTheirRealStatus) {
  const struct {
    int code;
    const char* status_line;
    const char* body;
  } kCases[] = {
      {404, "HTTP/1.0 404 Not Found\r\n", "<html><body><h1>Not found</h1></body></html>\n"},
      {500, "HTTP/1.0 500 Internal Server Error\r\n", "<html><body><h1>Internal Server Error</h1>m</body></html>\n"},
      {413, "HTTP/1.0 413 Content Too Large\r\n", "<html><body><h1>413 Content Too Large</h1></body></html>\n"},
  };
  for (const auto& c : kCases) {
    const std::string page = CServerWEB::GetPageError(c.code, false, "m", false);
    EXPECT_EQ(page.substr(0, strlen(c.status_line)), c.status_line);
    const std::string body = page.substr(page.find("\r\n\r\n") + 4);
    EXPECT_EQ(body, c.body);
    EXPECT_NE(page.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
  }
}

TEST(WebScript, EscapesAndHeaderLines) {
  EXPECT_EQ(HtmlEscape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(JsonQuote("a\"b\\c</script>\n\x01"), "\"a\\\"b\\\\c<\\/script>\\u000a\\u0001\"");
  const struct {
    const char* text;
    bool ok;
  } kLines[] = {
      {"X-A: 1\r\nX-B: 2\r\n", true}, {"", false},         {"X-A: 1", false},    {"X-A: 1\nX-B: 2\r\n", false},
      {": 1\r\n", false},              {"X A: 1\r\n", false}, {"X-A: 1\r\n\r\n", false},
  };
  for (const auto& c : kLines) EXPECT_EQ(IsHeaderLines(c.text), c.ok) << c.text;
}

class ConfinedOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(root_.c_str(), 0755);
    mkdir((root_ + "sub").c_str(), 0755);
    std::ofstream(root_ + "page.txt") << "inside";
    std::ofstream(base_ + "/canary.txt") << "outside";
    symlink((base_ + "/canary.txt").c_str(), (root_ + "out.txt").c_str());
    symlink("page.txt", (root_ + "in.txt").c_str());
  }
  ScratchDir dir_;
  const std::string base_ = dir_.path();
  const std::string root_ = base_ + "/www/";
};

TEST_F(ConfinedOpen, NothingLeavesTheRoot) {
  const struct {
    const char* path;
    WebFile result;
  } kCases[] = {
      {"page.txt", WebFile::kRead},          {"/sub/../page.txt", WebFile::kRead},
      {"/in.txt", WebFile::kRead},           {"/sub/../../canary.txt", WebFile::kMissing},
      {"/out.txt", WebFile::kMissing},       {"//etc/passwd", WebFile::kMissing},
      {"/sub", WebFile::kMissing},           {"/missing.txt", WebFile::kMissing},
  };
  for (const auto& c : kCases) {
    std::string bytes;
    EXPECT_EQ(ReadWebFile(root_, c.path, kMaxWebFileBytes, &bytes), c.result) << c.path;
    if (c.result == WebFile::kRead) {
      EXPECT_EQ(bytes, "inside");
    }
  }
  std::string bytes;
  EXPECT_EQ(ReadWebFile(root_, "/page.txt", 5, &bytes), WebFile::kTooLarge);
  EXPECT_EQ(ReadWebFile(root_, "/page.txt", 6, &bytes), WebFile::kRead);
  EXPECT_EQ(MimeTypeOf(ExtensionOf("/a/b.HTMCC")), std::string("text/html"));
  EXPECT_EQ(MimeTypeOf(ExtensionOf("/a.b/c")), std::string("application/octet-stream"));
}

std::atomic<time_t> g_now{1000};
time_t FakeNow() { return g_now.load(); }

TEST(WebSessions, BoundedAndExpiring) {
  WebSessions sessions(&FakeNow);
  const std::string id = sessions.New(2000);
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}")));
  EXPECT_NE(WebSessions(&FakeNow).New(2000), id);
  EXPECT_TRUE(sessions.WriteVar(id, "user", "admin"));
  EXPECT_FALSE(sessions.WriteVar("unknown", "user", "admin"));
  EXPECT_EQ(sessions.GetVar(id, "user"), "admin");
  EXPECT_EQ(sessions.GetVar("unknown", "user"), "");
  sessions.Start("soon", 1500);
  for (size_t i = sessions.size(); i < WebSessions::kMaxSessions; ++i) sessions.Start("s" + std::to_string(i), 3000);
  sessions.Start("one-more", 3000);  // the session nearest its expiry makes room
  EXPECT_EQ(sessions.size(), WebSessions::kMaxSessions);
  sessions.Start("soon2", 3000);
  EXPECT_EQ(sessions.GetVar(id, "user"), "");  // id (2000) was the nearest then
  g_now = 3000;
  sessions.Maintenance();
  EXPECT_EQ(sessions.size(), WebSessions::kMaxSessions);  // expiring now is not yet expired
  g_now = 3001;
  sessions.Maintenance();
  EXPECT_EQ(sessions.size(), 0u);
}

}  // namespace
