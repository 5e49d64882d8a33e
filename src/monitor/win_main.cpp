// The Monitor's entry point (see win_main.h).
#include "monitor/win_main.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver_link/event_thread.h"
#include "driver_link/protocol.h"
#include "monitor/monitor_wnd_proc.h"
#include "platform/device.h"
#include "platform/message_box.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/signals.h"
#include "platform/threads.h"
#include "platform/tray.h"
#include "platform/window.h"
#include "tracking/event_record.h"
#include "tracking/table_guard.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"

HINSTANCE monitorInstance = nullptr;

const char kSingleInstanceMutex[] = "FFED00C0-F3EF-11d0-A228-444553540000";
const char kMonitorClass[] = "qbmonClass";
const char kMonitorTitle[] = "Quibbet Monitor";

namespace {

const char kShowIconValue[] = "ShowIcon";
const char kKernelModule[] = "KERNEL32.DLL";
const char kRegisterServiceProcess[] = "RegisterServiceProcess";

typedef DWORD (*RegisterServiceProcessProc)(DWORD processId, DWORD type);

// Start step 2: shown unless the Configuration key opens and "ShowIcon"
// reads as 0.
bool iconWanted() {
  HKEY configuration = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigurationKeyPath, 0, KEY_ALL_ACCESS, &configuration) !=
      ERROR_SUCCESS)
    return true;
  DWORD value = 1;
  DWORD size = sizeof value;
  (void)RegQueryValueExA(configuration, kShowIconValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size);
  (void)RegCloseKey(configuration);
  return value != 0;
}

// Keeps the process out of the task list and running through a log-off.
// Where the kernel module has no such export, nothing is done.
void registerServiceProcess() {
  HMODULE kernel = GetModuleHandleA(kKernelModule);
  if (kernel == nullptr) return;
  FARPROC proc = GetProcAddress(kernel, kRegisterServiceProcess);
  if (proc == nullptr) return;
  (void)reinterpret_cast<RegisterServiceProcessProc>(proc)(0, RSP_SIMPLE_SERVICE);
}

NOTIFYICONDATAA trayRecord() {
  NOTIFYICONDATAA icon = {};
  icon.cbSize = kNotifyIconSize;
  icon.hWnd = mainWindow;
  icon.uID = 0;
  icon.uFlags = kNotifyIconFlags;
  icon.uCallbackMessage = WM_TRAYNOTIFY;
  icon.hIcon = LoadIconA(monitorInstance, MAKEINTRESOURCEA(IDI_MONITOR));
  static_assert(sizeof kMonitorTitle <= sizeof icon.szTip);
  std::memcpy(icon.szTip, kMonitorTitle, sizeof kMonitorTitle);
  return icon;
}

// Says that this Monitor stops because another one runs, and how to replace it.
void anotherMonitorRuns() {
  char text[160];
  std::snprintf(text, sizeof text,
                "Another Monitor is already running (process %d): this one stops. Run `qbmon --stop` first "
                "to replace it.",
                static_cast<int>(qb_mutex_owner_pid(kSingleInstanceMutex)));
  (void)MessageBoxA(nullptr, text, kMonitorTitle, MB_OK | MB_ICONERROR);
}

}  // namespace

int WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Start steps 1 and 2.
  monitorInstance = instance;
  resetEventThreadShutdown();
  const bool showIcon = iconWanted();

  // Step 3.
  HANDLE other = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kSingleInstanceMutex);
  if (other == nullptr) {
    HANDLE single = CreateMutexA(nullptr, TRUE, kSingleInstanceMutex);
    // Another Monitor took it between the two calls.
    if (single != nullptr && GetLastError() == static_cast<DWORD>(ERROR_ALREADY_EXISTS)) other = single;
  }
  if (other != nullptr) {
    (void)CloseHandle(other);
    anotherMonitorRuns();
    return ERROR_ALREADY_EXISTS;
  }

  // Step 4.
  WNDCLASSA windowClass = {};
  windowClass.style = 0;
  windowClass.lpfnWndProc = MonitorWndProc;
  windowClass.hInstance = monitorInstance;
  windowClass.lpszClassName = kMonitorClass;
  if (RegisterClassA(&windowClass) == 0) return 0;

  // Step 5. WM_CREATE has stored the window already; the event thread may
  // be reading mainWindow by now, so it is written only if it differs.
  HWND window = CreateWindowExA(0, kMonitorClass, kMonitorTitle, 0, 0, 0, 0, 0, nullptr, nullptr, monitorInstance,
                                nullptr);
  if (window == nullptr) return 0;
  if (mainWindow != window) mainWindow = window;

  // Step 6.
  NOTIFYICONDATAA icon = trayRecord();
  if (showIcon) {
    (void)Shell_NotifyIconA(NIM_ADD, &icon);
  } else {
    registerServiceProcess();
  }
  // Without handlers the Monitor still stops by the tray or the driver.
  (void)qb_install_signal_handlers(mainWindow);

  // Step 7. GetMessageA gives -1 only for a bad argument, never here.
  MSG message = {};
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) != 0) {
    if (got < 0) break;
    (void)DispatchMessageA(&message);
  }
  DWORD exitCode = static_cast<DWORD>(message.wParam);

  // Shutdown step 1: the events queued by now are handled, then the table
  // closes; events arriving later find it closed.
  drainAndCloseDatabase();
  // Step 2.
  if (showIcon) (void)Shell_NotifyIconA(NIM_DELETE, &icon);
  // Step 3.
  HANDLE driver = beginEventThreadShutdown();
  if (driver != INVALID_HANDLE_VALUE && driver != nullptr) {
    DWORD returned = 0;
    if (!DeviceIoControl(driver, IOCTL_STOP, nullptr, 0, nullptr, 0, &returned, nullptr)) exitCode = GetLastError();
  }
  // Step 4.
  HANDLE ended = threadMutex.load();
  if (ended != nullptr) {
    (void)WaitForSingleObject(ended, INFINITE);
  } else if (eventThread != nullptr) {
    (void)WaitForSingleObject(eventThread, INFINITE);
  }
  // Step 5.
  if (eventThread != nullptr) (void)CloseHandle(eventThread);
  eventThread = nullptr;
  qb_restore_signal_handlers();
  return static_cast<int>(exitCode);
}
