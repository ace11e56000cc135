// daemon - the daemon process: command line, start-up checks,
// detaching, pid file, signals, the main loop that drives every component,
// the one-time upgrade migration and the ordered stop. Owns the two
// process-wide objects every other part reaches: cs_config and cs_xmllog.
#ifndef TORVANE_CORE_DAEMON_H_
#define TORVANE_CORE_DAEMON_H_

#include <atomic>
#include <cstdio>

#include "base/config.h"
#include "base/xml_log.h"
#include "base/string.h"

// The configuration file read unless "--config=PATH" names another.
inline constexpr char kDefaultConfigPath[] = "/etc/torvane_antispam.conf";
// Where a detached daemon records its process id.
inline constexpr char kPidFilePath[] = "/var/run/TorvaneAntispam.pid";
// The live log, under the application directory.
inline constexpr char kLogFileName[] = "torvane_log.xml";
// Standard output while the log level is kLogDebug.
inline constexpr char kDebugOutputName[] = "debug.txt";

// The main loop runs while this holds; the stop request clears it.
extern std::atomic<bool> ProcessStarted;
// Set just before the process leaves the main loop for good.
extern std::atomic<bool> ProcessEnd;
// The daemon's process id once detached (0 in the foreground).
extern int m_pid_num;
// The one configuration object, owned by the main loop; null outside it.
extern CConfig* cs_config;
// The one XML logger, owned by the main loop; null outside it. Written only
// from the main loop's thread.
extern LogXML* cs_xmllog;

// "3.0.1": the program's version and the configuration format it writes.
const char* GetTorvaneVersion();

// What the command line asked for.
struct CommandLine {
  bool foreground = false;  // "D" / "debug": no fork, no pid file
  bool test = false;        // "T" / "test": print OK and leave
  bool pluginerror = false; // "pluginerror": check the MySQL client library and leave
  String config_path;       // "config=PATH", else kDefaultConfigPath
};

// Parses `argv` (options are arguments starting with "-", compared after
// every leading "-" is stripped). Returns -1 when start-up goes on, else the
// exit status after printing the refusal to `out`: "unknown option" for an
// unknown name, "too many arguments" for a second plain argument.
int ParseCommandLine(int argc, char** argv, CommandLine* options, FILE* out);

// Loads the MySQL client library the daemon would load (under the
// "app_path" of the configuration at `config_path` when it can be read) and
// resolves its entry points; the loader prints what failed. The exit status:
// 0 when the library is usable, 1 when not.
int CheckMysqlLibrary(const char* config_path);

// The configuration file in use (kDefaultConfigPath unless set).
const char* GetConfigPath();
void SetConfigPath(const char* path);

// Loads the configuration file into cs_config and reads its keys, then sets
// the application path. True without cs_config; false (logged) when the file
// cannot be loaded.
bool ReadConfig();
// Posts a full reload request (level 0).
void SetConfig();
// The one-time migration of stored data after an upgrade. False when there
// is no logger or a store under "db/" cannot be opened.
// REQUIRES: cs_config is loaded; called before any component exists.
bool ControlloArchivi();

// Builds the components, runs the main loop until the stop request, stops
// everything in order. Returns the process's exit status: 0 after an
// ordered stop, 1 when start-up failed (no configuration, failed migration).
int ProcMonitorThread(void* unused);

// How the daemon tells the shell that started it whether it came up: a
// detached daemon writes one line into a pipe its waiting parent reads, a
// foreground one says it on standard error. The main loop calls exactly one
// of these, once; later calls do nothing.
// The daemon serves: the parent exits 0.
void ReportStarted();
// The daemon cannot start: the parent (or the daemon itself in the
// foreground) prints "ERROR: <reason>" on standard error and exits 1.
void ReportStartFailure(const char* reason);

// The whole program: start-up checks, detaching, main loop.
int TorvaneAntispamMain(int argc, char** argv);

#endif  // TORVANE_CORE_DAEMON_H_
