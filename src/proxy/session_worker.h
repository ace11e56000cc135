// session_worker - CLauchAntispam, the SMTP session worker: a thread that
// takes one admitted client connection at a time from the proxy core,
// relays the dialogue between the client and an MTA one command at a time,
// and raises a script event for every step into the session's antispam
// scripts, which decide what is forwarded, answered or refused. The relay
// follows the MTA: a reply is judged whole, message data starts on the
// MTA's go-ahead and ends exactly where every MTA ends it, and a message
// the gateway does not pass on leaves the MTA outside any transaction.
#ifndef TORVANE_PROXY_SESSION_WORKER_H_
#define TORVANE_PROXY_SESSION_WORKER_H_

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/thread.h"
#include "base/wall_clock.h"
#include "base/xml_log.h"
#include "proxy/antispam_script.h"
#include "proxy/listener.h"
#include "proxy/mta_handover.h"
#include "proxy/proxy_core.h"
#include "proxy/relay_rules.h"
#include "proxy/smtp_commands.h"
#include "proxy/smtp_session.h"

// Thread-safety: Add, IsLavorando, IsPause and the setters are called by
// the core's main loop while the worker's thread runs; busy and ready are
// atomic and Add hands the connection over under the thread's lock
// (CMyThread::Lock). Everything else runs on the worker's own thread. The
// log locks itself (the core merges it). The worker holds no lock while it
// waits on the network, and every wait it makes ends on Stop.
class CLauchAntispam : public CMyThread {
 public:
  // Bytes queued for the client above which the relay reads nothing more
  // from the client or the MTA: a client that never reads cannot make the
  // session grow past this (and is cut once it stays there past its idle
  // time).
  static constexpr size_t kMaxClientQueueBytes = 256 * 1024;

  CLauchAntispam();
  // Stops the thread and waits until it has ended, then closes the wake-up
  // descriptor.
  ~CLauchAntispam() override;

  // Starts and stops the thread. Stopping a worker in a session sends the
  // client "421 Service not available, closing transmission channel".
  // Start is false when the thread is already running or cannot be made.
  // Stop is true once the thread has ended; false when it is still
  // finishing (the caller must not destroy the worker before HasEnded).
  bool Start();
  bool Stop();

  // Takes `connection` when the worker is idle and ready; false otherwise
  // (the caller keeps the connection). `connection` is copied; its slot
  // stays the listener's, and the worker frees it (SetLibero) as the very
  // last step of the connection, once the worker is idle again.
  bool Add(const CListenTorvane::conn& connection);
  // Prepares the script instance for the connection from the settings'
  // policy (compiling what is not compiled yet; a cached instance compiles
  // again once a reload published another). Runs on the worker's thread.
  void InitScript();

  bool IsLavorando() const { return busy_.load(); }
  bool IsPause() const { return ready_.load(); }
  void SetLavorando(bool busy) { busy_.store(busy); }
  void SetCacheScript(bool cache) { caching_.store(cache); }
  void SetCore(CTorvaneCore* core) { core_ = core; }
  // The settings a worker without a core uses (with a core, every
  // connection takes the core's snapshot instead). Call before Start.
  void SetSettings(std::shared_ptr<const SessionSettings> settings) { settings_ = std::move(settings); }
  // The clock of the session's timers (tests pass a fake). Call before
  // Start.
  void SetClock(MonotonicClock clock) { clock_ = clock; }

  CTorvaneCore* core() const { return core_; }
  CLogSimple& GetLog() { return log_; }
  SmtpSession& session() { return session_; }
  // Null before the first InitScript (and between connections without
  // caching).
  CS_PROXY_ANTISPAM_INSTANCE* script() { return script_.get(); }
  // Runs "OnDestroyThis" in the script instance; nothing without one. Runs
  // at the end of every connection of a cached instance, and once after a
  // cached instance is compiled from a policy (InitScript), so scripts
  // start each connection from the same state.
  void RunDestroyEvent();

  // The thread body's loop; returns when the run flag is cleared, or after
  // one connection when scripts are not cached (the core then retires the
  // worker, which is neither busy nor ready).
  void Run();

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
  bool CheckTimers();
  bool CheckStopRequest();

  // ---- what the steps hand over to
  // One whole MTA reply.
  void Reply(const String& reply);
  void Leveluno();
  void DataStore();
  void Done();
  void Resetvar();
  void ResetRelayState();

  // ---- client commands
  bool ClientMayRead() const;
  bool CommandMayBeHandled() const;
  bool ClientBytesAreData() const;
  void QueueCommandBytes(std::string_view bytes);
  ClientLineSplitter::Result NextCommandLine(String* line);
  void LogClientLine(const String& text);
  void RaiseCommandEvent(const SmtpClientCommand& command);
  // Whether a DATA or BDAT line starts message data here: BDAT only when
  // the MTA offered CHUNKING (or no MTA is connected): otherwise the MTA
  // reads the chunk as command lines, and so does the relay.
  bool IsDataEntry(const SmtpClientCommand& command) const;
  void ForwardDataEntry(const SmtpClientCommand& command, size_t queued_before);

  // ---- message data
  // Data mode for the message whose go-ahead came (DATA) or whose command
  // went (BDAT); the client's pipelined bytes become its first data.
  void StartDataMode();
  void StoreDataPiece();
  void AnalyseMessage();
  std::string AnalysedPrefix() const;
  // True (and the message discarded) when a script dropped the message;
  // its replies queued since `queued_before` bytes wait for the end of data.
  bool DroppedByScript(size_t queued_before);
  // Moves what the client queue got past `queued_before` bytes to the
  // held reply.
  void HoldRepliesSince(size_t queued_before);
  // Passes nothing more of the message on; the client's bytes are read to
  // its end, which then gets `refusal` (null: the script's own reply, or a
  // refusal when it gave none). The MTA's transaction is ended.
  void DiscardMessage(const char* refusal);
  void FinishDiscardedMessage();
  // The whole message (or chunk) is queued for the MTA.
  void EndOfMessageQueued();

  // ---- the MTA side
  void CountMtaError();
  // Ends the MTA's transaction when it is inside message data: its
  // connection is opened again and greeted with the session's HELO line,
  // both replies kept from the client. A session authenticated to the MTA
  // cannot be replayed: its MTA connection is closed instead.
  void RestartMtaTransaction();
  void RestartStep(const String& reply);
  // The relay waits for the MTA: a reply, or room to send.
  bool WaitingForMta() const;

  // ---- STARTTLS on the client's leg
  // True when the command line was handled here: STARTTLS, or a command
  // refused because a new EHLO is due after the handshake.
  bool TakenByTls();
  void OfferStartTls(String* answer);
  // 220, the handshake (bounded by the command time limit), and the reset
  // of what the client said before; the session ends when it fails.
  void StartTls();
  bool SendQueuedBefore(int64_t deadline);
  std::string Handshake(TlsChannel* channel, int fd, int64_t deadline);
  // True when `reply` was a step of STARTTLS towards the MTA.
  bool MtaTlsStep(const String& reply);
  // Sends a session's last reply, best effort.
  void SendLastReply(const char* reply);

  // ---- telling the MTA who the client is (mta_handover)
  // True when `reply` was a step of handing the client over by XCLIENT.
  bool XclientStep(const String& reply);
  ClientHop HopOfClient() const;
  // The Received header of the client's hop.
  std::string ClientTraceHeader() const;
  // Queues the trace header ahead of the message whose go-ahead came.
  void QueueTraceHeader();
  // Queues a forwarded BDAT line; the message's first chunk grows by the
  // trace header, queued right behind the line.
  void QueueBdatLine();

  // ---- ending a session
  // Sends `reply` (best effort) and ends the connection.
  void EndWith(const char* reply);
  // Queues `reply` and ends the session once it is sent, passing nothing
  // more on: the session cannot go on (a script failed).
  void AbandonSession(const char* reply);
  void EndForClientTimeout(const char* reply, const char* what);

  // ---- events, logs, counters
  int RaiseEvent(const char* name);
  template <typename... Args>
  int RaiseEvent(const char* name, const char* format, Args... args);
  // After each event: a script stopped over its budget ends the session.
  void CheckScriptBudget();
  // The interpreter's queued messages of one script, emptied ("" when none).
  std::string CollectScriptLog(AntispamScriptSlot& slot);
  void MergeScriptText(const AntispamScriptSlot& slot, const std::string& text);
  void MergeScriptLogs();
  void LogRecord(int level, const char* text, const char* category, const char* routine);
  void CountEvent(const char* counter, int group);
  int WaitMs() const { return settings_->select_time_ms; }
  int BlockBytes() const { return settings_->block_size; }

  // ---- waking the thread
  void Wake();
  void DrainWake();

  CLogSimple log_;
  CTorvaneCore* core_ = nullptr;  // not owned
  std::unique_ptr<CS_PROXY_ANTISPAM_INSTANCE> script_;
  std::shared_ptr<const SessionSettings> settings_;  // this connection's snapshot
  MonotonicClock clock_ = &SystemMonotonicMs;
  std::atomic<bool> caching_{true};
  std::atomic<bool> busy_{false};
  std::atomic<bool> ready_{true};
  int wake_fd_ = -1;  // eventfd, owned; -1 when it could not be made
  // Guarded by CMyThread::Lock: the connection Add hands over.
  CListenTorvane::conn pending_;

  // ---- per connection (ResetRelayState)
  SmtpSession session_;
  // Command-mode client bytes not yet given to the line splitter. The
  // splitter is fed one line at a time, so bytes pipelined behind DATA or
  // BDAT reach the message unchanged, whatever their line lengths.
  String command_input_;
  bool input_pending_ = false;       // command_input_ or the splitter may hold a line
  ReplyAssembler replies_;           // MTA bytes not yet a whole reply
  DataScanner data_scan_;            // where a DATA message ends
  bool bdat_chunk_ = false;          // the data mode is a BDAT chunk
  int chunk_size_ = -1;              // of the BDAT line being handled; -1 for DATA
  bool data_reply_pending_ = false;  // DATA went to the MTA; its answer decides
  bool mta_expects_data_ = false;    // the MTA reads message data until its end
  bool message_analysed_ = false;
  bool message_discarded_ = false;   // reading the client's message to its end, for nothing
  const char* refusal_ = nullptr;    // the gateway's reply at the end of a discarded message
  String held_reply_;                // the script's reply to it, given before the end of data
  int replies_at_message_start_ = 0;  // SendToClient calls before the message
  int hidden_replies_ = 0;           // MTA replies kept from the client (reconnect)
  String replay_line_;               // the HELO line to send once the MTA greets again
  bool authenticated_ = false;       // the MTA said 235
  bool trace_due_ = false;           // a message began (MAIL) and has no trace header yet
  bool xclient_pending_ = false;     // XCLIENT went; its answer is due
  String held_ehlo_answer_;          // the EHLO answer XCLIENT replaces, kept for a refusal
  bool mta_starttls_pending_ = false;  // STARTTLS went to the MTA; its answer is due
  String held_mta_answer_;           // the EHLO answer MTA STARTTLS replaces
  time_t session_wall_start_ = 0;
  bool auth_continuation_ = false;   // the MTA said 334: the next client line is a credential
  int64_t session_start_ms_ = 0;
  int64_t command_start_ms_ = 0;     // the client owes a command (or message) since; 0: none
  int64_t mta_wait_start_ms_ = 0;    // the relay waits for the MTA since; 0: it does not
  int64_t client_blocked_ms_ = 0;    // the client queue is full since; 0: it is not
  bool client_send_blocked_ = false;  // the last send to the client was partial
  bool mta_send_blocked_ = false;     // the last send to the MTA was partial
  bool client_readable_ = false;      // the last wait found bytes (or an end) to read
  bool mta_readable_ = false;
  std::vector<char> read_buffer_;     // one block of B bytes
};

#endif  // TORVANE_PROXY_SESSION_WORKER_H_
