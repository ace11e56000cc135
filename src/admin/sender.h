// sender - CSender, the output queue thread of the web server: children hand
// each finished answer to a connection's queue and go on; this thread
// writes the queues to their sockets without ever blocking on one of them,
// so a client that stops reading holds up neither the children nor the
// other queues.
#ifndef TORVANE_ADMIN_SENDER_H_
#define TORVANE_ADMIN_SENDER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>

#include "base/socket.h"
#include "base/thread.h"

// Thread-safety: every method may be called from any thread; the queues
// are guarded by the thread's own lock (Lock/UnLock). The thread waits in
// poll with the lock released and writes only what a socket takes at once,
// so no call waits on a socket.
class CSender : public CMyThread {
 public:
  // Largest write attempted on one queue in one pass, before SetBufferOut.
  static constexpr int kDefaultBufferOut = 4096;
  // Pause of a pass that found no socket ready: bounds how late a queue
  // whose socket was closed under it is dropped.
  static constexpr int kPassPauseMs = 10;
  // Writes one queue gets in one pass while its socket takes them whole: a
  // large answer to a fast reader does not pay a poll per piece.
  static constexpr int kWritesPerPass = 64;
  // Bytes one queue writes in one pass at most, so that a fast reader of a
  // large file cannot hold the other queues up for long.
  static constexpr size_t kBytesPerPass = 256 * 1024;
  // The piece size of a file body (SendAnswer), whatever bufferOut says.
  static constexpr size_t kFilePieceBytes = 64 * 1024;
  static constexpr int kDefaultMaxSelSocket = 600;
  static constexpr int kDefaultMinSelSocket = 150;

  CSender();
  ~CSender() override;

  // Appends a queue for `socket` (not owned; it must stay valid until
  // RemoveSend). Nothing for a null socket; a known id is replaced.
  void AddSender(int id, CSocketComm* socket);
  // Appends `length` bytes of `data` (length -1: its text length) to the
  // queue `id`; nothing when there is no such queue.
  void Send(const char* data, int id, int length);
  // Appends an answer to the queue `id`: `head` (its header, or all of a
  // made-up answer) in bufferOut pieces, then `file_body` in pieces of
  // kFilePieceBytes. bufferOut keeps paced the answers the server makes up,
  // while a file is bytes the client asked for in bulk (at bufferOut 1024 a
  // megabyte would take a thousand writes); a body smaller than one such
  // piece simply follows its header. Nothing when there is no such queue.
  void SendAnswer(std::string head, std::string file_body, int id);
  // Drops the queue and its pending bytes; the socket is not touched.
  void RemoveSend(int id);
  // True once the queue `id` wrote something and everything handed to it
  // is written; false otherwise or for an unknown id.
  bool SiHaFinitoIlSend(int id);
  // The number of queues.
  int GetCount(bool refresh);

  void SetBufferOut(int bytes);
  // The write waits of the old blocking writer: kept for the
  // configuration's sake, they bound only this thread's idle pause.
  void SetMaxSelSocket(int ms) { max_sel_socket_ = ms < 1 ? kDefaultMaxSelSocket : ms; }
  int GetMaxSelSocket() const { return max_sel_socket_; }
  void SetMinSelSocket(int ms) { min_sel_socket_ = ms < 1 ? kDefaultMinSelSocket : ms; }
  int GetMinSelSocket() const { return min_sel_socket_; }

  // Starts the thread; false when it cannot.
  bool Start();
  // Stops the thread and drops every queue.
  void Stop();

 protected:
  void Unblock() override;

 private:
  // Bytes handed over at once, written from `offset` on in pieces of at
  // most `piece` bytes (0: bufferOut).
  struct Segment {
    std::string bytes;
    size_t offset = 0;
    size_t piece = 0;
  };
  struct SenderQueue {
    CSocketComm* socket = nullptr;  // not owned
    std::deque<Segment> pending;    // written front first; a written one goes
    uint64_t queued = 0;   // bytes ever appended
    uint64_t written = 0;  // bytes ever written
    bool started = false;  // at least one write happened
  };

  static void* Body(void* self);
  void Run();
  // One pass: waits (lock released) for writable sockets, then writes to
  // each that is, in pieces of at most buffer_out_ bytes.
  void Pass();
  // Appends the non-empty ones of the two segments to the queue `id` at once.
  void Append(int id, Segment first, Segment second);
  // Writes what the socket takes now, kWritesPerPass pieces and
  // kBytesPerPass bytes at most; false when the queue is to go.
  bool WriteSome(SenderQueue* queue);
  // One piece of at most `chunk` bytes of the front segment: the bytes
  // written, 0 when the socket takes none now, -1 on an error.
  int WritePiece(SenderQueue* queue, size_t chunk);
  void Ring();

  int bell_fd_ = -1;  // eventfd rung by Send, owned
  int max_sel_socket_ = kDefaultMaxSelSocket;
  int min_sel_socket_ = kDefaultMinSelSocket;
  // Guarded by Lock().
  std::map<int, SenderQueue> queues_;
  int buffer_out_ = kDefaultBufferOut;
};

#endif  // TORVANE_ADMIN_SENDER_H_
