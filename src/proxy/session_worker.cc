// session_worker - the SMTP session worker: taking a connection, admission,
// the script check, the relay loop and the end of a connection (see
// session_worker.h). The relay moves bytes in the order the client and the
// MTA sent them; only the scripts change what is forwarded.
#include "proxy/session_worker.h"

#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/utility.h"
#include "engines/dns_wire.h"

namespace {

// ---- Log records ------------------------------------------------------------
constexpr char kLogSource[] = "torvanecore";
constexpr char kRunRoutine[] = "CLauchAntispam::Run";
constexpr char kLevelunoRoutine[] = "CLauchAntispam::Leveluno";
constexpr char kDataRoutine[] = "CLauchAntispam::DataStore";
constexpr char kReplyRoutine[] = "CTorvaneCore::Reply";
constexpr char kDoneRoutine[] = "CLauchAntispam::Done";

// ---- Script events ------------------------------------------------------------
constexpr char kStartEvent[] = "OnStartClientConnection";
constexpr char kHeloEvent[] = "OnHelo";
constexpr char kMailFromEvent[] = "OnMailFrom";
constexpr char kDataMessageEvent[] = "OnAllDataMessage";
constexpr char kAnalyzerEvent[] = "OnEmailMessagesToAnalyzer";
constexpr char kFilterDoneEvent[] = "OnDoneAntispamFilter";
constexpr char kReplyEvent[] = "OnReplyMTA";
constexpr char kMtaErrorEvent[] = "OverWriteCommandError";
constexpr char kAuthenticatedEvent[] = "OnAuthenticatedToMTA";
constexpr char kTimeoutEvent[] = "OnClientTimeOut";
constexpr char kDestroyEvent[] = "OnDestroyThis";

// ---- Replies and counters -------------------------------------------------------
constexpr char kStopReply[] = "421 Service not available, closing transmission channel\r\n";
constexpr char kTimeoutReply[] = "451 Connection timeout, try later\r\n";
constexpr char kSessionDeadlineReply[] = "421 4.4.2 Session time limit reached, closing transmission channel\r\n";
constexpr char kCommandDeadlineReply[] = "421 4.4.2 Command time limit reached, closing transmission channel\r\n";
constexpr char kMtaTimeoutReply[] = "451 4.4.2 No answer from the mail server, try later\r\n";
constexpr char kScriptFailureReply[] = "421 4.3.0 Policy failure, closing transmission channel\r\n";
constexpr char kBareLfReply[] = "550 5.6.0 bare LF not allowed\r\n";
constexpr char kBareCrReply[] = "550 5.6.0 bare CR not allowed\r\n";
constexpr char kDroppedReply[] = "550 5.7.1 Message refused\r\n";

// ---- STARTTLS ------------------------------------------------------------------
constexpr char kStartTlsVerb[] = "STARTTLS";
constexpr char kStartTlsOffer[] = "250-STARTTLS\r\n";
constexpr char kReadyForTls[] = "220 2.0.0 Ready to start TLS\r\n";
constexpr char kHelloFirstReply[] = "503 5.5.1 EHLO first\r\n";
constexpr char kTlsActiveReply[] = "503 5.5.1 TLS already active\r\n";
constexpr char kMtaLinkClearReply[] = "451 4.7.0 Mail server link not encrypted, try later\r\n";
constexpr char kMtaTlsFailedReply[] = "421 4.7.0 TLS with the mail server failed, try later\r\n";
constexpr char kTlsRoutine[] = "CLauchAntispam::StartTls";
// Commands a client may send between the handshake and its new EHLO.
constexpr const char* kBeforeHello[] = {"QUIT", "NOOP", "RSET"};
// The longest handshake when commands have no time limit.
constexpr int kDefaultHandshakeSeconds = 60;

// ---- Counters ------------------------------------------------------------------
constexpr char kTimeoutCounter[] = "f3fw_timeout";
constexpr char kMaxErrorCounter[] = "f3fw_max_errore";
// Statistics group of the firewall counters (the "3" of "f3fw_...").
constexpr int kFirewallGroup = 3;

// Reply codes the relay acts on.
constexpr int kGoAheadCode = 354;
constexpr int kAuthenticatedCode = 235;
constexpr int kAuthChallengeCode = 334;

// A broken script of this name leaves nothing to relay with.
constexpr char kCoreScriptName[] = "/core.cs";

// Client command arguments the session keeps for the scripts.
struct RememberedArgument {
  const char* event;
  String SmtpSession::*field;
};
constexpr RememberedArgument kRememberedArguments[] = {
    {kHeloEvent, &SmtpSession::helo_name},
    {kMailFromEvent, &SmtpSession::mail_from},
};

// Script text arguments are C strings; a String that never held text has
// none.
const char* Text(const String& text) { return text.GetData() != nullptr ? text.GetData() : ""; }

// What a script is shown of bytes from the wire: script texts end at their
// first NUL, so NULs are shown as blanks (the length stays the same).
String ScriptText(const String& bytes) {
  const std::string_view view = bytes.View();
  if (view.find('\0') == std::string_view::npos) return bytes;
  std::string shown(view);
  std::replace(shown.begin(), shown.end(), '\0', ' ');
  return String(std::string_view(shown));
}

// Drops the first `sent` bytes of a queue. Returns true when some remain.
bool KeepUnsent(String* queue, int sent) {
  const std::string_view rest = queue->View().substr(static_cast<size_t>(sent));
  *queue = String(rest);
  return !queue->IsEmpty();
}

// "AUTH ..." and the lines answering a 334 carry credentials.
bool IsAuthLine(std::string_view text) {
  return text.size() >= 4 && strncasecmp(text.data(), "AUTH", 4) == 0 && (text.size() == 4 || text[4] == ' ');
}

int64_t SecondsToMs(int seconds) { return static_cast<int64_t>(seconds) * 1000; }

// True when a deadline of `limit_s` seconds started at `since` (0: not
// started) has passed at `now`; a limit of 0 never passes.
bool Passed(int64_t since, int limit_s, int64_t now) {
  return since != 0 && limit_s > 0 && now - since > SecondsToMs(limit_s);
}

}  // namespace

// Defined ahead of its callers: events with arguments are raised all over
// the relay steps below.
template <typename... Args>
int CLauchAntispam::RaiseEvent(const char* name, const char* format, Args... args) {
  if (script_ == nullptr) return 0;
  const int result = script_->run(name, format, args...);
  CheckScriptBudget();
  return result;
}

// {=========== the thread

CLauchAntispam::CLauchAntispam() : wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CLauchAntispam::~CLauchAntispam() {
  Join();
  if (wake_fd_ >= 0) close(wake_fd_);
}

void* CLauchAntispam::LauchAntispamThreadProc(void* self) {
  static_cast<CLauchAntispam*>(self)->Run();
  return nullptr;
}

bool CLauchAntispam::Start() {
  SetFunction(&CLauchAntispam::LauchAntispamThreadProc, this);
  DrainWake();  // a wake-up left by an earlier run
  return WatchComm();
}

bool CLauchAntispam::Stop() { return StopComm() || !IsStart(); }

bool CLauchAntispam::Add(const CListenTorvane::conn& connection) {
  Lock();
  const bool taken = !busy_.load() && ready_.load();
  if (taken) {
    pending_ = connection;
    busy_.store(true);
  }
  UnLock();
  if (taken) Wake();
  return taken;
}

// An idle worker sleeps until Add or Stop wakes it: a pool of idle workers
// costs no CPU.
void CLauchAntispam::Run() {
  while (IhaveToRun()) {
    if (!busy_.load()) {
      ready_.store(true);
      pollfd wake{wake_fd_, POLLIN, 0};
      if (InterruptiblePoll(&wake, 1, -1) > 0) DrainWake();
      continue;
    }
    ready_.store(false);
    Serve();
    if (!caching_.load()) return;
  }
  // A connection handed over just as the thread was told to stop gets the
  // stop reply instead of a session.
  if (busy_.load()) {
    TakeConnection();
    if (session_.client != nullptr) session_.client->SendAvailable(kStopReply, static_cast<int>(strlen(kStopReply)));
    DropRefusedClient();
  }
}

void CLauchAntispam::Wake() {
  if (wake_fd_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = write(wake_fd_, &one, sizeof(one));
}

void CLauchAntispam::DrainWake() {
  if (wake_fd_ < 0) return;
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t ignored = read(wake_fd_, &count, sizeof(count));
}

// }===========

// {=========== one connection

void CLauchAntispam::Serve() {
  TakeConnection();
  if (session_.client == nullptr ||
      (core_ != nullptr && !core_->AdmitClient(session_.client, session_.id, &log_))) {
    DropRefusedClient();
    return;
  }
  InitScript();
  if (!ScriptsReady() || !IdentifyClient()) return;
  session_start_ms_ = clock_();
  session_wall_start_ = time(nullptr);
  if (RaiseEvent(kStartEvent, "int", &session_.id) != 0) {
    MergeScriptLogs();
    Done();
    return;
  }
  // With an MTA connected, the client's first command waits for its
  // greeting like every later one waits for a reply: a client talking
  // before the greeting would otherwise put every reply one command off.
  // Without one, the script answers (or connects) as the commands come.
  if (session_.HasMta()) session_.line_ready = false;
  SessionLoop();
}

void CLauchAntispam::TakeConnection() {
  Lock();
  const CListenTorvane::conn connection = pending_;
  UnLock();
  session_.Reset();
  ResetRelayState();
  if (core_ != nullptr) {
    settings_ = core_->Settings();
  } else if (settings_ == nullptr) {
    settings_ = std::make_shared<const SessionSettings>();
  }
  log_.SetThreshold(settings_->log_level);
  session_.id = static_cast<int>(connection.id);
  session_.client = connection.slot;
  if (session_.client != nullptr) session_.client->SetNoDelay();
  read_buffer_.resize(static_cast<size_t>(BlockBytes()));
}

// Closes and frees the client's slot without running any script.
void CLauchAntispam::DropRefusedClient() {
  CSocketComm* slot = session_.client;
  if (slot != nullptr) slot->CloseComm();
  session_.Reset();
  ResetRelayState();
  busy_.store(false);
  if (slot != nullptr) slot->SetLibero(true);
}

void CLauchAntispam::InitScript() {
  if (settings_ == nullptr) settings_ = core_ != nullptr ? core_->Settings() : std::make_shared<const SessionSettings>();
  const bool fresh = script_ == nullptr;
  if (fresh) script_ = std::make_unique<CS_PROXY_ANTISPAM_INSTANCE>();
  script_->SetContext({core_, &session_, &log_});
  // A call may take the CPU time configured, and at most as long as one
  // command may.
  script_->SetBudget(settings_->event_cpu_ms, settings_->ScriptWallMs());
  const bool caching = caching_.load();
  const bool made = script_->InitScript(settings_->policy, caching);
  script_->CompileScripts(!caching);
  if (made && caching) RunDestroyEvent();
}

bool CLauchAntispam::ScriptsReady() {
  if (script_ == nullptr || script_->Count() <= 0) {
    LogRecord(kLogError, "NO SCRIPT SETTING IN CONFIG", log_type::kScript, kRunRoutine);
    Done();
    return false;
  }
  for (AntispamScriptSlot& slot : script_->slots()) {
    const std::string errors = CollectScriptLog(slot);
    if (errors.empty() && slot.good) continue;
    String line;
    line.Format("-- ERROR SCRIPT: %s --", Text(slot.file));
    LogRecord(kLogError, Text(line), log_type::kScript, kRunRoutine);
    MergeScriptText(slot, errors);
    slot.good = false;
    if (slot.file.Find(kCoreScriptName) >= 0) {
      Done();
      return false;
    }
  }
  return true;
}

bool CLauchAntispam::IdentifyClient() {
  const uint32_t address = session_.client->GetIP();
  if (address == 0) {
    LogRecord(kLogError, "ERROR SOCKET IP is ZERO", log_type::kSys, kRunRoutine);
    Done();
    return false;
  }
  CSocketComm::GetIPFromLong(&session_.client_address, address);
  CIPNET* relay_ranges = core_ != nullptr ? core_->relay_ranges() : nullptr;
  session_.relay_client =
      relay_ranges != nullptr && relay_ranges->IsValidIPintheRange(Text(session_.client_address)) == 1;
  CDns* dns = core_ != nullptr ? core_->dns() : nullptr;
  if (dns != nullptr) session_.reverse_name = dns->LookupText(Text(session_.client_address), kDnsTypePTR);
  return true;
}

// }===========

// {=========== the relay loop

void CLauchAntispam::SessionLoop() {
  session_.last_activity = clock_();
  while (busy_.load()) {
    WaitForSockets();
    const bool open = ReadMta() && FlushClientQueue() && ReadClient() && HandleCommandLine() &&
                      MoveDataBlock() && FlushMtaQueue() && CloseWhenSent() && CheckTimers() &&
                      CheckStopRequest();
    if (!open) return;
  }
}

void CLauchAntispam::WaitForSockets() {
  const int client_fd = session_.client != nullptr ? session_.client->GetSocket() : CSocketComm::kNoSocket;
  const int mta_fd = session_.mta != nullptr ? session_.mta->GetSocket() : CSocketComm::kNoSocket;
  RelayWaitState state;
  state.client_open = client_fd != CSocketComm::kNoSocket;
  state.client_may_read = ClientMayRead();
  state.to_client_pending = !session_.to_client.IsEmpty();
  state.client_send_blocked = client_send_blocked_;
  state.mta_open = mta_fd != CSocketComm::kNoSocket;
  state.mta_may_read = static_cast<size_t>(session_.to_client.size()) < kMaxClientQueueBytes;
  state.mta_gone = session_.mta != nullptr && !state.mta_open;
  state.to_mta_pending = !session_.to_mta.IsEmpty();
  state.mta_send_blocked = mta_send_blocked_;
  state.command_waiting = CommandMayBeHandled() && input_pending_;
  state.data_to_move = session_.block_sending && session_.to_mta.IsEmpty() &&
                       (!session_.data_block.IsEmpty() || session_.end_of_data == 1);
  state.close_pending = session_.close_after_queue;
  const RelayWait wait = PlanRelayWait(state, WaitMs());

  // A socket with nothing to watch stays out of the poll: a peer that hung
  // up would otherwise report itself on every pass.
  pollfd fds[2] = {
      {wait.client_events != 0 ? client_fd : -1, wait.client_events, 0},
      {wait.mta_events != 0 ? mta_fd : -1, wait.mta_events, 0},
  };
  // Bytes a TLS channel already decrypted wake no poll: read them now.
  const bool client_decrypted = (wait.client_events & POLLIN) != 0 && session_.ClientHasPending();
  const bool mta_decrypted = (wait.mta_events & POLLIN) != 0 && session_.MtaHasPending();
  client_readable_ = client_decrypted;
  mta_readable_ = mta_decrypted;
  // A stop request ends the wait; the pass then sees the run flag cleared.
  if (InterruptiblePoll(fds, 2, client_decrypted || mta_decrypted ? 0 : wait.timeout_ms) <= 0) return;
  constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
  client_readable_ |= (wait.client_events & POLLIN) != 0 && (fds[0].revents & kReadable) != 0;
  mta_readable_ |= (wait.mta_events & POLLIN) != 0 && (fds[1].revents & kReadable) != 0;
}

// Reads what the MTA has sent, to the end of what is there, and handles
// each reply it completes.
bool CLauchAntispam::ReadMta() {
  if (session_.mta == nullptr) return true;
  if (!session_.mta->IsOpen()) return MtaGone();
  if (!mta_readable_) return true;
  const int block = static_cast<int>(read_buffer_.size());
  for (;;) {
    const int got = session_.MtaReceive(read_buffer_.data(), block);
    if (got < 0) {
      session_.mta->CloseComm();
      return MtaGone();
    }
    replies_.Append(std::string_view(read_buffer_.data(), static_cast<size_t>(got)));
    if ((got < block && !session_.MtaHasPending()) ||
        static_cast<size_t>(session_.to_client.size()) >= kMaxClientQueueBytes)
      break;
  }
  String reply;
  while (busy_.load() && replies_.Next(&reply)) Reply(reply);
  return busy_.load();
}

// A closed MTA ends the connection, but only once the client has had what
// was queued for it (the MTA's last reply, or the script's own answer when
// the connect failed): the queue is sent in this same pass.
bool CLauchAntispam::MtaGone() {
  if (!session_.to_client.IsEmpty() && !client_send_blocked_) return true;
  LogRecord(kLogError, "Connection is closed from Friend", log_type::kSys, kRunRoutine);
  Done();
  return false;
}

bool CLauchAntispam::FlushClientQueue() {
  if (session_.client == nullptr || session_.to_client.IsEmpty()) return true;
  const int sent = session_.ClientSend(session_.to_client.GetData(), session_.to_client.size());
  if (sent < 0) {
    LogRecord(kLogError, "Connection is closed from Client", log_type::kSys, kRunRoutine);
    Done();
    return false;
  }
  if (sent == session_.to_client.size()) {
    if (log_.Keeps(kLogConnection)) {
      String line;
      line.Format("fr->cl : %s", Text(LogExcerpt(session_.to_client.View())));
      LogRecord(kLogConnection, Text(line), log_type::kSys, kRunRoutine);
    }
    session_.to_client.Empty();
    client_send_blocked_ = false;
  } else {
    client_send_blocked_ = KeepUnsent(&session_.to_client, sent);
  }
  return true;
}

// Reads what the client has sent, to the end of what is there (or of what
// may be read now).
bool CLauchAntispam::ReadClient() {
  if (session_.client == nullptr) return true;
  if (!session_.client->IsOpen()) {
    LogRecord(kLogError, "Connection is closed from Client", log_type::kSys, kRunRoutine);
    Done();
    return false;
  }
  const int block = static_cast<int>(read_buffer_.size());
  while (client_readable_ && ClientMayRead()) {
    const int got = session_.ClientReceive(read_buffer_.data(), block);
    if (got < 0) {
      LogRecord(kLogError, "Connection is closed from Client", log_type::kSys, kRunRoutine);
      Done();
      return false;
    }
    if (got == 0) break;
    session_.last_activity = clock_();
    session_.from_client = String(std::string_view(read_buffer_.data(), static_cast<size_t>(got)));
    if (ClientBytesAreData()) {
      DataStore();
      if (!busy_.load()) return false;
    } else {
      QueueCommandBytes(session_.from_client.View());
    }
    if (got < block && !session_.ClientHasPending()) break;
  }
  session_.from_client.Empty();
  return true;
}

bool CLauchAntispam::HandleCommandLine() {
  if (!CommandMayBeHandled() || !input_pending_) return true;
  String line;
  switch (NextCommandLine(&line)) {
    case ClientLineSplitter::kNoLine:
      input_pending_ = false;
      return true;
    case ClientLineSplitter::kLineTooLong:
      session_.to_client.append(kLineTooLongReply);
      session_.line_ready = true;
      return true;
    case ClientLineSplitter::kLine:
      break;
  }
  session_.line_ready = false;
  session_.current_line = line;
  Leveluno();
  // The time the scripts took is not the client's idle time.
  session_.last_activity = clock_();
  return busy_.load();
}

// The whole block held goes to the queue at once, without a copy: the MTA
// takes what it can and the rest waits there, while the client's next
// bytes gather in the emptied block.
bool CLauchAntispam::MoveDataBlock() {
  if (!session_.block_sending || !session_.to_mta.IsEmpty()) return true;
  session_.to_mta.Swap(session_.data_block);
  session_.data_block.Empty();
  session_.message_from_start = false;
  if (session_.end_of_data == 1) EndOfMessageQueued();
  return true;
}

bool CLauchAntispam::FlushMtaQueue() {
  // A closed MTA is reported by the next pass's MTA step.
  if (session_.to_mta.IsEmpty() || session_.mta == nullptr || !session_.mta->IsOpen()) return true;
  const int sent = session_.MtaSend(session_.to_mta.GetData(), session_.to_mta.size());
  if (sent < 0) {
    LogRecord(kLogError, "Connection is closed from Friend", log_type::kSys, kRunRoutine);
    Done();
    return false;
  }
  if (sent > 0) mta_wait_start_ms_ = 0;  // the MTA takes bytes: it is not stalled
  mta_send_blocked_ = KeepUnsent(&session_.to_mta, sent);
  return true;
}

bool CLauchAntispam::CloseWhenSent() {
  if (!session_.close_after_queue || !session_.to_client.IsEmpty()) return true;
  Done();
  return false;
}

bool CLauchAntispam::CheckTimers() {
  const int64_t now = clock_();
  // The client is not idle while the relay waits for the MTA on its behalf
  // (a slow MTA after "." must not make the client give up and retry).
  if (WaitingForMta()) {
    session_.last_activity = now;
    if (mta_wait_start_ms_ == 0) mta_wait_start_ms_ = now;
  } else {
    mta_wait_start_ms_ = 0;
  }
  // The client owes the rest of a message, or of a command line it began
  // (complete lines waiting for the MTA are not its debt).
  const std::string_view input = command_input_.View();
  const bool owes_command = session_.state == SmtpSession::kDataMode ||
                            (!input.empty() ? input.back() != '\n' : session_.lines.HasPartialLine());
  if (!owes_command) {
    command_start_ms_ = 0;
  } else if (command_start_ms_ == 0) {
    command_start_ms_ = now;
  }
  const bool queue_full = static_cast<size_t>(session_.to_client.size()) >= kMaxClientQueueBytes;
  if (!queue_full) {
    client_blocked_ms_ = 0;
  } else if (client_blocked_ms_ == 0) {
    client_blocked_ms_ = now;
  }

  // A session ending already (its last reply queued) waits only for the
  // client to take that reply.
  const bool ending = session_.close_after_queue;
  if (Passed(session_start_ms_, settings_->session_timeout, now)) {
    EndForClientTimeout(kSessionDeadlineReply, "Session time limit reached");
  } else if (Passed(client_blocked_ms_, settings_->timeout_client, now)) {
    LogRecord(kLogError, "Client reads nothing: connection closed", log_type::kFirewall, kRunRoutine);
    Done();
  } else if (ending) {
    return true;
  } else if (Passed(command_start_ms_, settings_->command_timeout, now)) {
    EndForClientTimeout(kCommandDeadlineReply, "Command time limit reached");
  } else if (Passed(mta_wait_start_ms_, settings_->mta_timeout, now)) {
    LogRecord(kLogError, "No answer from the mail server", log_type::kSys, kRunRoutine);
    EndWith(kMtaTimeoutReply);
  } else if (!session_.relay_client && Passed(session_.last_activity, settings_->timeout_client, now)) {
    EndForClientTimeout(kTimeoutReply, "Connection Timeout");
  }
  return busy_.load();
}

bool CLauchAntispam::CheckStopRequest() {
  if (IhaveToRun()) return true;
  // No waiting here: every wait of a stopping thread ends at once.
  session_.ClientSend(kStopReply, static_cast<int>(strlen(kStopReply)));
  Done();
  return false;
}

bool CLauchAntispam::WaitingForMta() const {
  if (session_.mta == nullptr || !session_.mta->IsOpen()) return false;
  return hidden_replies_ > 0 || data_reply_pending_ || !session_.to_mta.IsEmpty() ||
         (session_.state == SmtpSession::kCommandMode && !session_.line_ready);
}

// }===========

// {=========== client commands

bool CLauchAntispam::ClientMayRead() const {
  if (session_.close_after_queue) return false;
  if (static_cast<size_t>(session_.to_client.size()) >= kMaxClientQueueBytes) return false;
  if (session_.block_sending && session_.data_block.size() >= BlockBytes()) return false;
  // Pipelined commands wait for the MTA one at a time; stop reading while
  // a whole window of them is held.
  return static_cast<size_t>(command_input_.size()) < ClientLineSplitter::kMaxPendingBytes;
}

// The next command waits for the reply to the last one, for the answer to
// DATA, and for a reconnected MTA to be greeted.
bool CLauchAntispam::CommandMayBeHandled() const {
  return session_.state == SmtpSession::kCommandMode && session_.to_mta.IsEmpty() && session_.line_ready &&
         !data_reply_pending_ && hidden_replies_ == 0 && !session_.close_after_queue;
}

// The announced bytes of a BDAT chunk are message data even when a script
// dropped the message: the client sends them whatever happened.
bool CLauchAntispam::ClientBytesAreData() const {
  return session_.state == SmtpSession::kDataMode || session_.bdat_remaining > 0;
}

void CLauchAntispam::QueueCommandBytes(std::string_view bytes) {
  if (bytes.empty()) return;
  command_input_.append(bytes.data(), bytes.size());
  input_pending_ = true;
}

ClientLineSplitter::Result CLauchAntispam::NextCommandLine(String* line) {
  for (;;) {
    const ClientLineSplitter::Result result = session_.lines.Next(line);
    if (result != ClientLineSplitter::kNoLine || command_input_.IsEmpty()) return result;
    // Feed the splitter the next line (or the partial rest) only.
    const std::string_view input = command_input_.View();
    const size_t end = input.find('\n');
    const size_t take = end == std::string_view::npos ? input.size() : end + 1;
    session_.lines.Append(input.substr(0, take));
    command_input_ = String(input.substr(take));
  }
}

void CLauchAntispam::Leveluno() {
  if (TakenByTls()) return;
  String text;
  StripLineEnds(session_.current_line.View(), &text);
  const size_t queued_before = static_cast<size_t>(session_.to_client.size());
  if (RaiseEvent(kAllClientDataEvent, "string", Text(ScriptText(text))) != 0) {
    Done();
    return;
  }
  LogClientLine(text);
  const SmtpClientCommand command = ClassifyClientLine(session_.current_line.View(), session_.relay_client);
  RaiseCommandEvent(command);
  const bool data_entry = IsDataEntry(command);
  if (data_entry) {
    // Each message has the whole limit; a BDAT chunk may lower it for itself.
    session_.data_limit = command.DataLimitAfter(SmtpSession::kDefaultDataLimit);
    chunk_size_ = command.bdat_size;
    RaiseEvent(command.data_event, "int", &session_.data_limit);
  }
  if (!busy_.load() || session_.close_after_queue) return;
  if (settings_->mta_tls == SessionSettings::MtaTls::kEncrypt && session_.HasMta() &&
      session_.mta_tls == nullptr && HasVerb(session_.current_line.View(), "MAIL")) {
    LogRecord(kLogError, "No mail relayed: the mail server link is not encrypted", log_type::kSys, kTlsRoutine);
    session_.to_client.append(kMtaLinkClearReply);
    session_.line_ready = true;
    return;
  }
  if (HasVerb(session_.current_line.View(), kXclientKeyword)) {
    session_.to_client.append(kClientXclientReply);
    session_.line_ready = true;
    return;
  }
  // Appended: a script's SendToMTA during the events goes first.
  if (!session_.current_line.IsEmpty() && session_.HasMta()) {
    if (data_entry && command.bdat_size >= 0) {
      QueueBdatLine();
    } else {
      session_.to_mta.append(session_.current_line);
    }
    if (command.event != nullptr && strcmp(command.event, kHeloEvent) == 0) session_.helo_line = session_.current_line;
  }
  if (data_entry) ForwardDataEntry(command, queued_before);
}

void CLauchAntispam::LogClientLine(const String& text) {
  const bool credentials = auth_continuation_ || IsAuthLine(text.View());
  auth_continuation_ = false;
  if (!log_.Keeps(kLogConnection)) return;
  String line;
  line.Format("fr<-cl : %s", credentials ? "AUTH ..." : Text(LogExcerpt(text.View())));
  LogRecord(kLogConnection, Text(line), log_type::kSys, kLevelunoRoutine);
}

void CLauchAntispam::RaiseCommandEvent(const SmtpClientCommand& command) {
  if (command.event == nullptr) return;
  if (strcmp(command.event, kHeloEvent) == 0) {
    session_.hello_due = false;
    session_.extended_hello = command.arg_count > 1 && strcasecmp(Text(command.args[1]), "EHLO") == 0;
  } else if (strcmp(command.event, kMailFromEvent) == 0) {
    trace_due_ = settings_->trace_header;
  }
  for (const RememberedArgument& remembered : kRememberedArguments) {
    if (command.arg_count > 0 && strcmp(remembered.event, command.event) == 0) {
      session_.*remembered.field = command.args[0];
    }
  }
  if (command.arg_count == 0) {
    RaiseEvent(command.event);
  } else if (command.arg_count == 1) {
    RaiseEvent(command.event, "string", Text(ScriptText(command.args[0])));
  } else {
    RaiseEvent(command.event, "string,string", Text(ScriptText(command.args[0])),
               Text(ScriptText(command.args[1])));
  }
}

bool CLauchAntispam::IsDataEntry(const SmtpClientCommand& command) const {
  if (!command.enters_data_mode) return false;
  return command.bdat_size < 0 || session_.mta_chunking || !session_.HasMta();
}

void CLauchAntispam::ForwardDataEntry(const SmtpClientCommand& command, size_t queued_before) {
  const bool forwarded = !session_.current_line.IsEmpty() && session_.HasMta();
  if (command.bdat_size >= 0) {
    // The chunk follows its command at once; the MTA answers after it.
    mta_expects_data_ = forwarded;
    message_discarded_ = session_.current_line.IsEmpty();  // the script dropped it
    StartDataMode();
    return;
  }
  if (forwarded) {
    data_reply_pending_ = true;  // the MTA's answer decides
    return;
  }
  // The script took the DATA line itself: data mode only on its own go-ahead.
  const std::string_view queued = session_.to_client.View();
  const std::string_view answer = queued.substr(std::min(queued_before, queued.size()));
  if (ReplyCode(answer) == kGoAheadCode) StartDataMode();
}

// }===========

// {=========== message data

void CLauchAntispam::StartDataMode() {
  session_.state = SmtpSession::kDataMode;
  session_.end_of_data = 0;
  session_.data_block.Empty();
  session_.block_sending = false;
  message_analysed_ = false;
  replies_at_message_start_ = session_.script_replies;
  bdat_chunk_ = chunk_size_ >= 0;
  session_.StartMessage(bdat_chunk_);
  session_.bdat_remaining = std::max(chunk_size_, 0);
  data_scan_.Reset(settings_->refuse_bare_line_ends ? DataScanner::BareLineEnds::kRefuse
                                                    : DataScanner::BareLineEnds::kNormalise);
  // The client's pipelined bytes are the message's first data.
  String pending;
  session_.lines.TakePending(&pending);
  pending.append(command_input_);
  command_input_.Empty();
  input_pending_ = false;
  session_.from_client = pending;
  if (!pending.IsEmpty() || (bdat_chunk_ && session_.bdat_remaining == 0)) DataStore();
}

void CLauchAntispam::DataStore() {
  const std::string_view block = session_.from_client.View();
  std::string piece;
  size_t taken = 0;
  bool ended = false;
  if (bdat_chunk_) {
    taken = ChunkBytes(block, session_.bdat_remaining);
    piece.assign(block.substr(0, taken));
    session_.bdat_remaining -= static_cast<int>(taken);
    ended = session_.bdat_remaining == 0;
  } else {
    taken = data_scan_.Scan(block, &piece);
    ended = data_scan_.ended();
  }
  // What follows the end is the client's next commands.
  QueueCommandBytes(block.substr(taken));
  // A quarantine filing the scripts asked for keeps a copy of the message
  // until its end, relayed or refused.
  session_.quarantine.Append(piece);
  if (ended) {
    session_.quarantine.File(core_ != nullptr ? core_->bayes() : nullptr,
                             core_ != nullptr ? core_->statistics() : nullptr, &log_, session_.id);
  }
  if (!message_discarded_ && !bdat_chunk_ && data_scan_.bare_line_end() != 0 &&
      settings_->refuse_bare_line_ends) {
    LogRecord(kLogError, "Bare line end in message data: message refused", log_type::kFirewall, kDataRoutine);
    DiscardMessage(data_scan_.bare_line_end() == '\n' ? kBareLfReply : kBareCrReply);
  }
  if (message_discarded_) {
    if (ended) FinishDiscardedMessage();
    return;
  }
  if (ended) session_.end_of_data = 1;
  session_.from_client = String(std::string_view(piece));
  StoreDataPiece();
}

void CLauchAntispam::StoreDataPiece() {
  const size_t queued_before = static_cast<size_t>(session_.to_client.size());
  session_.data_block.append(session_.from_client);
  RaiseEvent(kDataMessageEvent, "string,int", Text(ScriptText(session_.from_client)), &session_.end_of_data);
  if (!busy_.load() || DroppedByScript(queued_before)) return;
  if (session_.end_of_data != 1 && session_.data_block.size() < session_.data_limit) return;
  if (!message_analysed_) {
    message_analysed_ = true;
    AnalyseMessage();
    if (!busy_.load() || DroppedByScript(queued_before)) return;
  }
  if (mta_expects_data_) {
    session_.block_sending = true;
    return;
  }
  // A message the script took itself goes nowhere once analysed.
  session_.data_block.Empty();
  session_.message_from_start = false;
  if (session_.end_of_data == 1) {
    session_.state = SmtpSession::kCommandMode;
    session_.end_of_data = 0;
    session_.line_ready = true;
  }
}

void CLauchAntispam::AnalyseMessage() {
  session_.analysed_message = ScriptText(String(std::string_view(AnalysedPrefix())));
  session_.parser.Clear();
  session_.parser.AddStreaming(session_.analysed_message.View());
  session_.parser.Parse();
  RaiseEvent(kAnalyzerEvent);
  RaiseEvent(kFilterDoneEvent);
}

// The message as its sender wrote it, up to the analysed size: BDAT chunks
// carry it as it is; DATA carries it dot-stuffed, followed by the end line.
// Unstuffing takes at most one byte from a line of at least two, so twice
// the analysed size of the data holds the whole prefix.
std::string CLauchAntispam::AnalysedPrefix() const {
  constexpr size_t kAnalysed = SmtpSession::kAnalysedBytes;
  const std::string_view data = session_.data_block.View();
  std::string message = bdat_chunk_ ? std::string(data.substr(0, kAnalysed))
                                    : UnstuffedMessage(data.substr(0, 2 * kAnalysed));
  if (message.size() > kAnalysed) message.resize(kAnalysed);
  return message;
}

// DropBufferToMTA returns to command mode: in the middle of a message that
// means the message is dropped.
bool CLauchAntispam::DroppedByScript(size_t queued_before) {
  if (session_.state != SmtpSession::kCommandMode) return false;
  const bool complete = session_.end_of_data == 1;
  // The client reads no reply while it is still sending: what the script
  // answered waits for the end of the data, unless the session ends now.
  if (!complete && !session_.close_after_queue) HoldRepliesSince(queued_before);
  DiscardMessage(nullptr);
  if (complete) FinishDiscardedMessage();
  return true;
}

void CLauchAntispam::HoldRepliesSince(size_t queued_before) {
  const std::string_view queued = session_.to_client.View();
  const size_t kept = std::min(queued_before, queued.size());
  held_reply_.append(String(queued.substr(kept)));
  session_.to_client = String(queued.substr(0, kept));
}

void CLauchAntispam::DiscardMessage(const char* refusal) {
  message_discarded_ = true;
  refusal_ = refusal;
  session_.state = SmtpSession::kDataMode;
  session_.data_block.Empty();
  session_.message_from_start = false;
  session_.block_sending = false;
  RestartMtaTransaction();
}

void CLauchAntispam::FinishDiscardedMessage() {
  message_discarded_ = false;
  session_.state = SmtpSession::kCommandMode;
  session_.end_of_data = 0;
  session_.bdat_remaining = 0;
  bdat_chunk_ = false;
  if (!held_reply_.IsEmpty()) {
    session_.to_client.append(held_reply_);
  } else if (refusal_ != nullptr) {
    session_.to_client.append(refusal_);
  } else if (session_.script_replies == replies_at_message_start_) {
    session_.to_client.append(kDroppedReply);  // the client must hear something
  }
  refusal_ = nullptr;
  held_reply_.Empty();
  session_.line_ready = true;  // no MTA reply is due for this message
}

void CLauchAntispam::EndOfMessageQueued() {
  session_.block_sending = false;
  session_.state = SmtpSession::kCommandMode;
  session_.end_of_data = 0;
  bdat_chunk_ = false;
  mta_expects_data_ = false;
  session_.line_ready = false;  // the next command waits for the reply to the message
}

// }===========

// {=========== MTA replies

void CLauchAntispam::Reply(const String& reply) {
  mta_wait_start_ms_ = 0;  // the MTA answered: a new wait starts now
  if (MtaTlsStep(reply) || XclientStep(reply)) return;
  if (hidden_replies_ > 0) {
    RestartStep(reply);
    return;
  }
  session_.from_mta = reply;
  String& block = session_.from_mta;
  if (IsEhloAnswer(block.View())) session_.mta_chunking = OffersChunking(block.View());
  if (!session_.extension_injection.IsEmpty() && InjectExtensions(&block, session_.extension_injection.View())) {
    session_.extension_injection.Empty();
  }
  if (!session_.extension_drop.IsEmpty() && ApplyExtensionDrops(&block, session_.extension_drop.View())) {
    session_.extension_drop.Empty();
  }
  RemoveExtension(&block, kXclientKeyword);
  OfferStartTls(&block);
  session_.line_ready = true;
  const int code = ReplyCode(block.View());
  auth_continuation_ = code == kAuthChallengeCode;
  if (IsMtaErrorReply(block.View())) {
    CountMtaError();
    if (!busy_.load()) return;
  }
  if (code == kAuthenticatedCode) {
    session_.relay_client = true;
    authenticated_ = true;
    LogRecord(kLogError, "authenticated !", log_type::kFirewall, kReplyRoutine);
    RaiseEvent(kAuthenticatedEvent);
  }
  // Appended, not replaced: a reply must not overwrite what a partial send
  // or a script left queued for the client.
  session_.to_client.append(block);
  if (!block.IsEmpty() && RaiseEvent(kReplyEvent, "string", Text(ScriptText(block))) != 0) {
    Done();
    return;
  }
  if (data_reply_pending_) {
    data_reply_pending_ = false;
    // Only the MTA's go-ahead starts message data; after any other answer
    // the bytes the client sent behind DATA are commands.
    if (code == kGoAheadCode && busy_.load()) {
      mta_expects_data_ = true;
      QueueTraceHeader();
      StartDataMode();
    }
  }
}

void CLauchAntispam::CountMtaError() {
  ++session_.error_count;
  RaiseEvent(kMtaErrorEvent, "int", &session_.error_count);
  if (session_.error_count <= settings_->error_max) return;
  LogRecord(kLogError, "max errors exceeded... close connection !!!", log_type::kFirewall, kReplyRoutine);
  CountEvent(kMaxErrorCounter, kFirewallGroup);
  Done();
}

void CLauchAntispam::RestartMtaTransaction() {
  const bool inside_data = mta_expects_data_;
  mta_expects_data_ = false;
  if (!inside_data || !session_.HasMta()) return;
  session_.to_mta.Empty();
  replies_.Clear();
  mta_send_blocked_ = false;
  if (authenticated_) {
    LogRecord(kLogError, "Message not passed on: the mail server connection is closed", log_type::kSys,
              kDataRoutine);
    session_.mta->CloseComm();
    return;
  }
  LogRecord(kLogConnection, "Message not passed on: the mail server connection is opened again", log_type::kSys,
            kDataRoutine);
  if (!session_.ReconnectMta()) return;  // the closed MTA ends the session
  hidden_replies_ = 1;                   // the greeting
  replay_line_ = session_.helo_line;
}

void CLauchAntispam::RestartStep(const String& reply) {
  --hidden_replies_;
  if (ReplyCode(reply.View()) / 100 != 2) {
    LogRecord(kLogError, "The mail server refused the new connection", log_type::kSys, kReplyRoutine);
    hidden_replies_ = 0;
    session_.mta->CloseComm();
    return;
  }
  if (replay_line_.IsEmpty()) return;
  session_.to_mta.append(replay_line_);
  replay_line_.Empty();
  hidden_replies_ = 1;  // the HELO answer
}

// }===========

// {=========== STARTTLS on the client's leg

// The gateway answers STARTTLS itself when it has a certificate: the MTA
// never sees it. After the handshake the client starts over (a new EHLO
// is due) and nothing it sent before counts.
bool CLauchAntispam::TakenByTls() {
  const std::string_view line = session_.current_line.View();
  if (session_.hello_due && !HasVerb(line, "HELO") && !HasVerb(line, "EHLO")) {
    const bool allowed = std::any_of(std::begin(kBeforeHello), std::end(kBeforeHello),
                                     [&](const char* verb) { return HasVerb(line, verb); });
    if (!allowed) {
      session_.to_client.append(kHelloFirstReply);
      session_.line_ready = true;
      return true;
    }
  }
  if (settings_->client_tls == nullptr || !HasVerb(line, kStartTlsVerb, true)) return false;
  if (session_.client_tls != nullptr) {
    session_.to_client.append(kTlsActiveReply);
    session_.line_ready = true;
    return true;
  }
  StartTls();
  return true;
}

// An EHLO answer offers the gateway's own STARTTLS while the client's leg
// can still be encrypted, and never the MTA's.
void CLauchAntispam::OfferStartTls(String* answer) {
  if (settings_->client_tls == nullptr || !IsEhloAnswer(answer->View())) return;
  RemoveExtension(answer, kStartTlsVerb);
  if (session_.client_tls == nullptr) InjectExtensions(answer, kStartTlsOffer);
}

void CLauchAntispam::StartTls() {
  // RFC 3207: bytes the client sent behind STARTTLS are not commands. They
  // would be taken for commands of the encrypted session (the command
  // injection a man in the middle uses).
  command_input_.Empty();
  session_.lines.Clear();
  input_pending_ = false;
  LogClientLine(String("STARTTLS"));
  const int64_t deadline = clock_() + SecondsToMs(settings_->command_timeout > 0 ? settings_->command_timeout
                                                                                  : kDefaultHandshakeSeconds);
  session_.to_client.append(kReadyForTls);
  if (!SendQueuedBefore(deadline)) {
    Done();
    return;
  }
  auto channel = std::make_unique<TlsChannel>(settings_->client_tls, session_.client->GetSocket(), true, "");
  const std::string failure = Handshake(channel.get(), session_.client->GetSocket(), deadline);
  if (!failure.empty()) {
    LogRecord(kLogError, Text(String(("TLS handshake failed: " + failure).c_str())), log_type::kSys, kTlsRoutine);
    Done();
    return;
  }
  session_.client_tls = std::move(channel);
  session_.hello_due = true;
  session_.helo_name.Empty();
  session_.extended_hello = false;
  session_.line_ready = true;
  session_.last_activity = clock_();
  String line;
  line.Format("TLS %s %s", session_.client_tls->Protocol().c_str(), session_.client_tls->Cipher().c_str());
  LogRecord(kLogConnection, Text(line), log_type::kSys, kTlsRoutine);
}

// The to-client queue sent in clear before the handshake, waiting at most
// until `deadline`. False (logged) when the client did not take it.
bool CLauchAntispam::SendQueuedBefore(int64_t deadline) {
  while (!session_.to_client.IsEmpty()) {
    const int64_t left = deadline - clock_();
    const int sent = left > 0 ? session_.client->Send(session_.to_client.GetData(), session_.to_client.size(),
                                                      static_cast<int>(std::min<int64_t>(left, WaitMs())))
                              : -1;
    if (sent < 0 || !IhaveToRun()) {
      LogRecord(kLogError, "Connection is closed from Client", log_type::kSys, kTlsRoutine);
      return false;
    }
    KeepUnsent(&session_.to_client, sent);
  }
  return true;
}

// The handshake, step by step, each wait on the client alone and ended by
// a stop request; it never outlasts `deadline`. "" once done, else why not.
std::string CLauchAntispam::Handshake(TlsChannel* channel, int fd, int64_t deadline) {
  if (!channel->ok()) return "no TLS channel: " + channel->error();
  for (;;) {
    const TlsChannel::Step step = channel->Handshake();
    if (step == TlsChannel::Step::kDone) return "";
    if (step == TlsChannel::Step::kFailed) return channel->error();
    const int64_t left = deadline - clock_();
    if (left <= 0) return "time limit reached";
    pollfd watch{fd, static_cast<short>(step == TlsChannel::Step::kWantRead ? POLLIN : POLLOUT), 0};
    const int ready = InterruptiblePoll(&watch, 1, static_cast<int>(std::min<int64_t>(left, WaitMs())));
    if (!IhaveToRun()) return "the worker stops";
    if (ready < 0 && errno != EINTR) return "connection lost";
  }
}

// STARTTLS towards the MTA goes after the first EHLO answer of an MTA
// connection that offers it, and that answer is held back: after the
// handshake the HELO line goes again, encrypted, and its answer takes the
// held one's place. A refused STARTTLS leaves the link clear (the held
// answer goes on); a failed handshake leaves nothing to talk to.
bool CLauchAntispam::MtaTlsStep(const String& reply) {
  if (!mta_starttls_pending_) {
    // The HELO line must be there to send again.
    if (settings_->mta_tls == SessionSettings::MtaTls::kNone || settings_->mta_tls_context == nullptr ||
        session_.mta_tls_tried || session_.helo_line.IsEmpty() || !IsEhloAnswer(reply.View()))
      return false;
    session_.mta_tls_tried = true;
    if (!OffersExtension(reply.View(), kStartTlsVerb)) return false;
    held_mta_answer_ = reply;
    session_.to_mta.append("STARTTLS\r\n");
    mta_starttls_pending_ = true;
    return true;
  }
  mta_starttls_pending_ = false;
  String held;
  held.Swap(held_mta_answer_);
  if (ReplyCode(reply.View()) != 220) {
    LogRecord(kLogError, "The mail server refused STARTTLS", log_type::kSys, kTlsRoutine);
    Reply(held);
    return true;
  }
  const int fd = session_.mta->GetSocket();
  auto channel = std::make_unique<TlsChannel>(settings_->mta_tls_context, fd, false, Text(session_.mta_name));
  const int limit = settings_->mta_timeout > 0 ? settings_->mta_timeout : kDefaultHandshakeSeconds;
  const std::string failure = Handshake(channel.get(), fd, clock_() + SecondsToMs(limit));
  if (!failure.empty()) {
    LogRecord(kLogError, Text(String(("TLS handshake with the mail server failed: " + failure).c_str())),
              log_type::kSys, kTlsRoutine);
    EndWith(kMtaTlsFailedReply);
    return true;
  }
  session_.mta_tls = std::move(channel);
  session_.to_mta.append(session_.helo_line);
  return true;
}

// }===========

// {=========== telling the MTA who the client is

// XCLIENT goes after the first EHLO answer of an MTA connection that offers
// it, and that answer is held back: the MTA greets anew, the HELO line goes
// again, and its answer takes the held one's place. A refused XCLIENT
// changes nothing at the MTA: the held answer goes on instead.
bool CLauchAntispam::XclientStep(const String& reply) {
  if (!xclient_pending_) {
    if (!settings_->xclient || session_.mta_knows_client || session_.helo_line.IsEmpty() ||
        !OffersExtension(reply.View(), kXclientKeyword))
      return false;
    session_.mta_knows_client = true;
    held_ehlo_answer_ = reply;
    const std::string command = XclientCommand(HopOfClient(), session_.extended_hello);
    session_.to_mta.append(command.data(), command.size());
    xclient_pending_ = true;
    return true;
  }
  xclient_pending_ = false;
  String held;
  held.Swap(held_ehlo_answer_);
  if (ReplyCode(reply.View()) / 100 == 2) {
    session_.to_mta.append(session_.helo_line);
    return true;
  }
  LogRecord(kLogError, "The mail server refused XCLIENT", log_type::kSys, kReplyRoutine);
  Reply(held);
  return true;
}

ClientHop CLauchAntispam::HopOfClient() const {
  ClientHop hop;
  hop.helo = session_.helo_name.View();
  hop.address = session_.client_address.View();
  hop.reverse_name = session_.reverse_name.View();
  return hop;
}

std::string CLauchAntispam::ClientTraceHeader() const {
  const std::string protocol = HopProtocol(session_.extended_hello, session_.client_tls != nullptr, authenticated_);
  char id[40];
  snprintf(id, sizeof(id), "%llX-%d", static_cast<unsigned long long>(session_wall_start_), session_.id);
  ClientHop hop = HopOfClient();
  hop.protocol = protocol;
  hop.by = settings_->host_name.View();
  hop.id = id;
  hop.when = time(nullptr);
  return TraceHeader(hop);
}

void CLauchAntispam::QueueTraceHeader() {
  if (!trace_due_) return;
  trace_due_ = false;
  const std::string header = ClientTraceHeader();
  session_.to_mta.append(header.data(), header.size());
}

void CLauchAntispam::QueueBdatLine() {
  const std::string header = trace_due_ ? ClientTraceHeader() : std::string();
  const std::string grown = header.empty() ? std::string() : GrownBdatLine(session_.current_line.View(), header.size());
  if (grown.empty()) {
    session_.to_mta.append(session_.current_line);
    return;
  }
  trace_due_ = false;
  session_.to_mta.append(grown.data(), grown.size());
  session_.to_mta.append(header.data(), header.size());
}

// }===========

// {=========== the end of a connection

void CLauchAntispam::EndWith(const char* reply) {
  SendLastReply(reply);
  Done();
}

void CLauchAntispam::SendLastReply(const char* reply) {
  if (session_.client == nullptr) return;
  if (session_.client_tls != nullptr) {
    session_.ClientSend(reply, static_cast<int>(strlen(reply)));  // best effort: never waits
  } else {
    session_.client->Send(reply, static_cast<int>(strlen(reply)), WaitMs());
  }
}

void CLauchAntispam::AbandonSession(const char* reply) {
  if (session_.close_after_queue) return;
  session_.to_client.append(reply);
  session_.close_after_queue = true;
  session_.to_mta.Empty();
  session_.block_sending = false;
  if (session_.mta != nullptr) session_.mta->CloseComm();
}

void CLauchAntispam::EndForClientTimeout(const char* reply, const char* what) {
  LogRecord(kLogError, what, log_type::kFirewall, kRunRoutine);
  SendLastReply(reply);
  CountEvent(kTimeoutCounter, kFirewallGroup);
  RaiseEvent(kTimeoutEvent);
  if (busy_.load()) Done();
}

void CLauchAntispam::Done() {
  MergeScriptLogs();
  CSocketComm* slot = session_.client;
  if (session_.client_tls != nullptr) session_.client_tls->Close();
  if (slot != nullptr) slot->CloseComm();
  if (session_.mta != nullptr) session_.mta->CloseComm();
  const int id = session_.id;
  CIP_Session* sessions = core_ != nullptr ? core_->sessions() : nullptr;
  for (const String& address : session_.registered_addresses) {
    if (sessions == nullptr || sessions->RemoveSession(Text(address)) != 1) continue;
    String line;
    line.Format("Remove Session ip:%s", Text(LogExcerpt(address.View())));
    LogRecord(kLogError, Text(line), log_type::kSys, kDoneRoutine);
  }
  if (session_.quarantine.pending()) {
    LogRecord(kLogError, "Quarantine filing dropped: the message did not end", log_type::kSys, kDoneRoutine);
  }
  Resetvar();
  log_.LogS(kLogDebug, "Rest Variables", kLogSource, kDoneRoutine, log_type::kSys, id);
  if (script_ != nullptr) {
    RunDestroyEvent();
    if (script_->HasBadScript()) script_.reset();  // the next connection compiles afresh
  }
  log_.LogS(kLogDebug, "Exit Child Thread", kLogSource, kDoneRoutine, log_type::kSys, id);
  if (caching_.load()) ready_.store(true);  // a spent worker (no caching) takes no more
  busy_.store(false);
  // Last: a connection can reach this slot again only once the worker is
  // free to take it, so the core never needs a worker beyond the pool.
  if (slot != nullptr) slot->SetLibero(true);
}

void CLauchAntispam::Resetvar() {
  session_.Reset();
  ResetRelayState();
  if (!caching_.load()) script_.reset();
}

void CLauchAntispam::ResetRelayState() {
  command_input_.Empty();
  input_pending_ = false;
  replies_.Clear();
  bdat_chunk_ = false;
  chunk_size_ = -1;
  data_reply_pending_ = false;
  mta_expects_data_ = false;
  message_analysed_ = false;
  message_discarded_ = false;
  refusal_ = nullptr;
  held_reply_.Empty();
  replies_at_message_start_ = 0;
  hidden_replies_ = 0;
  replay_line_.Empty();
  authenticated_ = false;
  trace_due_ = false;
  xclient_pending_ = false;
  mta_starttls_pending_ = false;
  held_mta_answer_.Empty();
  held_ehlo_answer_.Empty();
  session_wall_start_ = 0;
  auth_continuation_ = false;
  session_start_ms_ = 0;
  command_start_ms_ = 0;
  mta_wait_start_ms_ = 0;
  client_blocked_ms_ = 0;
  client_send_blocked_ = false;
  mta_send_blocked_ = false;
  client_readable_ = false;
  mta_readable_ = false;
}

void CLauchAntispam::RunDestroyEvent() {
  if (script_ != nullptr) RaiseEvent(kDestroyEvent);
}

// }===========

// {=========== events, logs, counters

int CLauchAntispam::RaiseEvent(const char* name) {
  if (script_ == nullptr) return 0;
  const int result = script_->run(name);
  CheckScriptBudget();
  return result;
}

void CLauchAntispam::CheckScriptBudget() {
  if (script_ != nullptr && script_->TakeOverrun() && busy_.load()) AbandonSession(kScriptFailureReply);
}

std::string CLauchAntispam::CollectScriptLog(AntispamScriptSlot& slot) {
  if (slot.interpreter == nullptr) return "";
  const char* text = slot.interpreter->BuildAllLog();
  return text != nullptr ? text : "";
}

void CLauchAntispam::MergeScriptText(const AntispamScriptSlot& slot, const std::string& text) {
  if (text.empty()) return;
  log_.LogS(kLogError, text.c_str(), Text(slot.file), kRunRoutine, log_type::kScript, session_.id);
}

void CLauchAntispam::MergeScriptLogs() {
  if (script_ == nullptr) return;
  for (AntispamScriptSlot& slot : script_->slots()) MergeScriptText(slot, CollectScriptLog(slot));
}

void CLauchAntispam::LogRecord(int level, const char* text, const char* category, const char* routine) {
  log_.LogS(level, text, kLogSource, routine, category, session_.id);
}

void CLauchAntispam::CountEvent(const char* counter, int group) {
  CStatitiche_Torvane* statistics = core_ != nullptr ? core_->statistics() : nullptr;
  if (statistics != nullptr) statistics->AddItem(counter, group, 0, 1, CStatitiche_Day::kIncrement);
}

// }===========
