// WinMain run whole: the single-instance guard, the tray icon or service
// registration, the message loop and the shutdown order, and every way the
// Monitor is stopped. WinMain runs on the child's main thread
// (monitor_fixture.h); a helper thread plays the user, the system and the
// driver.
#include <atomic>
#include <csignal>

#include "monitor/monitor_fixture.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/module.h"
#include "support/fork_helper.h"

namespace {

class MonitorRun : public MonitorTest {
 protected:
  // WinMain on this thread, `drive` beside it; WinMain's exit code.
  static int runMonitor(const std::function<void()>& drive) {
    std::thread helper(drive);
    char commandLine[] = "";
    int rc = WinMain(qb_resources(), nullptr, commandLine, 0);
    helper.join();
    return rc;
  }
  static bool handlersInstalled() {
    struct sigaction sa = {};
    return ::sigaction(SIGINT, nullptr, &sa) == 0 && sa.sa_handler != SIG_DFL;
  }
  // Registered with the driver and listening for signals.
  static bool started(const ScriptedDriver& driver) {
    return waitRegistered(driver) && waitUntil(handlersInstalled);
  }
  static void answerEveryBox(int answer) {
    qb_message_box_script([answer](const char*, const char*, UINT) { return answer; });
  }
  static int compactions() {
    int n = 0;
    for (const std::string& e : qb_dialog_log()) n += e.rfind("create 108", 0) == 0 ? 1 : 0;
    return n;
  }
  static bool sent(const ScriptedDriver& driver, DWORD code) {
    for (DWORD c : driver.codes())
      if (c == code) return true;
    return false;
  }
};

// A device in front of the scripted driver that, when the stop request
// passes, notes what the rest of the shutdown has done by then.
class StopProbe {
 public:
  struct Seen {
    bool stopped = false;
    std::optional<DWORD> status;
    bool tableOpen = true;
    bool backupWritten = false;
    size_t iconsShown = 99;
    DWORD threadCode = 0;
    HANDLE thread = nullptr;
  };

  StopProbe() {
    inner_ = CreateFileA(ScriptedDriver::kDeviceName, 0, 0, nullptr, 0, 0, nullptr);
    QbDevice device = {nullptr, &StopProbe::control, &StopProbe::close, this};
    qb_register_device(ScriptedDriver::kDeviceName, &device);
  }
  bool ready() const { return inner_ != INVALID_HANDLE_VALUE; }
  Seen seen;
  std::atomic<bool> closed{false};

 private:
  static BOOL control(void* self, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
    auto* p = static_cast<StopProbe*>(self);
    if (code == IOCTL_STOP) {
      Seen& s = p->seen;
      s.stopped = true;
      DWORD value = 0;
      if (readStatus(&value) == ERROR_SUCCESS) s.status = value;
      s.tableOpen = notesTable.isOpen();
      char backup[kPathBuffer];
      s.backupWritten = systemFilePath(backup, "qbbak.db") == 1 && GetFileAttributesA(backup) != INVALID_FILE_ATTRIBUTES;
      s.iconsShown = qb_tray_icons().size();
      s.thread = eventThread;
      (void)GetExitCodeThread(eventThread, &s.threadCode);
    }
    return DeviceIoControl(p->inner_, code, in, inSize, out, outSize, returned, nullptr);
  }
  // The event thread's last act; slow, so that a shutdown that did not wait
  // for the thread would be seen returning before it.
  static void close(void* self) {
    auto* p = static_cast<StopProbe*>(self);
    Sleep(200);
    (void)CloseHandle(p->inner_);
    p->closed.store(true);
  }

  HANDLE inner_ = INVALID_HANDLE_VALUE;
};

TEST_F(MonitorRun, SecondInstanceSaysSoAndEndsTouchingNothing) {
  // Another Monitor: a process that holds the single-instance mutex.
  Child holder = fork_child([](int in, int out) {
    HANDLE m = CreateMutexA(nullptr, TRUE, kSingleInstanceMutex);
    if (m == nullptr || send_byte(out, 'h') != 1) return 1;
    char b;
    (void)recv_byte(in, &b);
    return 0;
  });
  char b = 0;
  ASSERT_EQ(recv_byte(holder.from_child, &b), 1);

  inChild([this, &holder] {
    ASSERT_TRUE(status().has_value());  // the registry file exists from here on
    std::string registryBefore = read_whole_file(home_ + "/registry.reg");
    ScriptedDriver driver;
    char commandLine[] = "";
    EXPECT_EQ(WinMain(qb_resources(), nullptr, commandLine, 0), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(read_whole_file(home_ + "/registry.reg"), registryBefore);
    EXPECT_FALSE(exists(sys("qb.db")));
    EXPECT_EQ(mainWindow, nullptr);
    EXPECT_EQ(eventThread, nullptr);
    EXPECT_EQ(driver.opens(), 0);
    EXPECT_TRUE(qb_tray_log().empty());
    std::vector<QbMessageBoxShown> boxes = qb_message_box_log();  // one line that names the other
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("already running (process " + std::to_string(holder.pid) + ")"), std::string::npos);
    // The class was never registered.
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = kMonitorClass;
    EXPECT_NE(RegisterClassA(&wc), 0);
  });

  EXPECT_EQ(send_byte(holder.to_child, 'x'), 1);
  EXPECT_EQ(wait_child(holder), 0);
}

TEST_F(MonitorRun, ShutdownClosesThenRemovesTheIconThenStopsThenWaits) {
  inChild([] {
    seedNotes("qb", {{"/home/ada/a.txt", "one"}, {"/home/ada/b.txt", "two"}});
    ASSERT_TRUE(WriteProfileStringA(kProfileSection, kModifiedKey, "1"));
    ScriptedDriver driver;
    StopProbe probe;
    ASSERT_TRUE(probe.ready());
    answerEveryBox(IDYES);
    std::vector<NOTIFYICONDATAA> icons;

    int rc = runMonitor([&] {
      if (!started(driver)) return;
      icons = qb_tray_icons();
      (void)qb_tray_click(WM_LBUTTONDOWN);
    });
    EXPECT_EQ(rc, 0);

    // The icon the Monitor showed, on its window.
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].hWnd, mainWindow);

    // When the stop request went out, the database was closed (compacted,
    // "status" 0) and the icon gone, and the event thread still ran.
    const StopProbe::Seen& seen = probe.seen;
    ASSERT_TRUE(seen.stopped);
    EXPECT_EQ(seen.status, 0u);
    EXPECT_FALSE(seen.tableOpen);
    EXPECT_TRUE(seen.backupWritten);
    EXPECT_EQ(seen.iconsShown, 0u);
    EXPECT_EQ(seen.threadCode, STILL_ACTIVE);
    // WinMain returned only after the thread had closed the driver, and it
    // closed the thread's handle.
    EXPECT_TRUE(probe.closed.load());
    EXPECT_EQ(driver.closes(), 1);
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(seen.thread, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    EXPECT_EQ(driver.codes(), (std::vector<DWORD>{kDriverRegisterHandler, kDriverRegisterEvent,
                                                  kDriverRegisterWindow, kDriverDrain, kDriverStop,
                                                  kDriverAcknowledge}));
    EXPECT_EQ(qb_tray_log(), (std::vector<std::string>{"icon shown", "icon removed"}));
    EXPECT_EQ(compactions(), 1);
    EXPECT_EQ(modified(), 0u);
    EXPECT_EQ(storedRemark("/home/ada/b.txt"), "two");
  });
}

TEST_F(MonitorRun, FailedStopRequestBecomesTheExitCode) {
  inChild([] {
    ScriptedDriver driver;
    driver.fail_control(kDriverStop, 1234);
    answerEveryBox(IDYES);
    int rc = runMonitor([&] {
      if (!started(driver)) return;
      (void)qb_tray_click(WM_LBUTTONDOWN);
      // The wait goes on after the failed request: the stop has to come
      // some other way.
      if (!waitUntil([&] { return sent(driver, kDriverStop); })) return;
      (void)driver.deliver_apc(kDriverOpStop, "", "");
    });
    EXPECT_EQ(rc, 1234);
    EXPECT_EQ(driver.closes(), 1);
    EXPECT_EQ(status(), 0u);
  });
}

TEST_F(MonitorRun, EventThreadEndedEarlyNeedsNoStop) {
  inChild([] {
    setString(HKEY_LOCAL_MACHINE, kStatusKeyPath, "status", "running");  // unreadable as 4 bytes
    ScriptedDriver driver;
    answerEveryBox(IDYES);
    DWORD threadCode = 0;
    int rc = runMonitor([&] {
      if (!waitUntil([] { return !qb_tray_icons().empty(); })) return;
      HANDLE thread = eventThread;
      if (!waitUntil([&] { return GetExitCodeThread(thread, &threadCode) && threadCode != STILL_ACTIVE; })) return;
      (void)qb_tray_click(WM_LBUTTONDOWN);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(threadCode, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(driver.opens(), 0);
    EXPECT_TRUE(driver.codes().empty());
    EXPECT_FALSE(exists(sys("qb.db")));
    EXPECT_EQ(qb_tray_log(), (std::vector<std::string>{"icon shown", "icon removed"}));
    EXPECT_EQ(boxTexts().size(), 1u);  // the stop question only
  });
}

TEST_F(MonitorRun, MissingDriverEndsTheMonitorWithItsError) {
  inChild([] {
    // No driver registered under the device name.
    int rc = runMonitor([] {});
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    std::vector<QbMessageBoxShown> boxes = qb_message_box_log();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Unable to load QBSys.vxd from the Windows System subdirectory.");
    EXPECT_EQ(boxes[0].caption, "Quibbet Monitor");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(driverHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(qb_tray_log(), (std::vector<std::string>{"icon shown", "icon removed"}));
    EXPECT_EQ(status(), 0u);  // the table the thread had opened was closed
  });
}

TEST_F(MonitorRun, SigintStops) {
  inChild([] {
    ScriptedDriver driver;
    int rc = runMonitor([&] {
      if (started(driver)) ::kill(::getpid(), SIGINT);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(sent(driver, kDriverStop));
    EXPECT_EQ(driver.closes(), 1);
    EXPECT_EQ(status(), 0u);
    EXPECT_EQ(compactions(), 0);
#ifndef __SANITIZE_THREAD__
    // ThreadSanitizer keeps handlers in a table of its own and delivers a
    // signal late, at a point of its choosing; what a query tells there is
    // not what the process put back, so this is checked in the other builds.
    EXPECT_FALSE(handlersInstalled());  // put back on the way out
#endif
  });
}

TEST_F(MonitorRun, SigtermEndsTheSessionThenQuits) {
  inChild([] {
    seedNotes("qb", {{"/home/ada/a.txt", "one"}});
    ASSERT_TRUE(WriteProfileStringA(kProfileSection, kModifiedKey, "1"));
    ScriptedDriver driver;
    int rc = runMonitor([&] {
      if (started(driver)) ::kill(::getpid(), SIGTERM);
    });
    EXPECT_EQ(rc, 0);
    // closeDatabase ran twice: the session's end compacted, the shutdown
    // found nothing left to do but write "status" 0 again.
    EXPECT_EQ(compactions(), 1);
    EXPECT_EQ(modified(), 0u);
    EXPECT_EQ(status(), 0u);
    EXPECT_TRUE(sent(driver, kDriverStop));
    EXPECT_EQ(driver.closes(), 1);
    EXPECT_EQ(storedRemark("/home/ada/a.txt"), "one");
  });
}

TEST_F(MonitorRun, AnsweringNoKeepsTrackingBothWays) {
  inChild([] {
    seedNotes("qb", {{"/home/ada/a.txt", "one"}});
    ScriptedDriver driver;
    answerEveryBox(IDNO);
    bool handled = false;
    int rc = runMonitor([&] {
      if (!started(driver)) return;
      (void)qb_tray_click(WM_LBUTTONDOWN);
      if (!waitUntil([] { return qb_message_box_log().size() == 1; })) return;
      // Still running: an event as a message (the window's thread) and
      // one as a queued call (the event thread) are both handled.
      const uint8_t* m = driver.deliver_message(OP_RENAME, "/home/ada/a.txt", "/home/ada/b.txt");
      if (m == nullptr || !driver.wait_acknowledged(m)) return;
      const uint8_t* q = driver.deliver_apc(OP_RENAME, "/home/ada/b.txt", "/home/ada/c.txt");
      if (q == nullptr || !driver.wait_acknowledged(q)) return;
      handled = true;
      ::kill(::getpid(), SIGINT);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(handled);
    EXPECT_EQ(storedRemark("/home/ada/c.txt"), "one");
    EXPECT_EQ(storedRemark("/home/ada/a.txt"), std::nullopt);
  });
}

TEST_F(MonitorRun, ShowIconZeroRegistersAServiceProcess) {
  inChild([] {
    setDword(HKEY_LOCAL_MACHINE, kConfigurationKeyPath, "ShowIcon", 0);
    qb_service_process_reset();
    ScriptedDriver driver;
    int rc = runMonitor([&] {
      if (started(driver)) ::kill(::getpid(), SIGINT);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(qb_tray_log().empty());
    EXPECT_EQ(qb_service_process_type(), static_cast<int>(RSP_SIMPLE_SERVICE));
    EXPECT_EQ(qb_service_process_pid(), 0u);
  });
}

TEST_F(MonitorRun, NoConfigurationKeyShowsTheIcon) {
  inChild([this] {
    ASSERT_EQ(qb_make_dirs(home_), 1);
    ASSERT_TRUE(write_whole_file(home_ + "/registry.reg",
                                 "REGEDIT4\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\Status]\n"
                                 "\"status\"=dword:00000000\n\n"));
    qb_service_process_reset();
    ScriptedDriver driver;
    int rc = runMonitor([&] {
      if (started(driver)) ::kill(::getpid(), SIGINT);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(qb_tray_log(), (std::vector<std::string>{"icon shown", "icon removed"}));
    EXPECT_EQ(qb_service_process_type(), -1);
  });
}

}  // namespace
