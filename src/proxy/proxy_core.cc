// proxy_core - the proxy core: building the engines, applying the
// configuration, handing queued connections to session workers, the
// admission checks the workers run, housekeeping and the scheduled saves.
#include "proxy/proxy_core.h"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <string_view>
#include <utility>

#include "base/host_name.h"
#include "base/utility.h"
#include "proxy/connection_counter.h"
#include "proxy/session_worker.h"

namespace {

// The gateway's name in the trace headers it adds: the configured name, or
// the host's own (no lookup: a reload must not wait on DNS).
String GatewayName(const String& configured) {
  if (!configured.IsEmpty()) return configured;
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') return String("localhost");
  return String(name);
}

constexpr char kSource[] = "torvanecore";
constexpr char kBuildRoutine[] = "CTorvaneCore::CTorvaneCore";
constexpr char kReloadRoutine[] = "CTorvaneCore::ReloadConfig";
constexpr char kRunRoutine[] = "CTorvaneCore::Run";
constexpr char kPoolRoutine[] = "CTorvaneCore::StartLancher";
constexpr char kAdmitRoutine[] = "CTorvaneCore::AdmitClient";
constexpr char kSaveRoutine[] = "CTorvaneCore::SaveAll";
constexpr char kStopRoutine[] = "CTorvaneCore::Stop";

// Listener slots (and pooled workers) when the configuration asks for none.
constexpr int kDefaultListenSlots = 20;
// Most slots and pooled workers: each pooled worker is a thread, and a
// mistyped size must not exhaust memory at the next reload.
constexpr int kMaxListenSlots = 4096;
// Longest wait of one session pass and largest block of one read: larger
// values would let one misconfigured key stall or bloat every session.
constexpr int kMaxSelectTimeMs = 60000;
constexpr int kMaxBlockSize = 1 << 20;

constexpr char kWorkerFailure[] = "ERROR non allocate memory for CThreadAntispam class";

// Statistics groups.
constexpr int kGroupConnections = 1;
constexpr int kGroupFirewall = 3;
constexpr int kGroupDnsbl = 6;

const char* Text(const String& s) { return s.GetData() != nullptr ? s.GetData() : ""; }

// An engine, or null when memory is short (construction then stops, logged,
// rather than unwinding through the daemon).
template <typename T, typename... Args>
std::unique_ptr<T> Build(Args&&... args) {
  return std::unique_ptr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

// Logs one construction step: "Start <engine>" or, when it could not be
// built, "Error no allocate memory for <engine>". Returns `built`.
bool Announce(CLogSimple* log, bool built, const char* engine) {
  String line;
  if (built) {
    line.Format("Start %s", engine);
    log->LogS(kLogEngine, line, kSource, kBuildRoutine, log_type::kSys, 0);
  } else {
    line.Format("Error no allocate memory for %s", engine);
    log->LogS(kLogError, line, kSource, kBuildRoutine, log_type::kSys, 0);
  }
  return built;
}

// The application directory, taking the working directory when none is set.
String ApplicationPath() {
  if (GetAppPath().IsEmpty()) {
    String unused;
    MakeAppPath(&unused, "");
  }
  return GetAppPath();
}

// A configured file name: a relative one lies under the application
// directory.
std::string UnderApplication(const String& name) {
  if (name.IsEmpty() || name.GetData()[0] == '/') return name.ToStdString();
  String full;
  MakeAppPath(&full, name.GetData());
  return full.ToStdString();
}

// The refusal template filled as text: its first "%s" replaced by `reason`,
// any other "%" left as it is (an administrator's template is no printf
// format). A template without "%s" is followed by a blank and the reason,
// so the reply still says why and still ends its line.
String FillRefusal(const String& template_text, const String& reason) {
  const std::string_view text = template_text.View();
  const size_t mark = text.find("%s");
  String reply(text.substr(0, mark));
  if (mark == std::string_view::npos) reply.append(" ");
  reply.append(reason);
  if (mark != std::string_view::npos) reply.append(String(text.substr(mark + 2)));
  return reply;
}

// One connection's admission checks, on the worker's thread. Uses only the
// settings snapshot and engines that lock themselves.
class Admission {
 public:
  Admission(CTorvaneCore& core, const SessionSettings& settings, CSocketComm* client, int id,
            CLogSimple* log)
      : core_(core), settings_(settings), client_(client), id_(id), log_(log) {}

  // True when the client may go on.
  bool Decide();

 private:
  // Each true when it refused the client.
  bool Banned();
  bool OverSessionLimit();
  bool ListedInBlockLists();
  void Reply(const String& text);
  void Note(const char* type, const String& text);
  void Count(const String& name, int group);

  CTorvaneCore& core_;
  const SessionSettings& settings_;
  CSocketComm* client_;  // not owned
  int id_;
  CLogSimple* log_;  // not owned; may be null
  String address_;   // the peer, dotted
};

bool Admission::Decide() {
  const uint32_t peer = client_->GetIP();
  if (peer == 0) {
    Note(log_type::kSys, "-COMPILED- ERROR SOCKET IP is ZERO");
    return false;
  }
  CSocketComm::GetIPFromLong(&address_, peer);
  if (Banned()) return false;
  // Relay networks are the site's own senders: no further checks.
  if (core_.relay_ranges()->IsValidIPintheRange(address_) != 0) return true;
  return !OverSessionLimit() && !ListedInBlockLists();
}

bool Admission::Banned() {
  if (core_.inferno()->IsIpImbargo(address_) == 0) return false;
  String line, counter;
  Note(log_type::kFirewall, line.Format("-COMPILED- Drop connection IP Inferno: %s", Text(address_)));
  counter.Format("f3fw_iphell_[%s]", Text(address_));
  Count(counter, kGroupFirewall);
  Reply(FillRefusal(settings_.rfc554, " Embargo \r\n"));
  Count(counter, kGroupFirewall);
  return true;
}

bool Admission::OverSessionLimit() {
  CIP_Session* sessions = core_.sessions();
  if (sessions->GetSessionIP(address_) + 1 <= sessions->GetMaxSessionFromIP()) return false;
  String line;
  Note(log_type::kFirewall, line.Format("-COMPILED- Max Session from IP: %s", Text(address_)));
  Count("f3fw_session_max_ip", kGroupFirewall);
  Reply(settings_.busy_reply);
  Count("f3fw_session_max_ip", kGroupFirewall);
  return true;
}

bool Admission::ListedInBlockLists() {
  if (!settings_.enable_dnsbl || !settings_.reject_dnsbl) return false;
  if (core_.dnsbl_white_ranges()->IsValidIPintheRange(address_) != 0) return false;
  CDnsBL::DnsBL_Result found;
  if (core_.dnsbl()->QueryDnsBL(address_, &found) == 0) return false;
  if (found.count < settings_.dnsbl_maxhit || found.text.IsEmpty()) return false;
  String line;
  Note(log_type::kSys, line.Format("-COMPILED- Drop connection DNSBL IP: %s LIST: %s", Text(address_), Text(found.text)));
  Reply(FillRefusal(settings_.rfc554, String("IP in the DNSBL ") + found.text + " \r\n"));
  const std::string_view zones = found.text.View();
  for (size_t start = 0; start < zones.size();) {
    const size_t end = std::min(zones.find(' ', start), zones.size());
    if (end > start) Count(String("f6_dnsbl_[") + String(zones.substr(start, end - start)) + "]", kGroupDnsbl);
    start = end + 1;
  }
  Count("f6_tot-dnsbl", kGroupDnsbl);
  Count("f6_reject-dnsbl", kGroupDnsbl);
  return true;
}

// Best effort: the caller closes the connection whatever the send did.
void Admission::Reply(const String& text) {
  if (!text.IsEmpty()) client_->Send(text.GetData(), text.size(), CTorvaneCore::kRefusalReplyTimeoutMs);
}

void Admission::Note(const char* type, const String& text) {
  if (log_ != nullptr) log_->LogS(kLogError, text, kSource, kAdmitRoutine, type, id_);
}

void Admission::Count(const String& name, int group) {
  core_.statistics()->AddItem(name, group, 0, 1, CStatitiche_Day::kIncrement);
}

}  // namespace

// ---- Construction ------------------------------------------------------------

CTorvaneCore::CTorvaneCore(CConfig* config, WallClock clock)
    : config_(config),
      clock_(clock),
      next_save_time_(clock() + kSaveIntervalSeconds),
      settings_(std::make_shared<const SessionSettings>()) {
  if (BuildEngines()) ReloadConfig();
}

CTorvaneCore::~CTorvaneCore() {
  StopListener();
  StopLancher();
  ReapRetiring(kStopWaitMs);
  JoinBayesHygiene();
  JoinPhishingReload();
}

bool CTorvaneCore::BuildEngines() {
  dns_ = Build<CDns>();
  if (!Announce(this, dns_ != nullptr, "DNS server")) return false;
  dnsbl_ = Build<CDnsBL>();
  if (!Announce(this, dnsbl_ != nullptr, "DNSBL server")) return false;
  bayes_ = Build<CBayes>();
  if (!Announce(this, bayes_ != nullptr, "BAYES ENGINE")) return false;
  // The daemon is the stores' one writer; without the lock it still
  // classifies, but a training copy elsewhere keeps its file.
  bayes_->TakeWriterLock();
  bayes_->SuperLoad();
  Merge(bayes_->GetLog(), 0);
  balancer_ = Build<CSmtpBilancimento>();
  if (!Announce(this, balancer_ != nullptr, "SMTP FIREWALL ENGINE")) return false;
  listener_ = Build<CListenTorvane>();
  if (listener_ != nullptr) listener_->SetIDConnection(static_cast<unsigned int>(GetAntispamIdConnFromDisk()));
  if (!Announce(this, listener_ != nullptr, "TORVANE PROXY ENGINE")) return false;
  inferno_ = Build<CIP_Imbargo>();
  if (!Announce(this, inferno_ != nullptr, "IP INFERNO")) return false;
  relay_ranges_ = Build<CIPNET>(dns_.get());
  dnsbl_white_ranges_ = Build<CIPNET>(dns_.get());
  grey_white_ranges_ = Build<CIPNET>(dns_.get());
  const bool ranges = relay_ranges_ && dnsbl_white_ranges_ && grey_white_ranges_;
  if (!Announce(this, ranges, "NETIP ENGINE")) return false;
  sessions_ = Build<CIP_Session>();
  statistics_ = Build<CStatitiche_Torvane>(clock_);
  if (statistics_ != nullptr) statistics_->SetPathDB(ApplicationPath());
  helo_forget_ = Build<CHeloForget>();
  if (!Announce(this, sessions_ && statistics_ && helo_forget_, "IP FORGED")) return false;
  community_ = Build<CCommunityTorvane>(dns_.get());
  if (!Announce(this, community_ != nullptr, "MIREL COMMUNITY")) return false;
  spf_ = Build<CSPF>(dns_.get());
  if (!Announce(this, spf_ != nullptr, "SPF ENGINE")) return false;
  alwl_ = Build<CAutoLightWhiteList>();
  grey_list_ = Build<CGreyList>();
  if (!alwl_ || !grey_list_) return false;
  // Record times follow the core's clock, like the saves that purge them.
  alwl_->SetClock(clock_);
  grey_list_->SetClock(clock_);
  local_domains_ = Build<CLocalDomain>();
  if (!Announce(this, local_domains_ != nullptr, "LOCAL DOMAIN ENGINE")) return false;
  local_domains_->SuperLoad();
  Merge(local_domains_->GetLog(), 0);
  spam_trap_ = Build<CSpam_trap>();
  if (spam_trap_ == nullptr) return false;
  rules_ = Build<CRules>();
  if (rules_ == nullptr) return false;
  if (rules_->Open("db/rules.db") == 1) rules_->Load();
  phishing_ = Build<Cphishing>(ApplicationPath().GetData());
  if (phishing_ == nullptr) return false;
  phishing_->ReloadIfChanged();
  Merge(phishing_->GetLog(), 0);
  statistics_->AddItem("f1n_restart_service", kGroupConnections, 0, static_cast<float>(clock_()),
                       CStatitiche_Day::kSet);
  kernel_ = Build<CS_Torvane_kernel>();
  return kernel_ != nullptr;
}

void CTorvaneCore::Note(int level, const char* routine, const char* type, const char* text) {
  LogS(level, text, kSource, routine, type, 0);
}

bool CTorvaneCore::IsListening(String* problem) const {
  if (listener_ != nullptr && listener_->IsStart()) return true;
  if (problem != nullptr)
    problem->Format("cannot listen on %s port %s", Text(listen_address_), Text(listen_port_));
  return false;
}

std::shared_ptr<const SessionSettings> CTorvaneCore::Settings() const {
  std::lock_guard<std::mutex> hold(settings_lock_);
  return settings_;
}

// ---- Configuration -----------------------------------------------------------

void CTorvaneCore::ReloadConfig() {
  if (config_ == nullptr || !Complete()) return;
  ApplyDnsSettings();
  ApplyDnsblSettings();
  ApplyMtaSettings();
  bayes_->ApplySettings(BayesSettingsFromConfig(*config_));
  Note(kLogEngine, kReloadRoutine, log_type::kSys, "Set BAYES ENGINE");
  ApplySpfSettings();
  String busy_reply;
  CListenTorvane::MakeBusyReply(&busy_reply, config_->rfc421, config_->myname);
  listener_->SetBusyReply(busy_reply);
  ApplyListenerSize(busy_reply);
  relay_ranges_->ReplaceRanges(config_->relayip);
  dnsbl_white_ranges_->ReplaceRanges(config_->dnsbl_wip);
  grey_white_ranges_->ReplaceRanges(config_->grey_wip);
  ApplyGreylistSettings();
  ApplyCommunitySettings();
  ApplyPhishingSettings();
  sessions_->SetMaxSessionFromIP(config_->max_session_ip);
  // Published before the pool is built: new workers read it.
  PublishSettings(busy_reply);
  StartLancher();
  StartListener();
}

void CTorvaneCore::ApplyDnsSettings() {
  const DnsSettings settings = DnsSettingsFromConfig(*config_);
  String line;
  for (const String& server : settings.servers)
    Note(kLogDebug, kReloadRoutine, log_type::kDebug, line.Format("Load DNS:%s", Text(server)));
  dns_->ApplySettings(settings);
  Note(kLogDebug, kReloadRoutine, log_type::kDebug,
       line.Format("Load configuration dns UDP timeout:%d", config_->dns_timeout_millisecond));
  Note(kLogDebug, kReloadRoutine, log_type::kDebug,
       line.Format("Load configuration dns time old record :%d x %d", config_->dns_delete_old_record_time,
                   config_->dns_delete_old_record_type));
}

void CTorvaneCore::ApplyDnsblSettings() {
  const DnsBLSettings settings = DnsBLSettingsFromConfig(*config_);
  String line;
  auto note = [this](const char* text) { Note(kLogDebug, kReloadRoutine, log_type::kDebug, text); };
  for (const String& zone : settings.zones) note(line.Format("Load DNSBL:%s", Text(zone)));
  dnsbl_->ApplySettings(settings);
  note(line.Format("Load configuration dnsbl singol client UDP timeout:%d", settings.timeout_single_ms));
  note(line.Format("Load configuration dnsbl global timeout:%d", settings.timeout_bl_ms));
  note(line.Format("Load configuration dnsbl time old record :%d x %d", settings.cache_lifetime_value,
                   settings.cache_lifetime_unit));
  note(line.Format("Load configuration dnsbl maxhit :%d", settings.max_hits));
  note(line.Format("Load configuration dnsbl maxreplies :%d", settings.max_replies));
}

void CTorvaneCore::ApplyMtaSettings() {
  balancer_->ReplaceServers(*config_);
  Note(kLogDebug, kReloadRoutine, log_type::kDebug, "Setting SMTP Server");
}

void CTorvaneCore::ApplySpfSettings() {
  spf_->SetTimeOfValidityRecord(config_->spf_cache_time, config_->spf_cache_type);
  spf_->SetMaxRecursion(config_->spf_max_recursion);
  spf_->SetStrict(config_->spf_strict);
  String line;
  Note(kLogDebug, kReloadRoutine, log_type::kDebug,
       line.Format("Load configuration spf time old record :%d x %d max recursion:%d strict:%d",
                   config_->spf_cache_time, config_->spf_cache_type, config_->spf_max_recursion,
                   config_->spf_strict ? 1 : 0));
}

void CTorvaneCore::ApplyGreylistSettings() {
  grey_list_->SetTimeOfImbargo(config_->grey_embargo_time, config_->grey_embargo_type);
  grey_list_->SetTimeOfValidityRecord(config_->grey_delete_mail_time, config_->grey_delete_mail_type);
  grey_list_->SetMaxRecords(config_->grey_max_records);
  alwl_->SetTimeOfValidityRecord(config_->alwl_transito_time, config_->alwl_transito_type);
  alwl_->SetMaxRecords(config_->alwl_max_records);
}

// The service is asked for its server list off the main loop: a silent
// server would otherwise stall dispatch for the whole reply wait.
void CTorvaneCore::ApplyCommunitySettings() {
  community_->ApplySettings(CommunitySettingsFromConfig(*config_));
  if (community_->GetServerCount() == 0) community_->RefreshInBackground();
}

void CTorvaneCore::ApplyListenerSize(const String& busy_reply) {
  if (config_->n_max_listen <= 0) {
    config_->n_max_listen = kDefaultListenSlots;
    StopLancher();
  }
  config_->n_max_listen = std::min(config_->n_max_listen, kMaxListenSlots);
  const bool changed = config_->listen_ip.View() != listen_address_.View() ||
                       config_->listen_port.View() != listen_port_.View() ||
                       config_->n_max_listen != worker_count_;
  if (!changed) return;
  // The workers hold slots of the listener about to be replaced.
  StopLancher();
  if (listener_->IsStart()) {
    StopListener();
    String line;
    line.Format("Stop TORVANE PROXY ENGINE ip %s port %s max_listen:%d", Text(listen_address_),
                Text(listen_port_), worker_count_);
    Note(kLogError, kReloadRoutine, log_type::kDebug, line);
  }
  // The listener built with the core has not been given values yet.
  const bool configured_before = worker_count_ > 0;
  if (configured_before && !RenewListener(busy_reply)) return;
  listen_address_ = config_->listen_ip;
  listen_port_ = config_->listen_port;
  worker_count_ = config_->n_max_listen;
}

// A certificate that does not load leaves STARTTLS unoffered (the shipped
// policy then answers it 454), as without one: mail still flows.
std::shared_ptr<TlsContext> CTorvaneCore::LoadClientTls() {
  if (!config_->tls_enable) return nullptr;
  std::string error;
  auto context = TlsContext::ForServer(UnderApplication(config_->tls_cert_file),
                                       UnderApplication(config_->tls_key_file), &error);
  String line;
  if (context == nullptr) {
    line.Format("TLS not offered: the certificate or key does not load: %s", error.c_str());
    LogS(kLogError, line, kSource, kReloadRoutine, log_type::kSys, 0);
  } else {
    line.Format("TLS offered with the certificate %s", config_->tls_cert_file.ToStdString().c_str());
    LogS(kLogError, line, kSource, kReloadRoutine, log_type::kSys, 0);
  }
  return context;
}

void CTorvaneCore::LoadMtaTls(SessionSettings* settings) {
  const std::string mode = NormalizedName(config_->mta_tls.View());
  if (mode == "none") return;
  String line;
  settings->mta_tls = mode == "encrypt" ? SessionSettings::MtaTls::kEncrypt : SessionSettings::MtaTls::kMay;
  if (mode != "encrypt" && mode != "may") {
    line.Format("MTA tls \"%s\" unknown: \"may\" taken", mode.c_str());
    LogS(kLogError, line, kSource, kReloadRoutine, log_type::kSys, 0);
  }
  std::string error;
  settings->mta_tls_context = TlsContext::ForClient(UnderApplication(config_->mta_tls_ca_file), &error);
  if (settings->mta_tls_context == nullptr) {
    line.Format("TLS towards the mail server not possible: %s", error.c_str());
    LogS(kLogError, line, kSource, kReloadRoutine, log_type::kSys, 0);
  }
}

void CTorvaneCore::PublishSettings(const String& busy_reply) {
  auto fresh = std::make_shared<SessionSettings>();
  if (config_->socket_select_time > 0)
    fresh->select_time_ms = std::min(config_->socket_select_time, kMaxSelectTimeMs);
  if (config_->buffer_socket_size > 0) fresh->block_size = std::min(config_->buffer_socket_size, kMaxBlockSize);
  fresh->timeout_client = config_->timeout_client;
  fresh->session_timeout = std::max(config_->session_timeout, 0);
  fresh->command_timeout = std::max(config_->command_timeout, 0);
  fresh->mta_timeout = std::max(config_->mta_timeout, 0);
  fresh->mta_greeting_timeout = std::max(config_->mta_greeting_timeout, 0);
  fresh->refuse_bare_line_ends = config_->refuse_bare_line_ends;
  fresh->event_cpu_ms = std::max(config_->event_cpu_ms, 0);
  fresh->error_max = config_->error_max;
  fresh->log_level = config_->loglevel;
  fresh->cache_scripts = config_->enable_cache_script;
  fresh->admission = config_->cs_script_enable;
  fresh->enable_dnsbl = config_->enable_dnsbl;
  fresh->reject_dnsbl = config_->reject_dnsbl;
  fresh->dnsbl_maxhit = config_->dnsbl_maxhit;
  fresh->adapter_ip = config_->adapter_ip;
  fresh->trace_header = config_->mta_trace_header;
  fresh->xclient = config_->mta_xclient;
  fresh->host_name = GatewayName(config_->myname);
  fresh->client_tls = LoadClientTls();
  LoadMtaTls(fresh.get());
  fresh->rfc554 = config_->rfc554;
  fresh->busy_reply = busy_reply;
  fresh->policy = CompilePolicy(*fresh);
  std::lock_guard<std::mutex> hold(settings_lock_);
  settings_ = std::move(fresh);
}

// Compiled here, once per reload, rather than by each worker from the
// files: a policy saved broken is refused before any session sees it.
std::shared_ptr<const AntispamPolicy> CTorvaneCore::CompilePolicy(const SessionSettings& settings) {
  CS_PROXY_ANTISPAM_INSTANCE checker;
  checker.SetContext({nullptr, nullptr, this});  // no session; an overrun is logged here
  checker.SetBudget(settings.event_cpu_ms, settings.ScriptWallMs());
  std::shared_ptr<const AntispamPolicy> compiled = checker.CompilePolicy(config_->cs_scripts);
  String line;
  if (compiled->Compiled()) {
    line.Format("Load antispam scripts: %d", static_cast<int>(compiled->scripts.size()));
    Note(kLogEngine, kReloadRoutine, log_type::kScript, line);
    return compiled;
  }
  for (const AntispamPolicy::Script& script : compiled->scripts) {
    if (script.good || script.error.empty()) continue;
    LogS(kLogError, script.error.c_str(), Text(script.file), kReloadRoutine, log_type::kScript, 0);
  }
  std::shared_ptr<const AntispamPolicy> previous = Settings()->policy;
  if (previous == nullptr) return compiled;
  Note(kLogError, kReloadRoutine, log_type::kScript, "Antispam scripts not reloaded: the previous ones keep running");
  return previous;
}

void CTorvaneCore::SetWakeSignal(WakeSignal* wake) {
  wake_ = wake;
  if (listener_ != nullptr) listener_->SetWakeSignal(wake);
}

void CTorvaneCore::StartListener() {
  if (listener_->IsStart()) return;
  String line;
  listener_->SetWakeSignal(wake_);
  const bool started = listener_->InitListen(Text(listen_address_), Text(listen_port_),
                                             static_cast<unsigned int>(worker_count_)) &&
                       listener_->WatchComm();
  if (!started) {
    listener_->Stop();
    line.Format("FAILD !!! TORVANE PROXY ENGINE ip %s port %s max_listen:%d", Text(listen_address_),
                Text(listen_port_), worker_count_);
    Note(kLogError, kReloadRoutine, log_type::kDebug, line);
    return;
  }
  line.Format("Start TORVANE PROXY ENGINE ip %s port %s max_listen:%d", Text(listen_address_),
              Text(listen_port_), worker_count_);
  Note(kLogError, kReloadRoutine, log_type::kDebug, line);
}

// A listener serves one address, port and size: new values get a new one,
// so no slot array of the old size is ever initialised again. The
// connection ids go on where the old listener left them.
bool CTorvaneCore::RenewListener(const String& busy_reply) {
  std::unique_ptr<CListenTorvane> renewed = Build<CListenTorvane>();
  if (renewed == nullptr) {
    Note(kLogError, kReloadRoutine, log_type::kSys, "Error no allocate memory for TORVANE PROXY ENGINE");
    return false;
  }
  Merge(listener_->GetLog(), 0);
  renewed->SetIDConnection(listener_->GetIDConnection());
  renewed->SetBusyReply(busy_reply);
  listener_ = std::move(renewed);
  return true;
}

void CTorvaneCore::StopListener() {
  if (listener_ == nullptr) return;
  listener_->Stop();
  listener_->Lock();
  listener_->Queue().RemoveAll();
  listener_->UnLock();
  Merge(listener_->GetLog(), 0);
}

// ---- Dispatch and housekeeping ---------------------------------------------------

void CTorvaneCore::Run() {
  if (!Complete()) return;
  listener_->Lock();
  CArray<CListenTorvane::conn>& queue = listener_->Queue();
  if (queue.GetCount() > 0) Merge(listener_->GetLog(), 0);
  while (queue.GetCount() > 0) {
    CListenTorvane::conn head = queue[0];
    if (head.slot != nullptr) {
      // Without a worker the connection stays queued for the next pass.
      if (!Dispatch(&head)) break;
      statistics_->AddItem("f1tot_conn", kGroupConnections, 0, 1, CStatitiche_Day::kIncrement);
    }
    queue.RemoveAt(0);
  }
  Merge(listener_->GetLog(), 0);
  listener_->UnLock();
  Housekeeping();
}

bool CTorvaneCore::Dispatch(CListenTorvane::conn* connection) {
  const bool caching = Settings()->cache_scripts;
  if (caching) {
    for (const std::unique_ptr<CLauchAntispam>& worker : workers_) {
      if (worker->Add(*connection)) return true;
    }
    // A full pool: the connection waits for a worker to become free (a
    // slot is freed only after its worker, so one soon will be).
    if (workers_.size() >= static_cast<size_t>(worker_count_)) return false;
  }
  std::unique_ptr<CLauchAntispam> worker = NewWorker(caching);
  if (worker == nullptr || !worker->Add(*connection)) {
    if (worker != nullptr) RetireWorker(std::move(worker));
    Note(kLogError, kRunRoutine, log_type::kSys, kWorkerFailure);
    return false;
  }
  workers_.push_back(std::move(worker));
  return true;
}

std::unique_ptr<CLauchAntispam> CTorvaneCore::NewWorker(bool caching) {
  std::unique_ptr<CLauchAntispam> worker = Build<CLauchAntispam>();
  if (worker == nullptr) return nullptr;
  worker->SetCore(this);
  worker->SetCacheScript(caching);
  return worker->Start() ? std::move(worker) : nullptr;
}

void CTorvaneCore::RetireWorker(std::unique_ptr<CLauchAntispam> worker) {
  const bool ended = worker->Stop();
  Merge(worker->GetLog(), 0);
  if (!ended) retiring_.push_back(std::move(worker));
}

void CTorvaneCore::ReapRetiring(int wait_ms) {
  const uint32_t start = GetMyTickCount();
  for (;;) {
    for (auto it = retiring_.begin(); it != retiring_.end();) {
      Merge((*it)->GetLog(), 0);
      it = (*it)->HasEnded() ? retiring_.erase(it) : it + 1;
    }
    if (retiring_.empty() || static_cast<int>(GetMyTickCount() - start) >= wait_ms) break;
    MySleep(kHousekeepingMs / 10);
  }
  if (wait_ms <= 0 || retiring_.empty()) return;
  Note(kLogError, kStopRoutine, log_type::kSys, "A session worker did not stop: left running");
  for (std::unique_ptr<CLauchAntispam>& worker : retiring_) worker.release();
  retiring_.clear();
}

void CTorvaneCore::Housekeeping() {
  const int now = static_cast<int>(GetMyTickCount());
  if (now < previous_tick_ms_) next_housekeeping_ms_ = now;  // the counter rebased
  previous_tick_ms_ = now;
  if (now < next_housekeeping_ms_) return;
  next_housekeeping_ms_ = now + kHousekeepingMs;
  Merge(dnsbl_->GetLog(), 0);
  Merge(spf_->GetLog(), 0);
  Merge(grey_list_->GetLog(), 0);
  Merge(alwl_->GetLog(), 0);
  Merge(bayes_->GetLog(), 0);
  Merge(community_->GetLog(), 0);
  Merge(local_domains_->GetLog(), 0);
  Merge(rules_->GetLog(), 0);
  Merge(phishing_->GetLog(), 0);
  for (size_t i = 0; i < workers_.size(); ++i) {
    if (workers_[i]->IsLavorando())
      statistics_->AddItem("f1max_conn_contemp", kGroupConnections, 0, static_cast<float>(i + 1),
                           CStatitiche_Day::kMaximum);
    Merge(workers_[i]->GetLog(), 0);
  }
  if (!Settings()->cache_scripts) RetireIdleWorkers();
  ReapRetiring(0);
  SaveAll(false);
}

// Without caching a worker serves one connection: once it is no longer busy
// its session is over (whether its thread has gone back to waiting or not).
void CTorvaneCore::RetireIdleWorkers() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->IsLavorando()) {
      ++it;
      continue;
    }
    RetireWorker(std::move(*it));
    it = workers_.erase(it);
  }
  if (workers_.empty()) workers_.shrink_to_fit();
}

// ---- Worker pool ---------------------------------------------------------------

// Each pooled worker compiles its scripts on its own thread when it takes
// its first connection, and runs "OnDestroyThis" there too: doing either
// here would compile on the main loop and touch the worker's script
// instance from two threads.
void CTorvaneCore::StartLancher() {
  if (!Complete() || !Settings()->cache_scripts) return;
  if (workers_.size() == static_cast<size_t>(worker_count_)) return;
  StopLancher();
  for (int i = 0; i < worker_count_; ++i) {
    std::unique_ptr<CLauchAntispam> worker = NewWorker(true);
    if (worker == nullptr) {
      Note(kLogError, kPoolRoutine, log_type::kSys, kWorkerFailure);
      return;
    }
    workers_.push_back(std::move(worker));
  }
}

void CTorvaneCore::StopLancher() {
  for (std::unique_ptr<CLauchAntispam>& worker : workers_) RetireWorker(std::move(worker));
  workers_.clear();
  workers_.shrink_to_fit();
  CloseAllSession();
}

void CTorvaneCore::CloseAllSession() {
  if (inferno_ != nullptr) inferno_->EndTransation();
  if (helo_forget_ != nullptr) helo_forget_->EndTransation();
  if (spf_ != nullptr) spf_->EndTransation();
  if (alwl_ != nullptr) alwl_->EndTransation();
  if (grey_list_ != nullptr) grey_list_->EndTransation();
}

void CTorvaneCore::Stop() {
  // Workers first: they still use listener slots, and a worker told to stop
  // sends its client the closing reply before the slot is closed.
  StopLancher();
  ReapRetiring(kStopWaitMs);
  StopListener();
  if (listener_ != nullptr) Note(kLogEngine, kStopRoutine, log_type::kSys, "Stop PROXY ENGINE");
  JoinBayesHygiene();
  if (bayes_ != nullptr) Note(kLogEngine, kStopRoutine, log_type::kSys, "Stop BAYES ENGINE");
  if (dnsbl_ != nullptr) Note(kLogEngine, kStopRoutine, log_type::kSys, "Stop DNSBL server");
  if (dns_ != nullptr) Note(kLogEngine, kStopRoutine, log_type::kSys, "Stop DNS server");
}

// ---- Admission -------------------------------------------------------------------

bool CTorvaneCore::AdmitClient(CSocketComm* client, int connection_id, CLogSimple* log) {
  const std::shared_ptr<const SessionSettings> settings = Settings();
  if (!settings->admission) return true;
  if (!Complete() || client == nullptr) return false;
  return Admission(*this, *settings, client, connection_id, log).Decide();
}

// ---- Saving ----------------------------------------------------------------------

void CTorvaneCore::SaveAll(bool force) {
  if (!Complete()) return;
  const time_t now = clock_();
  if (!force && now < next_save_time_) return;
  ++save_attempts_;
  if (!force && save_attempts_ < kMaxSaveAttempts && !IsQuietMoment()) return;
  save_attempts_ = 1;
  next_save_time_ = now + kSaveIntervalSeconds;
  ++save_cycle_;
  Note(kLogEngine, kSaveRoutine, log_type::kSys, "Start Automatic Save");
  SaveConnectionId();
  if (save_cycle_ < kFullSaveCycle && !force) {
    HygieneSave();
  } else {
    FullSave();
  }
  Note(kLogEngine, kSaveRoutine, log_type::kSys, "End Automatic Save");
}

bool CTorvaneCore::IsQuietMoment() const {
  if (!Settings()->cache_scripts) return workers_.empty();
  return std::none_of(workers_.begin(), workers_.end(), [](const std::unique_ptr<CLauchAntispam>& worker) {
    return worker->IsLavorando() || !worker->IsPause();
  });
}

void CTorvaneCore::SaveConnectionId() {
  listener_->Lock();
  WriteAntispamIdConnToDisk(static_cast<int>(listener_->GetIDConnection()));
  listener_->UnLock();
}

// Purges what has outlived its lifetime while saving. The ban list purges
// by each entry's own expiry and is saved even when nothing expired; the
// greylist and the white list are saved when they changed, purged or not.
// So what was learned since the last save survives a crash.
void CTorvaneCore::HygieneSave() {
  dns_->SanitaryCache();
  dnsbl_->SanitaryCache();
  grey_list_->SanitaryAndSave();
  grey_list_->SaveIfChanged();
  inferno_->SuperSanitary(clock_());
  inferno_->Save();
  alwl_->SanitaryAndSave();
  alwl_->SaveIfChanged();
  spf_->SanitaryAndSave();
  StartBayesHygiene();
  statistics_->SaveAll();
  Note(kLogEngine, kSaveRoutine, log_type::kSys, "Hygiene DB O.K.");
}

void CTorvaneCore::FullSave() {
  save_cycle_ = 1;
  dns_->SaveCache();
  dnsbl_->SaveCache();
  grey_list_->Save();
  inferno_->Save();
  alwl_->Save();
  spf_->Save();
  statistics_->SaveAll();
  // Every Bayes store, the word table included: training done in the
  // daemon must survive a restart.
  bayes_->SaveAll();
  rules_->SaveIfChanged();
  community_->RefreshInBackground();
  Note(kLogEngine, kSaveRoutine, log_type::kSys, "Save DB O.K");
}

void CTorvaneCore::StartBayesHygiene() {
  if (bayes_hygiene_running_.load()) return;
  JoinBayesHygiene();
  bayes_hygiene_running_ = true;
  CBayes* bayes = bayes_.get();
  bayes_hygiene_ = std::thread([this, bayes] {
    try {
      bayes->SanitizeAll();
    } catch (...) {
      // Out of memory: the next pass tries again.
    }
    bayes_hygiene_running_ = false;
  });
}

void CTorvaneCore::ApplyPhishingSettings() {
  phishing_->SetAdapter(config_->adapter_ip);
  phishing_->SetEuristica(config_->euristica ? 1 : 0);
  // Compiling a large list takes a while: the main loop goes on meanwhile,
  // checks use the list in use until the new one is swapped in.
  JoinPhishingReload();
  Cphishing* phishing = phishing_.get();
  phishing_reload_ = std::thread([phishing] {
    try {
      phishing->ReloadIfChanged();
    } catch (...) {
      // Out of memory: the list in use stays, the next reload tries again.
    }
  });
}

void CTorvaneCore::JoinPhishingReload() {
  if (phishing_reload_.joinable()) phishing_reload_.join();
}

void CTorvaneCore::JoinBayesHygiene() {
  if (bayes_hygiene_.joinable()) bayes_hygiene_.join();
}
