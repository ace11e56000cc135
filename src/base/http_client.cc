// http_client - URL parsing, the request bytes, and reading an answer under
// one deadline.
#include "base/http_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAccept[] =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-excel, "
    "application/msword, application/vnd.ms-powerpoint, */*\r\n";
constexpr size_t kReadPiece = 1024;
// Hex digits of one chunk size: more would pass any answer we accept.
constexpr size_t kMaxChunkSizeDigits = 8;

bool IsUnsafeByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= ' ' || byte == 0x7f;
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// 1 ready, 0 deadline passed, -1 error.
int WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const int left = RemainingMs(deadline);
    if (left == 0) return 0;
    pollfd watch{fd, events, 0};
    const int ready = poll(&watch, 1, left);
    if (ready > 0) return 1;
    if (ready < 0 && errno != EINTR) return -1;
  }
}

// A connected non-blocking socket, or -1.
int Connect(const std::string& host, int port, const std::string& bind_address, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* peers = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &peers) != 0 || peers == nullptr) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  bool connected = false;
  if (fd >= 0) {
    addrinfo* local = nullptr;
    const bool bound = bind_address.empty() ||
                       (getaddrinfo(bind_address.c_str(), "0", &hints, &local) == 0 && local != nullptr &&
                        bind(fd, local->ai_addr, local->ai_addrlen) == 0);
    if (local != nullptr) freeaddrinfo(local);
    if (bound) {
      connected = connect(fd, peers->ai_addr, peers->ai_addrlen) == 0;
      if (!connected && errno == EINPROGRESS && WaitFor(fd, POLLOUT, deadline) == 1) {
        int error = 0;
        socklen_t length = sizeof(error);
        connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
      }
    }
  }
  freeaddrinfo(peers);
  if (!connected && fd >= 0) close(fd);
  return connected ? fd : -1;
}

bool SendAll(int fd, std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    if (WaitFor(fd, POLLOUT, deadline) != 1) return false;
    const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (sent > 0) bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

// The value of header field `name` (caseless), or npos-marked absent.
bool FieldValue(std::string_view header, std::string_view name, std::string_view* value) {
  for (size_t start = header.find("\r\n"); start != std::string_view::npos;) {
    start += 2;
    const size_t end = std::min(header.find("\r\n", start), header.size());
    const std::string_view line = header.substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon == name.size() && Upper(line.substr(0, colon)) == Upper(name)) {
      std::string_view v = line.substr(colon + 1);
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
      while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
      *value = v;
      return true;
    }
    if (end == header.size()) break;
    start = end;
  }
  return false;
}

using Framing = CTorvaneHTTPClient::AnswerState;

// Decodes chunked framing from `in` into `out`.
Framing DecodeChunked(std::string_view in, std::string* out) {
  out->clear();
  for (;;) {
    const size_t line_end = in.find("\r\n");
    if (line_end == std::string_view::npos) return Framing::kIncomplete;
    std::string_view size_text = in.substr(0, std::min(line_end, in.find(';')));
    if (size_text.empty() || size_text.size() > kMaxChunkSizeDigits) return Framing::kBroken;
    size_t size = 0;
    for (char c : size_text) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return Framing::kBroken;
      size = size * 16 + static_cast<size_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
    }
    in.remove_prefix(line_end + 2);
    if (size == 0) return in.find("\r\n") != std::string_view::npos ? Framing::kComplete : Framing::kIncomplete;
    if (in.size() < size + 2) return Framing::kIncomplete;
    if (in.substr(size, 2) != "\r\n") return Framing::kBroken;
    out->append(in.substr(0, size));
    in.remove_prefix(size + 2);
  }
}

}  // namespace

Framing CTorvaneHTTPClient::ExamineAnswer(std::string_view raw, bool closed, Answer* answer) {
  std::string* body = &answer->body;
  size_t* header_end = &answer->header_end;
  int* status = &answer->status;
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string_view::npos || end == 0) {
    return raw.size() > CTorvaneHTTPClient::kMaxHeaderBytes || closed ? Framing::kBroken : Framing::kIncomplete;
  }
  if (end > CTorvaneHTTPClient::kMaxHeaderBytes) return Framing::kBroken;
  const std::string_view header = raw.substr(0, end);
  // "HTTP/1.x NNN ...".
  if (header.size() < 12 || header.substr(0, 7) != "HTTP/1." || header[8] != ' ' ||
      !std::isdigit(static_cast<unsigned char>(header[9])) || !std::isdigit(static_cast<unsigned char>(header[10])) ||
      !std::isdigit(static_cast<unsigned char>(header[11])) || (header.size() > 12 && header[12] != ' ' && header[12] != '\r')) {
    return Framing::kBroken;
  }
  *status = (header[9] - '0') * 100 + (header[10] - '0') * 10 + (header[11] - '0');
  *header_end = end;
  const std::string_view content = raw.substr(end + 4);
  std::string_view value;
  if (FieldValue(header, "Transfer-Encoding", &value)) {
    if (Upper(value) != "CHUNKED") return Framing::kBroken;
    const Framing framing = DecodeChunked(content, body);
    return framing == Framing::kIncomplete && closed ? Framing::kBroken : framing;
  }
  if (FieldValue(header, "Content-Length", &value)) {
    if (value.empty() || value.size() > 10 || value.find_first_not_of("0123456789") != std::string_view::npos) {
      return Framing::kBroken;
    }
    const size_t length = std::strtoull(std::string(value).c_str(), nullptr, 10);
    if (content.size() < length) return closed ? Framing::kBroken : Framing::kIncomplete;
    body->assign(content.substr(0, length));
    return Framing::kComplete;
  }
  if (!closed) return Framing::kIncomplete;
  body->assign(content);
  return Framing::kComplete;
}

bool CTorvaneHTTPClient::ValidHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == ':';
}

bool CTorvaneHTTPClient::ParseURL(const char* url, std::string* protocol, std::string* host, std::string* path,
                                  int* port) {
  if (url == nullptr) return false;
  std::string_view rest(url);
  if (std::any_of(rest.begin(), rest.end(), IsUnsafeByte)) return false;
  *port = 80;
  const size_t colon = rest.find(':');
  // "host:port/..." has no protocol: a protocol is followed by "//".
  if (colon != std::string_view::npos && rest.substr(colon + 1, 2) == "//") {
    *protocol = Upper(rest.substr(0, colon));
    rest.remove_prefix(colon + 1);
  } else {
    *protocol = "HTTP";
  }
  if (rest.substr(0, 2) == "//") rest.remove_prefix(2);
  size_t host_end = 0;
  while (host_end < rest.size() && ValidHostChar(rest[host_end])) ++host_end;
  std::string_view host_part = rest.substr(0, host_end);
  *path = std::string(rest.substr(host_end));
  const size_t port_colon = host_part.find(':');
  if (port_colon != std::string_view::npos) {
    const std::string_view digits = host_part.substr(port_colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    *port = std::atoi(std::string(digits).c_str());
    host_part = host_part.substr(0, port_colon);
  }
  *host = Upper(host_part);
  return !protocol->empty() && protocol->size() <= kMaxProtocolBytes && !host->empty() &&
         host->size() <= kMaxHostBytes && path->size() <= kMaxPathBytes && *port >= 1 && *port <= 65535;
}

void CTorvaneHTTPClient::SetTimeOut(int milliseconds) {
  timeout_ms_ = std::clamp(milliseconds, kMinTimeoutMs, kMaxTimeoutMs);
}

void CTorvaneHTTPClient::SetTimeOutCs(int seconds) {
  SetTimeOut(std::clamp(seconds, 0, kMaxTimeoutMs / 1000) * 1000);
}

void CTorvaneHTTPClient::SetMaxBufferLen(int kilobytes) { SetMaxBytes(std::clamp(kilobytes, 1, kMaxMaxLen / 1024) * 1024); }

void CTorvaneHTTPClient::SetMaxBytes(int bytes) { max_len_ = std::clamp(bytes, 1, kMaxMaxLen); }

bool CTorvaneHTTPClient::SendRequest(int method, const char* url, const char* data) {
  header_.clear();
  body_.clear();
  raw_.clear();
  status_ = 0;
  std::string protocol, host, path;
  int port = 0;
  if (!ParseURL(url, &protocol, &host, &path, &port) || protocol != "HTTP") return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
  const int fd = Connect(host, port, bind_address_, deadline);
  if (fd < 0) return false;

  const bool post_data = method == kPost && data != nullptr && *data != '\0';
  std::string request = method == kPost ? "POST " : "GET ";
  request += path.empty() ? "/" : path;
  request += " HTTP/1.0\r\n";
  request += kAccept;
  request += "Accept-Language: en-us\r\n";
  request += "User-Agent: " + user_agent_ + "\r\n";
  if (post_data) request += "Content-Length: " + std::to_string(strlen(data)) + "\r\n";
  request += "Host: " + host + "\r\n";
  if (post_data) request += "Content-Type: application/x-www-form-urlencoded\r\n";
  request += "\r\n";
  if (post_data) request += data;

  Framing framing = Framing::kIncomplete;
  Answer answer;
  if (SendAll(fd, request, deadline)) {
    char piece[kReadPiece];
    bool closed = false;
    while (framing == Framing::kIncomplete && raw_.size() < static_cast<size_t>(max_len_)) {
      if (WaitFor(fd, POLLIN, deadline) != 1) break;
      const ssize_t got = recv(fd, piece, std::min(sizeof(piece), static_cast<size_t>(max_len_) - raw_.size()), 0);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      closed = got <= 0;
      if (got > 0) raw_.append(piece, static_cast<size_t>(got));
      framing = ExamineAnswer(raw_, closed, &answer);
      if (closed) break;
    }
  }
  close(fd);
  // An answer that fills maxLen may have been cut: refused whole.
  if (framing != Framing::kComplete || raw_.size() >= static_cast<size_t>(max_len_)) return false;
  header_ = raw_.substr(0, answer.header_end);
  body_ = std::move(answer.body);
  status_ = answer.status;
  return true;
}
