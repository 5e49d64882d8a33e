// The driver as the Monitor meets it: a fixture that points the state
// folder and the watch roots at fresh temporary folders, opens the driver
// and takes its events from the queue as the event thread does (taking the
// next one acknowledges the one before).
//
// Waits have deadlines and end as soon as what they wait for has come.
// That nothing was reported is shown by a sentinel: a file created after
// the act under test, whose creation must come through first.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "driver/driver.h"
#include "driver/queue.h"
#include "event/file_event.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

constexpr char kConfigurationKey[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";

// Sets the registry string "WatchRoots" of the current state folder.
inline void set_watch_roots(const std::string& roots) {
  ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kConfigurationKey, "WatchRoots", roots), 0);
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = resolved(root_tmp_.path());
    outside_ = resolved(outside_tmp_.path());
    set_home(state_tmp_.path() + "/state");
    set_roots(root_);
  }
  void TearDown() override {
    if (loaded_) drv_close();
    ::unsetenv("QB_HOME");
  }

  void set_home(const std::string& home) { ::setenv("QB_HOME", home.c_str(), 1); }
  static void set_roots(const std::string& roots) { set_watch_roots(roots); }

  // Opens the driver; the test thread is its consumer.
  void load() {
    std::string cause;
    ASSERT_EQ(drv_open(&cause), 0) << cause;
    loaded_ = true;
  }

  // Takes events until `done` holds or `ms` pass.
  bool pump(const std::function<bool()>& done, int ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (done()) return true;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      FileEvent e;
      if (eq_take(&e, static_cast<int>(left.count()))) events_.push_back(std::move(e));
    }
  }

  int count(int32_t op, const std::string& source, const std::string& target) const {
    int n = 0;
    for (const FileEvent& r : events_)
      if (r.operation == op && r.source == source && r.target == target) ++n;
    return n;
  }

  bool wait_for(int32_t op, const std::string& source, const std::string& target, int ms = 5000) {
    return pump([&] { return count(op, source, target) > 0; }, ms);
  }
  bool wait_created(const std::string& path) { return wait_for(OP_CREATE, "", path); }

  // Creates a file in the root and waits for its creation: everything the
  // driver saw before has been delivered by then.
  void sentinel() {
    std::string path = root_ + "/sentinel." + std::to_string(++sentinels_);
    ASSERT_TRUE(write_whole_file(path, "s"));
    ASSERT_TRUE(wait_created(path)) << path;
  }

  // Whether any record names a path equal to `prefix` or below it.
  bool reported_under(const std::string& prefix) const {
    auto under = [&](const std::string& p) { return p == prefix || p.rfind(prefix + "/", 0) == 0; };
    for (const FileEvent& r : events_)
      if (under(r.source) || under(r.target)) return true;
    return false;
  }

  std::string file(const std::string& name) const { return root_ + "/" + name; }

  TempDir root_tmp_;
  TempDir outside_tmp_;
  TempDir state_tmp_;
  std::string root_;
  std::string outside_;
  std::vector<FileEvent> events_;  // taken so far, oldest first
  bool loaded_ = false;
  int sentinels_ = 0;
};
