// The Monitor's tests (tests/monitor, tests/driver_link): a fresh state folder
// and watch root, each body in a forked child (WinMain and the event thread keep
// process-wide state: the tables, the instance lock, the driver; an alarm ends a hang).
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/queue.h"
#include "driver_link/event_thread.h"
#include "platform/registry.h"
#include "support/log_capture.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "table_handle/table_handle.h"
#include "tracking/table_guard.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

using Notes = std::vector<std::pair<std::string, std::string>>;

constexpr char kConfiguration[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";

class MonitorTest : public ::testing::Test {
 public:
  void SetUp() override { freshState("state"); }
  void freshState(const std::string& name) {
    home_ = tmp_.path() + "/" + name;
    ::setenv("QB_HOME", home_.c_str(), 1);
    ASSERT_TRUE(::mkdir(files_.c_str(), 0700) == 0 || errno == EEXIST);
    ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kConfiguration, "WatchRoots", files_), 0);
  }
  // The child prints its own failures and exits 1 on any (a failure before the fork counts again).
  static void inChild(const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(60);
      capture = new LogCapture;  // ends with the child
      body();
      std::fflush(nullptr);
      ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    EXPECT_TRUE(pid > 0 && reap_program(pid, -1, &status) && status == 0)
        << "the child's failures are printed above (status " << status << "; -1: a signal, the alarm if it hung)";
  }

  static inline LogCapture* capture = nullptr;  // in the child
  // The reports (not the trace) so far, oldest first.
  static std::vector<std::string> reports() {
    std::vector<std::string> out;
    for (const LogCapture::Line& l : capture->lines())
      if (l.first != LogKind::kTrace) out.push_back(l.second);
    return out;
  }
  static bool traced(const std::string& line) {
    const std::vector<std::string> t = capture->texts(LogKind::kTrace);
    return std::find(t.begin(), t.end(), line) != t.end();
  }

  // The event thread's next notice; nullopt when none came.
  static std::optional<std::pair<EventNotice, int>> notice(int timeoutMs = 20000) {
    pollfd p = {eventThreadNoticeFd(), POLLIN, 0};
    std::pair<EventNotice, int> n;
    if (::poll(&p, 1, timeoutMs) != 1 || !readEventThreadNotice(&n.first, &n.second)) return std::nullopt;
    return n;
  }
  // Until a probe event of an unused operation is traced, then the queue drained.
  static bool waitHandling() {
    return wait_until([] {
      FileEvent probe{99, "", ""};
      eq_push(&probe);
      return traced("\nDoResponse with 99\n");
    }) && eq_drain(10000) == 0;
  }
  // Stops the event thread as WinMain's shutdown does; its kEnded code.
  static std::optional<int> stopEventThread() {
    if (beginEventThreadShutdown()) drv_stop();
    std::optional<std::pair<EventNotice, int>> n = notice();
    joinEventThread();
    resetEventThreadShutdown();
    return n && n->first == EventNotice::kEnded ? std::optional<int>(n->second) : std::nullopt;
  }

  static uint32_t status() {  // ~0u when unreadable
    uint32_t v = 0;
    return reg_read_number(RegHive::kLocalMachine, kStatusKeyPath, kStatusValue, &v) == 0 ? v : ~0u;
  }
  static void setStatus(uint32_t value) {
    ASSERT_EQ(reg_write_number(RegHive::kLocalMachine, kStatusKeyPath, kStatusValue, value), 0);
  }
  static std::string sys(const char* name) {
    char buffer[kPathBuffer];
    EXPECT_EQ(systemFilePath(buffer, name), 1);
    return buffer;
  }
  static bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }
  // A notes table `base` ("qb", "qbbak") holding `notes`, closed again.
  static void seedNotes(const char* base, const Notes& notes) {
    const std::string path = sys(base);
    TableHandle h;
    ASSERT_TRUE(createNotesTable(path.c_str()) == 1 && h.open(path.c_str(), 0) == 1);
    for (const auto& [p, remark] : notes)
      ASSERT_TRUE(h.setField(0, p.c_str()) == 1 && h.setField(1, remark.c_str()) == 1 && h.addRecord() == 1) << p;
    ASSERT_EQ(h.close(), 1);
  }
  // Every note of the open notesTable (or with `base`, of that closed table), in path order.
  static Notes openNotes(const char* base = nullptr) {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    TableHandle closed;
    TableHandle& h = base != nullptr ? closed : notesTable;
    if (base != nullptr) { EXPECT_TRUE(closed.open(sys(base).c_str(), 1) == 1 && closed.setIndex(kPathIndex) == 1); }
    Notes out;
    for (int rc = h.firstRecord(); rc == 1; rc = h.nextRecord()) {
      EXPECT_EQ(h.readRecord(0), 1);
      out.emplace_back(h.getField(0), h.getField(1));
    }
    return out;
  }

  TempDir tmp_;
  std::string home_, files_ = tmp_.path() + "/files";
};
