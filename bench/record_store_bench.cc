// record_store_bench - exact lookups and inserts in the record store at 1,000,
// 100,000 and 1,000,000 records, keyed like the engines key their tables
// (32 lower-case hexadecimal characters). Each iteration times one batch on
// the store and the same batch on a std::unordered_map of the same size, so
// the "ratio" counter compares the two under the same machine load; a flat
// ratio across sizes means a lookup does not slow down as the table grows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "engines/record_store.h"

namespace {

// Operations per timed batch: large enough for the clock to resolve.
constexpr int kBatch = 1000;
// What every record holds: an engine-sized value.
constexpr char kValue[] =
    "127.0.0.1\x02"
    "1700000000\x02"
    "3";

using Clock = std::chrono::steady_clock;

// A key that looks like an MD5 digest in hex: two 64-bit mixes of `n`.
std::string HexKey(uint64_t n) {
  auto mix = [](uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
  };
  static constexpr char kHex[] = "0123456789abcdef";
  uint64_t halves[2] = {mix(n), mix(n ^ 0xA5A5A5A5A5A5A5A5ULL)};
  std::string key(32, '0');
  for (int i = 0; i < 32; ++i) key[i] = kHex[(halves[i / 16] >> (4 * (i % 16))) & 0xF];
  return key;
}

// The store and its peer filled with the same `size` records, plus the keys
// in a shuffled order for lookups. Built once per size: a million inserts
// take a while.
struct Tables {
  explicit Tables(int64_t size) {
    keys.reserve(static_cast<size_t>(size));
    for (int64_t i = 0; i < size; ++i) {
      keys.push_back(HexKey(static_cast<uint64_t>(i)));
      store.Insert(keys.back().c_str(), kValue, sizeof kValue - 1, 0);
      peer.emplace(keys.back(), kValue);
    }
    std::shuffle(keys.begin(), keys.end(), std::mt19937_64(42));
  }
  CDB_RAM store;
  std::unordered_map<std::string, std::string> peer;
  std::vector<std::string> keys;
};

Tables& TablesOf(int64_t size) {
  static std::map<int64_t, std::unique_ptr<Tables>> built;
  std::unique_ptr<Tables>& tables = built[size];
  if (!tables) tables = std::make_unique<Tables>(size);
  return *tables;
}

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

// Publishes per-operation times of both sides and their ratio.
void Report(benchmark::State& state, double store_seconds, double peer_seconds, int64_t ops) {
  state.counters["store_ns"] = store_seconds * 1e9 / static_cast<double>(ops);
  state.counters["peer_ns"] = peer_seconds * 1e9 / static_cast<double>(ops);
  state.counters["ratio"] = store_seconds / peer_seconds;
  state.SetItemsProcessed(ops);
}

void BM_Find(benchmark::State& state) {
  Tables& tables = TablesOf(state.range(0));
  const size_t size = tables.keys.size();
  size_t next = 0;
  double store_seconds = 0, peer_seconds = 0;
  int64_t ops = 0;
  for (auto _ : state) {
    const size_t first = next;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kBatch; ++i) {
      benchmark::DoNotOptimize(tables.store.Find(tables.keys[(first + i) % size].c_str(), 0));
    }
    double store_batch = Seconds(start);
    start = Clock::now();
    for (int i = 0; i < kBatch; ++i) {
      benchmark::DoNotOptimize(tables.peer.find(tables.keys[(first + i) % size]));
    }
    peer_seconds += Seconds(start);
    store_seconds += store_batch;
    state.SetIterationTime(store_batch);
    next = (first + kBatch) % size;
    ops += kBatch;
  }
  Report(state, store_seconds, peer_seconds, ops);
}

// Inserts a batch of new keys into tables of the given size, then takes them
// out again untimed, so every batch meets a table of the same size. The
// store's deletions are compacted away now and then by Save (which, for a
// store bound to no file, only compacts).
void BM_Insert(benchmark::State& state) {
  Tables& tables = TablesOf(state.range(0));
  uint64_t fresh = 1ULL << 40;  // far from the keys the tables hold
  std::vector<std::string> batch(kBatch);
  double store_seconds = 0, peer_seconds = 0;
  int64_t ops = 0;
  int batches_since_compaction = 0;
  for (auto _ : state) {
    for (std::string& key : batch) key = HexKey(fresh++);
    Clock::time_point start = Clock::now();
    for (const std::string& key : batch)
      tables.store.Insert(key.c_str(), kValue, sizeof kValue - 1, 0);
    double store_batch = Seconds(start);
    start = Clock::now();
    for (const std::string& key : batch) tables.peer.emplace(key, kValue);
    peer_seconds += Seconds(start);
    store_seconds += store_batch;
    state.SetIterationTime(store_batch);
    ops += kBatch;
    for (const std::string& key : batch) {
      tables.store.Delete(key.c_str());
      tables.peer.erase(key);
    }
    if (++batches_since_compaction == 50) {
      tables.store.Save();
      batches_since_compaction = 0;
    }
  }
  tables.store.Save();
  Report(state, store_seconds, peer_seconds, ops);
}

BENCHMARK(BM_Find)->Arg(1000)->Arg(100000)->Arg(1000000)->UseManualTime();
BENCHMARK(BM_Insert)->Arg(1000)->Arg(100000)->Arg(1000000)->UseManualTime();

}  // namespace
