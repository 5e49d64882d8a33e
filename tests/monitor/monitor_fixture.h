// Shared by the Monitor's tests (tests/monitor, tests/driver_link): a fresh
// state folder (QB_HOME) and watch root per test, each test body run in a
// forked child, the event thread started and stopped as WinMain does, and
// helpers for the registry, the notes table and the log.
//
// Why a child: WinMain and the event thread work on process-wide state that
// cannot be put back (the two global table handles, the single-instance
// lock held until the process ends, the driver). A child starts from the
// parent's clean state, and whatever it leaves goes with it. Failures inside
// the child are printed by the child's copy of the test framework; the
// parent checks that the child ended with 0 (an alarm ends one that hangs).
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "driver/queue.h"
#include "driver_link/event_thread.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/report.h"
#include "support/log_capture.h"
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

  // A state folder of its own (one per row of a table of cases) watching
  // the files folder.
  void freshState(const std::string& name) {
    home_ = tmp_.path() + "/" + name;
    files_ = tmp_.path() + "/files";
    ::setenv("QB_HOME", home_.c_str(), 1);
    ASSERT_TRUE(::mkdir(files_.c_str(), 0700) == 0 || errno == EEXIST);
    ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kConfiguration, "WatchRoots", files_), 0);
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
      capture = new LogCapture;  // ends with the child
      const int failedBefore = failedParts();  // an earlier row's failure is the parent's
      body();
      std::fflush(stdout);
      std::fflush(stderr);
      ::_exit(failedParts() != failedBefore ? 1 : 0);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the child was ended by signal " << WTERMSIG(status)
                                   << (WTERMSIG(status) == SIGALRM ? " (it hung)" : "");
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's failures are printed above";
  }

  static int failedParts() {
    const ::testing::TestResult* r = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int n = 0;
    for (int i = 0; i < r->total_part_count(); ++i) n += r->GetTestPartResult(i).failed() ? 1 : 0;
    return n;
  }

  static bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // ---- the log ------------------------------------------------------------------------
  // The reports (not the trace) so far, oldest first.
  static inline LogCapture* capture = nullptr;  // in the child
  static std::vector<std::string> reports() {
    std::vector<std::string> out;
    for (const LogCapture::Line& l : capture->lines())
      if (l.first != LogKind::kTrace) out.push_back(l.second);
    return out;
  }
  static bool traced(const std::string& line) {
    for (const std::string& text : capture->texts(LogKind::kTrace))
      if (text == line) return true;
    return false;
  }

  // ---- the event thread ---------------------------------------------------------------
  // Waits for the event thread's next notice; nullopt when none came.
  static std::optional<std::pair<EventNotice, int>> notice(int timeoutMs = 20000) {
    pollfd p = {eventThreadNoticeFd(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    std::pair<EventNotice, int> n;
    if (!readEventThreadNotice(&n.first, &n.second)) return std::nullopt;
    return n;
  }
  // Waits until the event thread handles events, and then until it waits
  // for the next: a probe of an operation nobody uses is pushed until its
  // trace comes, and the queue drained.
  static bool waitHandling() {
    return waitUntil([] {
      FileEvent probe;
      probe.operation = 99;
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
    if (!n || n->first != EventNotice::kEnded) return std::nullopt;
    return n->second;
  }

  // ---- registry and marks -------------------------------------------------------------
  static std::optional<uint32_t> status() {
    uint32_t v = 0;
    if (reg_read_number(RegHive::kLocalMachine, kStatusKeyPath, kStatusValue, &v) != 0) return std::nullopt;
    return v;
  }
  static void setStatus(uint32_t value) {
    ASSERT_EQ(reg_write_number(RegHive::kLocalMachine, kStatusKeyPath, kStatusValue, value), 0);
  }
  static unsigned modified() { return profile_read_number(kProfileSection, kModifiedKey, 7); }

  // ---- notes ----------------------------------------------------------------------------
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
  static void seedNotes(const char* base, const Notes& notes) {
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
  // Every note of the open notesTable, in path order.
  static Notes openNotes() {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    Notes out;
    for (int rc = notesTable.firstRecord(); rc == 1; rc = notesTable.nextRecord()) {
      EXPECT_EQ(notesTable.readRecord(0), 1);
      out.emplace_back(notesTable.getField(0), notesTable.getField(1));
    }
    return out;
  }
  // The remark of `path` in the closed notes table, nullopt when it has none.
  static std::optional<std::string> storedRemark(const std::string& path) {
    TableHandle h;
    EXPECT_EQ(h.open(sys("qb").c_str(), 1), 1);
    EXPECT_EQ(h.setIndex(kPathIndex), 1);
    EXPECT_EQ(h.setField(0, path.c_str()), 1);
    std::optional<std::string> r;
    if (h.findKey() == 2 && h.readRecord(0) == 1) r = h.getField(1);
    EXPECT_EQ(h.close(), 1);
    return r;
  }

  TempDir tmp_;
  std::string home_;
  std::string files_;
};
