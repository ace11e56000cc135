// session_worker - the SMTP session worker: taking a connection, admission,
// the script check, the relay loop and the end of a connection (see
// session_worker.h). The relay moves bytes in the order the client and the
// MTA sent them; only the scripts change what is forwarded.
#include "proxy/session_worker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/utility.h"
#include "engines/dns_wire.h"

namespace {

// ---- Log records ------------------------------------------------------------
constexpr char kLogSource[] = "torvanecore";
constexpr char kRunRoutine[] = "CLauchAntispam::Run";
constexpr char kLevelunoRoutine[] = "CLauchAntispam::Leveluno";
constexpr char kReplyRoutine[] = "CTorvaneCore::Reply";
constexpr char kDoneRoutine[] = "CLauchAntispam::Done";

// ---- Script events ------------------------------------------------------------
constexpr char kStartEvent[] = "OnStartClientConnection";
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
constexpr char kTimeoutCounter[] = "f3fw_timeout";
constexpr char kMaxErrorCounter[] = "f3fw_max_errore";
// Statistics group of the firewall counters (the "3" of "f3fw_...").
constexpr int kFirewallGroup = 3;

// A broken script of this name leaves nothing to relay with.
constexpr char kCoreScriptName[] = "/core.cs";

// Wait and block size when the settings give less than 1.
constexpr int kDefaultWaitMs = 300;
constexpr int kDefaultBlockBytes = 1024;

// Client command arguments the session keeps for the scripts.
struct RememberedArgument {
  const char* event;
  String SmtpSession::*field;
};
constexpr RememberedArgument kRememberedArguments[] = {
    {"OnHelo", &SmtpSession::helo_name},
    {"OnMailFrom", &SmtpSession::mail_from},
};

// Script text arguments are C strings; a String that never held text has
// none.
const char* Text(const String& text) { return text.GetData() != nullptr ? text.GetData() : ""; }

int Now() { return static_cast<int>(GetTimeNow()); }

// Reads what `socket` holds, up to `buffer`'s size, without waiting, into
// *out. The count; 0 when nothing is there; -1 when the socket is closed,
// the peer closed it or it failed.
int ReadAvailable(CSocketComm* socket, std::vector<char>* buffer, String* out) {
  const int fd = socket->GetSocket();
  if (fd == CSocketComm::kNoSocket) return -1;
  const ssize_t got = recv(fd, buffer->data(), buffer->size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (got < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
  if (got == 0) return -1;
  *out = String(std::string_view(buffer->data(), static_cast<size_t>(got)));
  return static_cast<int>(got);
}

// Sends what the socket takes of `bytes` without waiting. The count sent
// (0 when it takes nothing now); -1 when closed or failed.
int SendAvailable(CSocketComm* socket, std::string_view bytes) {
  const int fd = socket->GetSocket();
  if (fd == CSocketComm::kNoSocket) return -1;
  const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
  return static_cast<int>(sent);
}

// Drops the first `sent` bytes of a queue. Returns true when some remain.
bool KeepUnsent(String* queue, int sent) {
  const std::string_view rest = queue->View().substr(static_cast<size_t>(sent));
  *queue = String(rest);
  return !queue->IsEmpty();
}

}  // namespace

// Defined ahead of its callers: events with arguments are raised all over
// the relay steps below.
template <typename... Args>
int CLauchAntispam::RaiseEvent(const char* name, const char* format, Args... args) {
  return script_ != nullptr ? script_->run(name, format, args...) : 0;
}

// {=========== the thread

CLauchAntispam::CLauchAntispam() : wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CLauchAntispam::~CLauchAntispam() {
  Stop();
  if (wake_fd_ >= 0) close(wake_fd_);
}

void* CLauchAntispam::LauchAntispamThreadProc(void* self) {
  static_cast<CLauchAntispam*>(self)->Run();
  return nullptr;
}

bool CLauchAntispam::Start() {
  SetFunction(&CLauchAntispam::LauchAntispamThreadProc, this);
  DrainWake();  // a wake-up left by an earlier stop
  return WatchComm();
}

void CLauchAntispam::Stop() { StopComm(); }

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

void CLauchAntispam::Run() {
  while (IhaveToRun()) {
    if (!busy_.load()) {
      ready_.store(true);
      pollfd wake{wake_fd_, POLLIN, 0};
      if (poll(&wake, 1, kIdleWaitMs) > 0) DrainWake();
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
    if (session_.client != nullptr) {
      session_.client->Send(kStopReply, static_cast<int>(strlen(kStopReply)), WaitMs());
    }
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
  session_.id = static_cast<int>(connection.id);
  session_.client = connection.slot;
  if (session_.client != nullptr) session_.client->SetNoDelay();
  read_buffer_.resize(static_cast<size_t>(BlockBytes()));
}

// Closes and frees the client's slot without running any script.
void CLauchAntispam::DropRefusedClient() {
  if (session_.client != nullptr) {
    session_.client->CloseComm();
    session_.client->SetLibero(true);
  }
  session_.Reset();
  ResetRelayState();
  busy_.store(false);
}

void CLauchAntispam::InitScript() {
  if (settings_ == nullptr) settings_ = core_ != nullptr ? core_->Settings() : std::make_shared<const SessionSettings>();
  const bool fresh = script_ == nullptr;
  if (fresh) script_ = std::make_unique<CS_PROXY_ANTISPAM_INSTANCE>();
  script_->SetContext({core_, &session_, &log_});
  const bool caching = caching_.load();
  script_->InitScript(settings_->scripts, caching);
  script_->CompileScripts(!caching);
  if (fresh && caching) RunDestroyEvent();
}

bool CLauchAntispam::ScriptsReady() {
  if (script_ == nullptr || script_->Count() <= 0) {
    LogRecord(1, "NO SCRIPT SETTING IN CONFIG", log_type::kScript, kRunRoutine);
    Done();
    return false;
  }
  for (AntispamScriptSlot& slot : script_->slots()) {
    const std::string errors = CollectScriptLog(slot);
    if (errors.empty() && slot.good) continue;
    String line;
    line.Format("-- ERROR SCRIPT: %s --", Text(slot.file));
    LogRecord(1, Text(line), log_type::kScript, kRunRoutine);
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
    LogRecord(1, "ERROR SOCKET IP is ZERO", log_type::kSys, kRunRoutine);
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
  session_.last_activity = Now();
  while (busy_.load()) {
    WaitForSockets();
    const bool open = ReadMta() && FlushClientQueue() && ReadClient() && HandleCommandLine() &&
                      MoveDataBlock() && FlushMtaQueue() && CloseWhenSent() && CheckClientTimeout() &&
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
  state.mta_gone = session_.mta != nullptr && !state.mta_open;
  state.to_mta_pending = !session_.to_mta.IsEmpty();
  state.mta_send_blocked = mta_send_blocked_;
  state.command_waiting = session_.state == SmtpSession::kCommandMode && session_.to_mta.IsEmpty() &&
                          session_.line_ready && input_pending_;
  state.data_to_move = session_.block_sending && session_.to_mta.IsEmpty() &&
                       (!session_.data_block.IsEmpty() || session_.end_of_data == 1);
  state.close_pending = session_.close_after_queue;
  const RelayWait wait = PlanRelayWait(state, WaitMs());

  // A socket with nothing to watch stays out of the poll: a peer that hung
  // up would otherwise report itself on every pass.
  pollfd fds[3] = {
      {wake_fd_, POLLIN, 0},
      {wait.client_events != 0 ? client_fd : -1, wait.client_events, 0},
      {wait.mta_events != 0 ? mta_fd : -1, wait.mta_events, 0},
  };
  client_readable_ = false;
  mta_readable_ = false;
  if (poll(fds, 3, wait.timeout_ms) <= 0) return;
  if (fds[0].revents != 0) DrainWake();
  constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
  client_readable_ = (wait.client_events & POLLIN) != 0 && (fds[1].revents & kReadable) != 0;
  mta_readable_ = (wait.mta_events & POLLIN) != 0 && (fds[2].revents & kReadable) != 0;
}

bool CLauchAntispam::ReadMta() {
  if (session_.mta == nullptr) return true;
  if (!session_.mta->IsOpen()) return MtaGone();
  if (!mta_readable_) return true;
  const int got = ReadAvailable(session_.mta.get(), &read_buffer_, &session_.from_mta);
  if (got < 0) {
    session_.mta->CloseComm();
    return MtaGone();
  }
  if (got > 0) Reply();
  return busy_.load();
}

// A closed MTA ends the connection, but only once the client has had what
// was queued for it (the MTA's last reply, or the script's own answer when
// the connect failed): the queue is sent in this same pass.
bool CLauchAntispam::MtaGone() {
  if (!session_.to_client.IsEmpty() && !client_send_blocked_) return true;
  LogRecord(1, "Connection is closed from Friend", log_type::kSys, kRunRoutine);
  Done();
  return false;
}

bool CLauchAntispam::FlushClientQueue() {
  if (session_.client == nullptr || session_.to_client.IsEmpty()) return true;
  const int sent = SendAvailable(session_.client, session_.to_client.View());
  if (sent < 0) {
    LogRecord(1, "Connection is closed from Client", log_type::kSys, kRunRoutine);
    Done();
    return false;
  }
  if (sent == session_.to_client.size()) {
    String line;
    line.Format("fr->cl : %s", Text(session_.to_client));
    LogRecord(2, Text(line), log_type::kSys, kRunRoutine);
    session_.to_client.Empty();
    client_send_blocked_ = false;
  } else {
    client_send_blocked_ = KeepUnsent(&session_.to_client, sent);
  }
  return true;
}

bool CLauchAntispam::ReadClient() {
  if (session_.client == nullptr) return true;
  session_.from_client.Empty();
  if (!ClientMayRead()) return true;
  const int got = session_.client->IsOpen()
                      ? (client_readable_ ? ReadAvailable(session_.client, &read_buffer_, &session_.from_client) : 0)
                      : -1;
  if (got < 0) {
    LogRecord(1, "Connection is closed from Client", log_type::kSys, kRunRoutine);
    Done();
    return false;
  }
  if (got == 0) return true;
  if (ClientBytesAreData()) {
    DataStore();
    if (!busy_.load()) return false;
  } else {
    // A "." held back when data mode ended otherwise (a refused DATA).
    QueueCommandBytes(held_data_.View());
    held_data_.Empty();
    QueueCommandBytes(session_.from_client.View());
  }
  session_.last_activity = Now();
  return true;
}

bool CLauchAntispam::HandleCommandLine() {
  if (session_.state != SmtpSession::kCommandMode || !session_.to_mta.IsEmpty() || !session_.line_ready ||
      !input_pending_)
    return true;
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
  return busy_.load();
}

bool CLauchAntispam::MoveDataBlock() {
  if (session_.block_sending && session_.to_mta.IsEmpty()) {
    const std::string_view block = session_.data_block.View();
    const size_t piece = std::min(block.size(), static_cast<size_t>(BlockBytes()));
    session_.to_mta = String(block.substr(0, piece));
    session_.data_block = String(block.substr(piece));
    if (session_.data_block.IsEmpty() && session_.end_of_data == 1) {
      session_.block_sending = false;
      session_.state = SmtpSession::kCommandMode;
      session_.end_of_data = 0;
      bdat_chunk_ = false;
    }
  }
  if (!session_.to_mta.IsEmpty()) session_.last_activity = Now();
  return true;
}

bool CLauchAntispam::FlushMtaQueue() {
  // A closed MTA is reported by the next pass's MTA step.
  if (session_.to_mta.IsEmpty() || session_.mta == nullptr || !session_.mta->IsOpen()) return true;
  const int sent = SendAvailable(session_.mta.get(), session_.to_mta.View());
  if (sent < 0) {
    LogRecord(1, "Connection is closed from Friend", log_type::kSys, kRunRoutine);
    Done();
    return false;
  }
  mta_send_blocked_ = KeepUnsent(&session_.to_mta, sent);
  return true;
}

bool CLauchAntispam::CloseWhenSent() {
  if (!session_.close_after_queue || !session_.to_client.IsEmpty()) return true;
  Done();
  return false;
}

bool CLauchAntispam::CheckClientTimeout() {
  if (session_.client == nullptr || session_.relay_client || session_.last_activity == 0) return true;
  if (Now() - session_.last_activity <= settings_->timeout_client) return true;
  LogRecord(1, "Connection Timeout", log_type::kFirewall, kRunRoutine);
  session_.client->Send(kTimeoutReply, static_cast<int>(strlen(kTimeoutReply)), WaitMs());
  CountEvent(kTimeoutCounter, kFirewallGroup);
  RaiseEvent(kTimeoutEvent);
  Done();
  return false;
}

bool CLauchAntispam::CheckStopRequest() {
  if (IhaveToRun()) return true;
  if (session_.client != nullptr) {
    session_.client->Send(kStopReply, static_cast<int>(strlen(kStopReply)), WaitMs());
  }
  Done();
  return false;
}

bool CLauchAntispam::ClientMayRead() const {
  if (session_.close_after_queue) return false;
  if (session_.block_sending && session_.data_block.size() >= BlockBytes()) return false;
  // Pipelined commands wait for the MTA one at a time; stop reading while
  // a whole window of them is held.
  return static_cast<size_t>(command_input_.size()) < ClientLineSplitter::kMaxPendingBytes;
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

// }===========

// {=========== client commands and message data

void CLauchAntispam::Leveluno() {
  String text;
  StripLineEnds(session_.current_line.View(), &text);
  if (RaiseEvent(kAllClientDataEvent, "string", Text(text)) != 0) {
    Done();
    return;
  }
  String line;
  line.Format("fr<-cl : %s", Text(text));
  LogRecord(2, Text(line), log_type::kSys, kLevelunoRoutine);
  const SmtpClientCommand command = ClassifyClientLine(session_.current_line.View(), session_.relay_client);
  RaiseCommandEvent(command);
  if (command.enters_data_mode) EnterDataMode(command);
  session_.to_mta = session_.current_line;
}

void CLauchAntispam::RaiseCommandEvent(const SmtpClientCommand& command) {
  if (command.event == nullptr) return;
  for (const RememberedArgument& remembered : kRememberedArguments) {
    if (command.arg_count > 0 && strcmp(remembered.event, command.event) == 0) {
      session_.*remembered.field = command.args[0];
    }
  }
  if (command.arg_count == 0) {
    RaiseEvent(command.event);
  } else if (command.arg_count == 1) {
    RaiseEvent(command.event, "string", Text(command.args[0]));
  } else {
    RaiseEvent(command.event, "string,string", Text(command.args[0]), Text(command.args[1]));
  }
}

void CLauchAntispam::EnterDataMode(const SmtpClientCommand& command) {
  session_.data_limit = command.DataLimitAfter(session_.data_limit);
  bdat_chunk_ = command.bdat_size >= 0;
  session_.bdat_remaining = std::max(command.bdat_size, 0);
  // A message dropped by a script leaves its end mark behind; the new one
  // must look for its own.
  session_.end_of_data = 0;
  held_data_.Empty();
  data_line_start_ = true;
  const String command_text = session_.current_line;
  const bool pipelined = !session_.lines.IsEmpty() || !command_input_.IsEmpty();
  String pending;
  if (pipelined) {
    session_.lines.TakePending(&pending);
    pending.append(command_input_);
    command_input_.Empty();
    input_pending_ = false;
    session_.current_line.append(pending);
  }
  session_.state = SmtpSession::kDataMode;
  RaiseEvent(command.data_event, "int", &session_.data_limit);
  if (pipelined && !session_.current_line.IsEmpty()) {
    session_.from_client = pending;
    session_.current_line = command_text;
    DataStore();
  } else if (bdat_chunk_ && session_.bdat_remaining == 0) {
    DataStore();  // an empty chunk is complete at once
  }
}

void CLauchAntispam::DataStore() {
  if (session_.end_of_data == 1) {  // complete already: these are the next commands
    KeepMessageBytes(DataCut());
    return;
  }
  const bool stored = bdat_chunk_ ? TakeChunkPiece() : TakeMessagePiece();
  if (stored) StoreDataPiece();
}

// Each Take*Piece leaves the piece of the message in the from-client
// buffer and returns false when it adds nothing to the message.
bool CLauchAntispam::TakeMessagePiece() {
  if (!held_data_.IsEmpty()) {
    held_data_.append(session_.from_client);
    session_.from_client = held_data_;
    held_data_.Empty();
  }
  const std::string_view block = session_.from_client.View();
  const DataCut cut = CutDotMessage(block, data_line_start_);
  if (cut.held_bytes > 0) {
    data_line_start_ = true;  // what is held starts a line
  } else if (cut.message_bytes > 0) {
    data_line_start_ = block[cut.message_bytes - 1] == '\n';
  }
  if (cut.end_of_data) session_.end_of_data = 1;
  KeepMessageBytes(cut);
  return cut.message_bytes > 0 || cut.end_of_data;
}

bool CLauchAntispam::TakeChunkPiece() {
  const DataCut cut = CutChunk(session_.from_client.View(), session_.bdat_remaining);
  session_.bdat_remaining -= static_cast<int>(cut.message_bytes);
  if (cut.end_of_data) session_.end_of_data = 1;
  KeepMessageBytes(cut);
  return cut.message_bytes > 0 || cut.end_of_data;
}

// The from-client buffer keeps the cut's message bytes; the held bytes
// wait for the next read and the rest are command lines.
void CLauchAntispam::KeepMessageBytes(const DataCut& cut) {
  const std::string_view block = session_.from_client.View();
  const size_t commands = std::min(block.size(), cut.message_bytes + cut.held_bytes);
  if (cut.held_bytes > 0) held_data_ = String(block.substr(cut.message_bytes, cut.held_bytes));
  QueueCommandBytes(block.substr(commands));
  session_.from_client = String(block.substr(0, cut.message_bytes));
}

void CLauchAntispam::StoreDataPiece() {
  session_.data_block.append(session_.from_client);
  RaiseEvent(kDataMessageEvent, "string,int", Text(session_.from_client), &session_.end_of_data);
  if (session_.end_of_data != 1 && session_.data_block.size() < session_.data_limit) return;
  if (!session_.block_sending) AnalyseMessage();
  session_.block_sending = true;
  if (session_.state == SmtpSession::kCommandMode) {  // a script dropped the message
    session_.data_block.Empty();
    session_.block_sending = false;
  }
}

void CLauchAntispam::AnalyseMessage() {
  const std::string_view message = session_.data_block.View();
  session_.analysed_message = String(message.substr(0, SmtpSession::kAnalysedBytes));
  session_.parser.Clear();
  session_.parser.AddStreaming(session_.analysed_message.View());
  session_.parser.Parse();
  RaiseEvent(kAnalyzerEvent);
  RaiseEvent(kFilterDoneEvent);
}

// }===========

// {=========== MTA replies

void CLauchAntispam::Reply() {
  String& block = session_.from_mta;
  if (!session_.extension_injection.IsEmpty() && InjectExtensions(&block, session_.extension_injection.View())) {
    session_.extension_injection.Empty();
  }
  if (!session_.extension_drop.IsEmpty() && ApplyExtensionDrops(&block, session_.extension_drop.View())) {
    session_.extension_drop.Empty();
  }
  if (block.View().find('\n') != std::string_view::npos) session_.line_ready = true;
  if (IsMtaErrorReply(block.View())) {
    CountMtaError();
    if (!busy_.load()) return;
  }
  if (IsMtaAuthenticatedReply(block.View())) {
    session_.relay_client = true;
    LogRecord(1, "authenticated !", log_type::kFirewall, kReplyRoutine);
    RaiseEvent(kAuthenticatedEvent);
  }
  // Appended, not replaced: a reply must not overwrite what a partial send
  // or a script left queued for the client.
  session_.to_client.append(block);
  if (block.IsEmpty()) return;
  if (RaiseEvent(kReplyEvent, "string", Text(block)) != 0) Done();
}

void CLauchAntispam::CountMtaError() {
  ++session_.error_count;
  RaiseEvent(kMtaErrorEvent, "int", &session_.error_count);
  if (session_.error_count > settings_->error_max) {
    LogRecord(1, "max errors exceeded... close connection !!!", log_type::kFirewall, kReplyRoutine);
    CountEvent(kMaxErrorCounter, kFirewallGroup);
    Done();
    return;
  }
  // A refused DATA ends data mode; the announced bytes of a BDAT chunk
  // still come and still belong to the chunk.
  if (session_.state == SmtpSession::kDataMode && session_.bdat_remaining == 0) {
    session_.state = SmtpSession::kCommandMode;
  }
}

// }===========

// {=========== the end of a connection

void CLauchAntispam::Done() {
  MergeScriptLogs();
  if (session_.client != nullptr) {
    session_.client->CloseComm();
    session_.client->SetLibero(true);
  }
  if (session_.mta != nullptr) {
    session_.mta->CloseComm();
    session_.mta->SetLibero(true);
  }
  const int id = session_.id;
  CIP_Session* sessions = core_ != nullptr ? core_->sessions() : nullptr;
  if (sessions != nullptr && !session_.client_address.IsEmpty() &&
      sessions->RemoveSession(Text(session_.client_address)) == 1) {
    String line;
    line.Format("Remove Session ip:%s", Text(session_.client_address));
    LogRecord(1, Text(line), log_type::kSys, kDoneRoutine);
  }
  Resetvar();
  log_.LogS(kLogDebug, "Rest Variables", kLogSource, kDoneRoutine, log_type::kSys, id);
  if (script_ != nullptr) {
    RunDestroyEvent();
    if (script_->HasBadScript()) script_.reset();  // the next connection compiles afresh
  }
  log_.LogS(kLogDebug, "Exit Child Thread", kLogSource, kDoneRoutine, log_type::kSys, id);
  busy_.store(false);
}

void CLauchAntispam::Resetvar() {
  session_.Reset();
  ResetRelayState();
  if (!caching_.load()) script_.reset();
}

void CLauchAntispam::ResetRelayState() {
  command_input_.Empty();
  input_pending_ = false;
  bdat_chunk_ = false;
  held_data_.Empty();
  data_line_start_ = true;
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
  return script_ != nullptr ? script_->run(name) : 0;
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

int CLauchAntispam::WaitMs() const {
  return settings_ != nullptr && settings_->select_time_ms >= 1 ? settings_->select_time_ms : kDefaultWaitMs;
}

int CLauchAntispam::BlockBytes() const {
  return settings_ != nullptr && settings_->block_size >= 1 ? settings_->block_size : kDefaultBlockBytes;
}

// }===========
