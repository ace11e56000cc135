// sender - the output queue thread (see sender.h).
#include "admin/sender.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct Watched {
  int id;
  int fd;
};

}  // namespace

CSender::CSender() {
  bell_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  SetFunction(&CSender::Body, this);
}

CSender::~CSender() {
  Stop();
  if (bell_fd_ >= 0) close(bell_fd_);
}

bool CSender::Start() { return WatchComm(); }

void CSender::Stop() {
  StopComm();
  Lock();
  queues_.clear();
  UnLock();
}

void CSender::Unblock() { Ring(); }

void CSender::Ring() {
  if (bell_fd_ < 0) return;
  const uint64_t one = 1;
  (void)!write(bell_fd_, &one, sizeof one);
}

void CSender::AddSender(int id, CSocketComm* socket) {
  if (socket == nullptr) return;
  Lock();
  SenderQueue queue;
  queue.socket = socket;
  queues_[id] = std::move(queue);
  UnLock();
}

void CSender::Send(const char* data, int id, int length) {
  if (data == nullptr) return;
  const size_t size = length < 0 ? strlen(data) : static_cast<size_t>(length);
  Append(id, {std::string(data, size), 0, 0}, {});
}

void CSender::SendAnswer(std::string head, std::string file_body, int id) {
  if (file_body.size() < kFilePieceBytes) {
    head += file_body;
    Append(id, {std::move(head), 0, 0}, {});
    return;
  }
  Append(id, {std::move(head), 0, 0}, {std::move(file_body), 0, kFilePieceBytes});
}

void CSender::Append(int id, Segment first, Segment second) {
  if (first.bytes.empty() && second.bytes.empty()) return;
  Lock();
  auto it = queues_.find(id);
  if (it != queues_.end()) {
    for (Segment* segment : {&first, &second}) {
      if (segment->bytes.empty()) continue;
      it->second.queued += segment->bytes.size();
      it->second.pending.push_back(std::move(*segment));
    }
  }
  UnLock();
  Ring();
}

void CSender::RemoveSend(int id) {
  Lock();
  queues_.erase(id);
  UnLock();
}

bool CSender::SiHaFinitoIlSend(int id) {
  Lock();
  auto it = queues_.find(id);
  const bool done = it != queues_.end() && it->second.started && it->second.written == it->second.queued;
  UnLock();
  return done;
}

int CSender::GetCount(bool) {
  Lock();
  const int count = static_cast<int>(queues_.size());
  UnLock();
  return count;
}

void CSender::SetBufferOut(int bytes) {
  Lock();
  buffer_out_ = bytes < 1 ? kDefaultBufferOut : bytes;
  UnLock();
}

void* CSender::Body(void* self) {
  static_cast<CSender*>(self)->Run();
  return nullptr;
}

void CSender::Run() {
  while (IhaveToRun()) Pass();
}

void CSender::Pass() {
  std::vector<Watched> watched;
  std::vector<pollfd> fds;
  Lock();
  for (auto it = queues_.begin(); it != queues_.end();) {
    SenderQueue& queue = it->second;
    if (!queue.socket->IsOpen()) {
      it = queues_.erase(it);
      continue;
    }
    if (!queue.pending.empty()) {
      watched.push_back({it->first, queue.socket->GetSocket()});
      fds.push_back({queue.socket->GetSocket(), POLLOUT, 0});
    }
    ++it;
  }
  UnLock();
  fds.push_back({bell_fd_, POLLIN, 0});
  if (InterruptiblePoll(fds.data(), fds.size(), kPassPauseMs) <= 0) return;
  if (fds.back().revents != 0) {
    uint64_t rings;
    (void)!read(bell_fd_, &rings, sizeof rings);
  }
  Lock();
  for (size_t i = 0; i < watched.size(); ++i) {
    if (fds[i].revents == 0) continue;
    auto it = queues_.find(watched[i].id);
    // The queue may have been removed or given another socket meanwhile.
    if (it == queues_.end() || it->second.socket->GetSocket() != watched[i].fd) continue;
    if (!WriteSome(&it->second)) queues_.erase(it);
  }
  UnLock();
}

bool CSender::WriteSome(SenderQueue* queue) {
  size_t budget = kBytesPerPass;
  for (int piece = 0; piece < kWritesPerPass && budget > 0 && !queue->pending.empty(); ++piece) {
    const Segment& front = queue->pending.front();
    const size_t chunk = std::min({front.bytes.size() - front.offset,
                                   front.piece != 0 ? front.piece : static_cast<size_t>(buffer_out_), budget});
    const int sent = WritePiece(queue, chunk);
    if (sent < 0) return false;
    if (static_cast<size_t>(sent) < chunk) break;  // the socket is full for now
    budget -= chunk;
  }
  return true;
}

int CSender::WritePiece(SenderQueue* queue, size_t chunk) {
  Segment& front = queue->pending.front();
  const int sent = queue->socket->SendAvailable(front.bytes.data() + front.offset, static_cast<int>(chunk));
  if (sent <= 0) return sent;
  queue->started = true;
  queue->written += static_cast<uint64_t>(sent);
  front.offset += static_cast<size_t>(sent);
  if (front.offset == front.bytes.size()) queue->pending.pop_front();
  return sent;
}
