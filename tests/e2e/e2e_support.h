// End-to-end runs of the real qbmon and qbnote. Each test's folder holds
// state/ (QB_HOME of every program and of the test, which sets "WatchRoots"),
// files/ (the one root, links resolved) and outside/ (unwatched); files/.e2e/
// holds the probes of wait_ready() and barrier(), left out of notes_under().
// No wait sleeps in the hope that the Monitor caught up: each polls its
// condition with a deadline. barrier() shows the Monitor did nothing: events
// reach it in order, so once a rename made after an act has moved its note,
// every event of the act was handled. TearDown kills every Monitor left.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "platform/registry.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace e2e {

// QB_E2E_QBMON and QB_E2E_QBNOTE, when set, name other builds (an installed copy).
inline const char* qbmon_bin() { return std::getenv("QB_E2E_QBMON") ? std::getenv("QB_E2E_QBMON") : QBMON_BIN; }
inline const char* qbnote_bin() { return std::getenv("QB_E2E_QBNOTE") ? std::getenv("QB_E2E_QBNOTE") : QBNOTE_BIN; }

inline off_t size_of(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

using Notes = std::map<std::string, std::string>;

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
    for (size_t i = 0; i < monitors_.size(); ++i) {
      if (!ended(i) && ::kill(monitors_[i].pid, SIGKILL) == 0) ended(i, -1);
      const std::string log = monitor_log(i);
      if (HasFailure()) std::printf("---- qbmon %zu\n%s\n", i, log.substr(log.size() > 6000 ? log.size() - 6000 : 0).c_str());
    }
    ::unsetenv("QB_HOME");
  }

  static void set_watch_roots(const std::string& roots) {
    ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration",
                               "WatchRoots", roots), 0);
  }

  // "status": 1 while a Monitor has the notes table open; -1 unreadable.
  static long status() {
    uint32_t v = 0;
    const int rc = reg_read_number(RegHive::kLocalMachine, "SOFTWARE\\Kestrin Software\\Quibbet\\Status", "status", &v);
    return rc == 0 ? static_cast<long>(v) : -1;
  }

  std::string system_file(const std::string& name) const { return home_ + "/system/" + name; }

  // Monitors run with their trace on, output into their log.
  struct Monitor {
    pid_t pid = -1;
    std::string log;
    bool ended = false;
    int status = -1;  // once ended: its exit status, -1 for a signal
  };

  size_t start_monitor() {
    Monitor m;
    m.log = tmp_.file("qbmon." + std::to_string(monitors_.size() + 1) + ".log");
    m.pid = start_program(qbmon_bin(), {}, "", {{"QB_TRACE", "1"}}, m.log, m.log).pid;
    m.ended = m.pid < 0;
    monitors_.push_back(m);
    return monitors_.size() - 1;
  }

  // Whether Monitor `i` has ended, waiting up to `wait_ms` (-1: as long as it takes).
  bool ended(size_t i, int wait_ms = 0) {
    Monitor& m = monitors_[i];
    if (!m.ended) m.ended = reap_program(m.pid, wait_ms, &m.status);
    return m.ended;
  }

  // Its exit status, -1 for a signal, -2 when it still runs at the deadline.
  int wait_exit(size_t i) { return ended(i, kRunDeadlineMs) ? monitors_[i].status : -2; }
  std::string monitor_log(size_t i) const { return read_whole_file(monitors_[i].log); }

  // Waits until Monitor `i` has its tables open (its "SET ASIDE" trace line
  // and "status" 1) and its driver delivers events: a probe, noted and
  // renamed, whose note follows it; the start's search for files moved
  // unseen is then over too. A file is put back at the probe's old path, so
  // that only the rename's event, never that search, can move the note. A
  // probe renamed before the driver listened is left behind; the next is tried.
  ::testing::AssertionResult start_ready(size_t* monitor) {
    const size_t i = *monitor = start_monitor();
    const auto open = [&] { return monitor_log(i).find("SET ASIDE: ") != std::string::npos && status() == 1; };
    if (!wait_until([&] { return ended(i) || open(); }) || ended(i))
      return ::testing::AssertionFailure() << "qbmon never opened its tables";
    ProgramRun set;
    const bool delivered = wait_until([&] {
      const std::string probe = probes_ + "/ready-" + std::to_string(++probes_made_);
      return ended(i) || (write_whole_file(probe, "probe") && (set = qbnote({"set", probe, "ready"})).status == 0 &&
                          ::rename(probe.c_str(), (probe + ".moved").c_str()) == 0 && write_whole_file(probe, "back") &&
                          wait_note(probe + ".moved", "ready", 300));
    });
    if (delivered && !ended(i)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no event came through; last set: " << set.status << " " << set.err;
  }

  // Stops Monitor `i` the way a user does, with `qbmon --stop`: both exit with 0.
  void stop(size_t i) {
    EXPECT_EQ(run_program(tmp_.path(), qbmon_bin(), {"--stop"}).status, 0);
    EXPECT_EQ(wait_exit(i), 0);
  }

  ProgramRun qbnote(const std::vector<std::string>& args, const std::string& input = "") {
    return run_program(tmp_.path(), qbnote_bin(), args, input);
  }

  // The note of `path`; nothing when it has none or qbnote failed.
  std::optional<std::string> note(const std::string& path) {
    last_get_ = qbnote({"get", path});
    if (last_get_.status != 0) return std::nullopt;
    return last_get_.out.substr(0, last_get_.out.size() - (last_get_.out.ends_with('\n') ? 1 : 0));
  }

  void set_note(const std::string& path, const std::string& text) {
    const ProgramRun r = qbnote({"set", path, text});
    ASSERT_EQ(r.status, 0) << "qbnote set " << path << ": " << r.err;
  }

  // Waits until `path` has the note `text`, or none when `text` is nothing.
  ::testing::AssertionResult wait_note(const std::string& path, std::optional<std::string> text,
                                       int ms = kRunDeadlineMs) {
    if (wait_until([&] { return note(path) == text && (text || last_get_.status == 1); }, ms))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << " never got the note \"" << text.value_or("(none)")
                                         << "\"; qbnote get: " << last_get_.status << " " << last_get_.err;
  }

  // What `qbnote ls` (with `args`) lists, but the probes: path -> first line.
  Notes notes_under(const std::vector<std::string>& args = {"ls"}) {
    const ProgramRun r = qbnote(args);
    EXPECT_TRUE(r.status == 0 || r.status == 1) << "qbnote ls: " << r.status << " " << r.err;
    Notes out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(probes_ + "/", 0) != 0)
        out[line.substr(0, line.find('\t'))] = line.find('\t') == std::string::npos ? "" : line.substr(line.find('\t') + 1);
    return out;
  }

  // Returns once the running Monitor has handled every event that came
  // before the call: a probe's rename, made now, has moved its note.
  void barrier() {
    const std::string probe = probes_ + "/barrier-" + std::to_string(++probes_made_);
    ASSERT_TRUE(write_whole_file(probe, "b"));
    set_note(probe, "barrier");
    move(probe, probe + ".moved");
    ASSERT_TRUE(wait_note(probe + ".moved", "barrier"));
  }

  std::string at(const std::string& relative) const { return root_ + "/" + relative; }

  // Makes the folders leading to `path`, and `path` itself when it ends in '/'.
  static void make_parents(const std::string& path) {
    for (size_t slash = 1; (slash = path.find('/', slash)) != std::string::npos; ++slash)
      ::mkdir(path.substr(0, slash).c_str(), 0700);
  }

  // A file or (ending in '/') a folder under the root, with its folders; its full path.
  std::string make(const std::string& relative, const std::string& contents = "contents\n") {
    make_parents(at(relative));
    if (relative.ends_with('/')) return at(relative.substr(0, relative.size() - 1));
    EXPECT_TRUE(write_whole_file(at(relative), contents)) << relative;
    return at(relative);
  }

  static void move(const std::string& from, const std::string& to) {
    ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << from << " -> " << to << ": " << std::strerror(errno);
  }

  TempDir tmp_;
  std::string home_, root_, outside_, probes_;
  std::vector<Monitor> monitors_;
  int probes_made_ = 0;
  ProgramRun last_get_;
};

}  // namespace e2e
