// The window procedure of the Monitor's hidden main window, and the state it
// keeps: the event thread it starts, the start-up record of the notes
// program it launches.
//
// Messages:
//   WM_CREATE (1)            start-up work, see below; returns 0
//   WM_QUERYENDSESSION (17)  drainAndCloseDatabase; returns 1,
//                            DefWindowProcA is not called
//   WM_TRAYNOTIFY (1024)     lParam 513 (left button down on the icon): the
//                            stop question (six lines joined, caption
//                            "Quibbet Monitor", kStopQuestionType); Yes
//                            posts WM_QUIT (0, 0) to mainWindow. Every
//                            WM_TRAYNOTIFY returns 0 without DefWindowProcA
//   WM_DRIVEREVENT (1030)    DoResponse (lParam, the record's address), then
//                            DefWindowProcA
//   anything else            DefWindowProcA
//
// WM_CREATE, in order:
//   1. stores the window in mainWindow (the event thread uses it from its
//      first message on, before CreateWindowExA has returned to WinMain) and
//      creates driverEvent (manual reset, not signalled, unnamed);
//   2. starts EventThread (default stack, no parameter, no flags) into
//      eventThread / eventThreadId; no thread: PostQuitMessage (0), and the
//      steps below still run;
//   3. HKEY_LOCAL_MACHINE "...\Quibbet\Configuration" opened with full
//      access: "Integrate" (DWORD, preset 1); 0 turns the launch off and
//      leaves the Explorer settings alone. Otherwise, HKEY_CURRENT_USER
//      "Software\Microsoft\Windows\CurrentVersion\Explorer\CabinetState":
//      "Settings" read into a 12-byte buffer gets byte 4 set to 0x2B (bits
//      0, 1, 3 and 5 on, the other four off) and is written back with the
//      type and size its read gave; "FullPath" read into the same buffer is
//      written back, with its own type and size, as 12 zero bytes with byte
//      0 set to 1 (a 4-byte value becomes 01 00 00 00). A value longer than
//      12 bytes fails its read with ERROR_MORE_DATA and is left as it is.
//      No Configuration key: the launch stays on, the Explorer settings
//      are not touched.
//   4. the launch: the notes program's command line is the Configuration
//      string "NotesProgram" (our notes program is a command-line tool with
//      nothing to show at start, so what to start is configurable and
//      nothing is started by default). Empty, missing, not a string or longer than
//      kNotesProgramMax: nothing is started. A started program's thread and
//      process handles are closed at once; a failure is not reported.
//
// Threads: the user-interface thread only (the window's thread).
#pragma once

#include "platform/process.h"
#include "platform/win_types.h"

constexpr UINT WM_TRAYNOTIFY = 1024;  // WM_USER: the tray icon's callback

// The event thread's handle and id, set by WM_CREATE. WinMain waits for the
// thread at exit and closes the handle.
extern HANDLE eventThread;
extern DWORD eventThreadId;

// Every stop's close of the notes database: while it is open, the events
// already queued are handled first (drainQueuedEvents, bounded), then
// closeDatabase runs under tracking_table_mutex(). User-interface thread.
void drainAndCloseDatabase();

// Start-up record of the notes program: zero-filled, the size field 68.
extern STARTUPINFOA notesStartupInfo;
extern PROCESS_INFORMATION notesProcessInfo;

// HKEY_LOCAL_MACHINE key of "ShowIcon", "Integrate" and "NotesProgram".
extern const char kConfigurationKeyPath[];  // "SOFTWARE\Kestrin Software\Quibbet\Configuration"
// HKEY_CURRENT_USER key of "Settings" and "FullPath".
extern const char kCabinetStateKeyPath[];
extern const char kNotesProgramValue[];  // "NotesProgram"
constexpr int kNotesProgramMax = 1023;   // characters of the command line

// The stop question's box: MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2 |
// MB_SYSTEMMODAL.
constexpr UINT kStopQuestionType = 0x1134;

LRESULT MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
