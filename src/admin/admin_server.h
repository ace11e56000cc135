// admin_server - CServerAdmin, the remote administration server, and
// CLauchAdmin ("launch admin"), the thread serving one admin connection.
// The listener's thread accepts connections; the main loop's Run admits
// them (AccessFromIp) and hands each to a worker, which reads requests,
// checks the key as soon as it arrives, runs the command's script
// "/scripts/admin/N.cs" and lets it answer. AdminAuthGuard keeps the
// failed-key counts (lockout) and the nonces of signed requests.
#ifndef TORVANE_ADMIN_ADMIN_SERVER_H_
#define TORVANE_ADMIN_ADMIN_SERVER_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "admin/admin_script.h"
#include "admin/cron_scheduler.h"
#include "base/config.h"
#include "base/thread.h"
#include "base/wall_clock.h"
#include "base/xml_log.h"
#include "engines/address_ranges.h"
#include "proxy/listener.h"

class CCron;
class CTorvaneCore;

// Failed keys per address and nonces of signed requests, on a clock seam.
// Thread-safe.
class AdminAuthGuard {
 public:
  // Failures are counted over this window.
  static constexpr int kFailureWindowSeconds = 60;
  // A signed request's time stamp may differ from ours by this much, and
  // its nonce is remembered as long.
  static constexpr int kSignatureWindowSeconds = 120;
  // Addresses and nonces remembered at most: bounds what a flood costs.
  static constexpr size_t kMaxTracked = 65536;

  explicit AdminAuthGuard(WallClock clock = &SystemWallClock) : clock_(clock) {}
  // `max_failures` bad keys within kFailureWindowSeconds lock an address
  // out for `lockout_seconds`; max_failures < 1 disables the lockout.
  void SetLimits(int max_failures, int lockout_seconds);
  bool IsLockedOut(const std::string& address);
  // Counts a bad key; true when this one locked the address out.
  bool NoteFailure(const std::string& address);
  // True for a fresh time stamp and an unseen nonce (then remembered).
  bool AcceptSigned(long ts, const std::string& nonce);
  time_t Now() const { return clock_(); }

 private:
  struct Failures {
    time_t window_start = 0;
    int count = 0;
    time_t locked_until = 0;
  };
  void PruneLocked(time_t now);

  WallClock clock_;
  std::mutex mutex_;
  // Guarded by mutex_.
  int max_failures_ = 5;
  int lockout_seconds_ = 300;
  std::map<std::string, Failures> failures_;
  std::map<std::string, time_t> nonces_;  // nonce -> when it expires
};

// The READMIN settings a session needs, copied at each reload.
struct AdminSettings {
  bool enable = false;
  std::string listen;
  int port = 0;
  int max_listen = 0;
  std::string key;
  std::string key_digest;
  int receive_wait_ms = 0;
  int receive_bytes = 0;
  size_t max_request = 0;
  int auth_timeout = 0;
  int auth_mode = 0;
};

class CServerAdmin;

// One admin connection at a time, on a thread of its own. Add, the run
// flag and Stop are the main loop's; the thread owns the session.
// Its scripts see it as their job: a stop request ends them, and
// configuration changes run on the main loop.
class CLauchAdmin : public CMyThread, public ScriptLog, public CronJobControl {
 public:
  // An admin connection without a complete request is closed after this
  // long once authenticated.
  static constexpr int kIdleSeconds = 3600;
  // Bytes a client may send before its key was found good.
  static constexpr size_t kMaxUnauthenticatedBytes = 64 * 1024;
  // Poll of an idle worker for a connection.
  static constexpr int kIdlePollMs = 5;

  explicit CLauchAdmin(CServerAdmin* server);
  ~CLauchAdmin() override;

  bool Start();
  // Takes `socket` (a listener slot) for a session; false when serving.
  bool Add(CSocketComm* socket);
  bool IsWorking() const { return working_.load(std::memory_order_acquire); }
  CLogSimple& log() { return log_; }

  // ScriptLog: the interpreters' messages.
  void Write(int level, const char* category, const char* text) override;
  // CronJobControl, on the worker's thread:
  bool Sleep() override { return !IhaveToRun(); }
  bool Pause(int milliseconds) override;
  bool RunOnMainLoop(std::function<void()> task) override;

 protected:
  void Unblock() override;

 private:
  static void* Body(void* self);
  void Run();
  void Serve();
  // Handles one whole message; false when the session is to end.
  bool Handle(std::string_view message);
  // Compares the request's key digest (constant time); a bad one is logged
  // and counted towards a lockout.
  bool KeyIsGood(const CServerTorvaneRequest& request);
  // True when the request may run: key (and, in mode 1, signature) good.
  bool Authenticate(const CServerTorvaneRequest& request, std::string_view message);
  bool RunCommand(CServerTorvaneRequest* request);
  void Reply(int code);
  void Note(int level, const std::string& text);
  // Ends a session: closes the socket and frees its listener slot.
  void Done();

  CServerAdmin* server_;  // not owned
  CLogSimple log_;
  std::atomic<CSocketComm*> socket_{nullptr};  // a listener slot; not owned
  std::atomic<bool> working_{false};
  // The session's own, on the worker thread.
  AdminSettings settings_;
  std::string client_ip_;
  std::string inbox_;
  size_t scanned_ = 0;  // inbox_ bytes known to hold no message end
  bool authenticated_ = false;  // a good key was seen
  bool served_ = false;         // a complete request was handled
  time_t session_start_ = 0;
  time_t last_activity_ = 0;
};

// Thread-safety: construction, Run, ReloadConfig and Stop are the main
// loop's; Settings, guard, IsAllowed and the log are safe from workers.
class CServerAdmin {
 public:
  // The answer of a full server.
  static constexpr char kServerFullAnswer[] = "<torvane><h><r>0</r><c>0</c><e>0300</e></h></torvane>";
  // Reaping period, in milliseconds of GetMyTickCount.
  static constexpr int kReapPeriodMs = 200;
  // Listener slots when "max_listen" is below 1.
  static constexpr int kDefaultMaxListen = 20;

  // `config`, `core` and `cron` (any may be null but config) must outlive
  // the server. Starts the listener and publishes key and port.
  CServerAdmin(CConfig* config, CTorvaneCore* core, CCron* cron, WallClock clock = &SystemWallClock);
  ~CServerAdmin();
  CServerAdmin(const CServerAdmin&) = delete;
  CServerAdmin& operator=(const CServerAdmin&) = delete;

  void Run();
  void ReloadConfig();
  void Stop();
  // Admission of one accepted connection: false (the socket closed and its
  // slot freed) for a zero address, a locked-out one, or one not allowed.
  bool AccessFromIp(CSocketComm* socket);

  AdminSettings Settings();
  AdminAuthGuard& guard() { return guard_; }
  bool IsAllowed(const char* address);
  // The context a session's scripts get.
  AdminContext ContextFor(const std::string& client_ip, ScriptLog* diagnostics, CronJobControl* job);
  CLogSimple& log() { return log_; }
  // Runs sessions' main-loop tasks on the next Run.
  MainLoopTasks* tasks() { return &tasks_; }
  // The port the listener is bound to (0 when it is not).
  int BoundPort();

 private:
  AdminSettings ReadSettings();
  void StartListener();
  void StopSessions();
  void Reap();
  void Note(int level, const char* category, const std::string& text);
  void WarnIfConfigReadable();

  CLogSimple log_;
  CConfig* config_;     // not owned
  CTorvaneCore* core_;  // not owned; may be null
  CCron* cron_;         // not owned; may be null
  AdminAuthGuard guard_;
  MainLoopTasks tasks_;
  std::unique_ptr<CListenTorvane> listener_;
  std::vector<std::unique_ptr<CLauchAdmin>> workers_;
  uint32_t next_reap_ms_ = 0;
  bool listening_ = false;

  std::mutex settings_mutex_;
  // Guarded by settings_mutex_.
  AdminSettings settings_;
  std::unique_ptr<CIPNET> allow_;
};

#endif  // TORVANE_ADMIN_ADMIN_SERVER_H_
