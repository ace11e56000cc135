// listener - CListenTorvane, the listener of the SMTP port (and of the
// web GUI port). Its own thread accepts connections, parks each in one of a
// fixed number of slots and queues it for the main loop; a client that finds
// every slot taken gets the busy reply and is closed at once.
#ifndef TORVANE_PROXY_LISTENER_H_
#define TORVANE_PROXY_LISTENER_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/object_array.h"
#include "base/mutex.h"
#include "base/xml_log.h"
#include "base/thread.h"
#include "base/socket.h"
#include "base/string.h"
#include "base/wake_signal.h"

// Thread-safety: the queue and the connection id are guarded by Lock/UnLock
// (the accept thread and the main loop share them). InitListen, Stop and the
// setters are called by the owner while the accept thread is not running,
// except SetBusyReply, which the owner may call at any time between passes.
class CListenTorvane : public CMyThread {
 public:
  // One accepted connection waiting for the main loop.
  struct conn {
    unsigned int id = 0;          // from the connection id counter
    CSocketComm* slot = nullptr;  // holds the client socket; owned by the listener
  };

  // Slots before InitListen.
  static constexpr unsigned int kDefaultSlots = 20;
  // Connection ids run 1 .. kMaxConnectionId, then wrap back to 1.
  static constexpr unsigned int kMaxConnectionId = 2147483647u;
  // A refused client gets at most this long to take the busy reply.
  static constexpr int kBusyReplyTimeoutMs = 500;
  // Pause after a failed accept, so a persistent error does not spin.
  static constexpr int kAcceptFailurePauseMs = 100;

  CListenTorvane();
  // Stops the accept thread and closes every socket.
  ~CListenTorvane() override;

  // Stores the listen address, port and slot count, stops the accept thread,
  // replaces the slots (slot_count + 1, the last never handed out) and binds
  // the listening socket. False, after logging "Port listen is Empty", for an
  // empty port; false when the socket cannot be bound. The accept thread is
  // started separately (WatchComm).
  // REQUIRES: no connection of the old slots is still in use.
  bool InitListen(const char* address, const char* port, unsigned int slot_count);
  // Binds and listens on the stored address and port (SO_REUSEADDR).
  bool StartNewListen();
  // The accept loop: the thread body. Returns when the run flag is cleared.
  void Run();
  // Stops the accept thread, closes and frees every slot, closes the
  // listening socket.
  void Stop();

  // True when some slot (of the first slot-count slots) is closed and free.
  bool IsNextAvailable();
  // That slot, or null.
  CSocketComm* DammiChild();
  // Advances the connection id: past 2147483646 it wraps to 0, then + 1.
  // REQUIRES: the listener's lock is held (or the thread is not running).
  void PiuPiu();
  void SetIDConnection(unsigned int id) { id_connection_ = id; }
  unsigned int GetIDConnection() const { return id_connection_; }

  // Rung after each queued connection, so the owner's loop takes it at once
  // instead of on its next timed pass. Not owned; may be null; may be set
  // while the accept thread runs.
  void SetWakeSignal(WakeSignal* wake) { wake_.store(wake); }

  // The text sent to a client that finds every slot taken.
  void SetBusyReply(const String& reply);
  // `out` = `template_text` with its first "%s" replaced by `name` (the
  // template unchanged when it holds none), followed by " \r\n": the SMTP
  // busy reply built from "rfc421" and "myname". Other "%" stay literal.
  static void MakeBusyReply(String* out, const char* template_text, const char* name);

  // The listener's lock, guarding the queue and the connection id.
  void Lock() { lock_.StartSession(); }
  void UnLock() { lock_.EndSession(); }
  // Accepted connections, oldest first. REQUIRES: the lock is held.
  CArray<conn>& Queue() { return queue_; }
  // Records of the accept thread, drained by the owner.
  CLogSimple& GetLog() { return log_; }
  // The bound listening socket (its address tells tests the port).
  const CSocketComm& ListeningSocket() const { return *listening_; }
  // The port the listening socket is bound to (the one the system chose for
  // port "0"); 0 when it has none.
  int BoundPort() const {
    SockAddrIn bound;
    return listening_->GetSockName(&bound) ? bound.GetPort() : 0;
  }
  unsigned int GetSlotCount() const { return slot_count_; }

 protected:
  // Wakes the accept thread from its poll on the listening socket.
  void Unblock() override;

 private:
  static void* AcceptThread(void* self);
  // Parks `fd` in a free slot and queues it; false when every slot is taken.
  bool Admit(int fd);
  // Sends the busy reply to `fd` and closes it.
  void Refuse(int fd);
  void CloseSlots();

  CLogSimple log_;
  std::atomic<WakeSignal*> wake_{nullptr};  // not owned
  String busy_reply_;        // guarded by busy_lock_
  CCriticalSession busy_lock_;
  String listen_address_;
  String listen_port_;
  unsigned int slot_count_ = kDefaultSlots;
  std::unique_ptr<CSocketComm[]> slots_;  // slot_count_ + 1 entries, owned
  std::unique_ptr<CSocketComm> listening_;
  std::unique_ptr<CSocketComm> refusal_;

  CCriticalSession lock_;
  // Guarded by lock_.
  unsigned int id_connection_ = 0;
  CArray<conn> queue_;
};

#endif  // TORVANE_PROXY_LISTENER_H_
