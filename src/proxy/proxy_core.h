// proxy_core - CTorvaneCore, the SMTP proxy: it owns the anti-spam engines,
// the SMTP listener and the pool of session workers. The main loop calls
// Run() once per pass: it hands each queued connection to a worker and
// every 200 ms merges logs, retires idle workers and saves the databases on
// schedule. Connection admission (ban list, sessions per address, DNS block
// lists) runs on the worker's thread before the session's first script
// event, so a slow block list delays only the client it concerns.
#ifndef TORVANE_PROXY_PROXY_CORE_H_
#define TORVANE_PROXY_PROXY_CORE_H_

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/object_array.h"
#include "base/config.h"
#include "base/xml_log.h"
#include "base/socket.h"
#include "base/statistics.h"
#include "base/tls.h"
#include "base/string.h"
#include "base/wake_signal.h"
#include "base/wall_clock.h"
#include "engines/bayes_filter.h"
#include "engines/community_client.h"
#include "engines/content_rules.h"
#include "engines/dns.h"
#include "engines/dnsbl.h"
#include "engines/helo_forgery.h"
#include "engines/local_domains.h"
#include "engines/phishing.h"
#include "engines/spam_trap.h"
#include "engines/ban_list.h"
#include "engines/sessions_per_address.h"
#include "engines/spf.h"
#include "engines/address_ranges.h"
#include "engines/auto_white_list.h"
#include "engines/greylist.h"
#include "proxy/antispam_policy.h"
#include "proxy/listener.h"
#include "proxy/mta_selection.h"
#include "scriptlib/persistent_objects.h"

class CLauchAntispam;

// What sessions read of the configuration, copied by every reload. The
// configuration's own fields may change under a reload on the main loop;
// sessions take one snapshot per connection instead.
struct SessionSettings {
  int select_time_ms = CConfig::kDefaultSocketSelectTime;  // W: longest wait of one pass
  int block_size = CConfig::kDefaultBufferSocketSize;      // B: bytes moved per read or data step
  int timeout_client = 0;     // seconds of client silence before "451" ("timeout_client")
  int session_timeout = 0;    // seconds one session may last; 0: no limit
  int command_timeout = 0;    // seconds one command (or message) may take; 0: no limit
  int mta_timeout = 0;        // seconds to wait for an MTA reply; 0: no limit
  int mta_greeting_timeout = 0;  // seconds a selected MTA has to greet
  bool refuse_bare_line_ends = true;
  int event_cpu_ms = 0;       // CPU time of one script event call; 0: no limit
  int error_max = 0;          // MTA 5xx replies tolerated ("error_max")
  int log_level = kLogDebug;  // records above "loglevel" are not even queued
  bool cache_scripts = true;  // "enable_cache_script"
  bool admission = false;     // CS_SCRIPT "enable": the built-in admission checks
  bool enable_dnsbl = false;
  bool reject_dnsbl = false;
  int dnsbl_maxhit = 3;       // listing zones that refuse a client ("maxhit")
  String adapter_ip;          // local address towards the MTAs
  // MTA "trace_header" and "xclient". A worker without a core relays the
  // client's bytes unchanged.
  bool trace_header = false;
  bool xclient = false;
  String host_name;           // the gateway's name in trace headers ("myname", else the host's)
  // TLS "enable" with a certificate that loaded: STARTTLS is offered.
  // Sessions keep the context they began with across a reload.
  std::shared_ptr<TlsContext> client_tls;
  // MTA "tls": STARTTLS towards an MTA that offers it (kMay), or no mail
  // relayed over a clear link (kEncrypt); the context checks the MTA's
  // certificate when "tls_ca_file" is set. No context: the link stays clear.
  enum class MtaTls { kNone, kMay, kEncrypt };
  MtaTls mta_tls = MtaTls::kNone;
  std::shared_ptr<TlsContext> mta_tls_context;
  String rfc554;              // refusal template ("%s" = the reason)
  String busy_reply;          // the listener's busy reply, "rfc421" filled in
  // The antispam scripts (CS_SCRIPT "cs_%d" entries) as compiled at the
  // last reload that compiled them all; null when none was made.
  std::shared_ptr<const AntispamPolicy> policy;

  // The wall time one script call may take: as long as one command may
  // (ms; 0: no limit).
  int ScriptWallMs() const { return std::min(command_timeout, INT_MAX / 1000) * 1000; }
};

// Thread-safety: Run, ReloadConfig, SaveAll, Stop, StartLancher and
// StopLancher are called by the main loop only. The engine accessors may be
// used from any session thread (each engine locks itself); they return null
// for an engine that could not be built. Settings() and AdmitClient may be
// called from any thread.
class CTorvaneCore : public CLogSimple {
 public:
  // Housekeeping period.
  static constexpr int kHousekeepingMs = 200;
  // Seconds between automatic saves, and the save cycle that saves without
  // purging (every tenth).
  static constexpr int kSaveIntervalSeconds = 60;
  static constexpr int kFullSaveCycle = 11;
  // A save waiting for idle workers goes ahead after this many attempts.
  static constexpr int kMaxSaveAttempts = 1000;
  // At stop, how long workers still finishing are waited for. Every wait
  // of a worker ends on stop, so only a fault can make one take longer.
  static constexpr int kStopWaitMs = 10000;
  // A refused client gets at most this long to take its reply.
  static constexpr int kRefusalReplyTimeoutMs = 50;

  // Builds the engines in order (a failure stops there, logged) and ends
  // with ReloadConfig(). `config` is not owned and must outlive the core.
  // `clock` times the saves and the statistics (tests pass a fake).
  explicit CTorvaneCore(CConfig* config, WallClock clock = &SystemWallClock);
  // Stops the listener and the workers, then destroys the engines.
  ~CTorvaneCore() override;
  CTorvaneCore(const CTorvaneCore&) = delete;
  CTorvaneCore& operator=(const CTorvaneCore&) = delete;

  // One dispatch pass plus housekeeping.
  void Run();
  // Applies the configuration to engines, workers and listener.
  void ReloadConfig();
  // Stops the listener thread and every worker.
  void Stop();
  // The automatic save (on its schedule) or, with `force`, a full save now.
  void SaveAll(bool force);
  // Creates (with script caching) or destroys the worker pool.
  void StartLancher();
  void StopLancher();
  // Ends every record-store transaction the calling thread left open on
  // the core's stores. Workers are joined, never cancelled, so no other
  // thread can have died holding one. REQUIRES: no worker runs.
  void CloseAllSession();

  // The admission checks of one connection, on the calling worker's
  // thread: the ban list, sessions per address and the block lists, in
  // that order, skipped for relay-range clients and when admission is off.
  // True when the client may go on; false when it was refused (reply sent
  // best effort, logged into `log` with `connection_id` and counted; the
  // caller closes the connection). Also false for a client whose peer
  // address is unknown, and when admission is on but the engines could not
  // be built. Reads only the settings snapshot and self-locking engines, so
  // it never waits for the main loop. `log` may be null (nothing logged).
  bool AdmitClient(CSocketComm* client, int connection_id, CLogSimple* log);

  // ---- what sessions and scripts reach; null when absent
  CConfig* config() const { return config_; }
  CDns* dns() const { return dns_.get(); }
  CDnsBL* dnsbl() const { return dnsbl_.get(); }
  CBayes* bayes() const { return bayes_.get(); }
  CSmtpBilancimento* balancer() const { return balancer_.get(); }
  // Replaced by a reload that changes the listen address, port or size.
  CListenTorvane* listener() const { return listener_.get(); }
  CIP_Imbargo* inferno() const { return inferno_.get(); }
  CIPNET* relay_ranges() const { return relay_ranges_.get(); }
  CIPNET* dnsbl_white_ranges() const { return dnsbl_white_ranges_.get(); }
  CIPNET* grey_white_ranges() const { return grey_white_ranges_.get(); }
  CIP_Session* sessions() const { return sessions_.get(); }
  CStatitiche_Torvane* statistics() const { return statistics_.get(); }
  CHeloForget* helo_forget() const { return helo_forget_.get(); }
  CSPF* spf() const { return spf_.get(); }
  CAutoLightWhiteList* alwl() const { return alwl_.get(); }
  CGreyList* grey_list() const { return grey_list_.get(); }
  CCommunityTorvane* community() const { return community_.get(); }
  CLocalDomain* local_domains() const { return local_domains_.get(); }
  CSpam_trap* spam_trap() const { return spam_trap_.get(); }
  CRules* rules() const { return rules_.get(); }
  Cphishing* phishing() const { return phishing_.get(); }
  CS_Torvane_kernel* kernel() const { return kernel_.get(); }
  // Rung by the listener whenever it queues a connection, so the owner's
  // loop dispatches it at once. Not owned; may be null; must outlive the
  // core.
  void SetWakeSignal(WakeSignal* wake);
  // The settings of the last reload. Never null.
  std::shared_ptr<const SessionSettings> Settings() const;
  // True while the SMTP listener accepts connections; otherwise *problem
  // (when not null) says where it could not listen.
  bool IsListening(String* problem) const;

 private:
  // Construction steps; false at the first engine that cannot be built.
  bool BuildEngines();
  // True once every engine exists (the persistent store is built last).
  bool Complete() const { return kernel_ != nullptr; }
  void Note(int level, const char* routine, const char* type, const char* text);

  // ReloadConfig steps.
  void ApplyDnsSettings();
  void ApplyDnsblSettings();
  void ApplyMtaSettings();
  void ApplySpfSettings();
  // Embargo, lifetimes and caps of the greylist and the white list.
  void ApplyGreylistSettings();
  // The service settings; asks for the server list while none is known.
  void ApplyCommunitySettings();
  // Adapter and heuristic switch; the list is rebuilt off the main loop
  // when its file changed.
  void ApplyPhishingSettings();
  void JoinPhishingReload();
  // Stops the workers and the listener when address, port or size changed,
  // and takes the new values with a new listener.
  void ApplyListenerSize(const String& busy_reply);
  // Replaces the (stopped) listener; false, keeping it, when memory is short.
  bool RenewListener(const String& busy_reply);
  void PublishSettings(const String& busy_reply);
  // The configured antispam scripts, compiled under `settings`' budget. A
  // set that does not compile whole is logged ("FILE:LINE: message") and
  // the previous one kept; only at the start, with none before, is it
  // taken as it is (each session then fails on it, logged).
  std::shared_ptr<const AntispamPolicy> CompilePolicy(const SessionSettings& settings);
  std::shared_ptr<TlsContext> LoadClientTls();
  void LoadMtaTls(SessionSettings* settings);
  void StartListener();

  void Housekeeping();
  // Hands one queued connection to a worker; false when none could be made.
  bool Dispatch(CListenTorvane::conn* connection);
  // A started worker, or null when it cannot be made or started.
  std::unique_ptr<CLauchAntispam> NewWorker(bool caching);
  // Stops a worker, keeps what it logged last and destroys it once its
  // thread has ended (a worker still finishing waits in retiring_).
  void RetireWorker(std::unique_ptr<CLauchAntispam> worker);
  // Destroys the retiring workers whose thread has ended; with `wait_ms`,
  // waits that long for the rest, and leaves a worker that still runs
  // after it alive rather than free it under its thread.
  void ReapRetiring(int wait_ms);
  // With caching off, the workers whose session is over.
  void RetireIdleWorkers();
  // Stops the listener thread, closing its slots, and forgets the
  // connections still queued (they used the closed slots).
  void StopListener();
  // No worker is in a session (the automatic save waits for this).
  bool IsQuietMoment() const;
  void SaveConnectionId();
  void HygieneSave();
  void FullSave();
  // Quarantine hygiene deletes files: it runs on its own thread, one pass
  // at a time, so a slow disk never stalls admission.
  void StartBayesHygiene();
  void JoinBayesHygiene();

  CConfig* config_;  // not owned
  WakeSignal* wake_ = nullptr;  // not owned
  WallClock clock_;
  std::unique_ptr<CDns> dns_;
  std::unique_ptr<CDnsBL> dnsbl_;
  std::unique_ptr<CBayes> bayes_;
  std::unique_ptr<CSmtpBilancimento> balancer_;
  std::unique_ptr<CListenTorvane> listener_;
  std::unique_ptr<CIP_Imbargo> inferno_;
  std::unique_ptr<CIPNET> relay_ranges_;
  std::unique_ptr<CIPNET> dnsbl_white_ranges_;
  std::unique_ptr<CIPNET> grey_white_ranges_;
  std::unique_ptr<CIP_Session> sessions_;
  std::unique_ptr<CStatitiche_Torvane> statistics_;
  std::unique_ptr<CHeloForget> helo_forget_;
  std::unique_ptr<CSPF> spf_;
  std::unique_ptr<CAutoLightWhiteList> alwl_;
  std::unique_ptr<CGreyList> grey_list_;
  std::unique_ptr<CCommunityTorvane> community_;
  std::unique_ptr<CLocalDomain> local_domains_;
  std::unique_ptr<CSpam_trap> spam_trap_;
  std::unique_ptr<CRules> rules_;
  std::unique_ptr<Cphishing> phishing_;
  std::unique_ptr<CS_Torvane_kernel> kernel_;

  int next_housekeeping_ms_ = kHousekeepingMs;
  int previous_tick_ms_ = 0;
  time_t next_save_time_ = 0;  // seconds
  int save_cycle_ = 1;
  int save_attempts_ = 1;
  std::vector<std::unique_ptr<CLauchAntispam>> workers_;
  // Stopped workers whose thread had not ended yet.
  std::vector<std::unique_ptr<CLauchAntispam>> retiring_;
  String listen_address_;
  String listen_port_;
  int worker_count_ = 0;

  std::thread bayes_hygiene_;
  std::atomic<bool> bayes_hygiene_running_{false};
  std::thread phishing_reload_;

  mutable std::mutex settings_lock_;
  std::shared_ptr<const SessionSettings> settings_;  // guarded by settings_lock_
};

#endif  // TORVANE_PROXY_PROXY_CORE_H_
