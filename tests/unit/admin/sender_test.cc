// CSender over local socket pairs: write pieces, completion, dropped queues, and no queue held up by another.
#include "admin/sender.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

namespace {

constexpr auto kWait = std::chrono::seconds(10);

bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    usleep(1000);
  }
  return true;
}

// Bytes that show where a piece went missing or out of order.
std::string Patterned(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

// A packet socket pair: every write of the sender arrives as one record.
struct Pair {
  explicit Pair(int type = SOCK_SEQPACKET) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, type, 0, fds), 0);
    ours.SetHandle(fds[0]);
    peer = fds[1];
  }
  ~Pair() { close(peer); }
  // Reads one record without waiting; its size, 0 when none, -1 at the end.
  ssize_t Take(std::string* into) {
    char buffer[65536];
    const ssize_t got = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) into->append(buffer, static_cast<size_t>(got));
    return got < 0 ? 0 : (got == 0 ? -1 : got);
  }
  CSocketComm ours;
  int peer;
};

TEST(CSender, AnswerGoesOutInBufferOutPiecesAndIsDoneOnlyAtItsEnd) {
  CSender sender;
  sender.SetBufferOut(1024);
  ASSERT_TRUE(sender.Start());
  Pair pair;
  sender.AddSender(7, &pair.ours);
  EXPECT_FALSE(sender.SiHaFinitoIlSend(7));  // nothing handed yet
  EXPECT_FALSE(sender.SiHaFinitoIlSend(8));  // no such queue
  const std::string answer = Patterned(10000);
  sender.Send(answer.data(), 7, static_cast<int>(answer.size()));
  std::string got;
  int records = 0;
  bool finished_early = false;
  ASSERT_TRUE(WaitUntil([&] {
    const bool done = sender.SiHaFinitoIlSend(7);
    ssize_t size;
    while ((size = pair.Take(&got)) > 0) {
      EXPECT_LE(size, 1024);
      ++records;
    }
    // Done means every byte is out: all of them can be read now.
    if (done && got.size() != answer.size()) finished_early = true;
    return done && got.size() == answer.size();
  }));
  EXPECT_FALSE(finished_early);
  EXPECT_GE(records, 10);
  EXPECT_EQ(got, answer);
  // The counters carry on over a second answer on the same queue.
  sender.Send("tail", 7, -1);
  got.clear();
  ASSERT_TRUE(WaitUntil([&] {
    pair.Take(&got);
    return got == "tail" && sender.SiHaFinitoIlSend(7);
  }));
  sender.Stop();
  EXPECT_EQ(sender.GetCount(true), 0);
}

TEST(CSender, FileBodyGoesOutInLargerPiecesAfterItsHeader) {
  CSender sender;
  sender.SetBufferOut(1024);
  ASSERT_TRUE(sender.Start());
  Pair pair;
  const std::string header(1500, 'h');
  const std::string body = Patterned(200000);
  sender.AddSender(3, &pair.ours);
  sender.SendAnswer(header, body, 3);
  std::string got;
  ssize_t largest = 0;
  int records = 0;
  ASSERT_TRUE(WaitUntil([&] {
    ssize_t size;
    while ((size = pair.Take(&got)) > 0) {
      // The header keeps to bufferOut, and no piece straddles it and the body.
      if (got.size() - static_cast<size_t>(size) < header.size()) {
        EXPECT_LE(size, 1024);
        EXPECT_LE(got.size(), header.size());
      }
      largest = std::max(largest, size);
      ++records;
    }
    return got.size() == header.size() + body.size() && sender.SiHaFinitoIlSend(3);
  }));
  EXPECT_EQ(got, header + body);
  EXPECT_GT(largest, 1024);
  EXPECT_LE(largest, static_cast<ssize_t>(CSender::kFilePieceBytes));
  EXPECT_LT(records, 20);  // not the 197 pieces of bufferOut
  sender.Stop();
}

TEST(CSender, ClosedSocketsQueueIsDropped) {
  CSender sender;
  ASSERT_TRUE(sender.Start());
  Pair pair;
  sender.AddSender(1, &pair.ours);
  sender.AddSender(2, nullptr);  // no socket, no queue
  EXPECT_EQ(sender.GetCount(true), 1);
  pair.ours.CloseComm();
  sender.Send("late", 1, -1);
  EXPECT_TRUE(WaitUntil([&] { return sender.GetCount(true) == 0; }));
  EXPECT_FALSE(sender.SiHaFinitoIlSend(1));
  sender.Stop();
}

TEST(CSender, StalledReaderDelaysNoOtherQueue) {
  CSender sender;
  ASSERT_TRUE(sender.Start());
  Pair stalled(SOCK_STREAM), live(SOCK_STREAM);
  const int small = 4096;
  setsockopt(stalled.ours.GetSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  sender.AddSender(1, &stalled.ours);
  sender.AddSender(2, &live.ours);
  const std::string flood(4 << 20, 's');  // far more than the socket takes
  sender.SendAnswer("", flood, 1);
  for (int round = 0; round < 20; ++round) {
    const std::string answer(5000, static_cast<char>('A' + round));
    sender.Send(answer.data(), 2, static_cast<int>(answer.size()));
    std::string got;
    ASSERT_TRUE(WaitUntil([&] {
      live.Take(&got);
      return got.size() == answer.size();
    })) << "round " << round;
    EXPECT_EQ(got, answer);
  }
  EXPECT_FALSE(sender.SiHaFinitoIlSend(1));
  // Calls from other threads do not wait on the stalled socket either.
  sender.RemoveSend(1);
  EXPECT_EQ(sender.GetCount(true), 1);
  sender.Stop();  // before the sockets go
}

}  // namespace
