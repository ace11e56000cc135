// http_request - the web server's request parser: takes one HTTP/1.0 or 1.1
// request off the front of a connection's received bytes (the rest stays
// for the next, pipelined request), bounded in every part, with the
// target decoded exactly once, and the query, form, multipart and cookie
// variables a page script reads.
#ifndef TORVANE_ADMIN_HTTP_REQUEST_H_
#define TORVANE_ADMIN_HTTP_REQUEST_H_

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

// The bounds a request is held to.
struct HttpLimits {
  // The request line with its CR LF: a longer one is refused with 414.
  size_t max_request_line = 2048;
  // The whole header block: a longer one is refused with 431.
  size_t max_header = 16 * 1024;
  // A body declared longer is refused with 413 before it is read.
  size_t max_post = 11048576;
};

using HttpVariables = std::map<std::string, std::string>;

// One request. Texts are as the client sent them, except `path` and the
// variables, which are decoded.
struct HttpRequest {
  std::string method;  // "GET" or "POST"
  std::string url;     // the request target as sent
  std::string path;    // the target up to "?", %-decoded once
  std::string header;  // the header block with its final CR LF CR LF
  bool keep_alive = false;  // "Connection: Keep-Alive"
  std::string user_agent, accept_language, host;
  std::string content_type;  // without its parameters, lower case
  std::string boundary;      // of a multipart body
  size_t content_length = 0;
  std::string body;
  HttpVariables get_vars, post_vars, cookies;
};

enum class HttpParse {
  kIncomplete,  // more bytes are needed; nothing was consumed
  kComplete,    // one request was taken off the front of the bytes
  kRefused,     // the request cannot be served: answer *status and close
};

// Parses the request at the front of `*inbox`. kComplete removes exactly
// its bytes from the inbox. kRefused sets `*status` to 400 (malformed, or a
// target whose decoded path holds NUL, a control byte or a backslash), 413
// (body over the limit), 414 (request line too long), 431 (header too
// long) or 501 (a method other than GET and POST, or a transfer coding).
HttpParse ParseHttpRequest(std::string* inbox, const HttpLimits& limits, HttpRequest* out, int* status);

// "%hh" decoded once ('+' as a space when `plus_is_space`). False for a
// "%" not followed by two hexadecimal digits.
bool PercentDecodeOnce(std::string_view text, bool plus_is_space, std::string* out);

// "a=1&b=2" into `vars`: a name is the text before the first "=", its
// value the text up to a second "="; both decoded once; empty names and
// undecodable pieces are skipped. The first of repeated names wins.
void ParseQueryString(std::string_view text, HttpVariables* vars);
// "a=1; b=2" into `vars`, names and values decoded once.
void ParseCookies(std::string_view text, HttpVariables* vars);
// The form-data parts of a multipart body: name -> the part's bytes.
void ParseMultipart(std::string_view body, std::string_view boundary, HttpVariables* vars);

#endif  // TORVANE_ADMIN_HTTP_REQUEST_H_
