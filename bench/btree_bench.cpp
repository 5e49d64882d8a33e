// Speed of the index layer: inserts in random order, finds in random order,
// a full forward scan and deletes in random order, over 100,000 keys of about
// 60 bytes in 512-byte pages. Each workload runs with a 16-frame cache (most
// page accesses go to the file) and a 4096-frame one (the tree stays cached),
// on a file opened exclusively and on one opened shared (every change is a
// locked commit that writes the header and dirty pages and syncs the file).
//
// Fixed seed; items/s is reported per workload. The files live in
// $QB_BENCH_DIR, else $TMPDIR, else /tmp: the shared figures depend on how
// fast that file system syncs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "btree/btree.h"
#include "btree/index_file.h"

namespace {

constexpr int kKeys = 100000;
constexpr int kKeyLength = 60;
constexpr int kPageSize = 512;
constexpr uint32_t kSeed = 42;

// Key i: 60 bytes, a scrambled 8-digit head (so neighbours in index are far
// apart in the tree) and a filler that makes long common prefixes rare.
std::string make_key(int i) {
  uint32_t x = static_cast<uint32_t>(i) * 2654435761u;
  char buf[kKeyLength + 1];
  int n = snprintf(buf, sizeof buf, "%08x/%07d/", x, i);
  for (int j = n; j < kKeyLength; ++j) buf[j] = static_cast<char>('a' + (x >> (j % 24)) % 26);
  return std::string(buf, kKeyLength);
}

struct Workload {
  std::vector<std::string> keys;
  std::vector<int> insert_order;
  std::vector<int> probe_order;
  Workload() {
    for (int i = 0; i < kKeys; ++i) keys.push_back(make_key(i));
    std::mt19937 rng(kSeed);
    for (int i = 0; i < kKeys; ++i) insert_order.push_back(i);
    probe_order = insert_order;
    std::shuffle(insert_order.begin(), insert_order.end(), rng);
    std::shuffle(probe_order.begin(), probe_order.end(), rng);
  }
};

const Workload& workload() {
  static const Workload w;
  return w;
}

std::string bench_path() {
  const char* dir = getenv("QB_BENCH_DIR");
  if (dir == nullptr || *dir == '\0') dir = getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  return std::string(dir) + "/btree_bench." + std::to_string(getpid()) + ".idx";
}

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Per run: the cache started with the run's frame count, an empty file made,
// and the file opened in the run's mode. Everything is undone by Finish.
struct Run {
  benchmark::State& state;
  std::string path = bench_path();
  IndexHandle* h = nullptr;

  explicit Run(benchmark::State& s) : state(s) {
    if (ix_startup(static_cast<int>(state.range(0)), kPageSize) != 1) state.SkipWithError("ix_startup failed");
  }
  ~Run() {
    if (h != nullptr) ix_close(h);
    ix_shutdown();
    unlink(path.c_str());
  }

  bool Fresh() {
    if (h != nullptr) ix_close(h);
    h = ix_create(path.c_str(), nullptr, kPageSize);
    if (h == nullptr || ix_close(h) != 1) return Fail("ix_create");
    h = ix_open(path.c_str(), nullptr, static_cast<int>(state.range(1)), 0);
    return h != nullptr || Fail("ix_open");
  }

  bool Fill() {
    const Workload& w = workload();
    for (int i : w.insert_order)
      if (ix_insert(h, bytes(w.keys[i]), kKeyLength, i, 0) != 1) return Fail("ix_insert");
    return true;
  }

  bool Fail(const char* what) {
    std::string text = std::string(what) + " failed, ix_error " + std::to_string(ix_error);
    state.SkipWithError(text.c_str());
    if (h != nullptr) ix_close(h);
    h = nullptr;
    return false;
  }
};

void BM_InsertRandom(benchmark::State& state) {
  Run run(state);
  for (auto _ : state) {
    state.PauseTiming();
    bool ok = run.Fresh();
    state.ResumeTiming();
    if (!ok || !run.Fill()) break;
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_FindRandom(benchmark::State& state) {
  Run run(state);
  if (!run.Fresh() || !run.Fill()) return;
  const Workload& w = workload();
  for (auto _ : state) {
    for (int i : w.probe_order) {
      int32_t ref = 0;
      if (ix_find(run.h, bytes(w.keys[i]), kKeyLength, &ref) != 2 || ref != i) {
        run.Fail("ix_find");
        return;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_ScanForward(benchmark::State& state) {
  Run run(state);
  if (!run.Fresh() || !run.Fill()) return;
  for (auto _ : state) {
    state.PauseTiming();
    IndexHandle* scan = ix_open(run.path.c_str(), nullptr, static_cast<int>(state.range(1)), 1);
    state.ResumeTiming();
    int32_t ref = 0;
    int count = 0;
    while (scan != nullptr && ix_next(scan, &ref) == 1) ++count;
    state.PauseTiming();
    if (scan != nullptr) ix_close(scan);
    state.ResumeTiming();
    if (count != kKeys) {
      run.Fail("scan");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_DeleteRandom(benchmark::State& state) {
  Run run(state);
  const Workload& w = workload();
  for (auto _ : state) {
    state.PauseTiming();
    bool ok = run.Fresh() && run.Fill();
    state.ResumeTiming();
    if (!ok) break;
    for (int i : w.probe_order) {
      if (ix_delete(run.h, bytes(w.keys[i]), kKeyLength, i) != 1) {
        run.Fail("ix_delete");
        return;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

// Arguments: frames, shared. One pass each: a pass is 100,000 operations.
void Configs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"frames", "shared"});
  for (int shared : {0, 1})
    for (int frames : {16, 4096}) b->Args({frames, shared});
  // Wall-clock rates: a shared commit spends most of its time waiting for the
  // disk, which CPU time would hide.
  b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_InsertRandom)->Apply(Configs);
BENCHMARK(BM_FindRandom)->Apply(Configs);
BENCHMARK(BM_ScanForward)->Apply(Configs);
BENCHMARK(BM_DeleteRandom)->Apply(Configs);

}  // namespace

BENCHMARK_MAIN();
