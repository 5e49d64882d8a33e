// WinMain: the Monitor's entry point on the user-interface thread.
//
// Start:
//   1. keeps the instance (the program's module, resources/) in
//      monitorInstance;
//   2. "ShowIcon" (HKEY_LOCAL_MACHINE Configuration, DWORD): the tray icon
//      is shown unless the key opens and the value reads as 0;
//   3. single instance: OpenMutexA (kSingleInstanceMutex) succeeding means
//      another Monitor runs: one box naming its process, and return
//      ERROR_ALREADY_EXISTS at once, nothing else touched. Otherwise
//      CreateMutexA owned by this thread, held until the process ends (a
//      Monitor that lost a race between the two calls ends the same way);
//   4. RegisterClassA ("qbmonClass", MonitorWndProc, the instance); failing:
//      return 0;
//   5. CreateWindowExA (title "Quibbet Monitor", every style, position and
//      size 0, never shown); WM_CREATE starts the event thread inside it;
//      failing: return 0;
//   6. the tray icon (NOTIFYICONDATAA: size 88, id 0, flags 7, callback
//      WM_TRAYNOTIFY, icon resource 107, tip "Quibbet Monitor"), or with
//      "ShowIcon" 0, RegisterServiceProcess (0, 1) found by name in the
//      kernel module (nothing when it is not found);
//   then the signal handlers (platform/signals.h: SIGINT posts WM_QUIT,
//   SIGTERM and SIGHUP WM_QUERYENDSESSION then WM_QUIT) and
//   7. the message loop: GetMessageA / DispatchMessageA until WM_QUIT.
//
// Shutdown, in this order:
//   1. closeDatabase, under tracking_table_mutex() so that an event the
//      event thread is handling ends first;
//   2. the tray icon removed (when it was shown);
//   3. IOCTL_STOP when driverHandle is neither null (the event thread never
//      reached the driver) nor INVALID_HANDLE_VALUE; its failure makes the
//      last error the exit code;
//   4. the wait, without a time limit, on threadMutex: it ends when the
//      event thread has ended (at once when it ended early; otherwise once
//      the driver's OP_STOP has ended its wait and it has closed the
//      driver). A thread that has not yet created threadMutex is waited for
//      through its handle instead. A driver that never answers the stop
//      keeps the Monitor here for ever;
//   5. the event thread's handle closed, the signal dispositions put back.
//
// Exit code: the last error of a failed IOCTL_STOP; otherwise the wParam of
// the WM_QUIT that ended the loop (0 for a stop asked by the user, a
// failure's code when the event thread ended the Monitor).
//
// Threads: runs on the thread that is to be the user-interface thread; once
// per process (the single-instance mutex and the globals are the process's).
#pragma once

#include "platform/win_types.h"

extern HINSTANCE monitorInstance;

extern const char kSingleInstanceMutex[];  // "FFED00C0-F3EF-11d0-A228-444553540000"
extern const char kMonitorClass[];         // "qbmonClass"
extern const char kMonitorTitle[];         // "Quibbet Monitor"

constexpr int IDI_MONITOR = 107;          // the tray icon's resource
constexpr DWORD kNotifyIconSize = 88;     // NOTIFYICONDATAA's size field
constexpr UINT kNotifyIconFlags = 7;      // NIF_MESSAGE | NIF_ICON | NIF_TIP

int WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
