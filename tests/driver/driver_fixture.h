// The driver's rig: a watch root, an outside folder ('@') and a state folder,
// the test thread as the queue's consumer. Scripts: "mkdir a; put a/f; mv a @a; rm x".
// Event tokens: "+new", "-old", "a>b" a rename, "a=b" a copy, "*" a reconciliation.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/queue.h"
#include "event/file_event.h"
#include "platform/registry.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

constexpr char kConfigurationKey[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";
inline void set_watch_roots(const std::string& roots) {
  ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kConfigurationKey, "WatchRoots", roots), 0);
}

// `script` split at ';' into steps, and each step at blanks.
inline std::vector<std::vector<std::string>> steps(const std::string& script) {
  std::vector<std::vector<std::string>> out;
  std::stringstream all(script);
  for (std::string step; std::getline(all, step, ';');) {
    std::stringstream words(step);
    out.emplace_back(std::istream_iterator<std::string>(words), std::istream_iterator<std::string>());
  }
  return out;
}

inline std::string show(const FileEvent& e) { return std::to_string(e.operation) + " " + e.source + " > " + e.target; }

struct Paths {
  std::string root, outside;
  std::string at(const std::string& p) const {
    return p == "." ? root : p[0] != '@' ? root + "/" + p : outside + (p.size() > 1 ? "/" + p.substr(1) : "");
  }
  std::string ev(const std::string& t) const {  // the token `t` as show() gives its event
    const size_t mid = t.find_first_of(">="), c = t[0] == '+', d = t[0] == '-';
    if (c || d) return show({c ? OP_CREATE : OP_DELETE, d ? at(t.substr(1)) : "", c ? at(t.substr(1)) : ""});
    return t == "*" ? show({OP_RECONCILE, "", ""})
                    : show({t[mid] == '>' ? OP_RENAME : OP_COPY, at(t.substr(0, mid)), at(t.substr(mid + 1))});
  }
  // Runs `s` when it is a file operation; false when it is none.
  bool disk(const std::vector<std::string>& s) const {
    if (s[0] == "put") EXPECT_TRUE(write_whole_file(at(s[1]), "x")) << s[1];
    else if (s[0] == "mkdir") std::filesystem::create_directories(at(s[1]));
    else if (s[0] == "mv") std::filesystem::rename(at(s[1]), at(s[2]));
    else if (s[0] == "rm") std::filesystem::remove_all(at(s[1]));
    else return false;
    return true;
  }
};

struct RigFolders { TempDir root_tmp, outside_tmp, state_tmp; };

struct DriverRig : RigFolders, Paths {
  std::vector<FileEvent> events;  // taken so far, oldest first
  bool loaded = false;
  int sentinels = 0;

  DriverRig() : Paths{resolved(root_tmp.path()), resolved(outside_tmp.path())} {
    ::setenv("QB_HOME", (state_tmp.path() + "/state").c_str(), 1);
    set_watch_roots(root);
  }
  ~DriverRig() { if (loaded) drv_close(); ::unsetenv("QB_HOME"); }
  void load() {
    std::string cause;
    ASSERT_EQ(drv_open(&cause), 0) << cause;
    loaded = true;
  }
  int count(const std::string& token) const {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](auto& e) { return show(e) == ev(token); }));
  }
  // Takes events until `token`'s has come; false past the deadline.
  bool wait_for(const std::string& token) {
    return wait_until([&] {
      FileEvent e;
      if (eq_take(&e, 20)) events.push_back(e);
      return count(token) > 0;
    });
  }
  // A file made now comes through after everything the driver saw before.
  void sentinel() {
    const std::string name = "sentinel." + std::to_string(++sentinels);
    ASSERT_TRUE(disk({"put", name}) && wait_for("+" + name));
  }
  bool reported_under(const std::string& p) const {
    auto under = [&](const std::string& s) { return s == at(p) || s.rfind(at(p) + "/", 0) == 0; };
    return std::any_of(events.begin(), events.end(), [&](auto& e) { return under(e.source) || under(e.target); });
  }
};
