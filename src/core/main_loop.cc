// main_loop - ProcMonitorThread: builds the configuration, the log and the
// components, drives them pass after pass on the main thread, applies reload
// requests and log rotation, and stops everything in order.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <array>
#include <cstdio>
#include <ctime>
#include <memory>

#include "admin/admin_server.h"
#include "admin/cron_scheduler.h"
#include "admin/web_server.h"
#include "base/socket.h"
#include "base/utility.h"
#include "base/wake_signal.h"
#include "core/daemon_component.h"
#include "core/signals.h"
#include "core/daemon.h"
#include "engines/mysql_connector.h"
#include "proxy/proxy_core.h"

namespace {

constexpr char kSource[] = "torvaneantispamkrn";
constexpr char kRoutine[] = "TorvaneAntispamkrn::core";
constexpr char kAppTitle[] = "Torvane AntiSpam";
// Longest pause between passes, so an idle daemon does not spin (the
// core's housekeeping runs every 200 ms); a queued connection ends it at
// once.
constexpr int kPassPauseMs = 50;
// Reload requests are looked at no more often than this.
constexpr time_t kReloadCheckSeconds = 1;
// The folders the daemon keeps its state in, under the application
// directory, made when missing: the databases and the rotated logs. Only
// root (and the group) may look into them.
constexpr const char* kOwnFolders[] = {"db", "logs"};
constexpr mode_t kOwnFolderMode = 0750;

void KrnLog(int level, const char* entry, const char* type) {
  if (cs_xmllog != nullptr) cs_xmllog->Log(level, entry, kSource, kRoutine, type, 0);
}

long LocalUtcOffset() {
  const time_t now = time(nullptr);
  tm local{};
  return localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
}

// Creates cs_xmllog on the live log file at level 4 (so the platform line
// is always recorded), then lowers it to `level`.
void OpenLog(int level) {
  String path;
  MakeAppPath(&path, kLogFileName);
  cs_xmllog = new LogXML(path.GetData(), kAppTitle);
  cs_xmllog->SetLogLevel(kLogDebug);
  String line;
  line.Format("RUN AT SYSTEM: %s", "UNIX");
  KrnLog(kLogDebug, line.GetData(), log_type::kDebug);
  cs_xmllog->SetLogLevel(level);
  SetFatalLogTarget(path.GetData(), level, LocalUtcOffset());
}

// Makes the folders the daemon owns; false, with the reason in *problem,
// when one is missing and cannot be made.
bool MakeOwnFolders(String* problem) {
  for (const char* name : kOwnFolders) {
    String path;
    MakeAppPath(&path, name);
    struct stat info {};
    if (mkdir(path.GetData(), kOwnFolderMode) == 0 ||
        (errno == EEXIST && stat(path.GetData(), &info) == 0 && S_ISDIR(info.st_mode)))
      continue;
    problem->Format("cannot make the folder %s: %s", path.GetData(), strerror(errno == EEXIST ? ENOTDIR : errno));
    return false;
  }
  return true;
}

void CloseLog() {
  SetFatalLogTarget(nullptr, 0, 0);
  delete cs_xmllog;
  cs_xmllog = nullptr;
}

// Standard output into "debug.txt" while the log level is 4.
class DebugOutput {
 public:
  ~DebugOutput() { Close(); }
  void Open() {
    if (saved_stdout_ >= 0) return;
    String path;
    MakeAppPath(&path, kDebugOutputName);
    const int fd = open(path.GetData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    fflush(stdout);
    saved_stdout_ = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    setvbuf(stdout, nullptr, _IONBF, 0);
  }
  void Close() {
    if (saved_stdout_ < 0) return;
    fflush(stdout);
    dup2(saved_stdout_, STDOUT_FILENO);
    close(saved_stdout_);
    saved_stdout_ = -1;
  }
  // Opens or closes the file to match `level`.
  void Follow(int level) {
    Close();
    if (level == kLogDebug) Open();
  }

 private:
  int saved_stdout_ = -1;  // the real standard output while redirected
};

// The components in the orders the loop needs them. Each slot is empty until
// its component exists; BuildComponents fills them.
struct Components {
  using Order = std::array<DaemonComponent*, 4>;

  std::unique_ptr<DaemonComponent> core;
  std::unique_ptr<DaemonComponent> cron;
  std::unique_ptr<DaemonComponent> admin;
  std::unique_ptr<DaemonComponent> web;

  Order PassOrder() const { return {cron.get(), core.get(), admin.get(), web.get()}; }
  Order StopOrder() const { return {cron.get(), web.get(), admin.get(), core.get()}; }
  Order ReloadOrder() const { return {core.get(), cron.get(), admin.get(), web.get()}; }

  // Lets go of every component without destroying it, for a stop that left
  // a thread running on them.
  void Abandon() {
    for (std::unique_ptr<DaemonComponent>* slot : {&core, &cron, &admin, &web}) (void)slot->release();
  }
};

// The proxy core as the loop drives it: the SMTP listener, the session
// workers and every engine they share, with the databases it saves.
class ProxyCoreComponent : public DaemonComponent {
 public:
  ProxyCoreComponent(CConfig* config, WakeSignal* wake) : core_(config) { core_.SetWakeSignal(wake); }

  void Run() override { core_.Run(); }
  CLogSimple& Log() override { return core_; }
  void ReloadConfig() override { core_.ReloadConfig(); }
  void Stop() override { core_.Stop(); }
  void SaveAll(bool force) override { core_.SaveAll(force); }
  bool Serving(String* problem) override { return core_.IsListening(problem); }

  CTorvaneCore* core() { return &core_; }

 private:
  CTorvaneCore core_;
};

// The cron scheduler: its jobs reach the core's engines.
class CronComponent : public DaemonComponent {
 public:
  explicit CronComponent(CTorvaneCore* core) : cron_(CronContextOf(core)) {}

  void Run() override { cron_.Run(); }
  CLogSimple& Log() override { return cron_.log(); }
  void ReloadConfig() override { cron_.ReloadConfig(); }
  void Stop() override { cron_.Stop(); }
  bool LeftThreadsRunning() const override { return cron_.LeftJobsRunning(); }

  CCron* cron() { return &cron_; }

 private:
  CCron cron_;
};

// The remote admin server: its command scripts reach the core's engines
// and the scheduler's jobs.
class AdminComponent : public DaemonComponent {
 public:
  AdminComponent(CConfig* config, CTorvaneCore* core, CCron* cron) : server_(config, core, cron) {}

  void Run() override { server_.Run(); }
  CLogSimple& Log() override { return server_.log(); }
  void ReloadConfig() override { server_.ReloadConfig(); }
  void Stop() override { server_.Stop(); }

 private:
  CServerAdmin server_;
};

// The web GUI server: its pages reach the core's engines. A port it cannot
// bind is logged and the mail flows on without the GUI.
class WebComponent : public DaemonComponent {
 public:
  WebComponent(CConfig* config, CTorvaneCore* core) : server_(config, core) {}

  void Run() override { server_.Run(); }
  CLogSimple& Log() override { return server_.log(); }
  void ReloadConfig() override { server_.ReloadConfig(); }
  void Stop() override { server_.Stop(); }

 private:
  CServerWEB server_;
};

// Where each component joins the daemon, in construction order: the proxy
// core first (the others are given it), then cron, admin and web.
void BuildComponents(CConfig* config, WakeSignal* wake, Components* components) {
  auto core = std::make_unique<ProxyCoreComponent>(config, wake);
  auto cron = std::make_unique<CronComponent>(core->core());
  components->admin = std::make_unique<AdminComponent>(config, core->core(), cron->cron());
  components->web = std::make_unique<WebComponent>(config, core->core());
  components->cron = std::move(cron);
  components->core = std::move(core);
}

void Drain(DaemonComponent* component) {
  if (component != nullptr && cs_xmllog != nullptr) cs_xmllog->PrintLogSimple(component->Log(), 0);
}

class MainLoop {
 public:
  int Run();

 private:
  bool Start();
  // Start without the report: the reason of a failure in *problem.
  bool StartComponents(String* problem);
  bool UpgradeIfNeeded();
  void Pass();
  void TakeSignals();
  void RotateIfDue();
  void ApplyReloadRequest();
  void StopAll();
  // Writes the configuration back at stop (only what the daemon changed).
  void WriteBackConfiguration();

  WakeSignal wake_;  // rung by the SMTP listener; outlives the components
  Components components_;
  // A component's thread would not stop: the components and the
  // configuration stay allocated until the process ends.
  bool threads_left_ = false;
  RoteteLogXML rotation_;
  DebugOutput debug_output_;
  time_t next_reload_check_ = 0;
};

// Whoever started the daemon hears whether it serves: a daemon that cannot
// listen on its port, or cannot keep its state, does not start.
bool MainLoop::Start() {
  String problem;
  if (!StartComponents(&problem)) {
    KrnLog(kLogError, problem.GetData(), log_type::kSys);
    ReportStartFailure(problem.GetData());
    components_ = Components();
    return false;
  }
  ReportStarted();
  return true;
}

bool MainLoop::StartComponents(String* problem) {
  InitCSocketComm();
  cs_config = new CConfig();
  if (!ReadConfig()) {
    problem->Format("cannot read the configuration %s", GetConfigPath());
    return false;
  }
  if (!MakeOwnFolders(problem)) return false;
  OpenLog(cs_config->loglevel);
  if (!UpgradeIfNeeded()) {
    *problem = "the databases under db/ could not be upgraded";
    return false;
  }
  if (cs_config->loglevel == kLogDebug) debug_output_.Open();
  GetMyTickCount();
  BuildComponents(cs_config, &wake_, &components_);
  rotation_.SetPer(cs_config->log_rot_type, cs_config->log_rot_value);
  next_reload_check_ = GetTimeNow() + kReloadCheckSeconds;
  for (DaemonComponent* component : components_.PassOrder()) {
    if (component == nullptr) continue;
    Drain(component);
    if (!component->Serving(problem)) return false;
  }
  return true;
}

// An empty configuration file or one written by another version means the
// stored data may predate this version: migrate it once, then mark the
// configuration as current.
bool MainLoop::UpgradeIfNeeded() {
  if (FileSize(GetConfigPath()) != 0 && cs_config->krnversion == GetTorvaneVersion()) return true;
  cs_config->krnversion = GetTorvaneVersion();
  cs_config->SaveConfig();
  if (ControlloArchivi()) return true;
  KrnLog(kLogError, "ERROR CHECK DB... EXIT", log_type::kSys);
  return false;
}

void MainLoop::Pass() {
  for (DaemonComponent* component : components_.PassOrder()) {
    if (component != nullptr) {
      component->Run();
      Drain(component);
    }
  }
  // What scripts' database connections could not log themselves.
  if (cs_xmllog != nullptr) cs_xmllog->PrintLogSimple(MysqlConnectorLog(), 0);
  wake_.WaitFor(kPassPauseMs);
  TakeSignals();
  RotateIfDue();
  ApplyReloadRequest();
}

void MainLoop::TakeSignals() {
  String line;
  if (const int signal = TakeReloadSignal()) {
    KrnLog(kLogError, line.Format("RICEVE SIGNAL: %d", signal), log_type::kSys);
    KrnLog(kLogError, "RELOAD CONFIG BY SIGNAL", log_type::kSys);
    ReadConfig();
    SetConfig();
  }
  if (const int signal = TakeStopSignal()) {
    KrnLog(kLogError, line.Format("RICEVE SIGNAL: %d", signal), log_type::kSys);
    KrnLog(kLogError, "SHUTDOWN in PROGRESS...", log_type::kSys);
    ProcessStarted = false;
  }
}

void MainLoop::RotateIfDue() {
  if (!rotation_.IsRotateLog(cs_xmllog)) return;
  KrnLog(kLogError, "Rotate Log -.-.-.-.- << cut", log_type::kSys);
  const int level = cs_xmllog->GetLogLevel();
  CloseLog();
  String live, archive_name, archive;
  MakeAppPath(&live, kLogFileName);
  RoteteLogXML::MakeArchiveName(&archive_name, GetTimeNow());
  MakeAppPath(&archive, archive_name.GetData());
  // When the archive cannot be made (no "logs" directory, say) the new
  // logger simply continues the old file.
  rename(live.GetData(), archive.GetData());
  OpenLog(level);
}

void MainLoop::ApplyReloadRequest() {
  const time_t now = GetTimeNow();
  if (now < next_reload_check_) return;
  if (cs_config->IsToReboot()) {
    const int level = cs_config->GetLevelReboot();
    if (level >= 0) {
      if (cs_config->loglevel != cs_xmllog->GetLogLevel()) {
        debug_output_.Follow(cs_config->loglevel);
        cs_xmllog->SetLogLevel(cs_config->loglevel);
        String path;
        MakeAppPath(&path, kLogFileName);
        SetFatalLogTarget(path.GetData(), cs_config->loglevel, LocalUtcOffset());
      }
      rotation_.SetPer(cs_config->log_rot_type, cs_config->log_rot_value);
    }
    if (level == 0) {
      for (DaemonComponent* component : components_.ReloadOrder()) {
        if (component != nullptr) component->ReloadConfig();
      }
    }
    cs_config->SetReboot(false);
  }
  next_reload_check_ = now + kReloadCheckSeconds;
}

void MainLoop::StopAll() {
  for (DaemonComponent* component : components_.StopOrder()) {
    if (component == nullptr) continue;
    component->Stop();
    // The core keeps the databases: its forced save comes right after it
    // stops, before its log is drained.
    if (component == components_.core.get()) component->SaveAll(true);
    threads_left_ |= component->LeftThreadsRunning();
    Drain(component);
  }
  WriteBackConfiguration();
  if (threads_left_) {
    components_.Abandon();
  } else {
    components_ = Components();
  }
}

void MainLoop::WriteBackConfiguration() {
  String line;
  switch (cs_config->SaveChanges()) {
    case CConfig::WriteBack::kUnchanged:
    case CConfig::WriteBack::kWritten:
      return;
    case CConfig::WriteBack::kWrittenBeside:
      line.Format("Configuration changed on disk while running: kept, the daemon's version is in %s.daemon",
                  GetConfigPath());
      break;
    case CConfig::WriteBack::kFailed:
      line.Format("Configuration could not be written back to %s", GetConfigPath());
      break;
  }
  KrnLog(kLogError, line.GetData(), log_type::kSys);
}

int MainLoop::Run() {
  const bool started = Start();
  if (started) {
    while (ProcessStarted) Pass();
    StopAll();
  }
  if (!threads_left_) delete cs_config;
  cs_config = nullptr;
  if (started) KrnLog(kLogError, "EXIT THREAD", log_type::kSys);
  CloseLog();
  debug_output_.Close();
  ProcessEnd = true;
  return started ? 0 : 1;
}

}  // namespace

bool ReadConfig() {
  if (cs_config == nullptr) return true;
  if (!cs_config->Load(GetConfigPath()) || !cs_config->ReadConfig()) {
    KrnLog(kLogError, "Errror: Load configuration file not found !", log_type::kDebug);
    return false;
  }
  SetAppPath(cs_config->app_path.GetData());
  KrnLog(kLogError, "Load configuration", log_type::kDebug);
  return true;
}

void SetConfig() {
  if (cs_config == nullptr) return;
  cs_config->SetLevelReboot(0);
  cs_config->SetReboot(true);
}

int ProcMonitorThread(void*) {
  MainLoop loop;
  return loop.Run();
}
