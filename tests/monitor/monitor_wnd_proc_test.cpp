// The main window's procedure: start-up work in WM_CREATE (event thread,
// Explorer integration, launch), the end of a session, the tray's stop
// question and events posted as a window message. Each test runs in a child
// (monitor_fixture.h) on the child's main thread, which owns the window.
#include "monitor/monitor_fixture.h"

namespace {

const char kSettingsBytes[] = {0x0c, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x60, 0x00, 0x00, 0x00};

class WindowProcedure : public MonitorTest {
 protected:
  // CabinetState as a fresh profile has it: "Settings" 12 bytes of binary
  // with byte 4 clear, "FullPath" a 4-byte DWORD 0.
  static void seedCabinetState() {
    setValue(HKEY_CURRENT_USER, kCabinetStateKeyPath, "Settings", REG_BINARY,
             std::string(kSettingsBytes, sizeof kSettingsBytes));
    setDword(HKEY_CURRENT_USER, kCabinetStateKeyPath, "FullPath", 0);
  }
  static std::optional<RegData> cabinet(const char* name) {
    return value(HKEY_CURRENT_USER, kCabinetStateKeyPath, name);
  }
  // Makes the notes program a command that leaves a marker file.
  std::string launchMarker() {
    std::string marker = tmp_.path() + "/launched";
    setString(HKEY_LOCAL_MACHINE, kConfigurationKeyPath, kNotesProgramValue, "touch " + marker);
    return marker;
  }
  // A program not started within this time is taken as never started: the
  // launch, when made, is inside WM_CREATE and `touch` needs a few ms.
  static bool launchedWithin(const std::string& marker, int ms) {
    return waitUntil([&] { return exists(marker); }, ms);
  }
};

TEST_F(WindowProcedure, CreateStoresTheWindowAndStartsTheEventThread) {
  inChild([] {
    ScriptedDriver driver;
    HWND window = createMonitorWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(mainWindow, window);
    ASSERT_NE(eventThread, nullptr);
    ASSERT_TRUE(waitRegistered(driver));
    // The thread WM_CREATE started is the one that registered, and the
    // driver learnt the window and an event that is driverEvent.
    EXPECT_EQ(driver.handler_thread(), eventThreadId);
    EXPECT_EQ(driver.window(), window);
    ASSERT_NE(driverEvent, nullptr);
    EXPECT_EQ(WaitForSingleObject(driverEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // not signalled
    ASSERT_TRUE(driver.set_event());
    EXPECT_EQ(WaitForSingleObject(driverEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(driverEvent, 0), WAIT_OBJECT_0);  // manual reset: stays set
  });
}

TEST_F(WindowProcedure, NoThreadQuitsTheLoopButStillIntegrates) {
  inChild([this] {
    seedCabinetState();
    std::string marker = launchMarker();
    qb_fail_next_thread_create(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HWND window = createMonitorWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(eventThread, nullptr);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 0u);
    std::optional<RegData> settings = cabinet("Settings");
    ASSERT_TRUE(settings.has_value());
    EXPECT_EQ(settings->bytes[4], '\x2b');
    EXPECT_TRUE(launchedWithin(marker, 5000));
  });
}

TEST_F(WindowProcedure, IntegrateZeroChangesNothingAndStartsNothing) {
  inChild([this] {
    seedCabinetState();
    std::string marker = launchMarker();
    setDword(HKEY_LOCAL_MACHINE, kConfigurationKeyPath, "Integrate", 0);
    std::optional<RegData> settings = cabinet("Settings");
    std::optional<RegData> fullPath = cabinet("FullPath");
    ASSERT_NE(createMonitorWindow(), nullptr);
    EXPECT_EQ(cabinet("Settings"), settings);
    EXPECT_EQ(cabinet("FullPath"), fullPath);
    EXPECT_FALSE(launchedWithin(marker, 300));
  });
}

TEST_F(WindowProcedure, IntegrateMissingCountsAsOne) {
  inChild([this] {
    seedCabinetState();
    std::string marker = launchMarker();
    deleteValue(HKEY_LOCAL_MACHINE, kConfigurationKeyPath, "Integrate");
    ASSERT_NE(createMonitorWindow(), nullptr);

    // Byte 4 becomes 0x2B, every other byte, the type and the size stay.
    std::string expected(kSettingsBytes, sizeof kSettingsBytes);
    expected[4] = '\x2b';
    EXPECT_EQ(cabinet("Settings"), (RegData{REG_BINARY, expected}));
    // A 4-byte value comes back as 01 00 00 00, with its own type.
    EXPECT_EQ(cabinet("FullPath"), (RegData{REG_DWORD, std::string("\x01\x00\x00\x00", 4)}));
    EXPECT_TRUE(launchedWithin(marker, 5000));
  });
}

TEST_F(WindowProcedure, SettingsFlagByteIsSetWhateverItHeldAndTwelveByteFullPathBecomesOneAndZeros) {
  inChild([] {
    // All flag bits on: the four that 0x2B does not name go off.
    std::string bytes(kSettingsBytes, sizeof kSettingsBytes);
    bytes[4] = '\xff';
    setValue(HKEY_CURRENT_USER, kCabinetStateKeyPath, "Settings", REG_BINARY, bytes);
    setValue(HKEY_CURRENT_USER, kCabinetStateKeyPath, "FullPath", REG_BINARY, std::string(12, '\x55'));
    ASSERT_NE(createMonitorWindow(), nullptr);
    bytes[4] = '\x2b';
    EXPECT_EQ(cabinet("Settings"), (RegData{REG_BINARY, bytes}));
    std::string expected(12, '\0');
    expected[0] = '\x01';
    EXPECT_EQ(cabinet("FullPath"), (RegData{REG_BINARY, expected}));
  });
}

TEST_F(WindowProcedure, ValuesLongerThanTheBufferAreLeftAlone) {
  inChild([] {
    std::string longSettings(16, '\0');
    setValue(HKEY_CURRENT_USER, kCabinetStateKeyPath, "Settings", REG_BINARY, longSettings);
    setValue(HKEY_CURRENT_USER, kCabinetStateKeyPath, "FullPath", REG_BINARY, std::string(13, '\x07'));
    ASSERT_NE(createMonitorWindow(), nullptr);
    EXPECT_EQ(cabinet("Settings"), (RegData{REG_BINARY, longSettings}));
    EXPECT_EQ(cabinet("FullPath"), (RegData{REG_BINARY, std::string(13, '\x07')}));
  });
}

TEST_F(WindowProcedure, NoConfigurationKeyLeavesExplorerAlone) {
  inChild([this] {
    // A registry without the Configuration key (the file is made before any
    // registry call, which would otherwise write the defaults).
    ASSERT_EQ(qb_make_dirs(home_), 1);
    ASSERT_TRUE(write_whole_file(home_ + "/registry.reg",
                                 "REGEDIT4\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\Status]\n"
                                 "\"status\"=dword:00000000\n\n"));
    seedCabinetState();
    std::optional<RegData> settings = cabinet("Settings");
    std::optional<RegData> fullPath = cabinet("FullPath");
    ASSERT_TRUE(settings.has_value());
    ASSERT_NE(createMonitorWindow(), nullptr);
    EXPECT_EQ(cabinet("Settings"), settings);
    EXPECT_EQ(cabinet("FullPath"), fullPath);
    EXPECT_EQ(value(HKEY_LOCAL_MACHINE, kConfigurationKeyPath, "Integrate"), std::nullopt);
  });
}

TEST_F(WindowProcedure, NoCabinetStateKeyStillLaunches) {
  inChild([this] {
    std::string marker = launchMarker();
    ASSERT_NE(createMonitorWindow(), nullptr);
    EXPECT_TRUE(launchedWithin(marker, 5000));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kCabinetStateKeyPath, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  });
}

// ---- the tray icon's callback ---------------------------------------------------

class TrayCallback : public WindowProcedure {
 protected:
  static const char* question() {
    return "Quibbet Monitor v3.2\n\n"
           "Closing the Quibbet Monitor will\n"
           "prevent Quibbet from associating\n"
           "your notes with any files or folders\n"
           "that you may move, copy or rename.\n\n"
           "Do you want to stop the Quibbet Monitor now?";
  }
  // Creates the window, waits for the event thread to settle, answers the
  // question with `answer`, sends the callback with `mouse` and returns
  // what the procedure gave. *queued: the message then waiting, if any.
  static LRESULT click(LPARAM mouse, int answer, std::optional<MSG>* queued) {
    ScriptedDriver driver;
    HWND window = createMonitorWindow();
    EXPECT_NE(window, nullptr);
    EXPECT_TRUE(waitRegistered(driver));
    qb_message_box_log_clear();
    qb_message_box_script([answer](const char*, const char*, UINT) { return answer; });
    LRESULT r = MonitorWndProc(window, WM_TRAYNOTIFY, 0, mouse);
    MSG msg;
    *queued = std::nullopt;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) *queued = msg;
    qb_message_box_script(nullptr);
    return r;
  }
};

TEST_F(TrayCallback, LeftClickAnsweredYesQuits) {
  inChild([] {
    std::optional<MSG> queued;
    EXPECT_EQ(click(WM_LBUTTONDOWN, IDYES, &queued), 0);
    std::vector<QbMessageBoxShown> boxes = qb_message_box_log();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, question());
    EXPECT_EQ(boxes[0].caption, "Quibbet Monitor");
    EXPECT_EQ(boxes[0].type, 0x1134u);
    ASSERT_TRUE(queued.has_value());
    EXPECT_EQ(queued->message, WM_QUIT);
    EXPECT_EQ(queued->hwnd, mainWindow);
    EXPECT_EQ(queued->wParam, 0u);
    EXPECT_EQ(queued->lParam, 0);
  });
}

TEST_F(TrayCallback, LeftClickAnsweredNoKeepsRunning) {
  inChild([] {
    std::optional<MSG> queued;
    EXPECT_EQ(click(WM_LBUTTONDOWN, IDNO, &queued), 0);
    EXPECT_EQ(qb_message_box_log().size(), 1u);
    EXPECT_FALSE(queued.has_value());
  });
}

TEST_F(TrayCallback, RightClickDoesNothing) {
  inChild([] {
    std::optional<MSG> queued;
    EXPECT_EQ(click(WM_RBUTTONDOWN, IDYES, &queued), 0);
    EXPECT_TRUE(qb_message_box_log().empty());
    EXPECT_FALSE(queued.has_value());
  });
}

// ---- the end of a session and events posted as messages ------------------------------

TEST_F(WindowProcedure, QueryEndSessionClosesTheDatabase) {
  inChild([] {
    seedNotes("qb", {{"/home/ada/a.txt", "first"}, {"/home/ada/b.txt", "second"}});
    ASSERT_TRUE(WriteProfileStringA(kProfileSection, kModifiedKey, "1"));
    ScriptedDriver driver;
    HWND window = createMonitorWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(waitRegistered(driver));
    EXPECT_EQ(status(), 1u);

    EXPECT_EQ(MonitorWndProc(window, WM_QUERYENDSESSION, 0, 0), 1);
    EXPECT_FALSE(notesTable.isOpen());
    EXPECT_EQ(status(), 0u);
    // "MODIFIED" was set: backed up and compacted.
    EXPECT_TRUE(exists(sys("qbbak.db")));
    EXPECT_EQ(modified(), 0u);
    EXPECT_EQ(storedRemark("/home/ada/b.txt"), "second");

    // Events after the close find the table closed and change nothing.
    const uint8_t* r = driver.deliver_apc(OP_RENAME, "/home/ada/a.txt", "/home/ada/c.txt");
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(driver.wait_acknowledged(r));
    EXPECT_EQ(storedRemark("/home/ada/a.txt"), "first");
    EXPECT_EQ(storedRemark("/home/ada/c.txt"), std::nullopt);
  });
}

TEST_F(WindowProcedure, DriverEventMessageRunsTheHandlerOnTheWindowThread) {
  inChild([] {
    seedNotes("qb", {{"/home/ada/plan.txt", "call Ann"}});
    ScriptedDriver driver;
    ASSERT_NE(createMonitorWindow(), nullptr);
    ASSERT_TRUE(waitRegistered(driver));

    const uint8_t* r = driver.deliver_message(OP_RENAME, "/home/ada/plan.txt", "/home/ada/plan-v2.txt");
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return driver.wait_acknowledged(r, 0); }));
    EXPECT_EQ(ScriptedDriver::operation_of(r), 0);
    std::vector<DriverCall> calls = driver.calls();
    ASSERT_EQ(calls.back().code, kDriverAcknowledge);
    EXPECT_EQ(calls.back().thread_id, GetCurrentThreadId());

    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    EXPECT_EQ(remarkOf(notesTable, "/home/ada/plan-v2.txt"), "call Ann");
    EXPECT_EQ(remarkOf(notesTable, "/home/ada/plan.txt"), std::nullopt);
    EXPECT_EQ(remarkOf(tempTable, "/home/ada/plan.txt"), "call Ann");
  });
}

}  // namespace
