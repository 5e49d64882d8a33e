// The Monitor's window procedure (see monitor_wnd_proc.h).
#include "monitor/monitor_wnd_proc.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver_link/event_thread.h"
#include "driver_link/protocol.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "platform/window.h"
#include "tracking/do_response.h"
#include "tracking/table_guard.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"

HANDLE eventThread = nullptr;
DWORD eventThreadId = 0;

STARTUPINFOA notesStartupInfo = {};
PROCESS_INFORMATION notesProcessInfo = {};

const char kConfigurationKeyPath[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";
const char kCabinetStateKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\CabinetState";
const char kNotesProgramValue[] = "NotesProgram";

namespace {

const char kIntegrateValue[] = "Integrate";
const char kSettingsValue[] = "Settings";
const char kFullPathValue[] = "FullPath";

// The cabinet-state record's first flag byte: bits 0, 1, 3 and 5 (the full
// path in the title bar among them), the other four off.
constexpr BYTE kCabinetFlags = 0x2B;
constexpr int kCabinetFlagsAt = 4;
constexpr DWORD kCabinetBuffer = 12;
constexpr DWORD kStartupInfoSize = 68;

// The six lines of the stop question, in the order they are joined.
const char* const kStopLines[] = {
    "Quibbet Monitor v3.2\n\n",
    "Closing the Quibbet Monitor will\n",
    "prevent Quibbet from associating\n",
    "your notes with any files or folders\n",
    "that you may move, copy or rename.\n\n",
    "Do you want to stop the Quibbet Monitor now?",
};

// Reads `name` into the 12-byte buffer; when that works, lets `change` edit
// it and writes it back with the type and size the read gave. A longer value
// fails its read (ERROR_MORE_DATA) and is left alone.
template <typename Change>
void rewriteCabinetValue(HKEY cabinet, const char* name, BYTE* buffer, Change change) {
  DWORD type = REG_NONE;
  DWORD size = kCabinetBuffer;
  if (RegQueryValueExA(cabinet, name, nullptr, &type, buffer, &size) != ERROR_SUCCESS) return;
  change(buffer);
  (void)RegSetValueExA(cabinet, name, 0, type, buffer, size);
}

void integrateExplorer() {
  HKEY cabinet = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kCabinetStateKeyPath, 0, KEY_ALL_ACCESS, &cabinet) != ERROR_SUCCESS) return;
  BYTE buffer[kCabinetBuffer] = {};
  rewriteCabinetValue(cabinet, kSettingsValue, buffer, [](BYTE* b) { b[kCabinetFlagsAt] = kCabinetFlags; });
  rewriteCabinetValue(cabinet, kFullPathValue, buffer, [](BYTE* b) {
    std::memset(b, 0, kCabinetBuffer);
    b[0] = 1;
  });
  (void)RegFlushKey(cabinet);
  (void)RegCloseKey(cabinet);
}

// The command line in "NotesProgram", or "" when there is none to run.
void readNotesProgram(HKEY configuration, char* commandLine) {
  commandLine[0] = '\0';
  DWORD type = REG_NONE;
  DWORD size = kNotesProgramMax + 1;
  if (RegQueryValueExA(configuration, kNotesProgramValue, nullptr, &type, reinterpret_cast<LPBYTE>(commandLine),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    commandLine[0] = '\0';
    return;
  }
  commandLine[size < kNotesProgramMax + 1 ? size : kNotesProgramMax] = '\0';
}

LRESULT onCreate(HWND window) {
  // Step 1. The event thread's first message may come before WinMain has
  // CreateWindowExA's result, so the window is known from here on.
  mainWindow = window;
  driverEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  // Step 2.
  eventThread = CreateThread(nullptr, 0, EventThread, nullptr, 0, &eventThreadId);
  if (eventThread == nullptr) PostQuitMessage(0);

  // Step 3.
  bool launch = true;
  char commandLine[kNotesProgramMax + 1] = "";
  HKEY configuration = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigurationKeyPath, 0, KEY_ALL_ACCESS, &configuration) ==
      ERROR_SUCCESS) {
    DWORD integrate = 1;
    DWORD size = sizeof integrate;
    (void)RegQueryValueExA(configuration, kIntegrateValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(&integrate),
                           &size);
    if (integrate == 0) {
      launch = false;
    } else {
      integrateExplorer();
      readNotesProgram(configuration, commandLine);
    }
    (void)RegCloseKey(configuration);
  }

  // Step 4.
  if (launch && commandLine[0] != '\0') {
    notesStartupInfo = STARTUPINFOA{};
    notesStartupInfo.cb = kStartupInfoSize;
    notesProcessInfo = PROCESS_INFORMATION{};
    if (CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &notesStartupInfo,
                       &notesProcessInfo)) {
      (void)CloseHandle(notesProcessInfo.hThread);
      (void)CloseHandle(notesProcessInfo.hProcess);
    }
  }
  return 0;
}

void askToStop(HWND window) {
  char text[512];
  (void)std::snprintf(text, sizeof text, "%s%s%s%s%s%s", kStopLines[0], kStopLines[1], kStopLines[2],
                      kStopLines[3], kStopLines[4], kStopLines[5]);
  if (MessageBoxA(window, text, kMonitorCaption, kStopQuestionType) == IDYES)
    (void)PostMessageA(mainWindow, WM_QUIT, 0, 0);
}

}  // namespace

void drainAndCloseDatabase() {
  bool open;
  {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    open = notesTable.isOpen();
  }
  // A closed table (a second close, or a start that failed) has nothing to
  // drain into.
  if (open) (void)drainQueuedEvents(kStopDrainMs);
  // The event in progress on the event thread finishes first, and the
  // changes of a group of events commit.
  std::lock_guard<std::mutex> guard(tracking_table_mutex());
  endEventGroup();
  closeDatabase();
}

LRESULT MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return onCreate(window);
    case WM_QUERYENDSESSION:
      drainAndCloseDatabase();
      return 1;
    case WM_TRAYNOTIFY:
      if (lParam == WM_LBUTTONDOWN) askToStop(window);
      return 0;
    case WM_DRIVEREVENT:
      (void)DoResponse(static_cast<ULONG_PTR>(lParam));
      return DefWindowProcA(window, message, wParam, lParam);
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}
