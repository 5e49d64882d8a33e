// The event thread: the Monitor's second thread, which brings the notes
// database up, loads the driver, registers with it and then sleeps in an
// alertable wait in which the driver's queued calls run DoResponse, one
// event at a time, until an OP_STOP event clears `running`.
//
// Started once, by the main window's WM_CREATE (monitor/monitor_wnd_proc.h),
// with CreateThread; nobody reads its result. The steps, in order:
//   1. create threadMutex, owned by this thread and never released: it
//      becomes free (abandoned) when the thread ends, which is how the
//      user-interface thread learns of the end at shutdown; then the state
//      folder and its system folder must take a new file: else one box
//      naming the folder and the system's reason, WM_QUIT (errno e), end
//      with e;
//   2. open the Status key (created when missing) and 3. read "status"; a
//      registry failure ends the thread at once with the registry's code, no
//      message, nothing opened (the Monitor runs on idle, without tracking);
//      but a missing "status" counts as 0: written so, one warning box
//      (kStatusMissingMessage, no WM_QUIT), and the start goes on;
//   4. "status" 1 (the last run did not close the table): rebuildNotesTable,
//      and when that does not give 1, restoreFromBackup; no backup: the
//      corruption message, WM_QUIT (3), end with 3;
//   5. openDatabase, giving r; kNotesIndexUnusable (the index file missing,
//      damaged, or not trusted after the system went down): a warning naming both files, rebuildNotesTable, and
//      openDatabase again when that gave 1; when r is still not 1:
//      restoreFromBackup and openDatabase once more; no backup, or the
//      last open failing: the corruption message, WM_QUIT (3), end with 3;
//   6. open the driver into driverHandle; failing: the load message,
//      WM_QUIT (last error e), end with e;
//   7-9. IOCTL_REGISTER_HANDLER (DoResponseApc's address, sizeof(ULONG_PTR)
//      bytes: a full pointer on 64-bit Linux), IOCTL_REGISTER_EVENT
//      (driverEvent's token from OpenVxDHandle, 4 bytes),
//      IOCTL_REGISTER_WINDOW (mainWindow, pointer-sized), each only after
//      the one before succeeded; a failure: the unavailable message,
//      WM_QUIT (e), end with e; the driver stays open until the process ends;
//   10. SleepEx (INFINITE, alertable) while `running` is not 0;
//   11. close driverHandle (the driver unloads) and end with 1.
// Messages are MessageBoxA (owner mainWindow, caption kMonitorCaption, MB_OK)
// followed by PostMessageA (mainWindow, WM_QUIT, code, 0), so that the
// user-interface thread's loop ends and the normal shutdown runs.
//
// OpenVxDHandle not found (getOpenVxDHandle null) counts as a failure of
// step 8: the unavailable message, WM_QUIT with the last error
// (ERROR_PROC_NOT_FOUND when none was set).
//
// Threads: the table work of steps 4 and 5 runs under tracking_table_mutex(),
// so that a closeDatabase on the user-interface thread (a session ending
// while the Monitor starts) never meets it. mainWindow and driverEvent must
// be set before the thread starts (the window procedure sets both before
// CreateThread). driverHandle is written only here.
#pragma once

#include <atomic>

#include "platform/win_types.h"

// Caption of every message box of the Monitor.
extern const char kMonitorCaption[];  // "Quibbet Monitor"

// The three messages of the event thread.
extern const char kCorruptMessage[];      // the table cannot be recovered or opened
extern const char kLoadMessage[];         // the driver cannot be opened
extern const char kUnavailableMessage[];  // a registration call failed
extern const char kStatusMissingMessage[];  // "status" missing, taken as 0

// HKEY_LOCAL_MACHINE key of "status"; the path ends with a backslash.
extern const char kEventStatusKeyPath[];  // "SOFTWARE\Kestrin Software\Quibbet\Status\"

// Created by the event thread as its first act, owned by it and never
// released; null until then. Atomic because the user-interface thread reads
// it at shutdown while the thread may just be creating it.
extern std::atomic<HANDLE> threadMutex;

// The thread routine (LPTHREAD_START_ROUTINE); the parameter is not read.
DWORD EventThread(LPVOID unused);

// The shutdown's look at the driver (WinMain, after its message loop): marks
// the shutdown as begun and returns driverHandle as it stands. An event
// thread that has not loaded the driver yet then ends instead of loading it,
// so a stop that comes while the thread still starts never waits for ever.
HANDLE beginEventThreadShutdown();
// Forgets a shutdown begun earlier in this process (WinMain at its start).
void resetEventThreadShutdown();

// The first step of every stop, before the notes table closes: events the
// driver has queued (renames in the last moments of a session) are handled
// first, waiting until its queue is empty or `boundMs` has passed. Events
// still queued then are lost, and said so: the trace line "STOP: <n> queued
// events not handled" and a warning in the log. Returns that number (0 when
// no driver is loaded). Never call it under tracking_table_mutex(): the
// event thread takes it for every event.
DWORD drainQueuedEvents(DWORD boundMs);
constexpr DWORD kStopDrainMs = 5000;

