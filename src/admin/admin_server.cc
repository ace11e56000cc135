// admin_server - admission, sessions and reaping of the remote admin server
// (see admin_server.h).
#include "admin/admin_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "admin/cron_scheduler.h"
#include "base/utility.h"
#include "engines/dns.h"
#include "engines/dns_wire.h"
#include "proxy/proxy_core.h"
#include "scriptlib/lib_admin_client.h"

namespace {

constexpr char kSource[] = "serveradmin";
constexpr char kLoopback[] = "127.0.0.1";
// Receive sizes and waits are kept within these, whatever the file says.
constexpr int kMinReceiveBytes = 512;
constexpr int kMaxReceiveBytes = 1 << 20;
constexpr int kMaxReceiveWaitMs = 5000;
// Client text quoted in a log record at most.
constexpr size_t kMaxQuotedBytes = 64;

// A short, printable excerpt of untrusted text for the log.
std::string Quoted(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, kMaxQuotedBytes)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
  return out;
}

std::string Format(const char* format, const std::string& a) {
  char line[512];
  snprintf(line, sizeof line, format, a.c_str());
  return line;
}

}  // namespace

// {=========== AdminAuthGuard

void AdminAuthGuard::SetLimits(int max_failures, int lockout_seconds) {
  std::lock_guard<std::mutex> hold(mutex_);
  max_failures_ = max_failures;
  lockout_seconds_ = lockout_seconds;
}

bool AdminAuthGuard::IsLockedOut(const std::string& address) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = failures_.find(address);
  return it != failures_.end() && it->second.locked_until > clock_();
}

bool AdminAuthGuard::NoteFailure(const std::string& address) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (max_failures_ < 1) return false;
  const time_t now = clock_();
  PruneLocked(now);
  if (failures_.size() >= kMaxTracked && failures_.count(address) == 0) return false;
  Failures& entry = failures_[address];
  if (now - entry.window_start >= kFailureWindowSeconds) {
    entry.window_start = now;
    entry.count = 0;
  }
  if (++entry.count < max_failures_) return false;
  entry.locked_until = now + lockout_seconds_;
  entry.count = 0;
  return true;
}

bool AdminAuthGuard::AcceptSigned(long ts, const std::string& nonce) {
  std::lock_guard<std::mutex> hold(mutex_);
  const time_t now = clock_();
  if (nonce.empty() || ts < now - kSignatureWindowSeconds || ts > now + kSignatureWindowSeconds) return false;
  PruneLocked(now);
  // A full table refuses rather than forgets nonces still in their window.
  if (nonces_.size() >= kMaxTracked) return false;
  return nonces_.emplace(nonce, now + 2 * kSignatureWindowSeconds).second;
}

void AdminAuthGuard::PruneLocked(time_t now) {
  for (auto it = nonces_.begin(); it != nonces_.end();) it = it->second <= now ? nonces_.erase(it) : std::next(it);
  for (auto it = failures_.begin(); it != failures_.end();) {
    const bool stale = it->second.locked_until <= now && now - it->second.window_start >= kFailureWindowSeconds;
    it = stale ? failures_.erase(it) : std::next(it);
  }
}

// }===========
// {=========== CLauchAdmin

CLauchAdmin::CLauchAdmin(CServerAdmin* server) : server_(server) { SetFunction(&CLauchAdmin::Body, this); }

CLauchAdmin::~CLauchAdmin() {
  StopComm();
  Done();
}

bool CLauchAdmin::Start() { return WatchComm(); }

bool CLauchAdmin::Add(CSocketComm* socket) {
  if (working_.load(std::memory_order_acquire) || socket == nullptr) return false;
  socket_.store(socket, std::memory_order_release);
  working_.store(true, std::memory_order_release);
  return true;
}

void CLauchAdmin::Unblock() {
  if (CSocketComm* socket = socket_.load(std::memory_order_acquire)) socket->Interrupt();
}

void* CLauchAdmin::Body(void* self) {
  try {
    static_cast<CLauchAdmin*>(self)->Run();
  } catch (...) {
    static_cast<CLauchAdmin*>(self)->Note(kLogError, "Admin session ended by an unexpected error");
  }
  return nullptr;
}

void CLauchAdmin::Run() {
  while (IhaveToRun()) {
    if (!working_.load(std::memory_order_acquire)) {
      MySleep(kIdlePollMs);
      continue;
    }
    Serve();
    Done();
  }
}

void CLauchAdmin::Note(int level, const std::string& text) {
  log_.LogS(level, text.c_str(), kSource, "CLauchAdmin::Run", log_type::kAdmin, 0);
}

void CLauchAdmin::Write(int level, const char* category, const char* text) {
  log_.LogS(level, text, kSource, "CLauchAdmin::Run", category, 0);
}

bool CLauchAdmin::Pause(int milliseconds) {
  for (int waited = 0; waited < milliseconds && IhaveToRun(); waited += kIdlePollMs) MySleep(kIdlePollMs);
  return !IhaveToRun();
}

bool CLauchAdmin::RunOnMainLoop(std::function<void()> task) {
  auto posted = std::make_shared<MainLoopTasks::Task>(std::move(task));
  server_->tasks()->Post(posted);
  return posted->WaitDone(CCronThread::kMainLoopWaitMs);
}

void CLauchAdmin::Serve() {
  CSocketComm* socket = socket_.load(std::memory_order_acquire);
  settings_ = server_->Settings();
  String ip;
  CSocketComm::GetIPFromLong(&ip, socket->GetIP());
  client_ip_ = ip.GetData();
  inbox_.clear();
  scanned_ = 0;
  authenticated_ = false;
  served_ = false;
  session_start_ = last_activity_ = server_->guard().Now();
  std::string buffer(static_cast<size_t>(settings_.receive_bytes), '\0');
  while (IhaveToRun()) {
    const int got = socket->Riceve(buffer.data(), settings_.receive_bytes, settings_.receive_wait_ms);
    if (got < 0) return;
    inbox_.append(buffer.data(), static_cast<size_t>(got));
    if (!authenticated_ && inbox_.find("</kmd5>") != std::string::npos) {
      CServerTorvaneRequest header;
      header.ReadHeader(inbox_);
      if (!KeyIsGood(header)) return;
      authenticated_ = true;
    }
    const size_t limit = authenticated_ ? settings_.max_request : kMaxUnauthenticatedBytes;
    size_t end = inbox_.find(kEnvelopeEnd, scanned_);
    if (end == std::string::npos && inbox_.size() > limit) {
      Note(kLogError, Format(authenticated_ ? "Request over max_request ip: %s Drop Connection"
                                            : "Request without a valid key too long ip: %s Drop Connection",
                             client_ip_));
      return;
    }
    while (end != std::string::npos) {
      const std::string message = inbox_.substr(0, end + kEnvelopeEnd.size());
      inbox_.erase(0, message.size());
      scanned_ = 0;
      if (!Handle(message)) return;
      end = inbox_.find(kEnvelopeEnd);
    }
    scanned_ = inbox_.size() > kEnvelopeEnd.size() ? inbox_.size() - kEnvelopeEnd.size() : 0;
    const time_t now = server_->guard().Now();
    const bool idle = served_ ? now - last_activity_ > kIdleSeconds : now - session_start_ > settings_.auth_timeout;
    if (idle) {
      Note(kLogError, Format("Connection Timeout ip: %s NO login Server ADMIN", client_ip_));
      return;
    }
  }
}

bool CLauchAdmin::KeyIsGood(const CServerTorvaneRequest& request) {
  if (DigestMatches(request.kmd5(), settings_.key_digest)) return true;
  Note(kLogError, Format("Ivalid MD5 cripty KEY [%s] Drop Connection", Quoted(request.kmd5())));
  if (server_->guard().NoteFailure(client_ip_)) {
    Note(kLogError, Format("Too many bad keys: admin access locked out IP: %s", client_ip_));
  }
  return false;
}

bool CLauchAdmin::Authenticate(const CServerTorvaneRequest& request, std::string_view message) {
  if (!KeyIsGood(request)) return false;
  if (settings_.auth_mode != 1) return true;
  const std::string expected = RequestMac(settings_.key, request.cmd_text(), request.ts(), request.nonce(),
                                          EnvelopeTag(message, "b"));
  if (!request.mac().empty() && DigestMatches(request.mac(), expected) &&
      server_->guard().AcceptSigned(atol(request.ts().c_str()), request.nonce())) {
    return true;
  }
  Note(kLogError, Format("Unsigned, stale or replayed admin request ip: %s Drop Connection", client_ip_));
  Reply(kEnvelopeUnauthorized);
  return false;
}

bool CLauchAdmin::Handle(std::string_view message) {
  CServerTorvaneRequest request;
  request.ReadHeader(message);
  if (!Authenticate(request, message)) return false;
  authenticated_ = true;
  served_ = true;
  last_activity_ = server_->guard().Now();
  if (!request.ReadRows(message, settings_.key)) {
    Note(kLogError, Format("Admin request with an undecodable field ip: %s", client_ip_));
    Reply(kEnvelopeBadCommand);
    return true;
  }
  const bool keep = RunCommand(&request);
  last_activity_ = server_->guard().Now();
  return keep;
}

bool CLauchAdmin::RunCommand(CServerTorvaneRequest* request) {
  const std::string name = std::to_string(request->GetCmd()) + ".cs";
  String path;
  MakeAppPath(&path, (kAdminScriptDir + name).c_str());
  if (!FileExists(path.GetData())) {
    Note(kLogError, Format("No admin script for the command: %s", name));
    Reply(kEnvelopeBadCommand);
    return true;
  }
  CSocketComm* socket = socket_.load(std::memory_order_acquire);
  CServerTorvaneRespose response(settings_.key);
  CAdminRequest script_request(request);
  CAdminResponse script_response(&response, socket);
  CS_ADMIN_INSTANCE instance(server_->ContextFor(client_ip_, this, this));
  const bool ran = instance.InitAdminScript(name) && instance.RunCommand(&script_request, &script_response) == 1;
  log_.Merge(instance.log(), 0);
  if (script_response.send_failed()) {
    Note(kLogError, Format("Admin client stopped reading its answer ip: %s", client_ip_));
    return false;
  }
  if (!ran) {
    Note(kLogError, Format("Admin script failed: %s", name));
    if (!script_response.sent()) Reply(kEnvelopeBadCommand);
    return false;
  }
  return true;
}

void CLauchAdmin::Reply(int code) { SendAnswer(socket_.load(std::memory_order_acquire), ShortErrorAnswer(code)); }

void CLauchAdmin::Done() {
  CSocketComm* socket = socket_.exchange(nullptr, std::memory_order_acq_rel);
  if (socket != nullptr) {
    socket->CloseComm();
    socket->SetLibero(true);
  }
  inbox_.clear();
  inbox_.shrink_to_fit();
  working_.store(false, std::memory_order_release);
}

// }===========
// {=========== CServerAdmin

CServerAdmin::CServerAdmin(CConfig* config, CTorvaneCore* core, CCron* cron, WallClock clock)
    : config_(config), core_(core), cron_(cron), guard_(clock) {
  allow_ = std::make_unique<CIPNET>(core != nullptr ? core->dns() : nullptr);
  WarnIfConfigReadable();
  ReloadConfig();
}

CServerAdmin::~CServerAdmin() { Stop(); }

void CServerAdmin::Note(int level, const char* category, const std::string& text) {
  log_.LogS(level, text.c_str(), kSource, "CServerAdmin", category, 0);
}

void CServerAdmin::WarnIfConfigReadable() {
  const std::string path = config_->LoadedPath();
  struct stat info {};
  if (!path.empty() && stat(path.c_str(), &info) == 0 && (info.st_mode & S_IROTH) != 0) {
    Note(kLogError, log_type::kAdmin,
         "The configuration file is readable by other users: its admin key gives root's powers (chmod 600)");
  }
}

AdminSettings CServerAdmin::ReadSettings() {
  AdminSettings s;
  s.enable = config_->readmin_enable;
  s.listen = config_->readmin_listen.IsEmpty() ? "0.0.0.0" : config_->readmin_listen.GetData();
  s.port = config_->readmin_port;
  s.max_listen = config_->readmin_max_listen < 1 ? kDefaultMaxListen : config_->readmin_max_listen;
  s.key = config_->readmin_key.GetData();
  s.key_digest = KeyDigest(s.key);
  s.receive_wait_ms = std::clamp(config_->readmin_socket_select_time, 1, kMaxReceiveWaitMs);
  s.receive_bytes = std::clamp(config_->readmin_buffer_socket_size, kMinReceiveBytes, kMaxReceiveBytes);
  s.max_request = static_cast<size_t>(std::max(config_->readmin_max_request, 1024));
  s.auth_timeout = std::max(config_->readmin_auth_timeout, 1);
  s.auth_mode = config_->readmin_auth_mode;
  return s;
}

void CServerAdmin::ReloadConfig() {
  const AdminSettings fresh = ReadSettings();
  AdminSettings old;
  {
    std::lock_guard<std::mutex> hold(settings_mutex_);
    old = settings_;
    settings_ = fresh;
    allow_->DeleteRange();
    for (int i = 0; i < config_->readmin_ip_allow.GetSize(); ++i) {
      const String& entry = config_->readmin_ip_allow[i];
      allow_->AddRange(entry.GetData());
      Note(kLogDebug, log_type::kDebug, Format("Allow IP for RemoteAdmin: %s", entry.GetData()));
    }
  }
  guard_.SetLimits(config_->readmin_max_auth_failures, config_->readmin_auth_lockout_time);
  Note(kLogEngine, log_type::kAdmin, "Reload Config ServerAdmin");
  const std::string address = fresh.enable ? fresh.listen : kLoopback;
  const std::string old_address = old.enable ? old.listen : kLoopback;
  if (!listening_ || fresh.port != old.port || fresh.max_listen != old.max_listen || address != old_address) {
    StartListener();
  }
  SetAdminEndpoint(fresh.key, BoundPort());
}

void CServerAdmin::StartListener() {
  StopSessions();
  const AdminSettings s = Settings();
  const std::string address = s.enable ? s.listen : kLoopback;
  listener_ = std::make_unique<CListenTorvane>();
  listener_->SetBusyReply(String(kServerFullAnswer));
  const std::string port = std::to_string(s.port);
  listening_ = listener_->InitListen(address.c_str(), port.c_str(), static_cast<unsigned int>(s.max_listen)) &&
               listener_->WatchComm();
  char line[160];
  if (!listening_) {
    listener_->Stop();
    snprintf(line, sizeof line, "Cannot listen for RemoteAdmin on %s port %d: remote administration is off",
             address.c_str(), s.port);
    Note(kLogError, log_type::kAdmin, line);
    return;
  }
  snprintf(line, sizeof line, "Start Server for RemoteAdmin port %d max_listen:%d", s.port, s.max_listen);
  Note(kLogDebug, log_type::kDebug, line);
}

int CServerAdmin::BoundPort() {
  return listening_ ? listener_->BoundPort() : 0;
}

AdminSettings CServerAdmin::Settings() {
  std::lock_guard<std::mutex> hold(settings_mutex_);
  return settings_;
}

bool CServerAdmin::IsAllowed(const char* address) {
  std::lock_guard<std::mutex> hold(settings_mutex_);
  return address != nullptr && allow_->IsValidIPintheRange(address) == 1;
}

AdminContext CServerAdmin::ContextFor(const std::string& client_ip, ScriptLog* diagnostics, CronJobControl* job) {
  AdminContext context;
  context.cron = CronContextOf(core_);
  context.cron.diagnostics = diagnostics;
  context.cron.job = job;
  context.scheduler = cron_;
  context.client_ip = client_ip;
  CDns* dns = core_ != nullptr ? core_->dns() : nullptr;
  context.reverse_lookup = [dns, client_ip] {
    return dns != nullptr ? std::string(dns->LookupText(client_ip.c_str(), kDnsTypePTR).GetData()) : std::string();
  };
  context.is_allowed = [this](const char* address) { return IsAllowed(address); };
  return context;
}

bool CServerAdmin::AccessFromIp(CSocketComm* socket) {
  String ip;
  const uint32_t address = socket->GetIP();
  CSocketComm::GetIPFromLong(&ip, address);
  const std::string client = ip.GetData();
  const AdminSettings s = Settings();
  std::string refusal;
  if (address == 0) {
    refusal = "ERROR SOCKET IP is ZERO";
  } else if (guard_.IsLockedOut(client)) {
    refusal = Format("Locked out after repeated bad keys: Disallow Remote Admin Access  IP: %s", client);
  } else if (client == kLoopback) {
    // The local administrator is always let in.
  } else if (!s.enable) {
    refusal = Format("Remote Admin is disable : Disallow Access  IP: %s ", client);
  } else if (!IsAllowed(client.c_str())) {
    refusal = Format("Disallow Remote Admin Access  IP: %s", client);
  }
  if (!refusal.empty()) {
    Note(kLogError, log_type::kAdmin, refusal);
    socket->CloseComm();
    socket->SetLibero(true);
    return false;
  }
  Note(kLogError, log_type::kAdmin, Format("O.K Allow for Remote Admin IP: %s", client));
  return true;
}

void CServerAdmin::Run() {
  tasks_.RunPending();
  if (listener_ == nullptr) return;
  listener_->Lock();
  log_.Merge(listener_->GetLog(), 0);
  CArray<CListenTorvane::conn>& queue = listener_->Queue();
  while (queue.GetCount() > 0) {
    CSocketComm* slot = queue[0].slot;
    queue.RemoveAt(0);
    if (slot == nullptr) continue;
    if (!AccessFromIp(slot)) break;
    auto idle = std::find_if(workers_.begin(), workers_.end(),
                             [slot](const std::unique_ptr<CLauchAdmin>& worker) { return worker->Add(slot); });
    if (idle != workers_.end()) continue;
    auto worker = std::make_unique<CLauchAdmin>(this);
    if (!worker->Start() || !worker->Add(slot)) {
      Note(kLogError, log_type::kAdmin, "Error no allocate memory for an admin session");
      slot->CloseComm();
      slot->SetLibero(true);
      continue;
    }
    workers_.push_back(std::move(worker));
  }
  listener_->UnLock();
  if (static_cast<int32_t>(GetMyTickCount() - next_reap_ms_) >= 0) {
    next_reap_ms_ = GetMyTickCount() + kReapPeriodMs;
    Reap();
  }
}

void CServerAdmin::Reap() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    log_.Merge((*it)->log(), 0);
    if ((*it)->IsWorking()) {
      ++it;
      continue;
    }
    (*it)->StopComm();
    log_.Merge((*it)->log(), 0);
    it = workers_.erase(it);
  }
  if (workers_.empty()) workers_.shrink_to_fit();
}

void CServerAdmin::Stop() {
  StopSessions();
  listening_ = false;
}

// The accept thread first, then the sessions, then the sockets: a slot is
// closed only once no session thread can be reading it.
void CServerAdmin::StopSessions() {
  if (listener_ != nullptr) listener_->StopComm();
  for (const std::unique_ptr<CLauchAdmin>& worker : workers_) {
    worker->StopComm();
    log_.Merge(worker->log(), 0);
  }
  workers_.clear();
  if (listener_ != nullptr) {
    listener_->Stop();
    log_.Merge(listener_->GetLog(), 0);
  }
}

// }===========
