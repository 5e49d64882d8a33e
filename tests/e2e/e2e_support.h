// End-to-end runs of the real programs: qbmon started as a process on a
// temporary state folder, watching a temporary root, and qbnote run against
// the same state folder to set notes and read them back.
//
// Each test gets a fresh folder holding
//   state/    QB_HOME of every program the test starts (and of the test
//             process itself, which sets "WatchRoots" through the registry
//             calls before the first Monitor starts);
//   files/    the one watch root, resolved through links;
//   outside/  a folder beside the root, not watched;
//   logs      standard input, output and error of every run.
// Inside the root, `.e2e/` holds the files of the readiness probes and of
// barrier(); notes_under() leaves them out.
//
// Waits poll with a deadline (kDeadlineMs, generous for the sanitizer
// build) and end as soon as what they wait for holds; nothing sleeps for a
// fixed time in the hope that the Monitor has caught up. That the Monitor
// did nothing is shown with barrier(): events come to the Monitor in the
// order they happened, so once a rename made after the act has re-keyed
// its note, every event of the act has been handled.
//
// Every process a test starts is ended by TearDown, also when the test
// failed half-way: Monitors still running get SIGKILL and are reaped. A
// qbnote or `qbmon --stop` run that outlives its own deadline is killed
// and counts as a failed run (status -2).
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

namespace e2e {

constexpr int kDeadlineMs = 20000;

// Where the programs under test are; QB_E2E_QBMON / QB_E2E_QBNOTE, when
// set, name other builds of them (an installed copy, for instance).
inline const char* qbmon_bin() {
  const char* p = std::getenv("QB_E2E_QBMON");
  return p != nullptr && *p != '\0' ? p : QBMON_BIN;
}
inline const char* qbnote_bin() {
  const char* p = std::getenv("QB_E2E_QBNOTE");
  return p != nullptr && *p != '\0' ? p : QBNOTE_BIN;
}

using Clock = std::chrono::steady_clock;

inline Clock::time_point deadline_in(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

inline void pause_briefly() { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }

struct ProgramRun {
  int status = -1;  // exit status; -1 killed by a signal; -2 outlived its deadline
  std::string out;
  std::string err;
};

// A file's identity (platform/atomic_file.h): a table thrown away and made
// anew gets another.
inline FileStamp stamp_of(const std::string& path) {
  FileStamp s;
  (void)af_stamp(path, &s);
  return s;
}

inline off_t size_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = tmp_.path() + "/state";
    ::mkdir((tmp_.path() + "/files").c_str(), 0700);
    ::mkdir((tmp_.path() + "/outside").c_str(), 0700);
    root_ = resolved(tmp_.path() + "/files");
    outside_ = resolved(tmp_.path() + "/outside");
    probes_ = root_ + "/.e2e";
    ::mkdir(probes_.c_str(), 0700);
    ::setenv("QB_HOME", home_.c_str(), 1);
    set_watch_roots(root_);
  }

  void TearDown() override {
    for (Proc& m : monitors_) {
      if (m.reaped) continue;
      ::kill(m.pid, SIGKILL);
      reap(m, -1);
    }
    if (HasFailure())
      for (const Proc& m : monitors_) {
        std::string log = read_whole_file(m.log);
        if (log.size() > 6000) log = "...\n" + log.substr(log.size() - 6000);
        std::printf("---- qbmon pid %d (%s)\n%s\n", static_cast<int>(m.pid), m.log.c_str(), log.c_str());
      }
    ::unsetenv("QB_HOME");
  }

  // ---- registry and profile of the state folder -------------------------

  static void set_watch_roots(const std::string& roots) {
    ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration",
                               "WatchRoots", roots),
              0);
  }

  // "status": 1 while a Monitor has the notes table open; -1 when it
  // cannot be read.
  static long status() {
    uint32_t value = 0;
    int rc = reg_read_number(RegHive::kLocalMachine, "SOFTWARE\\Kestrin Software\\Quibbet\\Status", "status", &value);
    return rc == 0 ? static_cast<long>(value) : -1;
  }

  // MODIFIED, or -1 when it is missing.
  static long modified_mark() { return static_cast<long>(static_cast<int>(profile_read_number("Quibbet", "MODIFIED", ~0u))); }

  std::string system_file(const std::string& name) const { return home_ + "/system/" + name; }

  // ---- the Monitor ------------------------------------------------------

  struct Proc {
    pid_t pid = -1;
    std::string log;
    bool reaped = false;
    int status = -1;  // exit status once reaped; -1 for a signal
  };

  // Starts qbmon (trace on, output into its log); its index in monitors_.
  size_t start_monitor() {
    Proc m;
    m.log = tmp_.file("qbmon." + std::to_string(monitors_.size() + 1) + ".log");
    m.pid = spawn(qbmon_bin(), {}, "", m.log, m.log, true);
    monitors_.push_back(m);
    return monitors_.size() - 1;
  }

  pid_t pid(size_t i) const { return monitors_[i].pid; }

  // Whether Monitor `i` has ended (reaping it when it has).
  bool ended(size_t i) {
    Proc& m = monitors_[i];
    if (!m.reaped) reap(m, 0);
    return m.reaped;
  }

  // Waits until Monitor `i` has its tables open and its driver delivers
  // events: first its temporary table readied (its "SET ASIDE" trace line)
  // and "status" 1, then a probe file, noted and renamed, whose note
  // follows it (so the search for files moved while no Monitor ran is over
  // too). A probe renamed before the driver was listening is simply left
  // behind; the next one is tried.
  ::testing::AssertionResult wait_ready(size_t i) {
    const auto deadline = deadline_in(kDeadlineMs);
    while (monitor_log(i).find("SET ASIDE: ") == std::string::npos || status() != 1) {
      if (ended(i)) return ::testing::AssertionFailure() << "qbmon ended before opening its tables";
      if (Clock::now() > deadline) return ::testing::AssertionFailure() << "qbmon never opened its tables";
      pause_briefly();
    }
    for (;;) {
      const std::string probe = probes_ + "/ready-" + std::to_string(++probes_made_);
      if (!write_whole_file(probe, "probe")) return ::testing::AssertionFailure() << "cannot write " << probe;
      ProgramRun set = qbnote({"set", probe, "ready"});
      // A file again at the old path: only the rename's event, never the
      // start's search for files moved unseen, moves the note then.
      if (set.status == 0 && ::rename(probe.c_str(), (probe + ".moved").c_str()) == 0 &&
          write_whole_file(probe, "back") && wait_note(probe + ".moved", "ready", 300))
        return ::testing::AssertionSuccess();
      if (ended(i)) return ::testing::AssertionFailure() << "qbmon ended before its driver delivered events";
      if (Clock::now() > deadline)
        return ::testing::AssertionFailure() << "no event came through to the notes; last set: " << set.status
                                             << " " << set.err;
    }
  }

  ::testing::AssertionResult start_ready() {
    size_t i = start_monitor();
    return wait_ready(i);
  }

  // Runs `qbmon --stop`; its exit status (-2: it outlived the deadline).
  int request_stop() { return program(qbmon_bin(), {"--stop"}, "").status; }

  // Waits for Monitor `i` to end: its exit status, -1 for a signal, -2
  // when it is still running at the deadline.
  int wait_exit(size_t i, int ms = kDeadlineMs) {
    Proc& m = monitors_[i];
    const auto deadline = deadline_in(ms);
    while (!ended(i)) {
      if (Clock::now() > deadline) return -2;
      pause_briefly();
    }
    return m.status;
  }

  // Stops the running Monitor (`i`) the way a user does; both exit
  // statuses are expected to be 0.
  void stop(size_t i) {
    EXPECT_EQ(request_stop(), 0);
    EXPECT_EQ(wait_exit(i), 0);
  }

  void kill_hard(size_t i) {
    ASSERT_FALSE(ended(i));
    ASSERT_EQ(::kill(monitors_[i].pid, SIGKILL), 0);
    EXPECT_EQ(wait_exit(i), -1);
  }

  std::string monitor_log(size_t i) const { return read_whole_file(monitors_[i].log); }

  // ---- qbnote -------------------------------------------------------------

  ProgramRun qbnote(const std::vector<std::string>& args, const std::string& input = "") {
    return program(qbnote_bin(), args, input);
  }

  // The note of `path`, or nothing when it has none (or qbnote failed).
  std::optional<std::string> note(const std::string& path) {
    ProgramRun r = qbnote({"get", path});
    last_get_ = r;
    if (r.status != 0) return std::nullopt;
    if (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
    return r.out;
  }

  void set_note(const std::string& path, const std::string& text) {
    ProgramRun r = qbnote({"set", path, text});
    ASSERT_EQ(r.status, 0) << "qbnote set " << path << ": " << r.err;
  }

  // Waits until `path` has the note `text`.
  ::testing::AssertionResult wait_note(const std::string& path, const std::string& text, int ms = kDeadlineMs) {
    const auto deadline = deadline_in(ms);
    for (;;) {
      std::optional<std::string> n = note(path);
      if (n && *n == text) return ::testing::AssertionSuccess();
      if (Clock::now() > deadline)
        return ::testing::AssertionFailure() << path << " never got the note \"" << text << "\"; qbnote get: status "
                                             << last_get_.status << ", \"" << last_get_.out << "\" " << last_get_.err;
      pause_briefly();
    }
  }

  // Waits until `path` has no note.
  ::testing::AssertionResult wait_no_note(const std::string& path, int ms = kDeadlineMs) {
    const auto deadline = deadline_in(ms);
    for (;;) {
      if (!note(path) && last_get_.status == 1) return ::testing::AssertionSuccess();
      if (Clock::now() > deadline)
        return ::testing::AssertionFailure() << path << " kept a note; qbnote get: status " << last_get_.status
                                             << ", \"" << last_get_.out << "\" " << last_get_.err;
      pause_briefly();
    }
  }

  // Every note under `folder` (all, when empty) but the probes': path ->
  // first line, from `qbnote ls`.
  std::map<std::string, std::string> notes_under(const std::string& folder = "") {
    std::vector<std::string> args = {"ls"};
    if (!folder.empty()) args.push_back(folder);
    ProgramRun r = qbnote(args);
    EXPECT_TRUE(r.status == 0 || r.status == 1) << "qbnote ls: " << r.status << " " << r.err;
    std::map<std::string, std::string> out;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
      const size_t tab = line.find('\t');
      const std::string path = line.substr(0, tab);
      if (path.rfind(probes_ + "/", 0) == 0) continue;
      out[path] = tab == std::string::npos ? "" : line.substr(tab + 1);
    }
    return out;
  }

  // Returns once the running Monitor has handled every event that came
  // before the call: a probe's rename, made now, has moved its note.
  void barrier() {
    const std::string probe = probes_ + "/barrier-" + std::to_string(++probes_made_);
    ASSERT_TRUE(write_whole_file(probe, "b"));
    set_note(probe, "barrier");
    ASSERT_EQ(::rename(probe.c_str(), (probe + ".moved").c_str()), 0);
    ASSERT_TRUE(wait_note(probe + ".moved", "barrier"));
  }

  // ---- files under the root -----------------------------------------------

  std::string at(const std::string& relative) const { return root_ + "/" + relative; }

  // Makes the folders leading to `path`.
  static void make_parents(const std::string& path) {
    for (size_t slash = 1; (slash = path.find('/', slash)) != std::string::npos; ++slash)
      ::mkdir(path.substr(0, slash).c_str(), 0700);
  }

  // A file under the root with its parents; its full path.
  std::string make_file(const std::string& relative, const std::string& contents = "contents\n") {
    const std::string full = at(relative);
    make_parents(full);
    EXPECT_TRUE(write_whole_file(full, contents)) << full;
    return full;
  }

  // A folder under the root with its parents; its full path.
  std::string make_folder(const std::string& relative) {
    const std::string full = at(relative);
    make_parents(full + "/");
    return full;
  }

  static void move(const std::string& from, const std::string& to) {
    ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << from << " -> " << to << ": " << std::strerror(errno);
  }

  TempDir tmp_;
  std::string home_;
  std::string root_;
  std::string outside_;
  std::string probes_;
  std::vector<Proc> monitors_;

  // Runs `program` to its end, within the deadline.
  ProgramRun program(const char* program, const std::vector<std::string>& args, const std::string& input) {
    const int n = runs_ + 1;
    const std::string out = tmp_.file("out." + std::to_string(n));
    const std::string err = tmp_.file("err." + std::to_string(n));
    Proc p;
    p.pid = spawn(program, args, input, out, err, false);
    ProgramRun r;
    if (p.pid < 0) return r;
    const auto deadline = deadline_in(kDeadlineMs);
    while (reap(p, 0), !p.reaped) {
      if (Clock::now() > deadline) {
        ::kill(p.pid, SIGKILL);
        reap(p, -1);
        r.status = -2;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (r.status != -2) r.status = p.status;
    r.out = read_whole_file(out);
    r.err = read_whole_file(err);
    ::unlink(out.c_str());
    ::unlink(err.c_str());
    return r;
  }

 private:
  // Starts `program` with `args`, QB_HOME inherited, standard input from a
  // file holding `input`, output and error into files; its pid.
  pid_t spawn(const char* program, const std::vector<std::string>& args, const std::string& input,
              const std::string& out, const std::string& err, bool trace) {
    const std::string in = tmp_.file("in." + std::to_string(++runs_));
    write_whole_file(in, input);
    pid_t pid = ::fork();
    if (pid == 0) {
      if (trace) ::setenv("QB_TRACE", "1", 1);
      redirect(in, 0, O_RDONLY);
      redirect(out, 1, O_WRONLY | O_CREAT | O_APPEND);
      redirect(err, 2, O_WRONLY | O_CREAT | O_APPEND);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(program, argv.data());
      ::_exit(127);
    }
    return pid;
  }


  // waitpid; `wait_ms` 0 only looks, -1 waits.
  static void reap(Proc& p, int wait_ms) {
    int status = 0;
    pid_t got;
    do got = ::waitpid(p.pid, &status, wait_ms < 0 ? 0 : WNOHANG);
    while (got < 0 && errno == EINTR);
    if (got == p.pid) {
      p.reaped = true;
      p.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else if (got < 0) {
      p.reaped = true;  // not our child any more: nothing left to end
    }
  }

  static void redirect(const std::string& path, int target, int flags) {
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd >= 0 && fd != target) {
      ::dup2(fd, target);
      ::close(fd);
    }
  }

  int runs_ = 0;
  int probes_made_ = 0;
  ProgramRun last_get_;
};

}  // namespace e2e
