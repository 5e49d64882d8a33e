// Shared by the Monitor's tests: a fresh state folder (QB_HOME) per test,
// each test body run in a forked child, and helpers for the registry, the
// notes table and the message queue.
//
// Why a child: WinMain, the window procedure and the event thread work on
// process-wide state that cannot be put back (the two global table handles,
// driverHandle, `running`, the single-instance mutex held until the process
// ends, a window class registered once, an event thread that may sleep for
// ever). A child starts from the parent's clean state, and whatever it
// leaves goes with it. Failures inside the child are printed by the child's
// copy of the test framework; the parent checks that the child ended with 0
// (an alarm ends a child that hangs).
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver_link/event_thread.h"
#include "driver_link/protocol.h"
#include "monitor/monitor_wnd_proc.h"
#include "monitor/win_main.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/state_dir.h"
#include "platform/threads.h"
#include "platform/tray.h"
#include "platform/window.h"
#include "resources/progress_dialog.h"
#include "support/scripted_driver.h"
#include "support/temp_dir.h"
#include "table_handle/table_handle.h"
#include "tracking/event_record.h"
#include "tracking/table_guard.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"

// A registry value as read back: its type and bytes.
struct RegData {
  DWORD type = REG_NONE;
  std::string bytes;
  bool operator==(const RegData& o) const { return type == o.type && bytes == o.bytes; }
};

inline std::ostream& operator<<(std::ostream& out, const RegData& d) {
  out << "type " << d.type << " bytes";
  for (unsigned char c : d.bytes) out << ' ' << std::hex << static_cast<int>(c) << std::dec;
  return out;
}

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = tmp_.path() + "/state";
    ::setenv("QB_HOME", home_.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("QB_HOME"); }

  // Runs `body` in a forked child and expects it to end cleanly.
  static void inChild(const std::function<void()>& body, unsigned alarmSeconds = 60) {
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::alarm(alarmSeconds);
      body();
      std::fflush(stdout);
      std::fflush(stderr);
      ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the child was ended by signal " << WTERMSIG(status)
                                   << (WTERMSIG(status) == SIGALRM ? " (it hung)" : "");
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's failures are printed above";
  }

  // Polls `done` every 2 ms; false when `timeoutMs` passed first.
  static bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      Sleep(2);
    }
    return true;
  }

  // Dispatches the calling thread's messages until `done` (true) or the time
  // is up (false). A WM_QUIT taken on the way is kept in *quit.
  static bool pumpUntil(const std::function<bool()>& done, MSG* quit = nullptr, int timeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    MSG msg;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
          if (quit != nullptr) *quit = msg;
          continue;
        }
        (void)DispatchMessageA(&msg);
      } else {
        Sleep(1);
      }
    }
    return true;
  }

  // The hidden main window, made as WinMain makes it (class and title).
  static HWND createMonitorWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = MonitorWndProc;
    wc.hInstance = qb_resources();
    wc.lpszClassName = kMonitorClass;
    EXPECT_NE(RegisterClassA(&wc), 0);
    return CreateWindowExA(0, kMonitorClass, kMonitorTitle, 0, 0, 0, 0, 0, nullptr, nullptr, qb_resources(),
                           nullptr);
  }

  // The event thread has registered with the driver, all three calls.
  static bool waitRegistered(const ScriptedDriver& driver) {
    return waitUntil([&] { return driver.window() != nullptr; });
  }

  // ---- registry -----------------------------------------------------------------
  static void setValue(HKEY hive, const char* path, const char* name, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(hive, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
  static void setDword(HKEY hive, const char* path, const char* name, DWORD value) {
    setValue(hive, path, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value));
  }
  static void setString(HKEY hive, const char* path, const char* name, const std::string& text) {
    setValue(hive, path, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
  }
  static std::optional<RegData> value(HKEY hive, const char* path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(hive, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    RegData d;
    char buffer[4096];
    DWORD size = sizeof buffer;
    LONG rc = RegQueryValueExA(key, name, nullptr, &d.type, reinterpret_cast<LPBYTE>(buffer), &size);
    (void)RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    d.bytes.assign(buffer, size);
    return d;
  }
  static void deleteValue(HKEY hive, const char* path, const char* name) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(hive, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, name), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
  // "status", or nullopt when it cannot be read.
  static std::optional<DWORD> status() {
    DWORD v = 0;
    if (readStatus(&v) != ERROR_SUCCESS) return std::nullopt;
    return v;
  }
  static UINT modified() { return GetProfileIntA(kProfileSection, kModifiedKey, 7); }

  // ---- notes ----------------------------------------------------------------------
  static std::string sys(const char* name) {
    char buffer[kPathBuffer];
    EXPECT_EQ(systemFilePath(buffer, name), 1);
    return buffer;
  }
  static bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }
  // A notes table `base` ("qb", "qbbak") holding `notes`, closed again.
  static void seedNotes(const char* base, const std::vector<std::pair<std::string, std::string>>& notes) {
    std::string path = sys(base);
    ASSERT_EQ(createNotesTable(path.c_str()), 1);
    TableHandle h;
    ASSERT_EQ(h.open(path.c_str(), 0), 1);
    for (const auto& [p, remark] : notes) {
      ASSERT_EQ(h.setField(0, p.c_str()), 1);
      ASSERT_EQ(h.setField(1, remark.c_str()), 1);
      ASSERT_EQ(h.addRecord(), 1) << p;
    }
    ASSERT_EQ(h.close(), 1);
  }
  // The remark of `path` in the open handle t, nullopt when it has none.
  static std::optional<std::string> remarkOf(TableHandle& t, const std::string& path) {
    EXPECT_EQ(t.setField(0, path.c_str()), 1);
    if (t.findKey() != 2) return std::nullopt;
    EXPECT_EQ(t.readRecord(0), 1);
    return std::string(t.getField(1));
  }
  // The same on the closed notes table, through a handle of its own.
  static std::optional<std::string> storedRemark(const std::string& path) {
    TableHandle h;
    EXPECT_EQ(h.open(sys("qb").c_str(), 1), 1);
    EXPECT_EQ(h.setIndex(kPathIndex), 1);
    std::optional<std::string> r = remarkOf(h, path);
    EXPECT_EQ(h.close(), 1);
    return r;
  }

  static std::vector<std::string> boxTexts() {
    std::vector<std::string> out;
    for (const QbMessageBoxShown& b : qb_message_box_log()) out.push_back(b.text);
    return out;
  }

  TempDir tmp_;
  std::string home_;
};
