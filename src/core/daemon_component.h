// daemon_component - what the main loop drives: the proxy core, the cron
// scheduler, the admin server and the web server each plug in behind this
// interface, so the loop's pass, reload and stop order are written once.
#ifndef TORVANE_CORE_DAEMON_COMPONENT_H_
#define TORVANE_CORE_DAEMON_COMPONENT_H_

#include "base/string.h"
#include "base/xml_log.h"

// Called only from the main loop's thread.
class DaemonComponent {
 public:
  virtual ~DaemonComponent() = default;

  // One pass of the component's work; returns promptly (its connections and
  // jobs have threads of their own).
  virtual void Run() = 0;
  // The buffered records the main loop drains into the XML log after every
  // Run and after Stop. Owned by the component.
  virtual CLogSimple& Log() = 0;
  // Takes the configuration up again after a level-0 reload request.
  virtual void ReloadConfig() = 0;
  // Stops the component's threads; Run is not called afterwards.
  virtual void Stop() = 0;
  // True when Stop gave up on a thread that would not end: that thread may
  // still use the component and what it was given (the core, the
  // configuration), so none of it may be freed.
  virtual bool LeftThreadsRunning() const { return false; }
  // Writes everything the component keeps in memory; `force` saves at once,
  // whatever the component's own schedule. Only the proxy core keeps data.
  virtual void SaveAll(bool force) { (void)force; }
  // After construction: false, with the reason in *problem, when the
  // component cannot serve (its port is taken, say): the daemon then does
  // not start.
  virtual bool Serving(String* problem) {
    (void)problem;
    return true;
  }
};

#endif  // TORVANE_CORE_DAEMON_COMPONENT_H_
