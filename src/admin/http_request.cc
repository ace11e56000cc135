// http_request - the bounded request parser (see http_request.h).
#include "admin/http_request.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
// Digits of a Content-Length at most: more is no length we would take.
constexpr size_t kMaxLengthDigits = 18;
// Multipart parts taken at most: a body of empty parts costs no more.
constexpr int kMaxParts = 1000;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return tolower(x) == tolower(y); });
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A request method is a token: letters only, here.
bool IsToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return isupper(static_cast<unsigned char>(c)) != 0; });
}

// Bytes a file name may never hold, once decoded: they cut, escape or
// re-route the name on its way to the file system.
bool IsUnsafePathByte(unsigned char c) { return c < 0x20 || c == 0x7f || c == '\\'; }

// The value of a parameter ("boundary") in a header value's "; name=value"
// list, quotes removed.
std::string Parameter(std::string_view value, std::string_view name) {
  size_t at = 0;
  while ((at = value.find(';', at)) != std::string_view::npos) {
    std::string_view piece = Trim(value.substr(++at));
    if (piece.size() > name.size() && piece[name.size()] == '=' && EqualsNoCase(piece.substr(0, name.size()), name)) {
      piece = piece.substr(name.size() + 1);
      piece = piece.substr(0, piece.find(';'));
      piece = Trim(piece);
      if (piece.size() >= 2 && piece.front() == '"' && piece.back() == '"') piece = piece.substr(1, piece.size() - 2);
      return std::string(piece);
    }
  }
  return "";
}

// The header fields a page script may read; false for a line that is no
// field (no colon) or a length that is no number.
bool ReadField(std::string_view name, std::string_view value, HttpRequest* out, bool* has_length, int* status) {
  if (EqualsNoCase(name, "Connection")) {
    out->keep_alive = EqualsNoCase(value, "keep-alive");
  } else if (EqualsNoCase(name, "User-Agent")) {
    out->user_agent = value;
  } else if (EqualsNoCase(name, "Accept-Language")) {
    out->accept_language = value;
  } else if (EqualsNoCase(name, "Host")) {
    out->host = value;
  } else if (EqualsNoCase(name, "Content-Type")) {
    out->content_type = Lower(Trim(value.substr(0, value.find(';'))));
    out->boundary = Parameter(value, "boundary");
  } else if (EqualsNoCase(name, "Cookie")) {
    ParseCookies(value, &out->cookies);
  } else if (EqualsNoCase(name, "Transfer-Encoding")) {
    *status = 501;  // chunked bodies are not taken
    return false;
  } else if (EqualsNoCase(name, "Content-Length")) {
    if (value.empty() || value.size() > kMaxLengthDigits ||
        !std::all_of(value.begin(), value.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; })) {
      return false;
    }
    const size_t length = std::stoull(std::string(value));
    if (*has_length && length != out->content_length) return false;  // two lengths disagree
    out->content_length = length;
    *has_length = true;
  }
  return true;
}

// The request line "METHOD target HTTP/x.y".
bool ReadRequestLine(std::string_view line, HttpRequest* out, int* status) {
  const size_t first = line.find(' ');
  const size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last) return false;
  const std::string_view method = line.substr(0, first);
  const std::string_view version = line.substr(last + 1);
  out->url = line.substr(first + 1, last - first - 1);
  if (!IsToken(method) || version.substr(0, 5) != "HTTP/" || out->url.empty() || out->url.front() != '/' ||
      out->url.find(' ') != std::string::npos) {
    return false;
  }
  if (method != "GET" && method != "POST") {
    *status = 501;
    return false;
  }
  out->method = method;
  const std::string_view target(out->url);
  if (!PercentDecodeOnce(target.substr(0, target.find('?')), false, &out->path)) return false;
  return std::none_of(out->path.begin(), out->path.end(),
                      [](char c) { return IsUnsafePathByte(static_cast<unsigned char>(c)); });
}

bool ReadHeader(std::string_view block, HttpRequest* out, int* status) {
  const size_t line_end = block.find(kLineEnd);
  if (!ReadRequestLine(block.substr(0, line_end), out, status)) return false;
  bool has_length = false;
  size_t at = line_end + kLineEnd.size();
  while (at < block.size()) {
    const size_t end = block.find(kLineEnd, at);
    const std::string_view line = block.substr(at, end - at);
    at = end + kLineEnd.size();
    if (line.empty()) break;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    if (!ReadField(line.substr(0, colon), Trim(line.substr(colon + 1)), out, &has_length, status)) return false;
  }
  return true;
}

}  // namespace

bool PercentDecodeOnce(std::string_view text, bool plus_is_space, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out->push_back(plus_is_space && c == '+' ? ' ' : c);
    }
  }
  return true;
}

void ParseQueryString(std::string_view text, HttpVariables* vars) {
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('&', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = text.substr(at, end - at);
    at = end + 1;
    const size_t equals = piece.find('=');
    std::string name, value;
    if (!PercentDecodeOnce(piece.substr(0, equals), true, &name) || name.empty()) continue;
    std::string_view raw_value;
    if (equals != std::string_view::npos) {
      raw_value = piece.substr(equals + 1);
      raw_value = raw_value.substr(0, raw_value.find('='));
    }
    if (!PercentDecodeOnce(raw_value, true, &value)) continue;
    vars->emplace(std::move(name), std::move(value));
  }
}

void ParseCookies(std::string_view text, HttpVariables* vars) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(';', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = Trim(text.substr(at, end - at));
    at = end + 1;
    const size_t equals = piece.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    std::string name, value;
    if (PercentDecodeOnce(piece.substr(0, equals), false, &name) &&
        PercentDecodeOnce(piece.substr(equals + 1), false, &value)) {
      vars->emplace(std::move(name), std::move(value));
    }
  }
}

void ParseMultipart(std::string_view body, std::string_view boundary, HttpVariables* vars) {
  if (boundary.empty()) return;
  const std::string delimiter = "--" + std::string(boundary);
  size_t at = body.find(delimiter);
  for (int parts = 0; at != std::string_view::npos && parts < kMaxParts; ++parts) {
    const size_t start = at + delimiter.size();
    const size_t next = body.find("\r\n" + delimiter, start);
    if (next == std::string_view::npos) return;
    const std::string_view part = body.substr(start, next - start);
    at = next + 2;
    const size_t head_end = part.find(kHeaderEnd);
    if (head_end == std::string_view::npos) continue;
    const std::string_view head = part.substr(0, head_end);
    constexpr std::string_view kName = "name=\"";
    size_t name_at = head.find("Content-Disposition: form-data;");
    if (name_at == std::string_view::npos) continue;
    name_at = head.find(kName, name_at);
    if (name_at == std::string_view::npos) continue;
    name_at += kName.size();
    const size_t name_end = head.find('"', name_at);
    if (name_end == std::string_view::npos || name_end == name_at) continue;
    vars->emplace(std::string(head.substr(name_at, name_end - name_at)),
                  std::string(part.substr(head_end + kHeaderEnd.size())));
  }
}

HttpParse ParseHttpRequest(std::string* inbox, const HttpLimits& limits, HttpRequest* out, int* status) {
  // Empty lines between pipelined requests are tolerated.
  size_t skip = 0;
  while (inbox->compare(skip, kLineEnd.size(), kLineEnd) == 0) skip += kLineEnd.size();
  if (skip > 0) inbox->erase(0, skip);
  const std::string_view bytes(*inbox);
  const size_t line_end = bytes.find(kLineEnd);
  const size_t line_seen = line_end == std::string_view::npos ? bytes.size() : line_end + kLineEnd.size();
  if (line_seen > limits.max_request_line) {
    *status = 414;
    return HttpParse::kRefused;
  }
  const size_t header_end = bytes.find(kHeaderEnd);
  const size_t header_seen = header_end == std::string_view::npos ? bytes.size() : header_end + kHeaderEnd.size();
  if (header_seen > limits.max_header) {
    *status = 431;
    return HttpParse::kRefused;
  }
  if (header_end == std::string_view::npos) return HttpParse::kIncomplete;
  *out = HttpRequest();
  *status = 400;
  if (!ReadHeader(bytes.substr(0, header_seen), out, status)) return HttpParse::kRefused;
  if (out->content_length > limits.max_post) {
    *status = 413;
    return HttpParse::kRefused;
  }
  if (bytes.size() - header_seen < out->content_length) return HttpParse::kIncomplete;
  out->header = bytes.substr(0, header_seen);
  out->body = bytes.substr(header_seen, out->content_length);
  const std::string_view url(out->url);
  const size_t question = url.find('?');
  if (question != std::string_view::npos) ParseQueryString(url.substr(question + 1), &out->get_vars);
  if (out->content_type == "application/x-www-form-urlencoded") {
    ParseQueryString(out->body, &out->post_vars);
  } else if (out->content_type == "multipart/form-data") {
    ParseMultipart(out->body, out->boundary, &out->post_vars);
  }
  inbox->erase(0, header_seen + out->content_length);
  return HttpParse::kComplete;
}
