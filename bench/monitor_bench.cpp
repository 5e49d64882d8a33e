// The Monitor at work, the real qbmon and qbnote run as processes on a
// temporary state folder and watch root:
//
//   rename   a folder of N noted files (--files, default 10,000) in 100
//            sub-folders renamed with rename(2): the time until the last
//            note is re-keyed, the cost per note and the Monitor's processor
//            time meanwhile. Goal: under 1 s.
//   burst    N file creations (--burst, default 10,000) then N renames, as
//            fast as the system takes them, on files without notes; then
//            --noted of them (default N) renamed again with notes. Events
//            handled per second, the Monitor's processor time per event, and
//            how many were lost (none may be, at the default inotify queue
//            size).
//   tree     qbmon started over a tree of N folders (--folders, default
//            10,000), a noted file in each: the time until it watches all
//            of them, and its resident memory once idle; then, stopped,
//            every noted file renamed, and started again: the time until
//            it watches everything and has found the notes' files by
//            their identities. Goals: under 1 s, under 16 MB.
//
//   ./build/bench/monitor_bench [--only rename|burst|tree] [--files N]
//                               [--burst N] [--noted N] [--folders N] [--dir DIR]
//                               [--qbmon PATH] [--qbnote PATH]
//
// How "handled" is seen from outside: events reach the Monitor one at a
// time in the order they happened, so a noted probe file renamed right
// after the work is done has its note moved only once every event before
// it has been handled. The time is taken when `qbnote get` first finds the
// probe's note at its new name (process start of each qbnote poll, about 2
// to 5 ms, is the resolution). Counts of handled events come from the
// Monitor's trace (QB_TRACE), and from `qbnote ls` for re-keyed notes.
//
// Start-up: the Monitor watches every folder before its driver delivers a
// single event, so the first probe rename (probes in the last folder made)
// whose note follows marks the moment it watched everything; probes are
// renamed one after another from the start, each a few milliseconds after
// the one before.
//
// A benchmark, not a test: it reports, and never fails on a missed goal.
// Everything goes under a fresh folder in --dir (default $TMPDIR or /tmp),
// removed at the end.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool touch(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

size_t countLines(const std::string& text) { return countOf(text, "\n"); }

// The programs measured: the build's, unless --qbmon / --qbnote name others.
const char* g_qbmon = QBMON_BIN;
const char* g_qbnote = QBNOTE_BIN;

struct Options {
  std::string only;
  int files = 10000;
  int burst = 10000;
  int noted = 10000;  // of the burst's files, how many are renamed again with notes
  int folders = 10000;
  std::string dir;
};

// One work folder: state/ (QB_HOME), files/ (the watch root), logs.
class Bench {
 public:
  explicit Bench(const std::string& base) {
    std::string tmpl = base + "/qbmon-bench.XXXXXX";
    char* made = ::mkdtemp(tmpl.data());
    if (made == nullptr) {
      std::perror("mkdtemp");
      std::exit(2);
    }
    char real[PATH_MAX];
    work_ = ::realpath(made, real) != nullptr ? real : made;
    home_ = work_ + "/state";
    root_ = work_ + "/files";
    ::mkdir(root_.c_str(), 0700);
    ::setenv("QB_HOME", home_.c_str(), 1);
    if (int e = reg_write_string(RegHive::kLocalMachine, "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration",
                                 "WatchRoots", root_);
        e != 0) {
      std::fprintf(stderr, "cannot set WatchRoots in %s/registry.reg: %s\n", home_.c_str(), std::strerror(e));
      std::exit(2);
    }
  }
  ~Bench() {
    if (monitor_ > 0) {
      ::kill(monitor_, SIGKILL);
      ::waitpid(monitor_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(work_, ec);
  }

  const std::string& root() const { return root_; }
  double longestRun = 0;
  int busyRuns = 0;
  std::string log() const { return readFile(work_ + "/qbmon.log"); }
  pid_t monitor() const { return monitor_; }

  // Runs qbnote to its end; its exit status. Output into *out when given.
  // The longest run and the exit statuses other than 0 and 1 are kept in
  // longestRun and busyRuns: a run waits while the Monitor holds the table.
  int qbnote(const std::vector<std::string>& args, std::string* out = nullptr) {
    const std::string outPath = work_ + "/qbnote.out";
    const auto start = Clock::now();
    pid_t pid = spawn(g_qbnote, args, outPath, work_ + "/qbnote.err", false);
    int status = 0;
    ::waitpid(pid, &status, 0);
    longestRun = std::max(longestRun, msSince(start));
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) ++busyRuns;
    if (out != nullptr) *out = readFile(outPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  bool hasNote(const std::string& path) { return qbnote({"get", path}) == 0; }

  // Waits until `path` has a note; false after `ms`. Polls less often as
  // the wait grows (a fiftieth of the time waited so far, at most 50 ms),
  // so that the qbnote runs take little of the processor the Monitor needs.
  bool waitNote(const std::string& path, int ms) {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(ms);
    while (!hasNote(path)) {
      if (Clock::now() > deadline) return false;
      const double pause = std::min(50.0, std::max(1.0, msSince(start) / 50.0));
      std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(pause * 1000)));
    }
    return true;
  }

  size_t notesUnder(const std::string& folder) {
    std::string out;
    qbnote({"ls", folder}, &out);
    return countLines(out);
  }

  // Imports notes as {"path","note"} lines.
  bool importNotes(const std::vector<std::string>& paths, const std::string& text) {
    std::string lines;
    for (const std::string& p : paths) lines += "{\"path\": \"" + p + "\", \"note\": \"" + text + "\"}\n";
    const std::string file = work_ + "/import.jsonl";
    return writeFile(file, lines) && qbnote({"import", file}) == 0;
  }

  void startMonitor(bool trace) {
    monitor_ = spawn(g_qbmon, {}, work_ + "/qbmon.log", work_ + "/qbmon.log", trace);
  }

  // The Monitor's tables are open: "status" reads 1 (each run here begins
  // after a clean stop, which left 0).
  bool waitTablesOpen(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (status() != 1) {
      if (Clock::now() > deadline || ended()) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
  }

  // Waits until events come through: probes noted and renamed until one's
  // note follows.
  bool waitReady(int ms) {
    if (!waitTablesOpen(ms)) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (int n = 0; Clock::now() < deadline && !ended(); ++n) {
      const std::string probe = root_ + "/ready-" + std::to_string(n);
      touch(probe);
      qbnote({"set", probe, "probe"});
      ::rename(probe.c_str(), (probe + ".moved").c_str());
      if (waitNote(probe + ".moved", 300)) return true;
    }
    return false;
  }

  // Renames a noted probe now and returns once its note followed: every
  // event before it has been handled. False after `ms`.
  bool barrier(int ms) {
    const std::string probe = root_ + "/barrier-" + std::to_string(++barriers_);
    touch(probe);
    qbnote({"set", probe, "probe"});
    ::rename(probe.c_str(), (probe + ".moved").c_str());
    return waitNote(probe + ".moved", ms);
  }

  bool stopMonitor() {
    pid_t stopper = spawn(g_qbmon, {"--stop"}, work_ + "/stop.out", work_ + "/stop.out", false);
    int status = 0;
    ::waitpid(stopper, &status, 0);
    int monitorStatus = 0;
    ::waitpid(monitor_, &monitorStatus, 0);
    monitor_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && WIFEXITED(monitorStatus) &&
           WEXITSTATUS(monitorStatus) == 0;
  }

  bool ended() {
    int status = 0;
    if (monitor_ > 0 && ::waitpid(monitor_, &status, WNOHANG) == monitor_) {
      std::fprintf(stderr, "qbmon ended (status %d); its log:\n%s\n", status, log().c_str());
      monitor_ = -1;
    }
    return monitor_ <= 0;
  }

  // Processor time the Monitor has used so far (user and system), in ms.
  double cpuMs() const {
    const std::string stat = readFile("/proc/" + std::to_string(monitor_) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; fields >> field; ++i) {  // field 3 is the state
      if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
      if (i == 15) {
        stime = std::strtoull(field.c_str(), nullptr, 10);
        break;
      }
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  // A field of /proc/<monitor>/status in kB; -1 when not found.
  long procStatusKb(const char* field) const {
    std::istringstream lines(readFile("/proc/" + std::to_string(monitor_) + "/status"));
    std::string line;
    while (std::getline(lines, line))
      if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
  }

 private:
  static long status() {
    uint32_t value = 0;
    int rc = reg_read_number(RegHive::kLocalMachine, "SOFTWARE\\Kestrin Software\\Quibbet\\Status", "status", &value);
    return rc == 0 ? static_cast<long>(value) : -1;
  }

  static pid_t spawn(const char* program, const std::vector<std::string>& args, const std::string& out,
                     const std::string& err, bool trace) {
    pid_t pid = ::fork();
    if (pid == 0) {
      if (trace) ::setenv("QB_TRACE", "1", 1);
      int in = ::open("/dev/null", O_RDONLY);
      ::dup2(in, 0);
      int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(o, 1);
      int e = out == err ? o : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(e, 2);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(program, argv.data());
      ::_exit(127);
    }
    return pid;
  }

  std::string work_;
  std::string home_;
  std::string root_;
  pid_t monitor_ = -1;
  int barriers_ = 0;
};

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

// What one flush costs here: a 512-byte write and fdatasync, the unit of a
// commit of the shared notes table, timed in the benchmark's folder.
void calibrate(const std::string& dir) {
  const std::string path = dir + "/qbmon-bench-sync.tmp";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  char page[512];
  std::memset(page, 'x', sizeof page);
  for (int i = 0; i < 128; ++i) (void)!::pwrite(fd, page, sizeof page, i * 512);
  ::fsync(fd);
  const int n = 500;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    (void)!::pwrite(fd, page, sizeof page, (i % 128) * 512);
    ::fdatasync(fd);
  }
  std::printf("machine: a 512-byte write and fdatasync take %.0f us (mean of %d) in %s\n", msSince(start) * 1000.0 / n,
              n, dir.c_str());
  ::close(fd);
  ::unlink(path.c_str());
}

// Folder rename: N noted files in 100 sub-folders, the folder renamed.
void benchRename(const Options& o) {
  Bench b(o.dir);
  const int subFolders = 100;
  const std::string big = b.root() + "/big";
  ::mkdir(big.c_str(), 0700);
  std::vector<std::string> paths;
  for (int s = 0; s < subFolders; ++s) {
    char sub[32];
    std::snprintf(sub, sizeof sub, "/s%02d", s);
    ::mkdir((big + sub).c_str(), 0700);
    for (int f = s; f < o.files; f += subFolders) {
      char name[32];
      std::snprintf(name, sizeof name, "/file%05d.txt", f);
      paths.push_back(big + sub + name);
      touch(paths.back());
    }
  }
  auto t = Clock::now();
  if (!b.importNotes(paths, "a note of a file in a folder about to be renamed")) {
    std::fprintf(stderr, "rename: import failed\n");
    return;
  }
  std::printf("rename: %zu notes imported in %.0f ms (qbnote import)\n", paths.size(), msSince(t));
  b.startMonitor(false);
  if (!b.waitReady(20000)) {
    std::fprintf(stderr, "rename: the Monitor never became ready\n");
    return;
  }

  const std::string probe = b.root() + "/probe";
  touch(probe);
  b.qbnote({"set", probe, "probe"});
  if (!b.barrier(20000)) return;
  double cpu = b.cpuMs();
  b.longestRun = 0;
  b.busyRuns = 0;
  const auto start = Clock::now();
  ::rename(big.c_str(), (big + "-renamed").c_str());
  ::rename(probe.c_str(), (probe + ".moved").c_str());
  const bool followed = b.waitNote(probe + ".moved", 120000);
  const double ms = msSince(start);
  cpu = b.cpuMs() - cpu;
  const size_t moved = b.notesUnder(big + "-renamed");
  const size_t left = b.notesUnder(big);
  std::printf("rename: %zu notes in %d folders re-keyed in %.0f ms (%.1f us per note; the Monitor's processor "
              "time %.0f ms); %zu under the new name, %zu left under the old%s; goal under 1 s: %s\n",
              paths.size(), subFolders, ms, ms * 1000.0 / static_cast<double>(paths.size()), cpu, moved, left,
              followed ? "" : " (timed out)", verdict(followed && ms < 1000.0 && moved == paths.size()));
  std::printf("rename: qbnote runs while the Monitor re-keyed: the longest %.0f ms, %d not done (table busy)\n",
              b.longestRun, b.busyRuns);
  if (!b.stopMonitor()) std::fprintf(stderr, "rename: the Monitor did not stop cleanly\n");
}

// Bursts of creations and renames in the watched tree.
void benchBurst(const Options& o) {
  Bench b(o.dir);
  const std::string dir = b.root() + "/burst";
  ::mkdir(dir.c_str(), 0700);
  b.startMonitor(true);
  if (!b.waitReady(20000)) {
    std::fprintf(stderr, "burst: the Monitor never became ready\n");
    return;
  }
  long queue = -1;
  {
    std::ifstream q("/proc/sys/fs/inotify/max_queued_events");
    q >> queue;
  }
  const size_t logBefore = b.log().size();
  std::vector<std::string> names(static_cast<size_t>(o.burst));
  for (int i = 0; i < o.burst; ++i) names[static_cast<size_t>(i)] = dir + "/c" + std::to_string(i);

  double cpu = b.cpuMs();
  auto start = Clock::now();
  for (const std::string& n : names) touch(n);
  const double createMs = msSince(start);
  for (const std::string& n : names) ::rename(n.c_str(), (n + ".r").c_str());
  const double doneMs = msSince(start);
  if (!b.barrier(120000)) {
    std::fprintf(stderr, "burst: events stopped coming through\n");
    return;
  }
  const double handledMs = msSince(start);
  cpu = b.cpuMs() - cpu;
  const std::string log = b.log().substr(logBefore);
  // The barrier's probe is created too: one creation that is not the burst's.
  const long creates = static_cast<long>(countOf(log, "DoResponse with 6")) - 1;
  const long renames = static_cast<long>(countOf(log, "RENAME: " + dir + "/c"));
  const size_t warnings = countOf(log, "driver: ");
  std::printf("burst: %d creations + %d renames (no notes) made in %.0f ms (creations %.0f ms); all handled %.0f ms "
              "after the first (%.0f ms after the last): %.0f events/s; Monitor processor time %.1f us per event "
              "(%.0f events/s if it had the processor to itself); handled %ld creations, %ld renames, lost %ld; "
              "driver warnings %zu (inotify max_queued_events %ld)\n",
              o.burst, o.burst, doneMs, createMs, handledMs, handledMs - doneMs, 2.0 * o.burst * 1000.0 / handledMs,
              cpu * 1000.0 / (2.0 * o.burst), 2.0 * o.burst * 1000.0 / cpu, creates, renames,
              2L * o.burst - (creates + renames), warnings, queue);

  // The same renames once more, on noted files: each re-keys a note, and
  // the Monitor falls behind; the driver holds what it has not handled.
  std::vector<std::string> renamed;
  for (int i = 0; i < o.noted && i < o.burst; ++i) renamed.push_back(names[static_cast<size_t>(i)] + ".r");
  if (!b.importNotes(renamed, "noted")) return;
  const size_t logBefore2 = b.log().size();
  cpu = b.cpuMs();
  start = Clock::now();
  for (const std::string& n : renamed) ::rename(n.c_str(), (n + "n").c_str());
  const double made = msSince(start);
  if (!b.barrier(1200000)) {
    std::fprintf(stderr, "burst: noted renames stopped coming through\n");
    return;
  }
  const double handled = msSince(start);
  cpu = b.cpuMs() - cpu;
  size_t followed = 0;
  {
    std::string out;
    b.qbnote({"ls", dir}, &out);
    followed = countOf(out, ".rn\t");
  }
  const size_t warnings2 = countOf(b.log().substr(logBefore2), "driver: ");
  const double n = static_cast<double>(renamed.size());
  std::printf("burst: %zu renames of noted files made in %.0f ms; all handled after %.0f ms: %.0f events/s "
              "(%.0f us each, %.0f us of it the Monitor's processor time); notes that followed %zu, lost %ld; "
              "driver warnings %zu\n",
              renamed.size(), made, handled, n * 1000.0 / handled, handled * 1000.0 / n, cpu * 1000.0 / n, followed,
              static_cast<long>(renamed.size()) - static_cast<long>(followed), warnings2);
  if (!b.stopMonitor()) std::fprintf(stderr, "burst: the Monitor did not stop cleanly\n");
}

// Start-up over a tree of many folders, with a noted file in each; then,
// after a stop, every one of those files renamed while no Monitor runs, and
// the start again: its look for the notes' files by identity.
void benchTree(const Options& o) {
  Bench b(o.dir);
  const int top = 100;
  const int per = (o.folders + top - 1) / top;
  std::string last;
  std::vector<std::string> noted;
  for (int i = 0; i < top; ++i) {
    const std::string a = b.root() + "/t" + std::to_string(i);
    ::mkdir(a.c_str(), 0700);
    for (int j = 0; j < per; ++j) {
      last = a + "/u" + std::to_string(j);
      ::mkdir(last.c_str(), 0700);
      noted.push_back(last + "/f");
      touch(noted.back());
    }
  }
  // Probes in the last folder made, noted before the Monitor starts: two
  // sets, one for each start.
  const int probes = 400;
  std::vector<std::string> probe[2];
  for (int round = 0; round < 2; ++round)
    for (int k = 0; k < probes; ++k) {
      probe[round].push_back(last + "/probe" + std::to_string(round) + "-" + std::to_string(k));
      touch(probe[round].back());
    }
  if (!b.importNotes(probe[0], "probe") || !b.importNotes(probe[1], "probe") || !b.importNotes(noted, "noted"))
    return;

  // The time until the first probe rename comes through: the Monitor
  // handles events only once it watches every folder and has finished its
  // look for moved files. -1 when none came through.
  const auto started = [&](const std::vector<std::string>& round, double* tablesMs, double* firstRenameMs) {
    const auto start = Clock::now();
    b.startMonitor(false);
    if (!b.waitTablesOpen(20000)) return -1.0;
    *tablesMs = msSince(start);
    std::vector<double> renamedAt;
    for (int k = 0; k < probes; ++k) {
      renamedAt.push_back(msSince(start));
      ::rename(round[k].c_str(), (round[k] + ".m").c_str());
      if (!b.hasNote(round[k] + ".m")) continue;
      const double seen = msSince(start);
      // The earliest rename that came through (an earlier one may have been
      // handled only after its own check).
      *firstRenameMs = renamedAt[static_cast<size_t>(k)];
      for (int e = 0; e < k; ++e)
        if (b.hasNote(round[e] + ".m")) {
          *firstRenameMs = renamedAt[static_cast<size_t>(e)];
          break;
        }
      return seen;
    }
    return -1.0;
  };

  double tablesMs = 0, firstMs = 0;
  const double seenMs = started(probe[0], &tablesMs, &firstMs);
  if (seenMs < 0) {
    std::fprintf(stderr, "tree: no probe rename came through\n%s", b.log().c_str());
    return;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  long rss = b.procStatusKb("VmRSS:");
  long hwm = b.procStatusKb("VmHWM:");
  std::printf("tree: %d folders, %zu notes: tables open after %.0f ms; watching everything by %.0f ms (a probe's "
              "moved note seen; the first rename seen was made at %.0f ms) (goal under 1 s: %s); resident once idle "
              "%.1f MB, peak %.1f MB (goal under 16 MB: %s)\n",
              top * per + top, noted.size(), tablesMs, seenMs, firstMs, verdict(seenMs < 1000.0), rss / 1024.0,
              hwm / 1024.0, verdict(rss >= 0 && rss < 16 * 1024));
  if (!b.stopMonitor()) std::fprintf(stderr, "tree: the Monitor did not stop cleanly\n");

  for (const std::string& f : noted) ::rename(f.c_str(), (f + ".moved").c_str());
  const double foundMs = started(probe[1], &tablesMs, &firstMs);
  if (foundMs < 0) {
    std::fprintf(stderr, "tree: no probe rename came through after the files moved\n%s", b.log().c_str());
    return;
  }
  std::string listed;
  b.qbnote({"ls"}, &listed);
  const size_t followed = countOf(listed, "/f.moved");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  rss = b.procStatusKb("VmRSS:");
  hwm = b.procStatusKb("VmHWM:");
  std::printf("tree: %zu noted files renamed while no Monitor ran: start with their search by identity done by "
              "%.0f ms (goal under 1 s: %s); %zu of %zu notes found their files; resident once idle %.1f MB, peak "
              "%.1f MB (goal under 16 MB: %s)\n",
              noted.size(), foundMs, verdict(foundMs < 1000.0), followed, noted.size(), rss / 1024.0, hwm / 1024.0,
              verdict(rss >= 0 && rss < 16 * 1024));
  if (!b.stopMonitor()) std::fprintf(stderr, "tree: the Monitor did not stop cleanly\n");
}

int usage() {
  std::fprintf(stderr,
               "usage: monitor_bench [--only rename|burst|tree] [--files N] [--burst N] [--noted N] [--folders N] "
               "[--dir DIR] [--qbmon PATH] [--qbnote PATH]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const char* tmp = std::getenv("TMPDIR");
  o.dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    std::string v = argv[++i];
    if (a == "--only")
      o.only = v;
    else if (a == "--files")
      o.files = std::atoi(v.c_str());
    else if (a == "--burst")
      o.burst = std::atoi(v.c_str());
    else if (a == "--noted")
      o.noted = std::atoi(v.c_str());
    else if (a == "--folders")
      o.folders = std::atoi(v.c_str());
    else if (a == "--dir")
      o.dir = v;
    else if (a == "--qbmon")
      g_qbmon = argv[i];
    else if (a == "--qbnote")
      g_qbnote = argv[i];
    else
      return usage();
  }
  if (o.files <= 0 || o.burst <= 0 || o.noted < 0 || o.folders <= 0) return usage();
  calibrate(o.dir);
  if (o.only.empty() || o.only == "rename") benchRename(o);
  if (o.only.empty() || o.only == "burst") benchBurst(o);
  if (o.only.empty() || o.only == "tree") benchTree(o);
  return 0;
}
