// Signals: how a Linux user or system stops the Monitor, turned into the
// window messages a Windows Monitor gets.
//
//   SIGTERM  (system shutdown, `qbmon --stop`, kill)  WM_QUERYENDSESSION
//            (lParam 0), then WM_QUIT (wParam 0), both posted to the window
//   SIGHUP   (the terminal or session ends: a log-off)  WM_QUERYENDSESSION
//            (lParam ENDSESSION_LOGOFF), then WM_QUIT
//   SIGINT   (Ctrl+C at the terminal)  WM_QUIT
//
// The handlers only write the signal number to a pipe (async-signal-safe,
// errno kept); a thread of this layer reads the pipe and posts the messages,
// so the window procedure runs on its own thread as for any message. A
// signal that comes again posts again. A full pipe drops the signal (the
// messages of the ones before are on their way).
//
// `qbmon --stop` finds the running Monitor through its single-instance
// mutex: qb_mutex_owner_pid reads the pid from the mutex's lock file
// (platform/threads.h; the lock of platform/instance_lock.h, whose calls
// these two are), sends SIGTERM, and qb_wait_mutex_free waits for the
// Monitor to let go.
//
// Threads: install and restore from one thread (the user-interface thread);
// the helpers from any.
#pragma once

#include <sys/types.h>

#include "platform/win_types.h"

// Installs the three handlers (the first call starts the posting thread);
// later calls only change the window. FALSE with errno when the pipe, the
// thread or a handler cannot be set up.
BOOL qb_install_signal_handlers(HWND main_window);
// Puts back the dispositions found by the first install and ends the
// posting thread. Nothing when not installed.
void qb_restore_signal_handlers();

// The pid of the process that holds the named mutex `mutex_name`; 0 when no
// live process holds it; -1 with errno when the lock file cannot be read, or
// (EAGAIN) when it is held but names no pid (its owner has just taken it and
// not yet written its pid; try again).
pid_t qb_mutex_owner_pid(const char* mutex_name);
// Waits until no process holds the named mutex, looking every 20 ms. TRUE
// when it is free, FALSE when `timeout_ms` passed first (INFINITE: no limit).
BOOL qb_wait_mutex_free(const char* mutex_name, DWORD timeout_ms);
