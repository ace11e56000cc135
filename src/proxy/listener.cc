// listener - the accept thread, its slots and queue, and the busy reply.
#include "proxy/listener.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "base/utility.h"

namespace {

constexpr char kSource[] = "listentorvane";
constexpr char kRoutine[] = "CListenTorvane::Run";
// Ids above this wrap to 0 before the increment.
constexpr unsigned int kLastIdBeforeWrap = 2147483646u;

// True when `fd` has a connection to accept; false when the wait ended
// otherwise (a stop request, a signal).
bool AcceptReady(int fd) {
  pollfd watch{fd, POLLIN, 0};
  return InterruptiblePoll(&watch, 1, -1) > 0;
}

}  // namespace

CListenTorvane::CListenTorvane()
    : listening_(std::make_unique<CSocketComm>()), refusal_(std::make_unique<CSocketComm>()) {
  SetFunction(&CListenTorvane::AcceptThread, this);
}

CListenTorvane::~CListenTorvane() { Stop(); }

void* CListenTorvane::AcceptThread(void* self) {
  static_cast<CListenTorvane*>(self)->Run();
  return nullptr;
}

bool CListenTorvane::InitListen(const char* address, const char* port, unsigned int slot_count) {
  listen_address_ = address != nullptr ? address : "";
  listen_port_ = port != nullptr ? port : "";
  if (listen_port_.IsEmpty()) {
    log_.LogS(kLogError, "Port listen is Empty", kSource, "CListenTorvane::InitListen", log_type::kSys, 0);
    return false;
  }
  Stop();  // walks the old slots, so the new count is taken only afterwards
  slot_count_ = slot_count;
  listening_ = std::make_unique<CSocketComm>();
  refusal_ = std::make_unique<CSocketComm>();
  slots_ = std::make_unique<CSocketComm[]>(static_cast<size_t>(slot_count_) + 1);
  log_.LogS(kLogDebug, "Init Listen OK", kSource, "CListenTorvane::InitListen", log_type::kDebug, 0);
  return StartNewListen();
}

bool CListenTorvane::StartNewListen() {
  return listening_->CreateSocket(listen_port_.GetData(), listen_address_.GetData(), AF_INET,
                                  SOCK_STREAM, CSocketComm::kOptionReuseAddress);
}

void CListenTorvane::Run() {
  while (IhaveToRun()) {
    const int listen_fd = listening_->GetSocket();
    if (listen_fd == CSocketComm::kNoSocket) {
      MySleep(kAcceptFailurePauseMs);
      continue;
    }
    if (!AcceptReady(listen_fd)) continue;
    const int fd = CSocketComm::WaitForConnection(listen_fd);
    if (fd < 0) {
      MySleep(kAcceptFailurePauseMs);
      if (IhaveToRun() && listening_->IsOpen())
        log_.LogS(kLogDebug, "New Connection FAILED socket. Do not send event if we are closing",
                  kSource, kRoutine, log_type::kDebug, 0);
      continue;
    }
    if (!Admit(fd)) Refuse(fd);
  }
}

bool CListenTorvane::Admit(int fd) {
  CSocketComm* slot = DammiChild();
  if (slot == nullptr) return false;
  slot->SetHandle(fd);
  slot->SetLibero(false);
  Lock();
  PiuPiu();
  conn queued;
  queued.id = id_connection_;
  queued.slot = slot;
  queue_.Add(queued);
  UnLock();
  log_.LogS(kLogDebug, "New job for you", kSource, kRoutine, log_type::kDebug, static_cast<int>(queued.id));
  if (WakeSignal* wake = wake_.load()) wake->Notify();
  return true;
}

void CListenTorvane::Refuse(int fd) {
  refusal_->SetHandle(fd);
  String reply;
  busy_lock_.StartSession();
  reply = busy_reply_;
  busy_lock_.EndSession();
  if (!reply.IsEmpty()) refusal_->Send(reply.GetData(), reply.size(), kBusyReplyTimeoutMs);
  refusal_->CloseComm();
}

void CListenTorvane::Stop() {
  StopComm();
  CloseSlots();
  refusal_->CloseComm();
  listening_->CloseComm();
}

void CListenTorvane::CloseSlots() {
  if (!slots_) return;
  for (unsigned int i = 0; i <= slot_count_; ++i) {
    slots_[i].CloseComm();
    slots_[i].SetLibero(true);
  }
}

void CListenTorvane::Unblock() { listening_->Interrupt(); }

bool CListenTorvane::IsNextAvailable() { return DammiChild() != nullptr; }

CSocketComm* CListenTorvane::DammiChild() {
  if (!slots_) return nullptr;
  for (unsigned int i = 0; i < slot_count_; ++i) {
    if (!slots_[i].IsOpen() && slots_[i].IsLibero()) return &slots_[i];
  }
  return nullptr;
}

void CListenTorvane::PiuPiu() {
  if (id_connection_ > kLastIdBeforeWrap) id_connection_ = 0;
  ++id_connection_;
}

void CListenTorvane::SetBusyReply(const String& reply) {
  CriticalScope hold(busy_lock_);
  busy_reply_ = reply;
}

void CListenTorvane::MakeBusyReply(String* out, const char* template_text, const char* name) {
  if (out == nullptr) return;
  const char* text = template_text != nullptr ? template_text : "";
  const char* mark = strstr(text, "%s");
  String reply;
  if (mark == nullptr) {
    reply = text;
  } else {
    reply.append(text, static_cast<size_t>(mark - text));
    reply.append(name != nullptr ? name : "");
    reply.append(mark + 2);
  }
  reply.append(" \r\n");
  *out = reply;
}
