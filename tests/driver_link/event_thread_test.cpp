// The event thread on its own: the status check, recovery, opening the
// database, loading and registering with the driver, the wait and the end.
// Each test runs in a forked child (the table handles, driverHandle and
// `running` are process-wide); the child's main thread owns a plain window
// that stands in for the Monitor's, so that the thread's WM_QUIT and message
// boxes have somewhere to go.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver_link/event_thread.h"
#include "driver_link/protocol.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "platform/window.h"
#include "support/scripted_driver.h"
#include "support/temp_dir.h"
#include "table_handle/table_handle.h"
#include "tracking/do_response.h"
#include "tracking/event_record.h"
#include "tracking/table_guard.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"

namespace {

using Notes = std::vector<std::pair<std::string, std::string>>;

const Notes kNotes = {{"/home/ada/a.txt", "one"}, {"/home/ada/b.txt", "two"}, {"/home/ada/docs", "folder"}};

class EventThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("QB_HOME", (tmp_.path() + "/state").c_str(), 1); }
  void TearDown() override { ::unsetenv("QB_HOME"); }

  // Runs `body` in a forked child that must end with 0 (see the file's
  // head); the child's failures are printed by the child.
  static void inChild(const std::function<void()>& body) {
    std::fflush(stdout);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::alarm(60);
      body();
      std::fflush(stdout);
      ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the child was ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's failures are printed above";
  }

  // What one run of the thread left: its result, the WM_QUIT it posted (if
  // any), the message boxes it showed.
  struct Outcome {
    DWORD result = STILL_ACTIVE;
    std::optional<WPARAM> quit;
    std::vector<QbMessageBoxShown> boxes;
  };

  // Sets up what WM_CREATE provides (mainWindow, driverEvent) and starts
  // the thread; finish() waits for its end and collects what it left.
  static HANDLE start() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = "eventThreadTest";
    EXPECT_NE(RegisterClassA(&wc), 0);
    mainWindow = CreateWindowExA(0, "eventThreadTest", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    EXPECT_NE(mainWindow, nullptr);
    driverEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, EventThread, nullptr, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    return thread;
  }
  static Outcome finish(HANDLE thread) {
    Outcome o;
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0) << "the thread did not end";
    EXPECT_TRUE(GetExitCodeThread(thread, &o.result));
    // Its end freed threadMutex (abandoned: the thread never released it).
    HANDLE m = threadMutex.load();
    EXPECT_NE(m, nullptr);
    if (m != nullptr) {
      EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    }
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
      if (msg.message == WM_QUIT && msg.hwnd == mainWindow) o.quit = msg.wParam;
    o.boxes = qb_message_box_log();
    return o;
  }
  static Outcome run() { return finish(start()); }

  // Sends IOCTL_STOP as WinMain does and returns what the thread left.
  static Outcome stop(HANDLE thread) {
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(driverHandle, IOCTL_STOP, nullptr, 0, nullptr, 0, &returned, nullptr));
    return finish(thread);
  }

  static bool waitRegistered(const ScriptedDriver& driver) {
    for (int i = 0; i < 5000; ++i) {
      if (driver.window() != nullptr) return true;
      Sleep(2);
    }
    return false;
  }

  // ---- the database's files and marks ---------------------------------------------
  static std::string sys(const char* name) {
    char buffer[kPathBuffer];
    EXPECT_EQ(systemFilePath(buffer, name), 1);
    return buffer;
  }
  static bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }
  static void seed(const char* base, const Notes& notes) {
    std::string path = sys(base);
    ASSERT_EQ(createNotesTable(path.c_str()), 1);
    TableHandle h;
    ASSERT_EQ(h.open(path.c_str(), 0), 1);
    for (const auto& [p, remark] : notes) {
      ASSERT_EQ(h.setField(0, p.c_str()), 1);
      ASSERT_EQ(h.setField(1, remark.c_str()), 1);
      ASSERT_EQ(h.addRecord(), 1);
    }
    ASSERT_EQ(h.close(), 1);
  }
  // Every note of the open notesTable, by path; the thread must be idle.
  static Notes openNotes() {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    Notes out;
    for (int rc = notesTable.firstRecord(); rc == 1; rc = notesTable.nextRecord()) {
      EXPECT_EQ(notesTable.readRecord(0), 1);
      out.emplace_back(notesTable.getField(0), notesTable.getField(1));
    }
    return out;
  }
  static void setStatus(DWORD value) { writeStatus(value); }
  static std::optional<DWORD> status() {
    DWORD v = 0;
    if (readStatus(&v) != ERROR_SUCCESS) return std::nullopt;
    return v;
  }
  static void deleteStatus() {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStatusKeyPath, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "status"), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
  // A data file that is no table: its header cannot be read as one.
  static void spoil(const char* name) { ASSERT_TRUE(write_whole_file(sys(name), std::string(600, '\x5a'))); }

  static void expectOneBox(const Outcome& o, const char* text) {
    ASSERT_EQ(o.boxes.size(), 1u);
    EXPECT_EQ(o.boxes[0].text, text);
    EXPECT_EQ(o.boxes[0].caption, "Quibbet Monitor");
    EXPECT_EQ(o.boxes[0].type, static_cast<UINT>(MB_OK));
  }

  TempDir tmp_;
};

const char kCorrupt[] = "The Quibbet Database is corrupt.\nYou may be able to restore it from a backup.";
const char kUnavailable[] = "QBSys.vxd in the Windows System subdirectory is unavailable.";

// ---- the status check ------------------------------------------------------------------

TEST_F(EventThreadTest, StatusMissingIsACleanStopSaidOnce) {
  inChild([] {
    seed("qb", kNotes);
    deleteStatus();
    ScriptedDriver driver;
    HANDLE thread = start();
    ASSERT_TRUE(waitRegistered(driver));
    EXPECT_EQ(openNotes(), kNotes);  // opened as after a clean stop: no restore
    std::vector<QbMessageBoxShown> boxes = qb_message_box_log();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kStatusMissingMessage);
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
    EXPECT_EQ(status(), 1u);
    EXPECT_EQ(stop(thread).result, 1u);
  });
}

TEST_F(EventThreadTest, StateFolderThatTakesNoFileEndsTheMonitorNamingIt) {
  inChild([this] {
    ASSERT_TRUE(write_whole_file(tmp_.path() + "/file", "x"));
    ::setenv("QB_HOME", (tmp_.path() + "/file/state").c_str(), 1);
    Outcome o = run();
    EXPECT_EQ(o.result, static_cast<DWORD>(ENOTDIR));
    EXPECT_EQ(o.quit, std::optional<WPARAM>(ENOTDIR));
    ASSERT_EQ(o.boxes.size(), 1u);
    EXPECT_EQ(o.boxes[0].text.rfind("The Monitor cannot write its state folder", 0), 0u) << o.boxes[0].text;
    EXPECT_FALSE(notesTable.isOpen());
  });
}

// ---- recovery and opening -------------------------------------------------------------------

TEST_F(EventThreadTest, UncleanCloseRebuildsAndKeepsEveryNote) {
  inChild([] {
    // A sound data file behind an index file that knows none of its
    // records, as a crash between the two writes could leave them: only a
    // rebuild from the data file finds the notes again.
    seed("qb", kNotes);
    seed("stale", {});
    ASSERT_TRUE(write_whole_file(sys("qb.idx"), read_whole_file(sys("stale.idx"))));
    setStatus(1);
    ScriptedDriver driver;
    HANDLE thread = start();
    ASSERT_TRUE(waitRegistered(driver));
    // No backup exists: a restore would have failed with the corruption
    // message. The rebuilt table holds every note.
    EXPECT_FALSE(exists(sys("qbbak.db")));
    EXPECT_EQ(openNotes(), kNotes);
    EXPECT_TRUE(qb_message_box_log().empty());
    EXPECT_EQ(status(), 1u);
    Outcome o = stop(thread);
    EXPECT_EQ(o.result, 1u);
    EXPECT_FALSE(o.quit.has_value());
  });
}

// A data file that is no table, after an unclean close (status 1) or a
// clean one: the backup takes its place, without a word.
TEST_F(EventThreadTest, BrokenTableIsMendedByTheBackup) {
  for (const DWORD before : {1u, 0u}) {
    SCOPED_TRACE(before);
    inChild([before] {
      const Notes backup = {{"/home/ada/old.txt", "from the backup"}};
      seed("qbbak", backup);
      spoil("qb.db");
      setStatus(before);
      ScriptedDriver driver;
      HANDLE thread = start();
      ASSERT_TRUE(waitRegistered(driver));
      EXPECT_EQ(openNotes(), backup);
      EXPECT_TRUE(qb_message_box_log().empty());
      EXPECT_EQ(status(), 1u);  // open
      EXPECT_EQ(stop(thread).result, 1u);
    });
  }
}

// A table that can be neither rebuilt, opened nor restored: the corruption
// message, no driver, and 3 (not 0: the Monitor cannot run).
TEST_F(EventThreadTest, TableBeyondRecoveryIsCorruptAndEndsWith3) {
  struct Row {
    const char* what;
    DWORD before;
    bool backup;  // one that fails to open too
  };
  for (const Row& row : {Row{"unclean close, no backup", 1, false}, Row{"failed open, no backup", 0, false},
                         Row{"failed open, failing backup", 0, true}}) {
    SCOPED_TRACE(row.what);
    inChild([row] {
      spoil("qb.db");
      if (row.backup) {
        ASSERT_TRUE(write_whole_file(sys("qbbak.db"), std::string(600, '\x33')));
        ASSERT_TRUE(write_whole_file(sys("qbbak.idx"), std::string(512, '\x33')));
      }
      setStatus(row.before);
      ScriptedDriver driver;
      Outcome o = run();
      EXPECT_EQ(o.result, 3u);
      EXPECT_EQ(o.quit, std::optional<WPARAM>(3));
      expectOneBox(o, kCorrupt);
      EXPECT_EQ(driver.opens(), 0);
    });
  }
}

// An index file deleted or overwritten after a clean stop: the data file
// holds every note, the older backup does not. Opened without its index the
// Monitor took no event while it looked healthy.
TEST_F(EventThreadTest, IndexMissingOrDamagedAfterACleanStopIsRebuiltFromTheDataFile) {
  for (const bool deleted : {true, false}) {
    SCOPED_TRACE(deleted ? "index deleted" : "index overwritten");
    inChild([deleted] {
      seed("qbbak", {{"/home/ada/old.txt", "from the backup"}});
      seed("qb", kNotes);
      if (deleted) {
        ASSERT_EQ(::unlink(sys("qb.idx").c_str()), 0);
      } else {
        ASSERT_TRUE(write_whole_file(sys("qb.idx"), std::string(1024, '\x33')));
      }
      setStatus(0);
      ScriptedDriver driver;
      HANDLE thread = start();
      ASSERT_TRUE(waitRegistered(driver));
      EXPECT_EQ(openNotes(), kNotes);
      std::vector<QbMessageBoxShown> boxes = qb_message_box_log();
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_NE(boxes[0].text.find("index file " + sys("qb.idx") + " is missing, damaged"), std::string::npos)
          << boxes[0].text;
      EXPECT_EQ(stop(thread).result, 1u);
    });
  }
}

// ---- the driver -----------------------------------------------------------------------------------

TEST_F(EventThreadTest, MissingDriverShowsTheLoadMessage) {
  inChild([] {
    // No driver registered under the device name.
    Outcome o = run();
    EXPECT_EQ(o.result, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(o.quit.has_value());
    EXPECT_EQ(*o.quit, static_cast<WPARAM>(ERROR_FILE_NOT_FOUND));
    expectOneBox(o, "Unable to load QBSys.vxd from the Windows System subdirectory.");
    EXPECT_EQ(driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(notesTable.isOpen());  // left for the shutdown to close
  });
}

TEST_F(EventThreadTest, RegistersHandlerEventAndWindowInOrder) {
  inChild([] {
    ScriptedDriver driver;
    HANDLE thread = start();
    ASSERT_TRUE(waitRegistered(driver));
    std::vector<DriverCall> calls = driver.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].code, kDriverRegisterHandler);
    EXPECT_EQ(calls[1].code, kDriverRegisterEvent);
    EXPECT_EQ(calls[2].code, kDriverRegisterWindow);
    // Handler: the queued-call form of DoResponse, a full pointer, sent from
    // the thread itself, where the driver will queue its calls.
    EXPECT_EQ(calls[0].input.size(), sizeof(ULONG_PTR));
    EXPECT_EQ(driver.handler(), reinterpret_cast<ULONG_PTR>(&DoResponseApc));
    EXPECT_NE(calls[0].thread_id, GetCurrentThreadId());
    EXPECT_EQ(driver.handler_thread(), calls[0].thread_id);
    // Event: 4 bytes naming driverEvent.
    EXPECT_EQ(calls[1].input.size(), 4u);
    ASSERT_TRUE(driver.set_event());
    EXPECT_EQ(WaitForSingleObject(driverEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(driver.window(), mainWindow);

    // Events are handled in the wait; OP_STOP ends it and closes the driver.
    const uint8_t* r = driver.deliver_apc(7, "", "");
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(driver.wait_acknowledged(r));
    EXPECT_EQ(driver.closes(), 0);
    Outcome o = stop(thread);
    EXPECT_EQ(o.result, 1u);
    EXPECT_FALSE(o.quit.has_value());
    EXPECT_TRUE(o.boxes.empty());
    EXPECT_EQ(driver.closes(), 1);
    EXPECT_EQ(running.load(), 0);
  });
}

class FailingRegistration : public EventThreadTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(FailingRegistration, ShowsTheUnavailableMessageAndStops) {
  const DWORD failing = GetParam();
  inChild([failing] {
    ScriptedDriver driver;
    driver.fail_control(failing, 1234);
    Outcome o = run();
    EXPECT_EQ(o.result, 1234u);
    ASSERT_TRUE(o.quit.has_value());
    EXPECT_EQ(*o.quit, 1234u);
    expectOneBox(o, kUnavailable);
    // The calls up to the failing one, none after it; the driver stays open.
    std::vector<DWORD> expected;
    for (DWORD code : {kDriverRegisterHandler, kDriverRegisterEvent, kDriverRegisterWindow}) {
      expected.push_back(code);
      if (code == failing) break;
    }
    EXPECT_EQ(driver.codes(), expected);
    EXPECT_EQ(driver.closes(), 0);
  });
}

INSTANTIATE_TEST_SUITE_P(EachCall, FailingRegistration,
                         ::testing::Values(kDriverRegisterHandler, kDriverRegisterEvent, kDriverRegisterWindow));

}  // namespace

// ---- a stop that comes while the thread still starts --------------------------------

// The shutdown looked at the driver before the thread loaded it: the thread
// must end instead of loading a driver that nobody will ever stop (the
// shutdown would then wait for it for ever).
TEST_F(EventThreadTest, ShutdownBegunBeforeTheLoadEndsTheThread) {
  inChild([] {
    setStatus(0);
    ScriptedDriver driver;
    EXPECT_EQ(beginEventThreadShutdown(), nullptr);
    Outcome o = run();
    EXPECT_EQ(o.result, 1u);
    EXPECT_FALSE(o.quit.has_value());
    EXPECT_TRUE(o.boxes.empty());
    EXPECT_EQ(driver.opens(), 0);
    resetEventThreadShutdown();
  });
}

// Once the thread has loaded the driver, the shutdown's look returns its
// handle, so the stop request reaches it.
TEST_F(EventThreadTest, ShutdownAfterTheLoadSeesTheDriver) {
  inChild([] {
    setStatus(0);
    ScriptedDriver driver;
    HANDLE thread = start();
    ASSERT_TRUE(waitRegistered(driver));
    HANDLE seen = beginEventThreadShutdown();
    EXPECT_EQ(seen, driverHandle);
    EXPECT_NE(seen, nullptr);
    Outcome o = stop(thread);
    EXPECT_EQ(o.result, 1u);
    resetEventThreadShutdown();
  });
}
