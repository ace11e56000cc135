// web_server - the web GUI's HTTP server (see web_server.h).
#include "admin/web_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "admin/document_root.h"
#include "admin/cron_scheduler.h"
#include "admin/web_script.h"
#include "base/utility.h"
#include "base/wall_clock.h"
#include "proxy/proxy_core.h"

CServerWEB* m_server = nullptr;

namespace {

constexpr char kSource[] = "serverweb";
// Client text quoted in a log record at most.
constexpr size_t kMaxQuotedBytes = 100;
// The page a request for "/" runs.
constexpr char kIndexPage[] = "index.htmcc";
constexpr char kSecurityHeaders[] =
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n"
    "Referrer-Policy: same-origin\r\n";

std::string HttpDate(time_t when) {
  String date;
  MakeDataGMT(&date, when);
  return date.GetData();
}

std::string BusyReply() {
  std::string body = CServerWEB::kBusyText;
  return std::string("HTTP/1.0 503 Service Unavailable\r\nServer: ") + CServerWEB::kServerName +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

// {=========== answers

bool CServerWEB::HasStatusText(int code) { return code == 500 || strcmp(StatusText(code), StatusText(500)) != 0; }

const char* CServerWEB::StatusText(int code) {
  switch (code) {
    case 200: return "200 OK";
    case 302: return "302 move";
    case 400: return "400 Bad Request";
    case 401: return "401 Unauthorized";
    case 403: return "403 Forbidden";
    case 404: return "404 Not Found";
    case 413: return "413 Content Too Large";
    case 414: return "414 URI Too Long";
    case 431: return "431 Request Header Fields Too Large";
    case 501: return "501 Not Implemented";
    default: return "500 Internal Server Error";
  }
}

std::string CServerWEB::CreateHeaderRes(const HeaderOptions& o) {
  const bool redirect = !o.location.empty();
  std::string out = "HTTP/1.0 ";
  out += redirect ? StatusText(302) : o.status;
  out += "\r\nDate: " + HttpDate(time(nullptr)) + "\r\n";
  out += std::string("Server: ") + kServerName + "\r\n";
  out += "Accept-Ranges: bytes\r\n";
  out += "Content-Length: " + std::to_string(redirect ? 0 : o.content_length) + "\r\n";
  out += std::string("Connection: ") + (o.keep_alive && !redirect ? "Keep-Alive" : "close") + "\r\n";
  if (o.no_cache) out += "Cache-Control: no-cache, must-revalidate\r\nExpires: Sat, 26 Jul 1997 05:00:00 GMT\r\n";
  if (o.security_headers) out += kSecurityHeaders;
  out += o.extra_headers;
  out += redirect ? "Location: " + o.location + "\r\n\r\n" : "Content-Type: " + o.content_type + "\r\n\r\n";
  return out;
}

std::string CServerWEB::GetPageError(int code, bool keep_alive, const std::string& message, bool security_headers) {
  std::string body;
  switch (code) {
    case 200: body = "<html><body><h1>Page Default</h1></body></html>\n"; break;
    case 401: body = "<html><body><h1>Unauthorized</h1></body></html>\n"; break;
    case 404: body = "<html><body><h1>Not found</h1></body></html>\n"; break;
    case 500: body = "<html><body><h1>Internal Server Error</h1>" + message + "</body></html>\n"; break;
    default: body = std::string("<html><body><h1>") + StatusText(code) + "</h1></body></html>\n"; break;
  }
  HeaderOptions options;
  options.status = StatusText(code);
  options.content_length = body.size();
  options.keep_alive = keep_alive;
  options.security_headers = security_headers;
  return CreateHeaderRes(options) + body;
}

// }===========
// {=========== CLauchWEB

CLauchWEB::CLauchWEB(CServerWEB* server) : server_(server) {
  bell_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  SetFunction(&CLauchWEB::Body, this);
}

CLauchWEB::~CLauchWEB() {
  StopComm();
  TakeNewConnections();
  while (!clients_.empty()) DoneByIndex(clients_.size() - 1);
  if (bell_fd_ >= 0) close(bell_fd_);
}

bool CLauchWEB::Start() { return WatchComm(); }

void CLauchWEB::Unblock() {
  const uint64_t one = 1;
  if (bell_fd_ >= 0) (void)!write(bell_fd_, &one, sizeof one);
}

void CLauchWEB::Add(CSender* sender, CSocketComm* socket, int id) {
  auto conn = std::make_unique<ClientConn>();
  conn->sender = sender;
  conn->socket = socket;
  conn->id = id;
  String ip;
  CSocketComm::GetIPFromLong(&ip, socket->GetIP());
  conn->client_ip = ip.GetData();
  conn->last_time_ms = SystemMonotonicMs();
  // An answer goes out in bufferOut pieces: without this the kernel would
  // hold each last small piece back for the client's delayed acknowledgement.
  socket->SetNoDelay();
  sender->AddSender(id, socket);
  Lock();
  incoming_.push_back(std::move(conn));
  UnLock();
  Unblock();
}

void* CLauchWEB::Body(void* self) {
  try {
    static_cast<CLauchWEB*>(self)->Run();
  } catch (...) {
    static_cast<CLauchWEB*>(self)->Note(kLogError, "WEB child ended by an unexpected error");
  }
  return nullptr;
}

void CLauchWEB::Note(int level, const std::string& text) {
  log_.LogS(level, text.c_str(), kSource, "CLauchWEB::Run", log_type::kWeb, 0);
}

void CLauchWEB::TakeNewConnections() {
  Lock();
  for (auto& conn : incoming_) clients_.push_back(std::move(conn));
  incoming_.clear();
  UnLock();
}

void CLauchWEB::Run() {
  std::vector<pollfd> fds;
  while (IhaveToRun()) {
    settings_ = server_->Settings();
    TakeNewConnections();
    fds.clear();
    bool closing = false;
    for (const auto& conn : clients_) {
      const bool reading = conn->closing_since_ms == 0 && conn->page == nullptr;
      fds.push_back({conn->socket->GetSocket(), static_cast<short>(reading ? POLLIN : 0), 0});
      closing |= conn->closing_since_ms != 0;
    }
    fds.push_back({bell_fd_, POLLIN, 0});
    if (InterruptiblePoll(fds.data(), fds.size(), closing ? kClosingPollMs : kPollMs) < 0 && !IhaveToRun()) break;
    if (fds.back().revents != 0) {
      uint64_t rings;
      (void)!read(bell_fd_, &rings, sizeof rings);
    }
    const int64_t now = SystemMonotonicMs();
    // Backwards, so closing one leaves the others' poll results in place.
    for (size_t i = clients_.size(); i-- > 0;) {
      if (!Serve(clients_[i].get(), fds[i].revents != 0, now)) DoneByIndex(i);
    }
  }
}

bool CLauchWEB::Serve(ClientConn* conn, bool readable, int64_t now) {
  if (conn->page != nullptr) {
    if (!conn->page->done.load(std::memory_order_acquire)) return true;  // the page thread has it
    if (!FinishPage(conn)) conn->closing_since_ms = now;
  }
  if (readable && conn->closing_since_ms == 0) {
    char buffer[kReceiveBytes];
    const int got = conn->socket->ReceiveAvailable(buffer, sizeof buffer);
    if (got < 0) return false;
    conn->inbox.append(buffer, static_cast<size_t>(got));
    if (got > 0 && conn->request_start_ms == 0) conn->request_start_ms = now;
    if (!AnswerRequests(conn)) conn->closing_since_ms = now;
  }
  if (conn->page != nullptr) return true;
  if (conn->inbox.empty()) conn->request_start_ms = 0;
  const int64_t request_limit = static_cast<int64_t>(settings_.request_timeout_seconds) * 1000;
  if (conn->closing_since_ms != 0) {
    if (conn->sender->SiHaFinitoIlSend(conn->id) || now - conn->closing_since_ms > request_limit) {
      Note(kLogEngine, "Connection Close ip: " + conn->client_ip);
      return false;
    }
    return true;
  }
  // A request must be whole within the limit from its first byte (a
  // connection without a byte: from its start), however slowly it trickles.
  const int64_t started = conn->request_start_ms != 0 ? conn->request_start_ms : (conn->sent ? 0 : conn->last_time_ms);
  if (started != 0 && now - started > request_limit) {
    Note(kLogEngine, "Connection Close Invalid request ip: " + conn->client_ip + " ");
    return false;
  }
  if (conn->sent && conn->request_start_ms == 0 &&
      now - conn->last_time_ms > static_cast<int64_t>(settings_.keep_alive_seconds) * 1000) {
    if (conn->sender->SiHaFinitoIlSend(conn->id) || now - conn->last_time_ms > request_limit) {
      Note(kLogEngine, "Connection KeepAlive Close ip: " + conn->client_ip + " ");
      return false;
    }
  }
  return true;
}

bool CLauchWEB::AnswerRequests(ClientConn* conn) {
  while (conn->page == nullptr) {
    int status = 0;
    switch (ParseHttpRequest(&conn->inbox, settings_.limits, &conn->request, &status)) {
      case HttpParse::kIncomplete:
        return true;
      case HttpParse::kRefused:
        Note(kLogEngine, "Connection Close Invalid request ip: " + conn->client_ip + " ");
        conn->inbox.clear();
        Hand(conn, CServerWEB::GetPageError(status, false, "", settings_.security_headers));
        return false;
      case HttpParse::kComplete:
        break;
    }
    std::string answer;
    std::string file_body;
    if (!SendRespose(conn, &answer, &file_body)) return true;
    if (!Answered(conn, answer, std::move(file_body))) return false;
  }
  return true;
}

bool CLauchWEB::Answered(ClientConn* conn, const std::string& answer, std::string file_body) {
  if (log_.Keeps(kLogDebug)) {
    char line[512];
    snprintf(line, sizeof line, "WEB Send %d to ip: %s [%s]", conn->status, conn->client_ip.c_str(),
             Excerpt(conn->request.url, kMaxQuotedBytes).c_str());
    Note(kLogDebug, line);
  }
  const bool keep_alive = conn->request.keep_alive;
  Hand(conn, answer, std::move(file_body));
  conn->request = HttpRequest();
  conn->request_start_ms = conn->inbox.empty() ? 0 : SystemMonotonicMs();
  return keep_alive;
}

void CLauchWEB::StartPage(ClientConn* conn, const std::string& target) {
  conn->page = std::make_unique<PageRun>();
  PageRun* page = conn->page.get();
  page->thread = std::thread([this, conn, page, target, settings = settings_] {
    try {
      page->answer = RunScript(conn, server_, target, settings, &page->cancel);
    } catch (...) {
      conn->status = 500;
      page->answer = CServerWEB::GetPageError(500, false, "", settings.security_headers);
    }
    page->done.store(true, std::memory_order_release);
    Unblock();  // the child looks at once
  });
}

bool CLauchWEB::FinishPage(ClientConn* conn) {
  conn->page->thread.join();
  const std::string answer = std::move(conn->page->answer);
  conn->page.reset();
  return Answered(conn, answer) && AnswerRequests(conn);
}

void CLauchWEB::Hand(ClientConn* conn, const std::string& answer, std::string file_body) {
  conn->sender->SendAnswer(answer, std::move(file_body), conn->id);
  conn->last_time_ms = SystemMonotonicMs();
  conn->sent = true;
  conn->output.clear();
  conn->extra_headers.clear();
  conn->redirect.clear();
}

bool CLauchWEB::SendRespose(ClientConn* conn, std::string* answer, std::string* file_body) {
  const HttpRequest& request = conn->request;
  const std::string target = request.path == "/" ? std::string("/") + kIndexPage : request.path;
  const std::string extension = ExtensionOf(target);
  conn->out_type = MimeTypeOf(extension);
  if (extension == "htmcc") {
    StartPage(conn, target);
    return false;
  }
  const WebFile file = extension == "htmch" ? WebFile::kMissing
                                            : ReadWebFile(settings_.document_root, target, kMaxWebFileBytes, file_body);
  if (file != WebFile::kRead) {
    file_body->clear();
    conn->status = file == WebFile::kMissing ? 404 : 500;
    *answer = CServerWEB::GetPageError(conn->status, request.keep_alive, "", settings_.security_headers);
    return true;
  }
  conn->status = 200;
  HeaderOptions options;
  options.content_length = file_body->size();
  options.keep_alive = request.keep_alive;
  options.content_type = conn->out_type;
  options.security_headers = settings_.security_headers;
  *answer = CServerWEB::CreateHeaderRes(options);
  return true;
}

void CLauchWEB::DoneByIndex(size_t index) {
  std::unique_ptr<ClientConn> conn = std::move(clients_[index]);
  if (conn->page != nullptr) {
    conn->page->cancel.store(true, std::memory_order_relaxed);
    conn->page->thread.join();
  }
  clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
  conn->sender->RemoveSend(conn->id);
  conn->socket->CloseComm();
  conn->socket->SetLibero(true);
}

// }===========
// {=========== CServerWEB

CServerWEB::CServerWEB(CConfig* config, CTorvaneCore* core)
    : config_(config), pages_(std::make_unique<PageCache>()) {
  m_server = this;
  context_ = CronContextOf(core);
  context_.config = config;
  next_maintenance_ = time(nullptr) + kMaintenanceSeconds;
  ReloadConfig();
}

CServerWEB::~CServerWEB() {
  Stop();
  if (m_server == this) m_server = nullptr;
}

void CServerWEB::Note(int level, const std::string& text) {
  log_.LogS(level, text.c_str(), kSource, "CServerWEB", log_type::kWeb, 0);
}

WebSettings CServerWEB::ReadSettings() {
  WebSettings s;
  s.listen = config_->webgui_listen.IsEmpty() ? "0.0.0.0" : config_->webgui_listen.GetData();
  s.port = config_->webgui_port.GetData() != nullptr ? config_->webgui_port.GetData() : "";
  s.maxconn = config_->webgui_maxconn < 1 ? 20 : config_->webgui_maxconn;
  s.buffer_out = config_->webgui_buffer_out < 1 ? 1024 : config_->webgui_buffer_out;
  s.keep_alive_seconds = std::max(config_->webgui_time_keep_alive, 0);
  s.max_select_ms = config_->webgui_max_select_socket_server;
  s.min_select_ms = config_->webgui_min_select_socket_child;
  s.num_server = config_->webgui_num_server < 1 ? 5 : config_->webgui_num_server;
  s.document_root = config_->webgui_path.GetData() != nullptr ? config_->webgui_path.GetData() : "";
  if (s.document_root.empty() || s.document_root.back() != '/') s.document_root += '/';
  s.limits.max_post = static_cast<size_t>(std::max(config_->webgui_max_post, 0));
  s.request_timeout_seconds = config_->webgui_request_timeout < 1 ? 30 : config_->webgui_request_timeout;
  s.max_script_seconds = std::max(config_->webgui_max_script_time, 0);
  s.security_headers = config_->webgui_security_headers != 0;
  return s;
}

WebSettings CServerWEB::Settings() {
  std::lock_guard<std::mutex> hold(settings_mutex_);
  return settings_;
}

void CServerWEB::ReloadConfig() {
  const WebSettings fresh = ReadSettings();
  WebSettings old;
  {
    std::lock_guard<std::mutex> hold(settings_mutex_);
    old = settings_;
    settings_ = fresh;
  }
  if (!started_ || fresh.listen != old.listen || fresh.port != old.port || fresh.maxconn != old.maxconn ||
      fresh.num_server != old.num_server) {
    StopAll();
    StartAll();
    return;
  }
  if (fresh.keep_alive_seconds != old.keep_alive_seconds) {
    char line[96];
    snprintf(line, sizeof line, "Set Web Server Keep Alive Time: %d", fresh.keep_alive_seconds);
    Note(kLogError, line);
  }
  if (fresh.buffer_out != old.buffer_out) {
    for (auto& sender : senders_) sender->SetBufferOut(fresh.buffer_out);
    char line[96];
    snprintf(line, sizeof line, "Set Web Server Buffer Out: %d", fresh.buffer_out);
    Note(kLogError, line);
  }
  if (fresh.max_select_ms != old.max_select_ms || fresh.min_select_ms != old.min_select_ms) {
    for (auto& sender : senders_) {
      sender->SetMaxSelSocket(fresh.max_select_ms);
      sender->SetMinSelSocket(fresh.min_select_ms);
    }
    char line[96];
    snprintf(line, sizeof line, "Set Web Socket Select MAX-MIN timeOut: %d-%d", fresh.max_select_ms,
             fresh.min_select_ms);
    Note(kLogError, line);
  }
}

void CServerWEB::StartAll() {
  const WebSettings s = Settings();
  started_ = true;
  char line[256];
  listener_ = std::make_unique<CListenTorvane>();
  listener_->SetBusyReply(String(BusyReply().c_str()));
  listening_ = listener_->InitListen(s.listen.c_str(), s.port.c_str(), static_cast<unsigned>(s.maxconn)) &&
               listener_->WatchComm();
  if (!listening_) {
    listener_->Stop();
    snprintf(line, sizeof line, "Cannot listen for the WEB Server on ip %s port %s: the web GUI is off",
             s.listen.c_str(), s.port.c_str());
    Note(kLogError, line);
    return;
  }
  snprintf(line, sizeof line, "Start WEB Server ip %s port %s max_listen:%d", s.listen.c_str(), s.port.c_str(),
           s.maxconn);
  Note(kLogError, line);
  for (int i = 0; i < std::max(s.num_server / 2, 1); ++i) {
    auto sender = std::make_unique<CSender>();
    sender->SetBufferOut(s.buffer_out);
    sender->SetMaxSelSocket(s.max_select_ms);
    sender->SetMinSelSocket(s.min_select_ms);
    if (!sender->Start()) continue;
    senders_.push_back(std::move(sender));
    Note(kLogError, "Start Queue Server WEB");
  }
  for (int i = 0; i < s.num_server; ++i) {
    auto child = std::make_unique<CLauchWEB>(this);
    if (!child->Start()) continue;
    children_.push_back(std::move(child));
    snprintf(line, sizeof line, "Start Server Child: %d", i);
    Note(kLogError, line);
  }
}

// Children first (they close their connections), then the queues, then
// the listener whose slots the connections were.
void CServerWEB::StopAll() {
  if (listener_ != nullptr) listener_->StopComm();
  for (auto& child : children_) child->StopComm();
  MergeChildLogs();
  children_.clear();
  senders_.clear();
  if (listener_ != nullptr) {
    if (listening_) {
      const WebSettings s = Settings();
      char line[256];
      snprintf(line, sizeof line, "Stop WEB Server ip %s port %s max_listen:%d", s.listen.c_str(), s.port.c_str(),
               s.maxconn);
      Note(kLogError, line);
    }
    listener_->Stop();
    log_.Merge(listener_->GetLog(), 0);
    listener_.reset();
  }
  listening_ = false;
}

void CServerWEB::Stop() {
  StopAll();
  started_ = false;
}

int CServerWEB::BoundPort() {
  return listening_ ? listener_->BoundPort() : 0;
}

void CServerWEB::MergeChildLogs() {
  for (auto& child : children_) log_.Merge(child->log(), 0);
}

void CServerWEB::Run() {
  if (listener_ == nullptr || children_.empty() || senders_.empty()) return;
  listener_->Lock();
  log_.Merge(listener_->GetLog(), 0);
  CArray<CListenTorvane::conn>& queue = listener_->Queue();
  while (queue.GetCount() > 0) {
    CSocketComm* slot = queue[0].slot;
    queue.RemoveAt(0);
    if (slot == nullptr) continue;
    children_[counter_ % children_.size()]->Add(senders_[counter_ % senders_.size()].get(), slot, ++next_queue_id_);
    if (++counter_ > 1000000) counter_ = 0;
  }
  listener_->UnLock();
  const time_t now = time(nullptr);
  if (now >= next_maintenance_) {
    next_maintenance_ = now + kMaintenanceSeconds;
    sessions_.Maintenance();
  }
  const int64_t tick = SystemMonotonicMs();
  if (tick >= next_log_merge_ms_) {
    next_log_merge_ms_ = tick + kLogMergeMs;
    MergeChildLogs();
  }
}

// }===========
