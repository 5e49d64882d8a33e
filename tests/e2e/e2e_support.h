// End-to-end runs of the real qbmon and qbnote on a test's folder: state/
// (QB_HOME), files/ (the root; files/.e2e/ holds the probes) and outside/.
// Every wait polls its condition with a deadline. barrier() shows the Monitor
// did nothing: events reach it in order, so once a rename made after an act
// has moved its note, every event of the act was handled.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace e2e {

using Notes = std::map<std::string, std::string>;


class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = tmp_.path() + "/state";
    for (const char* folder : {"/files/.e2e/", "/outside/"}) make_parents(tmp_.path() + folder);
    root_ = resolved(tmp_.path() + "/files");
    outside_ = resolved(tmp_.path() + "/outside");
    probes_ = root_ + "/.e2e";
    ::setenv("QB_HOME", home_.c_str(), 1);
    set_watch_roots(root_);
  }

  void TearDown() override {
    for (size_t i = 0; i < monitors_.size(); ++i) {  // every Monitor left is killed
      if (!ended(i) && ::kill(monitors_[i].pid, SIGKILL) == 0) ended(i, -1);
      const std::string log = HasFailure() ? monitor_log(i) : "";
      if (!log.empty()) std::printf("---- qbmon %zu\n%s\n", i, log.c_str() + log.size() - std::min(log.size(), 6000ul));
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
    return reg_read_number(RegHive::kLocalMachine, "SOFTWARE\\Kestrin Software\\Quibbet\\Status", "status", &v) == 0
               ? static_cast<long>(v) : -1;
  }

  struct Monitor { pid_t pid; std::string log; bool ended; int status; };  // status: once ended; -1 a signal

  // A Monitor with its trace on, output into its log; its index.
  size_t start_monitor() {
    const std::string log = tmp_.file("qbmon." + std::to_string(monitors_.size() + 1) + ".log");
    const pid_t pid = start_program(QBMON_BIN, {}, "", {{"QB_TRACE", "1"}}, log, log).pid;
    monitors_.push_back({pid, log, pid < 0, -1});
    return monitors_.size() - 1;
  }

  // Whether Monitor `i` has ended, waiting up to `wait_ms` (-1: as long as it takes); its
  // exit status, -1 for a signal, -2 when it still runs at the deadline.
  bool ended(size_t i, int wait_ms = 0) {
    return monitors_[i].ended = monitors_[i].ended || reap_program(monitors_[i].pid, wait_ms, &monitors_[i].status);
  }
  int wait_exit(size_t i) { return ended(i, kRunDeadlineMs) ? monitors_[i].status : -2; }
  std::string monitor_log(size_t i) const { return read_whole_file(monitors_[i].log); }

  // Starts a Monitor and waits until it has its tables open ("SET ASIDE" in its
  // trace, "status" 1) and its driver delivers events: a probe, noted and
  // renamed, whose note follows it, so the start's search for files moved
  // unseen is over too (a file put back at the old path keeps that search from
  // moving the note). A probe renamed before the driver listened is left behind.
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
    EXPECT_EQ(run_program(tmp_.path(), QBMON_BIN, {"--stop"}).status, 0);
    EXPECT_EQ(wait_exit(i), 0);
  }

  ProgramRun qbnote(const std::vector<std::string>& args, const std::string& input = "") {
    return run_program(tmp_.path(), QBNOTE_BIN, args, input);
  }

  void set_note(const std::string& path, const std::string& text) {
    const ProgramRun r = qbnote({"set", path, text});
    ASSERT_EQ(r.status, 0) << "qbnote set " << path << ": " << r.err;
  }

  // Waits until `path` has the note `text` (none, when `text` is nothing).
  ::testing::AssertionResult wait_note(const std::string& path, std::optional<std::string> text,
                                       int ms = kRunDeadlineMs) {
    ProgramRun r;
    const std::string want = text ? *text + "\n" : "";
    if (wait_until([&] { return (r = qbnote({"get", path})).status == (text ? 0 : 1) && r.out == want; }, ms))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << " never got the note \"" << text.value_or("(none)")
                                         << "\"; qbnote get: " << r.status << " " << r.out << r.err;
  }

  // What `qbnote ls` (with `args`) lists, but the probes: path -> first line.
  Notes notes_under(const std::vector<std::string>& args = {"ls"}) {
    const ProgramRun r = qbnote(args);
    EXPECT_TRUE(r.status == 0 || r.status == 1) << "qbnote ls: " << r.status << " " << r.err;
    Notes out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const size_t tab = std::min(line.find('\t'), line.size());
      if (!line.starts_with(probes_ + "/")) out[line.substr(0, tab)] = line.substr(std::min(tab + 1, line.size()));
    }
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
  std::string make(const std::string& relative) {
    make_parents(at(relative));
    if (relative.ends_with('/')) return at(relative.substr(0, relative.size() - 1));
    EXPECT_TRUE(write_whole_file(at(relative), "contents of " + relative)) << relative;
    return at(relative);
  }

  static void move(const std::string& from, const std::string& to) {
    ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << from << " -> " << to << ": " << std::strerror(errno);
  }

  TempDir tmp_;
  std::string home_, root_, outside_, probes_;
  std::vector<Monitor> monitors_;
  int probes_made_ = 0;
};

// A Monitor runs through each test; step() does one line of a scenario, paths
// under the root ("^name" beside it, "/..." as is): f P (a file, a folder if P
// ends in '/'); n P TEXT (qbnote set, P made if missing); mv A B; rm P; rmr P;
// cp A B (qbnote cp, bytes too); junk N (N files made and deleted); sync
// (barrier()); w P TEXT (wait for the note); = MAP (barrier(), then wait for
// the notes to be MAP: path=note, '|' between); stop, kill ("status" 0, 1);
// start (its log never says "corrupt"); second (a second Monitor leaves with
// 183, "already running"); roots P (also watched from the next start); check;
// restore P Q; aside P [TEXT] (`ls --set-aside P`: P deleted with TEXT, or none).
class Running : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    ASSERT_TRUE(start_ready(&monitor_));
  }
  void TearDown() override {
    if (!ended(monitor_)) step("stop");
    E2eTest::TearDown();
  }

  std::string path(const std::string& p) const {
    return p.starts_with('^') ? outside_ + "/" + p.substr(1) : p.starts_with('/') ? p : at(p);
  }

  Notes map_of(const std::string& text) const {
    Notes m;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, '|');)
      if (!item.empty()) m[path(item.substr(0, item.find('=')))] = item.substr(item.find('=') + 1);
    return m;
  }

  void expect_notes(const Notes& want) {
    barrier();
    Notes got;
    EXPECT_TRUE(wait_until([&] { return (got = notes_under()) == want; }))
        << ::testing::PrintToString(got) << "\nwanted " << ::testing::PrintToString(want);
  }

  void step(std::string s) {
    for (size_t h = 0; (h = s.find('#', h)) != std::string::npos; h += round_.size()) s.replace(h, 1, round_);
    std::istringstream in(s);
    std::string op, a, b;
    in >> op >> a;
    std::getline(in >> std::ws, b);  // a second path, or a note
    const bool folder = a.ends_with('/');
    const std::string pa = path(folder ? a.substr(0, a.size() - 1) : a), pb = path(b);
    ::testing::AssertionResult ok = ::testing::AssertionSuccess();
    ProgramRun r;
    const std::string ops = " f n mv rm rmr cp junk sync w = stop kill start roots check restore aside second ";
    if (ops.find(" " + op + " ") == std::string::npos) FAIL() << "no such step: " << s;
    if (op == "f") make_parents(pa + (folder ? "/" : ""));
    if (op == "f" && !folder && !write_whole_file(pa, "bytes of " + a)) FAIL() << pa;
    if (op == "n" && !std::filesystem::exists(pa)) step("f " + a);
    if (op == "n") set_note(pa, b);
    if (op == "mv") move(pa, pb);
    if ((op == "rm" && ::unlink(pa.c_str()) != 0) || (op == "rmr" && !std::filesystem::remove_all(pa))) FAIL() << pa;
    if (op == "cp" && (r = qbnote({"cp", pa, pb})).status != 0) FAIL() << "qbnote cp: " << r.err;
    if (op == "cp" && !std::filesystem::is_directory(pb) && read_whole_file(pb) != read_whole_file(pa)) FAIL() << pb;
    for (int i = 0; op == "junk" && i < std::stoi(a); ++i) ::unlink(make("junk/" + std::to_string(i)).c_str());
    if (op == "sync" || op == "=") barrier();
    if (op == "=") expect_notes(map_of(s.substr(s.size() > 1 ? 2 : 1)));
    if (op == "w" && !(ok = wait_note(pa, b))) FAIL() << ok.message();
    if (op == "stop") stop(monitor_);
    if (op == "kill" && (::kill(monitors_[monitor_].pid, SIGKILL) != 0 || wait_exit(monitor_) != -1)) FAIL() << "kill";
    if ((op == "stop" || op == "kill") && status() != (op == "kill" ? 1 : 0)) ADD_FAILURE() << "status " << status();
    if (op == "start" && !(ok = start_ready(&monitor_))) FAIL() << ok.message();
    if (op == "start" && monitor_log(monitor_).find("corrupt") != std::string::npos) ADD_FAILURE() << "corrupt";
    if (op == "roots") set_watch_roots(root_ + ":" + pa);
    if (op == "second" && (wait_exit(start_monitor()) != 183 ||
                           monitor_log(monitors_.size() - 1).find("already running") == std::string::npos))
      ADD_FAILURE() << "a second Monitor: " << monitor_log(monitors_.size() - 1);
    if (op == "check" && (r = qbnote({"check"})).status != 0) ADD_FAILURE() << r.out << r.err;
    if (op == "restore" && (r = qbnote({"restore", pa, pb})).status != 0) ADD_FAILURE() << r.err;
    if (op == "aside") r = qbnote({"ls", "--set-aside", pa});
    const bool listed = r.out.starts_with(pa + "\t") && r.out.find("\tdeleted\t" + b + "\n") != std::string::npos;
    if (op == "aside" && (b.empty() ? !r.out.empty() : !listed)) ADD_FAILURE() << r.out;
  }

  size_t monitor_ = 0;
  std::string round_ = "#";  // what '#' in a step stands for
};

}  // namespace e2e
