// The driver as the Monitor meets it: a fixture that points the state
// folder and the watch roots at fresh temporary folders, opens the device
// through CreateFileA, registers a handler of its own on the test thread,
// and receives records by alertable sleeps, acknowledging each as the
// Monitor does (operation set to 0, then IOCTL_ACKNOWLEDGE).
//
// Waits have deadlines and end as soon as what they wait for has come.
// That nothing was reported is shown by a sentinel: a file created after
// the act under test, whose creation must come through first.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "driver/driver.h"
#include "driver_link/protocol.h"
#include "platform/device.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "support/temp_dir.h"

struct Received {
  int32_t operation;
  std::string source;
  std::string target;
  EventRecord* address;
  bool acknowledged = false;
};

// What the handler saw; it runs on the test thread inside SleepEx.
struct HandlerLog {
  std::vector<Received> records;
  int outstanding = 0;      // handed over, not yet acknowledged
  int max_outstanding = 0;  // never above 1, if records go one at a time
};
inline HandlerLog g_log;

inline void test_handler(ULONG_PTR address) {
  auto* r = reinterpret_cast<EventRecord*>(address);
  g_log.records.push_back({r->operation, std::string(r->sourcePath, strnlen(r->sourcePath, kEventPathSize)),
                           std::string(r->targetPath, strnlen(r->targetPath, kEventPathSize)), r});
  ++g_log.outstanding;
  if (g_log.outstanding > g_log.max_outstanding) g_log.max_outstanding = g_log.outstanding;
}

inline std::string resolved(const std::string& path) {
  char out[PATH_MAX];
  return realpath(path.c_str(), out) != nullptr ? std::string(out) : path;
}

constexpr char kConfigurationKey[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";

// Sets the registry string "WatchRoots" of the current state folder.
inline void set_watch_roots(const std::string& roots) {
  ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kConfigurationKey, "WatchRoots", roots), 0);
}

// Opens the device as the Monitor does.
inline HANDLE open_driver() {
  return CreateFileA(kDriverDeviceName, 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED, nullptr);
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = HandlerLog{};
    root_ = resolved(root_tmp_.path());
    outside_ = resolved(outside_tmp_.path());
    set_home(state_tmp_.path() + "/state");
    set_roots(root_);
    qb_driver_install();
  }
  void TearDown() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    SleepEx(0, TRUE);  // a call queued before the close must not reach the next test
    ::unsetenv("QB_HOME");
  }

  void set_home(const std::string& home) { ::setenv("QB_HOME", home.c_str(), 1); }

  static void set_roots(const std::string& roots) { set_watch_roots(roots); }
  static HANDLE open_device() { return open_driver(); }

  BOOL control(DWORD code, const void* in, DWORD in_size) {
    DWORD out = 0;
    DWORD returned = 0;
    return DeviceIoControl(handle_, code, const_cast<void*>(in), in_size, &out, sizeof out, &returned, nullptr);
  }

  // Opens the device and registers test_handler from this thread.
  void load() {
    handle_ = open_device();
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    ULONG_PTR handler = reinterpret_cast<ULONG_PTR>(&test_handler);
    ASSERT_TRUE(control(IOCTL_REGISTER_HANDLER, &handler, sizeof handler));
  }

  void acknowledge(Received& r) {
    if (r.operation != OP_STOP) r.address->operation = 0;
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(r.address);
    r.acknowledged = true;
    --g_log.outstanding;
    EXPECT_TRUE(control(IOCTL_ACKNOWLEDGE, &address, sizeof address));
  }

  // Runs queued calls until `done` holds or `ms` pass; acknowledges each
  // record after the call that brought it, unless told not to.
  bool pump(const std::function<bool()>& done, int ms = 5000, bool ack = true) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (ack)
        for (Received& r : g_log.records)
          if (!r.acknowledged) acknowledge(r);
      if (done()) return true;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      SleepEx(static_cast<DWORD>(left.count()), TRUE);
    }
  }

  int count(int32_t op, const std::string& source, const std::string& target) const {
    int n = 0;
    for (const Received& r : g_log.records)
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
    for (const Received& r : g_log.records)
      if (under(r.source) || under(r.target)) return true;
    return false;
  }

  std::string file(const std::string& name) const { return root_ + "/" + name; }

  TempDir root_tmp_;
  TempDir outside_tmp_;
  TempDir state_tmp_;
  std::string root_;
  std::string outside_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  int sentinels_ = 0;
};
