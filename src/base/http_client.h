// http_client - CTorvaneHTTPClient, one plain HTTP/1.0 request per call with
// the answer's status, header and body. The phishing list is downloaded with
// it and scripts reach it as "CS_HttpClient". No TLS, no redirects.
#ifndef TORVANE_BASE_HTTP_CLIENT_H_
#define TORVANE_BASE_HTTP_CLIENT_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "base/string.h"

// Not thread-safe: one object per caller.
class CTorvaneHTTPClient {
 public:
  // One request, connection included, ends within the time-out.
  static constexpr int kDefaultTimeoutMs = 5000;
  static constexpr int kMinTimeoutMs = 1;
  static constexpr int kMaxTimeoutMs = 10 * 60 * 1000;
  // Answers are read up to maxLen bytes; one that reaches it is refused.
  static constexpr int kDefaultMaxLen = 512 * 1024;
  static constexpr int kMaxMaxLen = 64 * 1024 * 1024;
  // An answer whose header does not end within this many bytes is refused.
  static constexpr size_t kMaxHeaderBytes = 16 * 1024;
  // Longest protocol, host and path a URL may hold.
  static constexpr size_t kMaxProtocolBytes = 19;
  static constexpr size_t kMaxHostBytes = 255;
  static constexpr size_t kMaxPathBytes = 1023;

  enum Method { kGet = 0, kPost = 1 };

  CTorvaneHTTPClient() = default;
  CTorvaneHTTPClient(const CTorvaneHTTPClient&) = delete;
  CTorvaneHTTPClient& operator=(const CTorvaneHTTPClient&) = delete;

  // Sends one request (`data` is the body of a POST) and reads the answer.
  // True for a complete answer: a status line, a header that ends, and the
  // whole body (by its Content-Length, its chunks, or the connection's
  // close). False - header, body and status emptied - for a URL ParseURL
  // refuses, a protocol other than HTTP, no connection, no answer, a cut or
  // malformed answer, one of maxLen bytes or more, or the time-out.
  bool SendRequest(int method, const char* url, const char* data);

  // Splits `url` ("[protocol:][//]host[:port][path]"): protocol and host
  // upper-cased, the path as written, port 80 unless given. False, rather
  // than cutting, for an over-long part, an empty host, a bad port, or a
  // CR, LF, blank or other control byte anywhere.
  static bool ParseURL(const char* url, std::string* protocol, std::string* host, std::string* path, int* port);
  // Letters, digits, "-", "." and ":".
  static bool ValidHostChar(char c);

  // Setters clamp to the bounds above.
  void SetTimeOut(int milliseconds);
  void SetTimeOutCs(int seconds);
  void SetMaxBufferLen(int kilobytes);
  void SetMaxBytes(int bytes);
  void SetAgentName(const char* name) { user_agent_ = name != nullptr ? name : ""; }
  void SetIPAdatper(const char* address) { bind_address_ = address != nullptr ? address : ""; }

  // How far received bytes hold a whole answer.
  enum class AnswerState { kIncomplete, kComplete, kBroken };
  struct Answer {
    size_t header_end = 0;  // where the blank line starts
    int status = 0;
    std::string body;       // de-chunked
  };
  // Examines `raw`, the bytes received so far; `closed`: the peer ended the
  // connection, which ends a body that has no length. On kComplete `answer`
  // holds the status and body. kBroken for a header over kMaxHeaderBytes or
  // without a status line, a bad Content-Length or chunk, or a body the
  // close cut short.
  static AnswerState ExamineAnswer(std::string_view raw, bool closed, Answer* answer);

  // The answer of the last SendRequest ("" and 0 after a failure).
  const char* GetHeader() const { return header_.c_str(); }
  const char* GetResult() const { return body_.c_str(); }
  std::string_view Body() const { return body_; }
  int GetStatus() const { return status_; }

 private:
  std::string header_;
  std::string body_;
  std::string raw_;
  int status_ = 0;
  std::string bind_address_;
  std::string user_agent_ = "Simple HTTPClient";
  int timeout_ms_ = kDefaultTimeoutMs;
  int max_len_ = kDefaultMaxLen;
};

#endif  // TORVANE_BASE_HTTP_CLIENT_H_
