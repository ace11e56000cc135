// greylist_bench - what a save of the greylist costs the sessions. Eight
// threads check and add triples on a store of 500,000 triples, as sessions
// do at every RCPT TO: first with nothing else running (the peer every other
// row is compared with), then while the store is saved back to back, and
// for comparison while it is saved the way a store that copies every key
// and value into the file's bytes under its lock would be. Prints, per row,
// the throughput as a ratio of the idle one and the longest time one check
// waited, beside the longest time a save held the lock.
//
// Goals: throughput during saves at least 0.5 of idle; the longest wait
// within twice the copy time.
//
//   cmake -S . -B build-bench -G Ninja -DTORVANE_BENCH=ON && ninja -C build-bench greylist_bench
//   build-bench/bench/greylist_bench [seconds per row, default 3]
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/utility.h"
#include "engines/greylist.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 8;
constexpr int kStoredTriples = 500000;
// One check in this many records a new triple; the others pass known ones.
constexpr int kAddEvery = 10;

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string Triple(CGreyList& list, int n) {
  String out;
  const std::string recipient = "user" + std::to_string(n) + "@local.test";
  const std::string sender = "sender" + std::to_string(n % 9973) + "@far" + std::to_string(n % 97) + ".test";
  list.PrepareTriples(&out, recipient.c_str(), "192.0.2.1", sender.c_str(), "", "mail.pool.example.com");
  return out.ToStdString();
}

struct Row {
  double ops_per_second = 0;
  double longest_wait_ms = 0;
  double longest_copy_ms = 0;
  int saves = 0;
};

enum class Saving { kNone, kSnapshotUnderLock, kCopyUnderLock };

// What a save that copies the table into the file's bytes does under the
// lock: every key and value copied once, with the record's fixed fields.
void CopyUnderLock(CGreyList& list, std::string* out) {
  out->clear();
  list.ForEachLive([out](const CDB_RAM::RECORD& record) {
    out->append(12, '\0');
    out->append(record.key.View());
    out->append(record.value.get(), static_cast<size_t>(record.len));
  });
}

// Runs the checking threads for `seconds`, with a saver as `saving` says.
Row Measure(CGreyList& list, const std::vector<std::string>& known, Saving saving, double seconds,
            std::atomic<int>* next_new) {
  std::atomic<bool> stop{false};
  std::atomic<long> operations{0};
  std::vector<double> longest(kThreads, 0.0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t + 1));
      std::uniform_int_distribution<size_t> pick(0, known.size() - 1);
      long done = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        const bool add = random() % kAddEvery == 0;
        const std::string fresh = add ? Triple(list, next_new->fetch_add(1)) : std::string();
        const auto start = Clock::now();
        if (add) {
          list.AddGreyList(fresh.c_str(), nullptr);
        } else {
          list.ByPassGreyList(known[pick(random)].c_str(), nullptr);
        }
        longest[t] = std::max(longest[t], Millis(Clock::now() - start));
        ++done;
      }
      operations += done;
    });
  }
  Row row;
  std::thread saver;
  if (saving != Saving::kNone) {
    saver = std::thread([&] {
      std::string copy;
      while (!stop.load()) {
        const auto start = Clock::now();
        if (saving == Saving::kCopyUnderLock) list.BiginTranstion();
        const CDB_RAM::Image image = list.TakeImage();
        if (saving == Saving::kCopyUnderLock) {
          CopyUnderLock(list, &copy);
          list.EndTransation();
        }
        row.longest_copy_ms = std::max(row.longest_copy_ms, Millis(Clock::now() - start));
        list.WriteImage(image);
        ++row.saves;
      }
    });
  }
  const auto begin = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (std::thread& thread : threads) thread.join();
  if (saver.joinable()) saver.join();
  row.ops_per_second = static_cast<double>(operations.load()) / std::chrono::duration<double>(Clock::now() - begin).count();
  row.longest_wait_ms = *std::max_element(longest.begin(), longest.end());
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::max(0.5, atof(argv[1])) : 3.0;
  char pattern[] = "/tmp/torvane_greylist_benchXXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  SetAppPath(pattern);
  int status = 0;
  {
    CGreyList list;
    list.SetTimeOfImbargo(0, 1);  // known triples pass: the whole check runs
    std::vector<std::string> known;
    known.reserve(kStoredTriples);
    for (int n = 0; n < kStoredTriples; ++n) {
      known.push_back(Triple(list, n));
      list.AddGreyList(known.back().c_str(), nullptr);
    }
    std::atomic<int> next_new{kStoredTriples};
    const Row idle = Measure(list, known, Saving::kNone, seconds, &next_new);
    const Row snapshot = Measure(list, known, Saving::kSnapshotUnderLock, seconds, &next_new);
    const Row copying = Measure(list, known, Saving::kCopyUnderLock, seconds, &next_new);

    std::printf("%d threads, %d stored triples, %.1f s per row\n\n", kThreads, kStoredTriples, seconds);
    std::printf("%-34s %10s %8s %12s %12s %6s\n", "saves", "checks/s", "ratio", "longest wait", "lock held",
                "saves");
    auto print = [&](const char* name, const Row& row) {
      std::printf("%-34s %10.0f %8.2f %10.1fms %10.1fms %6d\n", name, row.ops_per_second,
                  row.ops_per_second / idle.ops_per_second, row.longest_wait_ms, row.longest_copy_ms, row.saves);
    };
    print("none (peer)", idle);
    print("back to back, snapshot under lock", snapshot);
    print("back to back, copy under lock", copying);
    const bool throughput_ok = snapshot.ops_per_second >= 0.5 * idle.ops_per_second;
    const bool wait_ok = snapshot.longest_wait_ms <= 2 * snapshot.longest_copy_ms;
    std::printf("\ngoals: throughput >= 0.5 of idle: %s; longest wait <= 2 x lock held: %s\n", throughput_ok ? "met" : "MISSED",
                wait_ok ? "met" : "MISSED");
    status = throughput_ok && wait_ok ? 0 : 2;
  }
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return status;
}
