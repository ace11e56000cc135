// launch - CLaunch, the abstract base of pooled workers (the web GUI's child
// servers derive from it): a thread slot plus the four operations an owner
// drives a worker through. Header only; the workers live in later layers.
#ifndef TORVANE_PROXY_LAUNCH_H_
#define TORVANE_PROXY_LAUNCH_H_

#include "base/mythread.h"
#include "proxy/listentorvane.h"

class CSender;  // the output queue thread answers are written through

// Thread-safety: as CMyThread; Add is called by the owner's thread while the
// worker's own thread runs, so implementations guard what Add touches.
class CLaunch : public CMyThread {
 public:
  CLaunch() = default;
  ~CLaunch() override = default;

  // One pass of the worker's own loop (its thread body calls it).
  virtual void Run() = 0;
  // Stops the worker's thread and drops its connections.
  virtual void Stop() = 0;
  // Prepares the worker and starts its thread; false when it cannot start.
  virtual bool Start() = 0;
  // Hands the worker one accepted connection answered through `sender`.
  // False when the worker cannot take it (the caller keeps the connection).
  // Neither pointer is owned.
  virtual bool Add(CSender* sender, CListenTorvane::conn* connection) = 0;
};

#endif  // TORVANE_PROXY_LAUNCH_H_
