// signals - the daemon's signal handling. Handlers only record what arrived
// (async-signal-safe); the main loop takes the requests on its next pass.
// Fatal signals end the process at once, removing the pid file.
#ifndef TORVANE_CORE_SIGNALS_H_
#define TORVANE_CORE_SIGNALS_H_

// Installs `handler` for SIGTERM, SIGHUP, SIGSEGV, SIGFPE and SIGABRT (and,
// in the foreground, SIGINT as a stop request), with no restarted calls.
void InstallSignalHandlers(bool foreground);
// Installs `function` for `signal` with sigaction, flags 0.
void regHand(int signal, void (*function)(int));
// The one handler.
void handler(int signal);

// Remembers that this process wrote the pid file, so it is the one to
// remove it (a foreground run leaves a daemon's pid file alone).
void MarkPidFileOwned();
// Deletes the pid file when this process wrote it.
void RemovePid();

// The number of a reload signal (SIGHUP) received since the last call, or 0.
int TakeReloadSignal();
// The number of a stop signal (SIGTERM, SIGINT) received since the last
// call, or 0.
int TakeStopSignal();

// Where a fatal signal's last words go: the live XML log at `path` (null:
// none), written when `level` >= 1, with local times shifted by
// `utc_offset_seconds`. Called by the main loop whenever the logger changes.
void SetFatalLogTarget(const char* path, int level, long utc_offset_seconds);

#endif  // TORVANE_CORE_SIGNALS_H_
