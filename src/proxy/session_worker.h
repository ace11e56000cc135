// session_worker - CLauchAntispam, the SMTP session worker: a thread that
// takes one admitted client connection at a time from the proxy core,
// relays the dialogue between the client and an MTA one command at a time,
// and raises a script event for every step into the session's antispam
// scripts, which decide what is forwarded, answered or refused.
#ifndef TORVANE_PROXY_SESSION_WORKER_H_
#define TORVANE_PROXY_SESSION_WORKER_H_

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/xml_log.h"
#include "base/thread.h"
#include "proxy/antispam_script.h"
#include "proxy/listener.h"
#include "proxy/relay_rules.h"
#include "proxy/smtp_session.h"
#include "proxy/proxy_core.h"

// Thread-safety: Add, IsLavorando, IsPause and the setters are called by
// the core's main loop while the worker's thread runs; busy and ready are
// atomic and Add hands the connection over under the thread's lock
// (CMyThread::Lock). Everything else runs on the worker's own thread. The
// log locks itself (the core merges it). The worker holds no lock while it
// waits on the network.
class CLauchAntispam : public CMyThread {
 public:
  // Longest idle wait between looks at the run flag. Add and Stop wake the
  // thread at once, so this only bounds how often an idle worker wakes for
  // nothing (a pool of idle workers must cost next to no CPU).
  static constexpr int kIdleWaitMs = 500;

  CLauchAntispam();
  // Stops the thread (as Stop) and closes the wake-up descriptor.
  ~CLauchAntispam() override;

  // Starts and stops the thread. Stopping a worker in a session sends the
  // client "421 Service not available, closing transmission channel".
  // Start is false when the thread is already running or cannot be made.
  bool Start();
  void Stop();

  // Takes `connection` when the worker is idle and ready; false otherwise
  // (the caller keeps the connection). `connection` is copied; its slot
  // stays the listener's, and the worker frees it (SetLibero) when the
  // connection ends. Admission, script preparation and the relay run on
  // the worker's thread.
  bool Add(const CListenTorvane::conn& connection);
  // Prepares the script instance for the connection (compiling what is not
  // compiled yet). Runs on the worker's thread.
  void InitScript();

  bool IsLavorando() const { return busy_.load(); }
  bool IsPause() const { return ready_.load(); }
  void SetLavorando(bool busy) { busy_.store(busy); }
  void SetCacheScript(bool cache) { caching_.store(cache); }
  void SetCore(CTorvaneCore* core) { core_ = core; }
  // The settings a worker without a core uses (with a core, every
  // connection takes the core's snapshot instead). Call before Start.
  void SetSettings(std::shared_ptr<const SessionSettings> settings) { settings_ = std::move(settings); }

  CTorvaneCore* core() const { return core_; }
  CLogSimple& GetLog() { return log_; }
  SmtpSession& session() { return session_; }
  // Null before the first InitScript (and between connections without
  // caching).
  CS_PROXY_ANTISPAM_INSTANCE* script() { return script_.get(); }
  // Runs "OnDestroyThis" in the script instance; nothing without one. Runs
  // at the end of every connection of a cached instance, and once after a
  // cached instance is first compiled (InitScript), so scripts start each
  // connection from the same state.
  void RunDestroyEvent();

  // The thread body's loop; returns when the run flag is cleared, or after
  // one connection when scripts are not cached (the core then retires the
  // worker, which is neither busy nor ready).
  void Run();

 protected:
  // Wakes the thread from its idle wait or its socket wait.
  void Unblock() override { Wake(); }

 private:
  static void* LauchAntispamThreadProc(void* self);

  // ---- one connection
  // From taking the connection to Done.
  void Serve();
  void TakeConnection();
  // Frees the slot of a client that gets no session (refused by the
  // admission checks, or handed over as the thread stops).
  void DropRefusedClient();
  // The script check: false (after Done) when no script is configured or
  // the core script is broken.
  bool ScriptsReady();
  // Address, relay range and PTR name of the client; false (after Done)
  // when the peer address is unknown.
  bool IdentifyClient();

  // ---- the relay loop: one wait, then the steps of a pass in order; each
  // step returns false once the connection has ended.
  void SessionLoop();
  void WaitForSockets();
  bool ReadMta();
  bool MtaGone();
  bool FlushClientQueue();
  bool ReadClient();
  bool HandleCommandLine();
  bool MoveDataBlock();
  bool FlushMtaQueue();
  bool CloseWhenSent();
  bool CheckClientTimeout();
  bool CheckStopRequest();

  // ---- what the steps hand over to
  void Reply();
  void Leveluno();
  void DataStore();
  void Done();
  void Resetvar();

  // ---- helpers of the steps
  bool ClientMayRead() const;
  bool ClientBytesAreData() const;
  void QueueCommandBytes(std::string_view bytes);
  ClientLineSplitter::Result NextCommandLine(String* line);
  void RaiseCommandEvent(const SmtpClientCommand& command);
  void EnterDataMode(const SmtpClientCommand& command);
  bool TakeMessagePiece();
  bool TakeChunkPiece();
  void KeepMessageBytes(const DataCut& cut);
  void StoreDataPiece();
  void AnalyseMessage();
  void CountMtaError();
  void ResetRelayState();

  // ---- events, logs, counters
  int RaiseEvent(const char* name);
  template <typename... Args>
  int RaiseEvent(const char* name, const char* format, Args... args);
  // The interpreter's queued messages of one script, emptied ("" when none).
  std::string CollectScriptLog(AntispamScriptSlot& slot);
  void MergeScriptText(const AntispamScriptSlot& slot, const std::string& text);
  void MergeScriptLogs();
  void LogRecord(int level, const char* text, const char* category, const char* routine);
  void CountEvent(const char* counter, int group);
  int WaitMs() const;
  int BlockBytes() const;

  // ---- waking the thread
  void Wake();
  void DrainWake();

  CLogSimple log_;
  CTorvaneCore* core_ = nullptr;  // not owned
  std::unique_ptr<CS_PROXY_ANTISPAM_INSTANCE> script_;
  std::shared_ptr<const SessionSettings> settings_;  // this connection's snapshot
  std::atomic<bool> caching_{true};
  std::atomic<bool> busy_{false};
  std::atomic<bool> ready_{true};
  int wake_fd_ = -1;  // eventfd, owned; -1 when it could not be made
  // Guarded by CMyThread::Lock: the connection Add hands over.
  CListenTorvane::conn pending_;

  SmtpSession session_;
  // Command-mode client bytes not yet given to the line splitter. The
  // splitter is fed one line at a time, so bytes pipelined behind DATA or
  // BDAT reach the message unchanged, whatever their line lengths.
  String command_input_;
  bool input_pending_ = false;       // command_input_ or the splitter may hold a line
  bool bdat_chunk_ = false;          // the data mode is a BDAT chunk
  // DATA: an unfinished "." line held back from the message until the next
  // read tells whether it ends it, and whether the next read starts a line.
  String held_data_;
  bool data_line_start_ = true;
  bool client_send_blocked_ = false;  // the last send to the client was partial
  bool mta_send_blocked_ = false;     // the last send to the MTA was partial
  bool client_readable_ = false;      // the last wait found bytes (or an end) to read
  bool mta_readable_ = false;
  std::vector<char> read_buffer_;     // one block of B bytes
};

#endif  // TORVANE_PROXY_SESSION_WORKER_H_
