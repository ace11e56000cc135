// daemon - command line, start-up checks, detaching, pid file and
// signal handling of the daemon. The main loop is in main_loop.cc and the
// upgrade migration in upgrade_migration.cc.
#include "core/daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/atomic_file.h"
#include "base/version.h"
#include "base/utility.h"
#include "core/signals.h"
#include "engines/mysql_connector.h"

std::atomic<bool> ProcessStarted{true};
std::atomic<bool> ProcessEnd{false};
int m_pid_num = 0;
CConfig* cs_config = nullptr;
LogXML* cs_xmllog = nullptr;

namespace {

constexpr char kConfigOption[] = "config=";
// How long the parent of a detached daemon waits for its start-up report:
// ample for loading large databases, bounded so a stuck start is seen.
constexpr int kStartReportWaitMs = 120000;
constexpr char kStartedLine[] = "OK\n";

String g_config_path = kDefaultConfigPath;
// The write end of the start-up pipe in a detached daemon; -1 in the
// foreground and once the report is written.
int g_report_fd = -1;
bool g_reported = false;

// Prints and pushes the text out at once: the parent of a fork and a pipe
// reader must not see it late or twice.
void Say(FILE* out, const char* text) {
  fputs(text, out);
  fflush(out);
}

bool CreatePid(int pid) {
  AtomicFile file(kPidFilePath);
  const std::string text = std::to_string(pid);
  return file.Open() && file.Write(text.data(), text.size()) && file.Commit();
}

// Standard streams of a detached daemon: all three on /dev/null, so that no
// file or socket opened later lands on descriptors 0..2 and stray output
// goes nowhere.
void DetachStandardStreams() {
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) {
    Say(stdout, "Cannot open /dev/null.\n");
    close(0);
    close(1);
    close(2);
    return;
  }
  dup2(null_fd, 0);
  dup2(null_fd, 1);
  dup2(null_fd, 2);
  if (null_fd > 2) close(null_fd);
}

int CheckStartConditions() {
  if (!FileExists(g_config_path.GetData())) {
    String message;
    message.Format("ERROR: %s FILE NOT FOUND !!!\n", g_config_path.GetData());
    Say(stdout, message.GetData());
    return 1;
  }
  if (geteuid() != 0) {
    Say(stdout, "ERROR: Torvane Antispam must be run by root. !!!\n");
    return 1;
  }
  if (FileExists(kPidFilePath)) {
    Say(stdout, "WARNING: Torvane Antispam is already running: /var/run/TorvaneAntispam.pid FOUND\n");
    Say(stdout, "Check whether this is true and run: kill -TERM [old_pid]\n");
  }
  return -1;
}

// The parent's side of the start-up pipe: the child's report, or what its
// silence means. The exit status of the parent.
int AwaitStartReport(int fd) {
  std::string report;
  char piece[256];
  pollfd ready{fd, POLLIN, 0};
  while (report.find('\n') == std::string::npos && poll(&ready, 1, kStartReportWaitMs) > 0) {
    const ssize_t got = read(fd, piece, sizeof(piece));
    if (got <= 0) break;
    report.append(piece, static_cast<size_t>(got));
  }
  close(fd);
  if (report == kStartedLine) return 0;
  if (report.empty()) report = "the daemon ended during start-up\n";
  Say(stderr, ("ERROR: " + report).c_str());
  return 1;
}

}  // namespace

void ReportStarted() {
  if (g_reported) return;
  g_reported = true;
  if (g_report_fd < 0) return;
  [[maybe_unused]] const ssize_t unused = write(g_report_fd, kStartedLine, strlen(kStartedLine));
  close(g_report_fd);
  g_report_fd = -1;
}

void ReportStartFailure(const char* reason) {
  if (g_reported) return;
  g_reported = true;
  const std::string line = std::string(reason != nullptr ? reason : "start-up failed") + "\n";
  if (g_report_fd < 0) {
    Say(stderr, ("ERROR: " + line).c_str());
    return;
  }
  [[maybe_unused]] const ssize_t unused = write(g_report_fd, line.data(), line.size());
  close(g_report_fd);
  g_report_fd = -1;
}

const char* GetTorvaneVersion() { return kTorvaneVersion; }

const char* GetConfigPath() { return g_config_path.GetData(); }

void SetConfigPath(const char* path) { g_config_path = path != nullptr ? path : kDefaultConfigPath; }

int ParseCommandLine(int argc, char** argv, CommandLine* options, FILE* out) {
  options->config_path = kDefaultConfigPath;
  bool positional_seen = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') {
      if (positional_seen) {
        Say(out, "too many arguments\n");
        return 1;
      }
      positional_seen = true;
      continue;
    }
    while (*arg == '-') ++arg;
    if (strcmp(arg, "D") == 0 || strcmp(arg, "debug") == 0) {
      options->foreground = true;
    } else if (strcmp(arg, "T") == 0 || strcmp(arg, "test") == 0) {
      options->test = true;
    } else if (strcmp(arg, "pluginerror") == 0) {
      options->pluginerror = true;
    } else if (strncmp(arg, kConfigOption, sizeof(kConfigOption) - 1) == 0 &&
               arg[sizeof(kConfigOption) - 1] != '\0') {
      options->config_path = arg + sizeof(kConfigOption) - 1;
    } else {
      String message;
      message.Format("unknown option \"%s\"\n\n", arg);
      Say(out, message.GetData());
      return 1;
    }
  }
  return -1;
}

int CheckMysqlLibrary(const char* config_path) {
  CConfig config;
  if (config.Load(config_path) && config.ReadConfig()) SetAppPath(config.app_path.GetData());
  const CTorvaneMysqlConn connector;
  return connector.IsUsable() ? 0 : 1;
}

int TorvaneAntispamMain(int argc, char** argv) {
  CommandLine options;
  const int refused = ParseCommandLine(argc, argv, &options, stdout);
  if (refused >= 0) return refused;
  if (options.test) {
    Say(stdout, "OK");
    return 0;
  }
  if (options.pluginerror) return CheckMysqlLibrary(options.config_path.GetData());
  SetConfigPath(options.config_path.GetData());
  const int failed = CheckStartConditions();
  if (failed >= 0) return failed;

  if (options.foreground) {
    // Handlers first: whoever sees the start line may signal at once.
    InstallSignalHandlers(/*foreground=*/true);
    Say(stdout, "START TORVANE ANTISPAM\n");
    return ProcMonitorThread(nullptr);
  }
  // The parent waits for the child's report, so a daemon that cannot start
  // is seen by whoever started it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    Say(stdout, "ERROR: Fail fork()\n");
    return 1;
  }
  const pid_t child = fork();
  if (child < 0) {
    Say(stdout, "ERROR: Fail fork()\n");
    return 1;
  }
  if (child > 0) {
    close(report[1]);
    return AwaitStartReport(report[0]);
  }
  close(report[0]);
  g_report_fd = report[1];
  setsid();
  m_pid_num = getpid();
  if (CreatePid(m_pid_num)) MarkPidFileOwned();
  DetachStandardStreams();
  if (chdir("./") != 0) return 1;
  InstallSignalHandlers(/*foreground=*/false);
  const int status = ProcMonitorThread(nullptr);
  ReportStartFailure("the daemon ended during start-up");  // nothing once reported
  RemovePid();
  return status;
}
