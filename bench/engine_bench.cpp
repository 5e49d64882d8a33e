// Our table engine against SQLite on the notes table, side by side in one run.
//
//   engine_bench [--notes N]... [--durable-ops D] [--lookups L]
//                [--cache small|large|both] [--dir DIR] [--seed S] [--bulk-only]
//
// For each size (default 10,000 and 100,000 notes) and each cache setting
// (8 KiB: our 16 frames of 512 bytes, SQLite cache_size=16; 4 MiB: 8192 of
// each) a child process starts our engine with that cache and runs:
//   1. the bulk phase on a new table: load N notes in random order, finds of
//      present paths with a read, finds of absent paths, renames, deletes of
//      half the notes and their re-adds, a scan in path order, close,
//      compaction. Ours exclusive against SQLite WAL + synchronous=NORMAL.
//   2. the durable phase, from a snapshot of the compacted table: the same
//      workloads with D changes in all (a quarter each for adds, renames,
//      deletes and re-adds; default 2,000). Ours shared (every change committed
//      and flushed) against SQLite DELETE journal + synchronous=FULL, and,
//      as a reference with no goal, SQLite WAL + synchronous=FULL.
// Every operation is timed on its own with the steady clock; the tables give
// median and 99th percentile per operation, the throughput, and two
// speed-ups, SQLite's time over ours (above 1 means ours is faster): of the
// medians, and of the workload's total time (which includes the tails, such
// as SQLite's checkpoints and our write-backs). Scan, close and compaction
// are single timings.
//
// Every answer is checked (found, absent, the remark read back, the row
// count and order of the scan); a wrong answer ends the run with exit 1.
// Files live in a fresh folder under --dir (default /tmp), removed at the end.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_bench.h"

namespace bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  std::vector<int64_t> sizes;
  int64_t durable_ops = 2000;
  int64_t lookups = 0;
  bool small_cache = true;
  bool large_cache = true;
  std::string dir = "/tmp";
  uint32_t seed = 20240607;
  bool bulk_only = false;
};

// One workload's timings for one subject.
struct Figure {
  std::string workload;
  int64_t ops = 0;
  std::vector<int64_t> ns;  // one per operation; empty for a single timing
  int64_t total_ns = 0;

  double median_us() const { return percentile(0.5); }
  double p99_us() const { return percentile(0.99); }
  double per_second() const { return total_ns > 0 ? ops * 1e9 / static_cast<double>(total_ns) : 0; }

 private:
  double percentile(double q) const {
    if (ns.empty()) return total_ns / 1e3;
    std::vector<int64_t> v = ns;
    size_t k = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k] / 1e3;
  }
};

struct Run {
  std::string label;
  std::vector<Figure> figures;
  int64_t file_bytes = 0;  // the table's files after compaction
};

[[noreturn]] void give_up(const char* subject, const std::string& workload) {
  std::fprintf(stderr, "engine_bench: %s stopped in %s\n", subject, workload.c_str());
  std::fflush(stdout);
  std::_Exit(1);
}

template <typename Step>
Figure timed_ops(Subject* s, const std::string& workload, const std::vector<Op>& ops, Step step) {
  Figure f;
  f.workload = workload;
  f.ops = static_cast<int64_t>(ops.size());
  f.ns.reserve(ops.size());
  auto begin = Clock::now();
  for (const Op& op : ops) {
    auto t0 = Clock::now();
    bool ok = step(op);
    auto t1 = Clock::now();
    if (!ok) give_up(s->label(), workload);
    f.ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
  }
  f.total_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin).count();
  return f;
}

Figure single(const std::string& workload, int64_t ops, int64_t ns) {
  Figure f;
  f.workload = workload;
  f.ops = ops;
  f.total_ns = ns;
  return f;
}

int64_t file_bytes(const Subject& s) {
  int64_t total = 0;
  std::error_code ec;
  for (const std::string& f : s.files())
    if (fs::exists(f, ec)) total += static_cast<int64_t>(fs::file_size(f, ec));
  return total;
}

// Runs one phase on `s`: from an empty table (fresh) or from the files
// left in place. Leaves the compacted table in the files.
Run run_phase(Subject* s, const Script& sc, const Phase& ph, bool fresh) {
  const auto& pool = sc.pool;
  Run run;
  run.label = s->label();
  if (!(fresh ? s->create() : s->open())) give_up(s->label(), "opening");
  auto& out = run.figures;
  out.push_back(timed_ops(s, fresh ? "load (add, random order)" : "add", ph.adds,
                          [&](const Op& op) { return s->add(pool[op.path], pool[op.remark]); }));
  out.push_back(timed_ops(s, "find + read, present", ph.lookups,
                          [&](const Op& op) { return s->find_read(pool[op.path], pool[op.remark]); }));
  out.push_back(timed_ops(s, "find, absent", ph.absent, [&](const Op& op) { return s->find_absent(pool[op.path]); }));
  out.push_back(timed_ops(s, "rename (find, read, update)", ph.renames,
                          [&](const Op& op) { return s->rename(pool[op.path], pool[op.new_path]); }));
  out.push_back(timed_ops(s, "delete (find, delete)", ph.deletes, [&](const Op& op) { return s->remove(pool[op.path]); }));
  out.push_back(timed_ops(s, "re-add into freed space", ph.readds,
                          [&](const Op& op) { return s->add(pool[op.path], pool[op.remark]); }));

  int64_t rows = ph.rows_at_scan;
  auto scan = [&](const char* workload, bool as_one_read) {
    auto t0 = Clock::now();
    int64_t got = s->scan(as_one_read);
    auto t1 = Clock::now();
    if (got != rows) {
      std::fprintf(stderr, "%s: scan gave %lld rows, expected %lld\n", s->label(), static_cast<long long>(got),
                   static_cast<long long>(rows));
      give_up(s->label(), workload);
    }
    out.push_back(single(workload, rows, std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()));
  };
  scan("full scan in path order", true);
  // Shared tables: the same scan as qbnote makes it, in slices under the
  // table read lock (the peer runs its one-statement scan again).
  if (!fresh) scan("full scan, read-locked slices", false);

  auto t0 = Clock::now();
  if (!s->close()) give_up(s->label(), "close");
  auto t1 = Clock::now();
  out.push_back(single("close (write back, sync)", 1, std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()));

  int64_t ns = s->compact();
  if (ns < 0) give_up(s->label(), "compaction");
  out.push_back(single("compaction (copy / VACUUM)", rows, ns));
  run.file_bytes = file_bytes(*s);
  return run;
}

void print_table(const char* title, const Run& ours, const Run& peer) {
  std::printf("\n%s\n", title);
  std::printf("  %-36s %8s | %11s %11s | %11s %11s | %8s %8s | %10s %10s\n", "workload", "ops", "ours med",
              "ours p99", "sqlite med", "sqlite p99", "speed-up", "total", "ours/s", "sqlite/s");
  for (size_t i = 0; i < ours.figures.size() && i < peer.figures.size(); ++i) {
    const Figure& a = ours.figures[i];
    const Figure& b = peer.figures[i];
    if (a.ops == 0 && b.ops == 0) continue;
    const bool single_timing = a.ns.empty();
    char a_p99[32] = "-", b_p99[32] = "-";
    if (!single_timing) {
      std::snprintf(a_p99, sizeof a_p99, "%.1f", a.p99_us());
      std::snprintf(b_p99, sizeof b_p99, "%.1f", b.p99_us());
    }
    double by_median = a.median_us() > 0 ? b.median_us() / a.median_us() : 0;
    double by_total = a.total_ns > 0 ? static_cast<double>(b.total_ns) / static_cast<double>(a.total_ns) : 0;
    std::string name = single_timing ? a.workload + " (total)" : a.workload;
    std::printf("  %-36s %8lld | %11.1f %11s | %11.1f %11s | %8.2f %8.2f | %10.0f %10.0f\n", name.c_str(),
                static_cast<long long>(a.ops), a.median_us(), a_p99, b.median_us(), b_p99, by_median, by_total,
                a.per_second(), b.per_second());
  }
  std::printf("  files after compaction: ours %.1f KiB, sqlite %.1f KiB\n", ours.file_bytes / 1024.0,
              peer.file_bytes / 1024.0);
}

void copy_files(const std::vector<std::string>& from, const std::string& to_dir) {
  std::error_code ec;
  fs::create_directories(to_dir, ec);
  for (const std::string& f : from)
    if (fs::exists(f)) fs::copy_file(f, to_dir + "/" + fs::path(f).filename().string(), fs::copy_options::overwrite_existing);
}

// Puts the snapshot's files in place of the subject's (removing files of
// the subject that the snapshot does not have).
void restore_files(const std::vector<std::string>& files, const std::string& from_dir) {
  std::error_code ec;
  for (const std::string& f : files) {
    std::string saved = from_dir + "/" + fs::path(f).filename().string();
    fs::remove(f, ec);
    if (fs::exists(saved)) fs::copy_file(saved, f);
  }
}

// One (size, cache) setting; runs in its own process.
int run_setting(const Script& sc, const Options& o, int frames, const std::string& dir) {
  if (tb_startup(frames, 512) != 1) {
    std::fprintf(stderr, "tb_startup(%d, 512) failed: tb_error %d\n", frames, tb_error);
    return 1;
  }
  fs::create_directories(dir);
  const std::string base = dir + "/notes";
  const std::string sqlite_file = dir + "/notes.sqlite";
  const std::string snapshot = dir + "/snapshot";
  const double kib = frames * 512 / 1024.0;
  std::printf("\n=== %lld notes, cache %.0f KiB: ours tb_startup(%d, 512), SQLite page_size=512 cache_size=%d ===\n",
              static_cast<long long>(sc.notes), kib, frames, frames);
  std::printf("bulk phase: %zu adds, %zu finds + reads, %zu absent finds, %zu renames, %zu deletes, %zu re-adds\n",
              sc.bulk.adds.size(), sc.bulk.lookups.size(), sc.bulk.absent.size(), sc.bulk.renames.size(),
              sc.bulk.deletes.size(), sc.bulk.readds.size());
  std::fflush(stdout);

  std::unique_ptr<Subject> ours(make_ours(base, 0));
  std::unique_ptr<Subject> wal_normal(make_sqlite(sqlite_file, frames, "WAL", "NORMAL"));
  Run a = run_phase(ours.get(), sc, sc.bulk, true);
  Run b = run_phase(wal_normal.get(), sc, sc.bulk, true);
  print_table("[bulk] ours exclusive  vs  SQLite autocommit, journal_mode=WAL, synchronous=NORMAL", a, b);
  copy_files(ours->files(), snapshot);
  copy_files(wal_normal->files(), snapshot);
  if (o.bulk_only) return tb_shutdown() == 1 ? 0 : 1;

  std::printf("\ndurable phase (from the compacted bulk table, %lld notes): %zu adds, %zu finds + reads, "
              "%zu absent finds, %zu renames, %zu deletes, %zu re-adds\n",
              static_cast<long long>(sc.notes), sc.durable.adds.size(), sc.durable.lookups.size(),
              sc.durable.absent.size(), sc.durable.renames.size(), sc.durable.deletes.size(),
              sc.durable.readds.size());
  std::fflush(stdout);
  std::unique_ptr<Subject> shared(make_ours(base, 1));
  std::unique_ptr<Subject> delete_full(make_sqlite(sqlite_file, frames, "DELETE", "FULL"));
  std::unique_ptr<Subject> wal_full(make_sqlite(sqlite_file, frames, "WAL", "FULL"));
  restore_files(shared->files(), snapshot);
  Run c = run_phase(shared.get(), sc, sc.durable, false);
  restore_files(delete_full->files(), snapshot);
  Run d = run_phase(delete_full.get(), sc, sc.durable, false);
  restore_files(wal_full->files(), snapshot);
  Run e = run_phase(wal_full.get(), sc, sc.durable, false);
  print_table("[durable] ours shared (each change committed + fdatasync)  vs  SQLite autocommit, "
              "journal_mode=DELETE, synchronous=FULL",
              c, d);
  print_table("[reference, no goal] ours shared  vs  SQLite autocommit, journal_mode=WAL, synchronous=FULL", c, e);
  std::fflush(stdout);
  return tb_shutdown() == 1 ? 0 : 1;
}

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    const char* v = nullptr;
    if (a == "--notes" && (v = value("--notes"))) {
      o->sizes.push_back(std::atoll(v));
    } else if (a == "--durable-ops" && (v = value("--durable-ops"))) {
      o->durable_ops = std::atoll(v);
    } else if (a == "--lookups" && (v = value("--lookups"))) {
      o->lookups = std::atoll(v);
    } else if (a == "--dir" && (v = value("--dir"))) {
      o->dir = v;
    } else if (a == "--seed" && (v = value("--seed"))) {
      o->seed = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
    } else if (a == "--bulk-only") {
      o->bulk_only = true;
    } else if (a == "--cache" && (v = value("--cache"))) {
      std::string c = v;
      o->small_cache = c == "small" || c == "both";
      o->large_cache = c == "large" || c == "both";
      if (!o->small_cache && !o->large_cache) return false;
    } else {
      return false;
    }
  }
  if (o->sizes.empty()) o->sizes = {10000, 100000};
  for (int64_t n : o->sizes)
    if (n < 10 || n > 5000000) return false;
  return o->durable_ops >= 4 && o->lookups >= 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: %s [--notes N]... [--durable-ops D] [--lookups L] [--cache small|large|both] "
                 "[--dir DIR] [--seed S] [--bulk-only]\n",
                 argv[0]);
    return 2;
  }
  std::string pattern = o.dir + "/engine_bench_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string work = name.data();
  std::printf("engine_bench: our table engine vs SQLite %s; files in %s\n", sqlite_version_text(), work.c_str());
  std::printf("med / p99: median and 99th percentile of one operation in microseconds (steady clock); a\n"
              "(total) row is one timing of the whole workload. speed-up = SQLite's median / ours, total =\n"
              "SQLite's total time for the workload / ours: above 1.00 ours is faster. ours/s, sqlite/s:\n"
              "operations (rows for scan and compaction) per second.\n");

  int status_all = 0;
  for (int64_t n : o.sizes) {
    ScriptSizes sizes;
    sizes.notes = n;
    sizes.lookups = o.lookups;
    sizes.durable_ops = o.durable_ops;
    sizes.seed = o.seed;
    Script sc = make_script(sizes);
    for (int frames : {16, 8192}) {
      if ((frames == 16 && !o.small_cache) || (frames == 8192 && !o.large_cache)) continue;
      std::fflush(stdout);
      std::fflush(stderr);
      pid_t child = fork();
      if (child < 0) {
        std::perror("fork");
        status_all = 1;
        break;
      }
      if (child == 0) {
        int rc = run_setting(sc, o, frames, work + "/n" + std::to_string(n) + "_f" + std::to_string(frames));
        std::fflush(stdout);
        std::_Exit(rc);
      }
      int status = 0;
      if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "engine_bench: the run with %lld notes and %d frames failed\n", static_cast<long long>(n),
                     frames);
        status_all = 1;
      }
    }
  }
  std::error_code ec;
  fs::remove_all(work, ec);
  return status_all;
}
